/*
 * Tessuvan: the public interface of the engine, for C and C++ hosts.
 *
 * A host describes a kinetic model dx/dt = A(t,x)·x + F(t,x) and the observations of a group of
 * individuals, then drives the engine through five entry points:
 *
 *   Calcul_initial   load the data file, the species file and every formula; choose the method
 *   Simulation       simulate population and individuals, weigh residuals, write the result file
 *   Ajustement_pop   one damped Gauss-Newton iteration on the population values
 *   Ajustement_ind   one damped Gauss-Newton iteration on one individual's values
 *   Fin              release everything and erase the two files
 *
 * Every argument is an address of memory the host owns; the library keeps no reference to it
 * past a call. Values cross as 32-bit floats, counts as TessuvanCount (16-bit integers, 32-bit
 * in the large build), texts as TessuvanText (the OLE VARIANT layout). Failures are reported as
 * codes added to BFitSet.Erreur; no entry point throws, aborts or reads/writes outside the
 * records it is given.
 *
 * Three builds exist and each has its own layout of every record below (see tessuvan_build.h):
 * compile the host with the same pointer size as the library it loads, and with TESSUVAN_LARGE
 * defined before this header is included when it loads Tessuvan_large.
 */
#ifndef TESSUVAN_H
#define TESSUVAN_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tessuvan_build.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------
 * Capacities and the working type of this build
 * ------------------------------------------------------------------------------------------- */

typedef TessuvanWorkingFloat WorkingFloat;

/* The type of every count of BInitials: int16_t, or int32_t in the large build. */
typedef TESSUVAN_COUNT_TYPE TessuvanCount;

enum TessuvanCapacity {
    MaxIndividuals = TESSUVAN_MAX_INDIVIDUALS, /* individuals (64: 100, 32: 80, large: 5000) */
    MaxAdjustables = TESSUVAN_MAX_ADJUSTABLES, /* adjustable parameters (60 / 47 / 60) */
    MaxPoints = TESSUVAN_MAX_POINTS,           /* data records per individual (150 / 150 / 2000) */
    MaxOutputs = TESSUVAN_MAX_OUTPUTS,         /* observed outputs */
    MaxSpecies = TESSUVAN_MAX_SPECIES,         /* species (state variables) */
    MaxInterrupts = TESSUVAN_MAX_INTERRUPTS,   /* interrupts per individual (10 / 10 / 1000) */
    MaxPParameters = TESSUVAN_MAX_P_PARAMETERS,
    MaxQParameters = TESSUVAN_MAX_Q_PARAMETERS
};

/* ---------------------------------------------------------------------------------------------
 * Texts
 *
 * A text has the layout of an OLE Automation VARIANT: a 16-bit type tag at offset 0, reserved
 * bytes up to offset 8, and at offset 8 a pointer to UTF-16 code units that are preceded by
 * their length in bytes as a 32-bit integer and followed by a NUL (the BSTR convention).
 * vt 0 (empty) and 1 (null) are the empty text; vt 8 is a text. Any other vt, or a text with
 * characters outside ASCII, is invalid: a formula holding it counts as an error at load and a
 * file name holding it as an input/output failure. On Windows (TESSUVAN_OLE_TEXTS) the texts
 * are real VARIANTs read through the platform: make them with SysAllocString; file names may
 * hold any character there, and the library releases a text it empties with VariantClear.
 * ------------------------------------------------------------------------------------------- */

enum TessuvanTextType {
    TessuvanTextEmpty = 0, /* VT_EMPTY */
    TessuvanTextNull = 1,  /* VT_NULL */
    TessuvanTextBstr = 8   /* VT_BSTR */
};

#if defined(_MSC_VER)
#define TESSUVAN_ALIGN8 __declspec(align(8))
#define TESSUVAN_ALIGN8_AFTER
#else
#define TESSUVAN_ALIGN8
#define TESSUVAN_ALIGN8_AFTER __attribute__((aligned(8)))
#endif

