/*
 * Tessuvan build configuration: the one place that knows which of the three builds is being
 * compiled. Everything else reads the names defined here.
 *
 *   Tessuvan_64     x86-64, WorkingFloat = IEEE double,         100 individuals, 60 adjustables,
 *                   150 points and 10 interrupts per individual, 16-bit counts
 *   Tessuvan_32     i386,   WorkingFloat = 80-bit x87 extended,  80 individuals, 47 adjustables,
 *                   150 points and 10 interrupts per individual, 16-bit counts,
 *                   entry points with the stdcall convention
 *   Tessuvan_large  x86-64, WorkingFloat = IEEE double,        5000 individuals, 60 adjustables,
 *                   2000 points and 1000 interrupts per individual, 32-bit counts; in every
 *                   other respect (capacities, rules, convention) the 64-bit build
 *
 * Tessuvan_64 and Tessuvan_32 are chosen by the target's pointer size, so a host that includes
 * the public header with the same compiler flags as its own code gets the layout of the
 * library it loads. A host of Tessuvan_large defines TESSUVAN_LARGE before it includes
 * tessuvan.h (or on its compiler's command line: -DTESSUVAN_LARGE); the library itself is
 * compiled the same way.
 */
#ifndef TESSUVAN_BUILD_H
#define TESSUVAN_BUILD_H

#if defined(__i386__) || defined(_M_IX86)
#define TESSUVAN_BUILD_32 1
#elif defined(__x86_64__) || defined(_M_X64)
#define TESSUVAN_BUILD_64 1
#else
#error "Tessuvan is built for x86-64 (Tessuvan_64, Tessuvan_large) or i386 (Tessuvan_32) only"
#endif

/* The large build is a 64-bit build with larger capacities: TESSUVAN_BUILD_64 stays defined,
 * so that it follows the 64-bit build wherever the builds' rules differ. */
#if defined(TESSUVAN_LARGE)
#if !defined(TESSUVAN_BUILD_64)
#error "Tessuvan_large is a 64-bit build: compile its host for x86-64"
#endif
#define TESSUVAN_BUILD_LARGE 1
#endif

#if defined(TESSUVAN_BUILD_32)
/* The working floating type of every internal value: the 80-bit x87 extended type. */
typedef long double TessuvanWorkingFloat;
#define TESSUVAN_MAX_INDIVIDUALS 80
#define TESSUVAN_MAX_ADJUSTABLES 47
#define TESSUVAN_TEXT_SIZE 16
#if defined(_WIN32)
#define TESSUVAN_CALL __stdcall
#else
#define TESSUVAN_CALL __attribute__((stdcall))
#endif
#else
typedef double TessuvanWorkingFloat;
#if defined(TESSUVAN_BUILD_LARGE)
#define TESSUVAN_MAX_INDIVIDUALS 5000
#else
#define TESSUVAN_MAX_INDIVIDUALS 100
#endif
#define TESSUVAN_MAX_ADJUSTABLES 60
#define TESSUVAN_TEXT_SIZE 24
#define TESSUVAN_CALL
#endif

/* On Windows the texts are the platform's own OLE VARIANTs and BSTRs: hosts make them with
 * SysAllocString, and the library releases a text it empties (VariantClear), as OLE does. */
#if defined(_WIN32)
#define TESSUVAN_OLE_TEXTS 1
#endif

/* The counts of BInitials (TessuvanCount): 16-bit in the two standard builds; 32-bit in the
 * large build, whose data sets hold more points than 16 bits count (2,000 individuals of 32
 * points are 64,000). The individual and interrupt numbers of the data file's records, the
 * individual number of Ajustement_ind, the fit codes and the error codes stay 16-bit in every
 * build: the capacities fit them. */
#if defined(TESSUVAN_BUILD_LARGE)
#define TESSUVAN_COUNT_TYPE int32_t
#define TESSUVAN_MAX_POINTS 2000
#define TESSUVAN_MAX_INTERRUPTS 1000
#else
#define TESSUVAN_COUNT_TYPE int16_t
#define TESSUVAN_MAX_POINTS 150
#define TESSUVAN_MAX_INTERRUPTS 10
#endif
#define TESSUVAN_MAX_OUTPUTS 20
#define TESSUVAN_MAX_SPECIES 20
#define TESSUVAN_MAX_P_PARAMETERS 30
#define TESSUVAN_MAX_Q_PARAMETERS 30

#endif /* TESSUVAN_BUILD_H */
