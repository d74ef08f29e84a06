/*
 * A host as the engine's Windows users write one: it loads the library by file name, binds the
 * five entry points by their undecorated names (stdcall in the 32-bit build), passes its texts
 * as OLE VARIANTs holding BSTRs made with SysAllocString (and, as real hosts do, one number and
 * one text held by reference), writes the data and species files (on Windows under a name
 * outside ASCII, which only a UTF-16 path can carry), and runs a load,
 * a simulation, population and individual fit steps and Fin. It prints every code, Done flag,
 * value of the result file, ErreurCalc entry and ParameterTable entry after each call.
 *
 * The same source builds a Linux twin against libTessuvan_64.so (or _32): scripts/windows-check.sh
 * runs both and compares the printouts, so a Windows build that reads texts, paths, records or
 * the calling convention differently shows up as a difference.
 *
 *   tessuvan_host LIBRARY WORK_FOLDER
 *
 * Exit status 0 when every call could be made and the printout is complete, 1 otherwise (the
 * values themselves are judged by the comparison).
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessuvan/tessuvan.h"

#if defined(_WIN32)
#include <windows.h>
#include <oleauto.h>
#include <fcntl.h>
#include <float.h>
#include <io.h>
#include <wchar.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

typedef void(TESSUVAN_CALL *CalculInitialCall)(BInitials *, BFitSet *, ParameterTable *, PParameterTexts *,
                                               QParameterValues *, OutputTexts *);
typedef void(TESSUVAN_CALL *SimulationCall)(BInitials *, BFitSet *, void *, ParameterTable *);
typedef void(TESSUVAN_CALL *AjustementIndCall)(int16_t *, BInitials *, BFitSet *, void *, ParameterTable *);
typedef void(TESSUVAN_CALL *FinCall)(BInitials *, BFitSet *);

typedef struct Library {
    CalculInitialCall calculInitial;
    SimulationCall simulation;
    SimulationCall ajustementPop;
    AjustementIndCall ajustementInd;
    FinCall fin;
} Library;

/* ---------------------------------------------------------------------------------------------
 * The platform: loading the library, texts, files
 * ------------------------------------------------------------------------------------------- */

#if defined(_WIN32)

typedef wchar_t PathChar;
#define PATH_TEXT(s) L##s

static void (*Bind(HMODULE module, const char *name))(void)
{
    return (void (*)(void))GetProcAddress(module, name);
}

static int OpenLibrary(const char *path, Library *library)
{
    HMODULE module = LoadLibraryA(path);
    if (module == NULL) return -1;
    library->calculInitial = (CalculInitialCall)Bind(module, "Calcul_initial");
    library->simulation = (SimulationCall)Bind(module, "Simulation");
    library->ajustementPop = (SimulationCall)Bind(module, "Ajustement_pop");
    library->ajustementInd = (AjustementIndCall)Bind(module, "Ajustement_ind");
    library->fin = (FinCall)Bind(module, "Fin");
    return 0;
}

/* A BSTR made by the automation library, in a VARIANT of type VT_BSTR. */
static int MakeText(TessuvanText *text, const char *ascii)
{
    VARIANT *variant = (VARIANT *)text;
    wchar_t wide[256];
    size_t i, n = strlen(ascii);
    if (n >= sizeof wide / sizeof wide[0]) return -1;
    for (i = 0; i <= n; ++i) wide[i] = (wchar_t)(unsigned char)ascii[i];
    VariantInit(variant);
    V_VT(variant) = VT_BSTR;
    V_BSTR(variant) = SysAllocString(wide);
    return V_BSTR(variant) == NULL ? -1 : 0;
}

static int MakePathText(TessuvanText *text, const PathChar *path)
{
    VARIANT *variant = (VARIANT *)text;
    VariantInit(variant);
    V_VT(variant) = VT_BSTR;
    V_BSTR(variant) = SysAllocString(path);
    return V_BSTR(variant) == NULL ? -1 : 0;
}