/* Aligned to 8 bytes in both builds, as the VARIANT (it may hold a double). */
typedef struct TESSUVAN_ALIGN8 TessuvanText {
    uint16_t vt;
    uint16_t reserved1;
    uint16_t reserved2;
    uint16_t reserved3;
    uint16_t *bstr;  /* code units; ((uint32_t *)bstr)[-1] is their length in bytes */
    void *reserved4; /* the rest of the VARIANT */
} TESSUVAN_ALIGN8_AFTER TessuvanText;

/* ---------------------------------------------------------------------------------------------
 * Host records
 * ------------------------------------------------------------------------------------------- */

/* Model dimensions and file names. The library writes only NPopAPosteriori.
 *
 * The data file (FileNameDat) holds exactly NPoints TessuvanPointRecords, no header; see below.
 *
 * The species file (FileNameEsp) is an ASCII text, one formula text per line (an empty line is
 * an absent formula, a CR before the LF is not part of the line, lines missing at the end read
 * as empty). For each species s = 1..NEspeces in turn:
 *   1. NIndividuals x NInterrupts lines, individual i = 1..NIndividuals, interrupt
 *      t = 1..NInterrupts varying fastest: the amount given to species s when interrupt t of
 *      individual i begins (absent: the amount is left as it is);
 *   2. one line: the free term F[s] of the rate of species s;
 *   3. NEspeces lines: the coefficients A[s][e], e = 1..NEspeces, of the amount of species e in
 *      the rate of species s.
 * So the file has NEspeces x (NIndividuals x NInterrupts + 1 + NEspeces) lines; the rate of
 * species s is dx_s/dt = sum over e of A[s][e] x_e + F[s]. */
typedef struct BInitials {
    TessuvanText FileNameDat; /* data file: read by Calcul_initial, rewritten by Simulation */
    TessuvanText FileNameEsp; /* species file: one formula per line, in the order below */
    TessuvanCount NEspeces;        /* species, 0..MaxSpecies */
    TessuvanCount NPopAPriori;     /* subjects the a-priori information counts for */
    TessuvanCount NPopAPosteriori; /* out: NPopAPriori + individuals with an observation */
    TessuvanCount NIndividuals;    /* 0..MaxIndividuals */
    TessuvanCount NInterrupts;     /* interrupts per individual, 0..MaxInterrupts */
    TessuvanCount NPParametres;    /* 0..MaxPParameters */
    TessuvanCount NQParametres;    /* 0..MaxQParameters */
    TessuvanCount NAjustables;     /* 0..MaxAdjustables */
    TessuvanCount NPoints;         /* records in the data file */
    TessuvanCount NSorties;        /* outputs, 0..MaxOutputs */
} BInitials;

/* Error code, settings and objective sums. */
typedef struct BFitSet {
    int16_t Erreur;       /* 0 = success; codes add up (see TessuvanErrorCode) */
    int16_t Done;         /* -1 when a fit's convergence test passed, else 0 */
    /* gamma of the observation error model: the variance of an observation y is taken as
     * proportional to y^gamma. At every Simulation each observation y (> 1e-130) of output k
     * gets the weight w = s * y^-gamma, with the scale
     *     s = exp((gamma * sum ln y - sum ln (P - y)^2) / n)
     * over the n observations whose population prediction P differs from y by more than 1e-130
     * (s = 1 when n = 0): the weighted squared population residuals have geometric mean 1.
     * The objective sums in ErreurCalc are sums of w * residual^2. */
    float TypeErreurData;
    float Tolerance;      /* fits: mean squared relative change that counts as converged */
    float Marquard;       /* fits: damping added to the normal equations */
    float Precision;      /* tolerance handed to the integrator */
    /* Objective sums of the last Simulation, three groups of MaxIndividuals + 1:
     * [0] / [i] population residuals in total / of individual i,
     * [M+1] / [M+1+i] individual residuals, [2M+2] / [2M+2+i] a-priori penalty. */
    float ErreurCalc[3 * MaxIndividuals + 3];
    TessuvanText Method; /* "CHU-BERMAN", "RUNGE-KUTTA QC", "RUNGE-KUTTA 4" or "RUNGE-KUTTA 5" */
} BFitSet;

