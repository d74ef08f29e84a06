/*
 * Tessuvan build configuration: the one place that knows which of the two builds is being
 * compiled. Everything else reads the names defined here.
 *
 *   Tessuvan_64  x86-64, WorkingFloat = IEEE double,           100 individuals, 60 adjustables
 *   Tessuvan_32  i386,   WorkingFloat = 80-bit x87 extended,    80 individuals, 47 adjustables,
 *                        entry points with the stdcall convention
 *
 * The build is chosen by the target's pointer size, so a host that includes the public header
 * with the same compiler flags as its own code gets the layout of the library it loads.
 */
#ifndef TESSUVAN_BUILD_H
#define TESSUVAN_BUILD_H

#if defined(__i386__) || defined(_M_IX86)
#define TESSUVAN_BUILD_32 1
#elif defined(__x86_64__) || defined(_M_X64)
#define TESSUVAN_BUILD_64 1
#else
#error "Tessuvan is built for x86-64 (Tessuvan_64) or i386 (Tessuvan_32) only"
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
#define TESSUVAN_MAX_INDIVIDUALS 100
#define TESSUVAN_MAX_ADJUSTABLES 60
#define TESSUVAN_TEXT_SIZE 24
#define TESSUVAN_CALL
#endif

/* On Windows the texts are the platform's own OLE VARIANTs and BSTRs: hosts make them with
 * SysAllocString, and the library releases a text it empties (VariantClear), as OLE does. */
#if defined(_WIN32)
#define TESSUVAN_OLE_TEXTS 1
#endif

#define TESSUVAN_MAX_POINTS 150
#define TESSUVAN_MAX_OUTPUTS 20
#define TESSUVAN_MAX_SPECIES 20
#define TESSUVAN_MAX_INTERRUPTS 10
#define TESSUVAN_MAX_P_PARAMETERS 30
#define TESSUVAN_MAX_Q_PARAMETERS 30

#endif /* TESSUVAN_BUILD_H */