static void FreeText(TessuvanText *text) { VariantClear((VARIANT *)text); }

/* Hosts also pass texts as other VARIANTs: a number, which OLE converts to its text, and a
 * text held by reference. The library must read them as the plain texts the Linux twin
 * passes, so the two printouts agree only if it does. */
static int MakeNumberText(TessuvanText *text, double value, const char *ascii)
{
    VARIANT *variant = (VARIANT *)text;
    (void)ascii;
    VariantInit(variant);
    V_VT(variant) = VT_R8;
    V_R8(variant) = value;
    return 0;
}

static BSTR referencedText; /* the BSTR a by-reference text points to, freed at the end */

static int MakeReferenceText(TessuvanText *text, const char *ascii)
{
    VARIANT *variant = (VARIANT *)text;
    VARIANT plain;
    if (MakeText((TessuvanText *)&plain, ascii) != 0) return -1;
    referencedText = V_BSTR(&plain);
    VariantInit(variant);
    V_VT(variant) = VT_BSTR | VT_BYREF;
    V_BSTRREF(variant) = &referencedText;
    return 0;
}

static void FreeReferencedText(void) { SysFreeString(referencedText); }

static FILE *OpenPath(const PathChar *path, const char *mode)
{
    wchar_t wideMode[8];
    size_t i;
    for (i = 0; mode[i] != '\0' && i + 1 < 8; ++i) wideMode[i] = (wchar_t)mode[i];
    wideMode[i] = 0;
    return _wfopen(path, wideMode);
}