/* Group starts inside ErreurCalc. */
#define TESSUVAN_POPULATION_SUMS 0
#define TESSUVAN_INDIVIDUAL_SUMS (MaxIndividuals + 1)
#define TESSUVAN_PRIOR_SUMS (2 * MaxIndividuals + 2)

/* How a parameter is estimated (rows of ParameterTable.FitCodes). */
enum FitCode {
    FitCodeFixed = 0,                    /* not estimated */
    FitCodeIndividualOnly = 1,           /* per individual only */
    FitCodePopulationAndIndividual = 2,  /* population value and individual values */
    FitCodePopulationOnly = 3            /* population value only */
};

/* Parameters: values, standard errors, prior deviations, defining texts and fit codes.
 * Parameter p (1-based) is column p - 1 of every row. */
typedef struct ParameterTable {
    /* row 0 population value, row i (1..NIndividuals) individual i,
     * row NIndividuals + 1 the a-priori (prior centre) population value */
    float Values[MaxIndividuals + 2][MaxAdjustables];
    float StandardErrors[MaxAdjustables];  /* row M+2: written by Ajustement_pop */
    float PriorDeviations[MaxAdjustables]; /* row M+3: a-priori standard deviations */
    TessuvanText DefiningTexts[MaxAdjustables]; /* formula defining the parameter, or empty */
    int16_t FitCodes[MaxIndividuals + 1][MaxAdjustables]; /* row 0 population, row i individual */
} ParameterTable;

/* P-parameter formulas: [interrupt - 1][P parameter - 1]; empty = none. */
typedef TessuvanText PParameterTexts[MaxInterrupts][MaxPParameters];
/* Q values: [individual - 1][Q parameter - 1]. */
typedef float QParameterValues[MaxIndividuals][MaxQParameters];
/* Output formulas: [output - 1]; empty = none. */
typedef TessuvanText OutputTexts[MaxOutputs];

/* ---------------------------------------------------------------------------------------------
 * The data file and the result file: records of 248 bytes, little-endian, no header
 * ------------------------------------------------------------------------------------------- */

#define TESSUVAN_RECORD_VALUES 60
/* An observation (and any magnitude the engine compares with it) not above this counts as
 * "not observed" (or zero). A double literal; the 32-bit build compares in its extended type
 * with the nearest value of that type. */
#define TESSUVAN_OBSERVATION_THRESHOLD 1e-130
#define TESSUVAN_OBSERVATIONS 0            /* Values[TESSUVAN_OBSERVATIONS + k - 1]: output k */
#define TESSUVAN_POPULATION_PREDICTIONS 20 /* result file only */
#define TESSUVAN_INDIVIDUAL_PREDICTIONS 40 /* result file only */

/* One observation point (the same 248 bytes in every build). In the data file the records of one individual come in increasing
 * time with non-decreasing interrupt numbers (records of different individuals may be
 * interleaved); their order is the individual's point order. Only the observations of outputs
 * 1..NSorties are read; an observation not above 1e-130 (in a single: 0, negative or NaN) is
 * "not observed". The result file (written by Simulation at the same path) holds the same
 * points grouped by individual (1..NIndividuals, each in its point order) with the
 * observations, population and individual predictions of outputs 1..NSorties, rounded to
 * single; every other value is 0. */
typedef struct TessuvanPointRecord {
    int16_t Individual; /* 1..NIndividuals */
    int16_t Interrupt;  /* 1..NInterrupts: the interrupt (dosing interval) the point belongs to */
    float Time;
    float Values[TESSUVAN_RECORD_VALUES];
} TessuvanPointRecord;

/* ---------------------------------------------------------------------------------------------
 * Error codes seen in BFitSet.Erreur. Codes of one call add up; a sum saturates at 32767.
 * ------------------------------------------------------------------------------------------- */

enum TessuvanErrorCode {
    TessuvanOk = 0,
    /* Calcul_initial */
    TessuvanNoObservation = 1,          /* no observation in the whole data file */
    TessuvanTooFewObservations = 2,     /* fewer observed values than adjusted parameters */
    TessuvanUnknownMethod = 9,          /* Method is none of the four names */
    /* formula errors add their count (malformed literal, index, syntax, self-reference) */
    /* integration (the code of the last interval integrated) */
    TessuvanIntegrationTolerance = 1,   /* tolerance not positive; nothing integrated */
    TessuvanIntegrationStepBudget = 2,  /* adaptive method took more than 1/tol steps */
    TessuvanIntegrationInterval = 3,    /* empty or reversed interval; nothing integrated */
    TessuvanIntegrationNoMethod = 4,    /* no method was ever selected */
    TessuvanIntegrationShortStep = 1,   /* CHU-BERMAN: a step fell below 1e-130, once for that
                                           and once more when t1 was not reached (so 2) */
    TessuvanIntegrationStepLength = 5,  /* the step length came out 0 or not a number (a time or
                                           tolerance that is not a number, or a step too short
                                           to represent); the amounts are those of the time
                                           reached, the entry amounts if no step was taken */
    TessuvanIntegrationStepCeiling = 6, /* the interval took the most steps any interval may take
                                           (250,000, whatever the method and the tolerance)
                                           before reaching its end: a tolerance far too small;
                                           the amounts are those of the time reached */
    /* linear solver status, added by the fits */
    TessuvanSolverOrder = 1,            /* no parameter to solve for */
    TessuvanSolverSingleCoefficient = 2,/* order 1 with a zero coefficient, or no pivot */
    TessuvanSolverPivot = 3,            /* no usable pivot during elimination */
    TessuvanSolverSingular = 4,         /* last diagonal entry zero after elimination */
    TessuvanSolverNotFinite = 5,        /* an infinite or not-a-number value in the equations
                                           or their solution; no step is taken */
    /* failures outside the model */
    TessuvanFileError = 1000,           /* a file could not be opened, read, written or erased,
                                           or the data file holds fewer than NPoints records */
    TessuvanContractError = 2000,       /* counts outside the capacities, data outside its
                                           ranges, or a call with no model loaded */
    TessuvanZeroFittedValue = 4000,     /* Ajustement_pop: a parameter with population code 2
                                           or 3 has the value 0 (magnitude not above 1e-130),
                                           so no relative step exists; nothing is changed */
    TessuvanOutOfMemory = 8000          /* the model store, a formula record or a fit's scratch
                                           copy could not be allocated */
};

/* Reading a code. Every entry point adds to what Erreur holds on entry (Calcul_initial, once it
 * has reached the method name, sets it to 0 or 9 first), so a host sets Erreur to 0 before each
 * call; then 0 is success and anything else a failure (the sum saturates at 32767 and never
 * returns to 0). The codes overlap by design, so a sum names its causes only in part:
 *   Calcul_initial  either one of 1000, 2000, 8000 alone (the call stopped before the formulas:
 *                   files, counts, data ranges, the store), or 9 (unknown method) + the count of
 *                   formula errors + 8000 for each formula record that could not be allocated + 1 (no
 *                   observation) + 2 (too few observations). The small parts share 1..999: 1 may
 *                   be one formula error or no observation, 9 nine errors or the method; and a
 *                   count of 1000 or more formula errors runs into the fixed codes.
 *   Simulation      2000 or 1000 alone, or the integration code (1..5) of the last interval.
 *   Ajustement_pop  2000 or 4000 alone; otherwise the code of a failed step replaces Erreur
 *   Ajustement_ind  (integration 1..5, solver 1..5: 2 is the step budget or a zero coefficient,
 *                   and so on; 8000) and the call ends; each Simulation inside adds 1000 when
 *                   the result file cannot be written, so in a fit 2000 or 4000 may also be two
 *                   or four failed writes.
 *   Fin             0 or 1000.
 * Any entry point also adds 8000 (memory) or 2000 (any other internal failure) when the engine
 * stops on a failure it did not foresee. A host that must tell the causes apart checks its own
 * inputs (the method name against the four, the texts, the observations) rather than the sum. */