static int PathExists(const PathChar *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

static void RemovePath(const PathChar *path) { _wremove(path); }

/* folder\name, the folder given in the ANSI code page, the name in UTF-16. */
static int JoinPath(PathChar *out, size_t capacity, const char *folder, const PathChar *name)
{
    int n = MultiByteToWideChar(CP_ACP, 0, folder, -1, out, (int)capacity);
    if (n <= 0 || (size_t)n + wcslen(name) + 1 > capacity) return -1;
    wcscat(out, L"\\");
    wcscat(out, name);
    return 0;
}

/* Names outside ASCII (é, à, λ outside every ANSI code page, and a character beyond the basic
 * plane, a surrogate pair in UTF-16): only a library that opens and erases its files through
 * UTF-16 paths finds them. */
static const PathChar kDataName[] = L"donn\u00e9es \u03bb-\u00e0 \U0001D49C.dat";
static const PathChar kSpeciesName[] = L"esp\u00e8ces \u03bb.txt";

/* The hosts that load the 32-bit library run with the x87 precision control at 53 bits: the
 * host does the same, and checks that each call leaves it so. */
#if defined(__i386__)
static void PrepareFloatingPoint(void) { _controlfp(_PC_53, _MCW_PC); }
static int FloatingPointKept(void) { return (_controlfp(0, 0) & _MCW_PC) == _PC_53; }
#else
static void PrepareFloatingPoint(void) {}
static int FloatingPointKept(void) { return 1; }
#endif

/* The printout's lines end as on Linux, so that the two compare line by line. */
static void PrepareOutput(void) { _setmode(_fileno(stdout), _O_BINARY); }

#else

typedef char PathChar;
#define PATH_TEXT(s) s

static int OpenLibrary(const char *path, Library *library)
{
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void *symbol;
    if (module == NULL) return -1;
    /* dlsym returns an object pointer; its bytes are the function's address. */
    symbol = dlsym(module, "Calcul_initial");
    memcpy(&library->calculInitial, &symbol, sizeof symbol);
    symbol = dlsym(module, "Simulation");
    memcpy(&library->simulation, &symbol, sizeof symbol);
    symbol = dlsym(module, "Ajustement_pop");
    memcpy(&library->ajustementPop, &symbol, sizeof symbol);
    symbol = dlsym(module, "Ajustement_ind");
    memcpy(&library->ajustementInd, &symbol, sizeof symbol);
    symbol = dlsym(module, "Fin");
    memcpy(&library->fin, &symbol, sizeof symbol);
    return 0;
}

static int MakeText(TessuvanText *text, const char *ascii) { return TessuvanTextSet(text, ascii); }
static int MakePathText(TessuvanText *text, const PathChar *path) { return TessuvanTextSet(text, path); }
static void FreeText(TessuvanText *text) { TessuvanTextFree(text); }
static int MakeNumberText(TessuvanText *text, double value, const char *ascii)
{
    (void)value;
    return TessuvanTextSet(text, ascii);
}
static int MakeReferenceText(TessuvanText *text, const char *ascii) { return TessuvanTextSet(text, ascii); }
static void FreeReferencedText(void) {}
static FILE *OpenPath(const PathChar *path, const char *mode) { return fopen(path, mode); }
static int PathExists(const PathChar *path) { return access(path, F_OK) == 0; }
static void RemovePath(const PathChar *path) { remove(path); }

static int JoinPath(PathChar *out, size_t capacity, const char *folder, const PathChar *name)
{
    int n = snprintf(out, capacity, "%s/%s", folder, name);
    return n < 0 || (size_t)n >= capacity ? -1 : 0;
}

static const PathChar kDataName[] = "data points.dat";
static const PathChar kSpeciesName[] = "species.txt";

static void PrepareFloatingPoint(void) {}
static int FloatingPointKept(void) { return 1; }
static void PrepareOutput(void) {}

#endif

/* ---------------------------------------------------------------------------------------------
 * The model: oral dosing into a depot (species 1) absorbed into a central compartment
 * (species 2), dosed at time 0 and again at 12 (interrupt 2), three individuals of different
 * weight (Q1). Parameters: A1 absorption rate (population only), A2 elimination rate and A3
 * volume per unit weight (population and individual), A4 clearance defined by a formula, A5 a
 * definition that names its own parameter (the library drops it and empties the host's text).
 * Output 1 is the concentration, output 2 the elimination flow, observed at fewer points.
 * ------------------------------------------------------------------------------------------- */

enum { kIndividuals = 3, kInterrupts = 2, kSpecies = 2, kOutputs = 2, kAdjustables = 5, kPointsEach = 10 };

typedef struct DataPoint {
    int individual, interrupt;
    double time, concentration, flow;
} DataPoint;

/* Generated from the model with A1 = 1.2, A2 = 0.10 / 0.15 / 0.08, A3 = 0.5 / 0.4 / 0.6 and a
 * few per cent of deterministic scatter; 0 is no observation. */
static const DataPoint kPoints[kIndividuals * kPointsEach] = {
    {1, 1, 0, 0, 0},          {1, 1, 0.5, 1.37914, 0},   {1, 1, 1, 2.28238, 0},
    {1, 1, 2, 2.62101, 8.24133}, {1, 1, 4, 2.35241, 0},  {1, 1, 8, 1.71343, 4.95078},
    {1, 2, 12, 1.02966, 0},   {1, 2, 13, 2.19874, 0},    {1, 2, 16, 1.8806, 5.8777},
    {1, 2, 24, 0.875272, 0},  {2, 1, 0, 0, 0},           {2, 1, 0.5, 1.44501, 0},
    {2, 1, 1, 2.06191, 0},    {2, 1, 2, 2.61119, 11.23}, {2, 1, 4, 1.93671, 0},
    {2, 1, 8, 1.20068, 5.36506}, {2, 2, 12, 0.617367, 0}, {2, 2, 13, 1.58615, 0},
    {2, 2, 16, 1.43354, 6.43514}, {2, 2, 24, 0.39446, 0}, {3, 1, 0, 0, 0},
    {3, 1, 0.5, 0.864888, 0}, {3, 1, 1, 1.16334, 0},     {3, 1, 2, 1.56971, 6.35705},
    {3, 1, 4, 1.41171, 0},    {3, 1, 8, 1.02113, 4.74489}, {3, 2, 12, 0.797237, 0},
    {3, 2, 13, 1.23927, 0},   {3, 2, 16, 1.32994, 5.73263}, {3, 2, 24, 0.651478, 0},
};

static const float kWeights[kIndividuals] = {60, 75, 90};

enum { kRecordBytes = 248 };

/* The data file, the individuals' records interleaved point by point (the library groups them
 * by individual in the result file). */
static int WriteDataFile(const PathChar *path)
{
    FILE *file = OpenPath(path, "wb");
    int j, i;
    if (file == NULL) return -1;
    for (j = 0; j < kPointsEach; ++j) {
        for (i = 0; i < kIndividuals; ++i) {
            const DataPoint *point = &kPoints[i * kPointsEach + j];
            unsigned char record[kRecordBytes];
            int16_t individual = (int16_t)point->individual, interrupt = (int16_t)point->interrupt;
            float values[60] = {0};
            float time = (float)point->time;
            values[0] = (float)point->concentration;
            values[1] = (float)point->flow;
            memcpy(record, &individual, 2);
            memcpy(record + 2, &interrupt, 2);
            memcpy(record + 4, &time, 4);
            memcpy(record + 8, values, sizeof values);
            if (fwrite(record, 1, sizeof record, file) != sizeof record) {
                fclose(file);
                return -1;
            }
        }
    }
    return fclose(file) == 0 ? 0 : -1;
}

/* Per species: the amount set when each interrupt of each individual begins, the free term,
 * then the coefficients of every species in its rate. */
static int WriteSpeciesFile(const PathChar *path)
{
    static const char *const kDose[kSpecies][kInterrupts] = {{"P1", "F1+P1"}, {"0", "F2"}};
    static const char *const kFreeTerm[kSpecies] = {"", ""};
    static const char *const kCoefficient[kSpecies][kSpecies] = {{"-A1", ""}, {"A1", "-A4/(A3*Q1)"}};
    FILE *file = OpenPath(path, "wb");
    int s, i, t, e;
    if (file == NULL) return -1;
    for (s = 0; s < kSpecies; ++s) {
        for (i = 0; i < kIndividuals; ++i)
            for (t = 0; t < kInterrupts; ++t) fprintf(file, "%s\r\n", kDose[s][t]);
        fprintf(file, "%s\r\n", kFreeTerm[s]);
        for (e = 0; e < kSpecies; ++e) fprintf(file, "%s\r\n", kCoefficient[s][e]);
    }
    return fclose(file) == 0 ? 0 : -1;
}

typedef struct Host {
    BInitials init;
    BFitSet fit;
    ParameterTable table;
    PParameterTexts pTexts;
    QParameterValues qValues;
    OutputTexts outputs;
} Host;

static int FillRecords(Host *host, const PathChar *dataPath, const PathChar *speciesPath)
{
    static const char *const kDefinitions[kAdjustables] = {"", "", "", "A2*A3*Q1", "A5*2"};
    static const float kStart[kAdjustables] = {1.0f, 0.12f, 0.45f, 0.0f, 1.0f};
    static const int16_t kCodes[kAdjustables] = {FitCodePopulationOnly, FitCodePopulationAndIndividual,
                                                 FitCodePopulationAndIndividual, FitCodeFixed, FitCodeFixed};
    static const float kPriorDeviation[kAdjustables] = {0.5f, 0.05f, 0.2f, 0.0f, 0.0f};
    int failed = 0, a, r, i;

    host->init.NEspeces = kSpecies;
    host->init.NPopAPriori = 1;
    host->init.NIndividuals = kIndividuals;
    host->init.NInterrupts = kInterrupts;
    host->init.NPParametres = 1;
    host->init.NQParametres = 1;
    host->init.NAjustables = kAdjustables;
    host->init.NPoints = kIndividuals * kPointsEach;
    host->init.NSorties = kOutputs;
    failed |= MakePathText(&host->init.FileNameDat, dataPath);
    failed |= MakePathText(&host->init.FileNameEsp, speciesPath);

    host->fit.TypeErreurData = 2.0f;
    host->fit.Tolerance = 1e-4f;
    host->fit.Marquard = 0.01f;
    host->fit.Precision = 1e-6f;
    failed |= MakeText(&host->fit.Method, "RUNGE-KUTTA QC");

    for (a = 0; a < kAdjustables; ++a) {
        for (r = 0; r <= kIndividuals + 1; ++r) host->table.Values[r][a] = kStart[a];
        for (r = 0; r <= kIndividuals; ++r) host->table.FitCodes[r][a] = kCodes[a];
        host->table.PriorDeviations[a] = kPriorDeviation[a];
        if (kDefinitions[a][0] != '\0') failed |= MakeText(&host->table.DefiningTexts[a], kDefinitions[a]);
    }
    failed |= MakeNumberText(&host->pTexts[0][0], 100.0, "100");
    failed |= MakeText(&host->pTexts[1][0], "50");
    for (i = 0; i < kIndividuals; ++i) host->qValues[i][0] = kWeights[i];
    failed |= MakeText(&host->outputs[0], "F2/(A3*Q1)");
    failed |= MakeReferenceText(&host->outputs[1], "EX(LN(A4)+LN(F2)-LN(A3*Q1))");
    return failed ? -1 : 0;
}

static void FreeRecords(Host *host)
{
    int a, t, p, k;
    FreeText(&host->init.FileNameDat);
    FreeText(&host->init.FileNameEsp);
    FreeText(&host->fit.Method);
    for (a = 0; a < MaxAdjustables; ++a) FreeText(&host->table.DefiningTexts[a]);
    for (t = 0; t < MaxInterrupts; ++t)
        for (p = 0; p < MaxPParameters; ++p) FreeText(&host->pTexts[t][p]);
    for (k = 0; k < MaxOutputs; ++k) FreeText(&host->outputs[k]);
    FreeReferencedText();
}

/* ---------------------------------------------------------------------------------------------
 * The printout: one labelled line per item; floats as %.9e (exact for a single), integers as
 * plain numbers, so that the comparison knows which to compare exactly.
 * ------------------------------------------------------------------------------------------- */

static void PrintFloats(const char *label, const float *values, int count)
{
    int i;
    printf("%s", label);
    for (i = 0; i < count; ++i) printf(" %.9e", (double)values[i]);
    printf("\n");
}

static void PrintCodes(const char *step, const Host *host)
{
    printf("%s codes: Erreur %d Done %d NPopAPosteriori %d\n", step, host->fit.Erreur, host->fit.Done,
           host->init.NPopAPosteriori);
    printf("%s floating-point control kept: %d\n", step, FloatingPointKept());
}

static void PrintFitSet(const char *step, const Host *host)
{
    char label[64];
    snprintf(label, sizeof label, "%s ErreurCalc", step);
    PrintFloats(label, host->fit.ErreurCalc, 3 * MaxIndividuals + 3);
    printf("%s settings:", step);
    printf(" %.9e %.9e %.9e %.9e\n", (double)host->fit.TypeErreurData, (double)host->fit.Tolerance,
           (double)host->fit.Marquard, (double)host->fit.Precision);
}

/* The type tag of each defining text (0 once the library emptied it) and every used entry of
 * the table: value rows 0..N+1, standard errors, prior deviations and fit codes. */
static void PrintTable(const char *step, const Host *host)
{
    char label[64];
    int r, a;
    for (r = 0; r <= kIndividuals + 1; ++r) {
        snprintf(label, sizeof label, "%s table values row %d", step, r);
        PrintFloats(label, host->table.Values[r], kAdjustables);
    }
    snprintf(label, sizeof label, "%s table standard errors", step);
    PrintFloats(label, host->table.StandardErrors, kAdjustables);
    snprintf(label, sizeof label, "%s table prior deviations", step);
    PrintFloats(label, host->table.PriorDeviations, kAdjustables);
    for (r = 0; r <= kIndividuals; ++r) {
        printf("%s table fit codes row %d", step, r);
        for (a = 0; a < kAdjustables; ++a) printf(" %d", host->table.FitCodes[r][a]);
        printf("\n");
    }
    printf("%s table text types", step);
    for (a = 0; a < kAdjustables; ++a) printf(" %d", host->table.DefiningTexts[a].vt);
    printf("\n");
}

/* Every record of the result file, every one of its 60 values. */
static int PrintResultFile(const char *step, const PathChar *path)
{
    FILE *file = OpenPath(path, "rb");
    unsigned char record[kRecordBytes];
    int count = 0;
    if (file == NULL) {
        printf("%s result file: none\n", step);
        return 0;
    }
    while (fread(record, 1, sizeof record, file) == sizeof record) {
        int16_t individual, interrupt;
        float time, values[60];
        char label[64];
        memcpy(&individual, record, 2);
        memcpy(&interrupt, record + 2, 2);
        memcpy(&time, record + 4, 4);
        memcpy(values, record + 8, sizeof values);
        printf("%s result record %d: individual %d interrupt %d time %.9e\n", step, count, individual, interrupt,
               (double)time);
        snprintf(label, sizeof label, "%s result values %d", step, count);
        PrintFloats(label, values, 60);
        ++count;
    }
    fclose(file);
    printf("%s result file: %d records\n", step, count);
    return count;
}

static void PrintAfter(const char *step, const Host *host, const PathChar *dataPath)
{
    PrintCodes(step, host);
    PrintFitSet(step, host);
    PrintTable(step, host);
    PrintResultFile(step, dataPath);
}

int main(int argc, char **argv)
{
    enum { kPathCapacity = 1024 };
    static Host host; /* zeroed: every text empty, every count and value 0 */
    static PathChar dataPath[kPathCapacity], speciesPath[kPathCapacity];
    Library library;
    int16_t individual;
    int step;

    PrepareOutput();
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY WORK_FOLDER\n", argv[0]);
        return 1;
    }
    if (OpenLibrary(argv[1], &library) != 0) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    if (library.calculInitial == NULL || library.simulation == NULL || library.ajustementPop == NULL ||
        library.ajustementInd == NULL || library.fin == NULL) {
        fprintf(stderr, "an entry point is missing from %s\n", argv[1]);
        return 1;
    }
    if (JoinPath(dataPath, kPathCapacity, argv[2], kDataName) != 0 ||
        JoinPath(speciesPath, kPathCapacity, argv[2], kSpeciesName) != 0 || WriteDataFile(dataPath) != 0 ||
        WriteSpeciesFile(speciesPath) != 0 || FillRecords(&host, dataPath, speciesPath) != 0) {
        fprintf(stderr, "cannot prepare the model in %s\n", argv[2]);
        return 1;
    }
    PrepareFloatingPoint();

    library.calculInitial(&host.init, &host.fit, &host.table, &host.pTexts, &host.qValues, &host.outputs);
    PrintCodes("load", &host);
    PrintTable("load", &host);

    library.simulation(&host.init, &host.fit, NULL, &host.table);
    PrintAfter("simulation", &host, dataPath);

    for (step = 1; step <= 3; ++step) {
        char label[32];
        snprintf(label, sizeof label, "population fit %d", step);
        host.fit.Erreur = 0;
        library.ajustementPop(&host.init, &host.fit, NULL, &host.table);
        PrintAfter(label, &host, dataPath);
    }
    for (individual = 1; individual <= kIndividuals; ++individual) {
        char label[32];
        snprintf(label, sizeof label, "individual fit %d", individual);
        host.fit.Erreur = 0;
        library.ajustementInd(&individual, &host.init, &host.fit, NULL, &host.table);
        PrintAfter(label, &host, dataPath);
    }

    host.fit.Erreur = 0;
    library.fin(&host.init, &host.fit);
    PrintCodes("fin", &host);
    printf("fin files left: data %d species %d\n", PathExists(dataPath), PathExists(speciesPath));

    RemovePath(dataPath);
    RemovePath(speciesPath);
    FreeRecords(&host);
    return 0;
}