/* ---------------------------------------------------------------------------------------------
 * Entry points (undecorated names; stdcall in Tessuvan_32, the C convention in the others)
 * ------------------------------------------------------------------------------------------- */

/* Loads a model: reads NPoints records from FileNameDat and the formula lines of FileNameEsp,
 * prepares every formula (parameters, P parameters, species, outputs, equations), selects the
 * integration method named by fit->Method, installs the parameter values and counts the
 * observations. A model already loaded is released first.
 * Before the method is looked at, a failure adds its code to the incoming fit->Erreur and ends
 * the call: 2000 (a count outside 0..capacity, an individual or interrupt number outside its
 * range in the data file, more than MaxPoints records for one individual), 1000 (a file that
 * cannot be opened or read, an invalid file name, fewer than NPoints records), 8000 (memory).
 * Otherwise fit->Erreur is set to 9 or 0 by the method name, and then formula error counts
 * (an invalid text counts as one), 1 (no observation) and 2 (too few observations) are added.
 * Writes init->NPopAPosteriori, and in table the values of parameters defined by a formula,
 * row-0 fit code 0 for them, and an emptied text (vt 0, not freed) for a definition naming
 * its own parameter. Only a load that ends with fit->Erreur 0 may be simulated or fitted. */
void TESSUVAN_CALL Calcul_initial(BInitials *init, BFitSet *fit, ParameterTable *table,
                                  PParameterTexts *pTexts, QParameterValues *qValues,
                                  OutputTexts *outputs);

/* Simulates the population and every individual, computes weights and objective sums, and
 * adds the code of the last interval integrated to fit->Erreur. On a total of 0 it rewrites
 * FileNameDat as the result file (observations, population and individual predictions of
 * outputs 1..NSorties, the other value slots 0), copies the library's BFitSet back into *fit
 * (ErreurCalc) and the current values into table rows 0..NIndividuals. reserved is not read.
 * Adds 2000 and does nothing else when no model is loaded (before Calcul_initial, after a load
 * that failed, after Fin) or when the counts of init differ from those of the load; adds 1000
 * when the result file cannot be written (the host's records then stay as they were). */
void TESSUVAN_CALL Simulation(BInitials *init, BFitSet *fit, void *reserved, ParameterTable *table);

/* One population iteration: finite-difference and secant Gauss-Newton steps on the population
 * values of parameters whose code in table->FitCodes[0] is 2 or 3, damped by fit->Marquard,
 * ending with a Simulation. Sets fit->Done (-1) when the mean squared relative change of the
 * values falls below fit->Tolerance, and then computes standard errors (a NaN where the
 * information matrix gives a negative variance); table->StandardErrors holds the latest.
 * When a step fails (integration code, solver status 1 to 5, 8000 when the scratch copy
 * cannot be allocated) that code replaces fit->Erreur and the call ends, Done unwritten.
 * Adds 2000, changing nothing, with no model loaded or counts other than the loaded model's;
 * adds 4000, changing nothing, when a parameter to be fitted has the population value 0.
 * reserved is passed on unread. */
void TESSUVAN_CALL Ajustement_pop(BInitials *init, BFitSet *fit, void *reserved,
                                  ParameterTable *table);

/* One iteration on the values of individual *individual (1..NIndividuals; a 16-bit number in
 * every build, as in the data file): the parameters
 * whose code in table->FitCodes[*individual] is 1 or 2 and whose value is positive, pulled
 * towards the population value (code 2) or the a-priori centre (code 1); code 3 takes the
 * population value. An individual without observations takes the population values and
 * nothing more. Errors and Done as for Ajustement_pop (no standard errors). An individual
 * number out of range, no model loaded or counts other than the loaded model's add 2000 and
 * change nothing. */
void TESSUVAN_CALL Ajustement_ind(int16_t *individual, BInitials *init, BFitSet *fit,
                                  void *reserved, ParameterTable *table);

/* Releases every compiled formula and the model store, whatever fit->Erreur holds, and erases
 * the data file (the last one read or written) and the species file of the run. Adds 1000 to
 * fit->Erreur when the data file cannot be erased (the species file is then left, and a later
 * Fin erases it) or the species file cannot. Each file is erased once, so Fin is safe to call
 * at any time, also twice; afterwards Simulation and the fits report 2000 until the next
 * Calcul_initial. init is not read. */
void TESSUVAN_CALL Fin(BInitials *init, BFitSet *fit);

/* ---------------------------------------------------------------------------------------------
 * Helpers for hosts without OLE: make a text from UTF-8 (ASCII) and free it. Not offered where
 * texts are OLE's (their memory must come from the platform's allocator).
 * ------------------------------------------------------------------------------------------- */

#if !defined(TESSUVAN_OLE_TEXTS)

/* Makes *text hold a copy of utf8 (vt 8). Returns 0 on success, -1 when out of memory. */
static inline int TessuvanTextSet(TessuvanText *text, const char *utf8)
{
    size_t n = strlen(utf8);
    uint32_t *block = (uint32_t *)malloc(sizeof(uint32_t) + (n + 1) * sizeof(uint16_t));
    uint16_t *units;
    size_t i;
    memset(text, 0, sizeof *text);
    if (block == NULL) return -1;
    block[0] = (uint32_t)(n * sizeof(uint16_t));
    units = (uint16_t *)(block + 1);
    for (i = 0; i < n; ++i) units[i] = (uint16_t)(unsigned char)utf8[i];
    units[n] = 0;
    text->vt = TessuvanTextBstr;
    text->bstr = units;
    return 0;
}

/* Frees a text made by TessuvanTextSet and leaves it empty. */
static inline void TessuvanTextFree(TessuvanText *text)
{
    if (text->vt == TessuvanTextBstr && text->bstr != NULL) free(((uint32_t *)text->bstr) - 1);
    memset(text, 0, sizeof *text);
}
#endif

/* ---------------------------------------------------------------------------------------------
 * The layouts, pinned
 * ------------------------------------------------------------------------------------------- */

#ifdef __cplusplus
#define TESSUVAN_STATIC_ASSERT static_assert
#else
#define TESSUVAN_STATIC_ASSERT _Static_assert
#endif

TESSUVAN_STATIC_ASSERT(sizeof(TessuvanPointRecord) == 248, "data and result file record");
TESSUVAN_STATIC_ASSERT(offsetof(TessuvanPointRecord, Interrupt) == 2, "record interrupt");
TESSUVAN_STATIC_ASSERT(offsetof(TessuvanPointRecord, Time) == 4, "record time");
TESSUVAN_STATIC_ASSERT(offsetof(TessuvanPointRecord, Values) == 8, "record values");
TESSUVAN_STATIC_ASSERT(sizeof(float) == 4, "IEEE singles");
TESSUVAN_STATIC_ASSERT(sizeof(TessuvanText) == TESSUVAN_TEXT_SIZE, "VARIANT size");
TESSUVAN_STATIC_ASSERT(offsetof(TessuvanText, bstr) == 8, "VARIANT text pointer at 8");
#if defined(TESSUVAN_BUILD_LARGE)
TESSUVAN_STATIC_ASSERT(sizeof(WorkingFloat) == 8, "double");
TESSUVAN_STATIC_ASSERT(sizeof(TessuvanCount) == 4, "32-bit counts");
TESSUVAN_STATIC_ASSERT(MaxIndividuals == 5000 && MaxPoints == 2000 && MaxInterrupts == 1000, "capacities");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, FileNameEsp) == 24, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NEspeces) == 48, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NIndividuals) == 60, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NPoints) == 80, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NSorties) == 84, "BInitials");
TESSUVAN_STATIC_ASSERT(sizeof(BInitials) == 88, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BFitSet, Method) == 60032, "BFitSet");
TESSUVAN_STATIC_ASSERT(sizeof(BFitSet) == 60056, "BFitSet");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, StandardErrors) == 1200480, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, PriorDeviations) == 1200720, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, DefiningTexts) == 1200960, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, FitCodes) == 1202400, "ParameterTable");
TESSUVAN_STATIC_ASSERT(sizeof(ParameterTable) == 1802520, "ParameterTable");
#elif defined(TESSUVAN_BUILD_64)
TESSUVAN_STATIC_ASSERT(sizeof(WorkingFloat) == 8, "double");
TESSUVAN_STATIC_ASSERT(sizeof(TessuvanCount) == 2, "16-bit counts");
TESSUVAN_STATIC_ASSERT(MaxIndividuals == 100 && MaxPoints == 150 && MaxInterrupts == 10, "capacities");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, FileNameEsp) == 24, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NEspeces) == 48, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NSorties) == 66, "BInitials");
TESSUVAN_STATIC_ASSERT(sizeof(BInitials) == 72, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BFitSet, Method) == 1232, "BFitSet");
TESSUVAN_STATIC_ASSERT(sizeof(BFitSet) == 1256, "BFitSet");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, StandardErrors) == 24480, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, PriorDeviations) == 24720, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, DefiningTexts) == 24960, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, FitCodes) == 26400, "ParameterTable");
#else
TESSUVAN_STATIC_ASSERT(sizeof(WorkingFloat) >= 10, "x87 extended");
TESSUVAN_STATIC_ASSERT(sizeof(TessuvanCount) == 2, "16-bit counts");
TESSUVAN_STATIC_ASSERT(MaxIndividuals == 80 && MaxPoints == 150 && MaxInterrupts == 10, "capacities");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, FileNameEsp) == 16, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NEspeces) == 32, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NSorties) == 50, "BInitials");
TESSUVAN_STATIC_ASSERT(sizeof(BInitials) == 56, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BFitSet, Method) == 992, "BFitSet");
TESSUVAN_STATIC_ASSERT(sizeof(BFitSet) == 1008, "BFitSet");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, StandardErrors) == 15416, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, PriorDeviations) == 15604, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, DefiningTexts) == 15792, "ParameterTable");
TESSUVAN_STATIC_ASSERT(offsetof(ParameterTable, FitCodes) == 16544, "ParameterTable");
#endif
TESSUVAN_STATIC_ASSERT(offsetof(BInitials, NEspeces) == 2 * TESSUVAN_TEXT_SIZE, "BInitials");
TESSUVAN_STATIC_ASSERT(offsetof(BFitSet, ErreurCalc) == 20, "BFitSet");
TESSUVAN_STATIC_ASSERT(sizeof(PParameterTexts) == MaxInterrupts * 30 * TESSUVAN_TEXT_SIZE, "P texts");
TESSUVAN_STATIC_ASSERT(sizeof(QParameterValues) == MaxIndividuals * 120, "Q values");
TESSUVAN_STATIC_ASSERT(sizeof(OutputTexts) == 20 * TESSUVAN_TEXT_SIZE, "output texts");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSUVAN_H */
