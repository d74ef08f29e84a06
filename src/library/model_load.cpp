#include "library/model_load.h"

#include <cmath>
#include <new>

#include "formula/simplifier.h"
#include "formula/tokenizer.h"
#include "integration/methods.h"
#include "library/capacities.h"
#include "library/data_file.h"
#include "library/host_text.h"
#include "library/species_file.h"

namespace tessuvan {

bool CountObservations(LibraryState& state, ModelStore& store)
{
    const BInitials& counts = state.init.record;
    store.IndividualsWithObservations = 0;
    store.TotalObservationCount = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i) {
        store.ObservationCount(i) = 0;
        for (int k = 1; k <= counts.NSorties; ++k)
            for (int j = 1; j <= store.PointCount(i); ++j)
                if (store.Observed(i, j, k) > ObservationThreshold) {
                    ++store.TotalObservationCount;
                    ++store.ObservationCount(i);
                }
        if (store.ObservationCount(i) > 0) {
            ++store.IndividualsWithObservations;
        } else {
            for (int a = 1; a <= counts.NAjustables; ++a) {
                int16_t& code = state.AdjustableTable[a].PA[i];
                if (code == FitCodePopulationAndIndividual) code = FitCodePopulationOnly;
                else if (code == FitCodeIndividualOnly) code = FitCodeFixed;
            }
        }
    }
    return store.TotalObservationCount > 0;
}

namespace {

// Everything one load needs besides the state: the host's records and the running code.
class Loader {
public:
    Loader(LibraryState& state, BInitials& init, BFitSet& fit, ParameterTable& table, PParameterTexts& pTexts,
           QParameterValues& qValues, OutputTexts& outputs, const ModelDataInMemory* data)
        : state_(state), counts_(state.init.record), init_(init), fit_(fit), table_(table), pTexts_(pTexts),
          qValues_(qValues), outputs_(outputs), data_(data)
    {
    }

    void Run();

private:
    int16_t& Erreur() { return fit_.Erreur; }

    // A new record in slot when the host's text is a text; an invalid text is a formula error
    // (counted into pending_) and leaves the slot null like an empty one.
    void AllocateFor(const TessuvanText& text, compilptr& slot, TokenText* copy = nullptr);
    // Tokenize (its count always added), then, if Erreur is still 0, simplify and compile
    // into slot. Returns whether the compile step ran.
    bool Prepare(TokenText text, compilptr& slot);

    void ReadFormulaSlots();
    void SelectMethod();
    void CheckSelfNaming();
    void CompileDefinitions();
    void CompileModelFormulas();
    void InstallValues();
    void CountFittedValues();

    LibraryState& state_;
    const BInitials& counts_;
    BInitials& init_;
    BFitSet& fit_;
    ParameterTable& table_;
    PParameterTexts& pTexts_;
    QParameterValues& qValues_;
    OutputTexts& outputs_;
    const ModelDataInMemory* data_;  // null: the files
    int16_t pending_ = 0;  // codes found before the method step resets Erreur
};

void Loader::AllocateFor(const TessuvanText& text, compilptr& slot, TokenText* copy)
{
    TokenText read;
    const TextStatus status = ReadHostText(text, read);
    if (copy != nullptr) *copy = read;
    FreeFormula(slot);
    slot = nullptr;
    if (status == TextStatus::Invalid) AddCode(pending_, 1);
    if (status != TextStatus::Text) return;
    slot = NewFormula();
    if (slot == nullptr) AddCode(pending_, TessuvanOutOfMemory);
}

bool Loader::Prepare(TokenText text, compilptr& slot)
{
    int16_t errors = 0;
    TokenizeFormula(text, errors, state_.constants);
    AddCode(Erreur(), errors);
    if (Erreur() != 0) return false;
    SimplifyFormula(text, state_.constants);
    errors = 0;
    CompileFormula(text, &slot, errors, state_.Environment());
    AddCode(Erreur(), errors);
    return true;
}

void Loader::ReadFormulaSlots()
{
    for (int k = 1; k <= counts_.NSorties; ++k) AllocateFor(outputs_[k - 1], state_.OutputFormulas[k]);
    for (int p = 1; p <= counts_.NPParametres; ++p)
        for (int t = 1; t <= counts_.NInterrupts; ++t) AllocateFor(pTexts_[t - 1][p - 1], state_.PParameterFormulas[p][t]);
    for (int a = 1; a <= counts_.NAjustables; ++a) {
        PAjustable& parameter = state_.AdjustableTable[a];
        for (int r = 0; r <= counts_.NIndividuals; ++r) parameter.PA[r] = table_.FitCodes[r][a - 1];
        AdjustableDefinition& definition = state_.AdjustableDefinitions[a];
        AllocateFor(table_.DefiningTexts[a - 1], definition.PE, &definition.PEqualTo);
    }
}

void Loader::SelectMethod()
{
    Erreur() = TessuvanUnknownMethod;
    std::string name;
    if (!ReadHostAscii(fit_.Method, name)) return;
    if (Integrator method = IntegratorNamed(name)) {
        state_.CurrentIntegrator = method;
        Erreur() = TessuvanOk;
    }
}

// A definition that names its own parameter is dropped, not an error: the parameter is free.
void Loader::CheckSelfNaming()
{
    for (int a = 1; a <= counts_.NAjustables; ++a) {
        AdjustableDefinition& parameter = state_.AdjustableDefinitions[a];
        if (parameter.PEqualTo.empty()) continue;
        int16_t errors = 0;
        TokenizeFormula(parameter.PEqualTo, errors, state_.constants);
        AddCode(Erreur(), errors);
        if (errors == 0) SimplifyFormula(parameter.PEqualTo, state_.constants);
        const TokenText own = OperandToken(u'A', a);
        if (parameter.PEqualTo.find(own) != TokenText::npos) {
            EmptyHostText(table_.DefiningTexts[a - 1]);
            parameter.PEqualTo.clear();
            FreeFormula(parameter.PE);
            parameter.PE = nullptr;
        }
    }
}

void Loader::CompileDefinitions()
{
    for (int a = 1; a <= counts_.NAjustables; ++a) {
        AdjustableDefinition& parameter = state_.AdjustableDefinitions[a];
        if (parameter.PE == nullptr || Erreur() != 0) continue;
        // Compiled into a record of its own: while it compiles, PE only marks that the parameter
        // is defined, and the compiler may drop (free) that marker when definitions that refer
        // to each other fail.
        compilptr record = NewFormula();
        if (record == nullptr) {
            AddCode(Erreur(), TessuvanOutOfMemory);
            continue;
        }
        int16_t errors = 0;
        CompileFormula(parameter.PEqualTo, &record, errors, state_.Environment());
        FreeFormula(parameter.PE);
        parameter.PE = record;
        AddCode(Erreur(), errors);
        // A definition reaching its own parameter through other definitions is an error.
        AddCode(Erreur(), CountReferences(&state_.variables.AdjustableValues[a], record));
        state_.AdjustableTable[a].PA[0] = FitCodeFixed;  // a defined parameter is never fitted at population level
        table_.FitCodes[0][a - 1] = FitCodeFixed;
    }
}

void Loader::CompileModelFormulas()
{
    for (int p = 1; p <= counts_.NPParametres; ++p)
        for (int t = 1; t <= counts_.NInterrupts; ++t) {
            compilptr& slot = state_.PParameterFormulas[p][t];
            if (slot == nullptr) continue;
            TokenText text;
            ReadHostText(pTexts_[t - 1][p - 1], text);
            if (Prepare(text, slot)) AddCode(Erreur(), CountReferences(&state_.variables.PParameters[p], slot));
        }
    for (int s = 1; s <= counts_.NEspeces; ++s) {
        PEspece& species = state_.SpeciesTable[s];
        for (int t = 1; t <= counts_.NInterrupts; ++t)
            for (int i = 1; i <= counts_.NIndividuals; ++i)
                if (species.Formula[i][t] != nullptr) Prepare(species.TextFormula[i][t], species.Formula[i][t]);
    }
    for (int k = 1; k <= counts_.NSorties; ++k) {
        compilptr& slot = state_.OutputFormulas[k];
        if (slot == nullptr) continue;
        TokenText text;
        ReadHostText(outputs_[k - 1], text);
        Prepare(text, slot);
    }
    PEquations& equations = state_.EquationSet;
    for (int s = 1; s <= counts_.NEspeces; ++s) {
        for (int e = 1; e <= counts_.NEspeces; ++e)
            if (equations.AM[s][e] != nullptr) Prepare(equations.TextAM[s][e], equations.AM[s][e]);
        if (equations.FM[s] != nullptr) Prepare(equations.TextFM[s], equations.FM[s]);
    }
}

void Loader::InstallValues()
{
    const int n = counts_.NIndividuals;
    for (int a = 1; a <= counts_.NAjustables; ++a) {
        PAjustable& parameter = state_.AdjustableTable[a];
        for (int r = 0; r <= n; ++r) {
            parameter.PV[r] = static_cast<WorkingFloat>(table_.Values[r][a - 1]);
            parameter.dP[r] = 0;
        }
        parameter.PV[n + 1] = static_cast<WorkingFloat>(table_.Values[n + 1][a - 1]);
        const int16_t code = parameter.PA[0];
        if ((code == FitCodePopulationAndIndividual || code == FitCodePopulationOnly) &&
            std::fabs(parameter.PV[0]) < ObservationThreshold && n > 0) {
            WorkingFloat sum = 0;
            for (int i = 1; i <= n; ++i) sum += parameter.PV[i];
            parameter.PV[0] = sum / static_cast<WorkingFloat>(n);
        }
    }

    FormulaVariables& variables = state_.variables;
    for (int i = 1; i <= n; ++i)
        for (int q = 1; q <= counts_.NQParametres; ++q) {
            state_.IndividualQValues[q][i] = static_cast<WorkingFloat>(qValues_[i - 1][q - 1]);
            variables.QParameters[q] = state_.IndividualQValues[q][i];
        }

    // A P parameter without a formula for interrupt 1 keeps its value.
    for (int p = 1; p <= counts_.NPParametres; ++p)
        if (FormulaPresent(state_.PParameterFormulas[p][1]))
            variables.PParameters[p] = EvaluateFormula(state_.PParameterFormulas[p][1]);

    // Values of defined parameters, row by row; a definition sees the row's values and those
    // already recomputed for lower parameters.
    for (int r = 0; r <= n; ++r) {
        for (int a = 1; a <= counts_.NAjustables; ++a) variables.AdjustableValues[a] = state_.AdjustableTable[a].PV[r];
        for (int a = 1; a <= counts_.NAjustables; ++a) {
            PAjustable& parameter = state_.AdjustableTable[a];
            const compil* definition = state_.AdjustableDefinitions[a].PE;
            if (!FormulaPresent(definition)) continue;
            parameter.PV[r] = EvaluateFormula(definition);
            variables.AdjustableValues[a] = parameter.PV[r];
            table_.Values[r][a - 1] = static_cast<float>(parameter.PV[r]);
        }
    }
}

void Loader::CountFittedValues()
{
    const int n = counts_.NIndividuals;
    for (int a = 1; a <= counts_.NAjustables; ++a) {
        PAjustable& parameter = state_.AdjustableTable[a];
        const int16_t code = parameter.PA[0];
        if (code > 0) ++state_.AdjustedCount;
        if (code == FitCodeIndividualOnly) state_.FittedValueCount += n;
        if (code == FitCodePopulationAndIndividual) {
            state_.PopulationFitFlag = true;
            state_.FittedValueCount += n + 1;
        }
        if (code == FitCodePopulationOnly) {
            state_.PopulationFitFlag = true;
            state_.FittedValueCount += 1;
        }
        parameter.PS[0] = 0;
        parameter.PS[1] = static_cast<WorkingFloat>(table_.PriorDeviations[a - 1]);
    }
}

void Loader::Run()
{
    // A model still loaded is released first; no compiled formula then refers to the constant
    // table, so it starts empty.
    state_.ReleaseFormulasAndStore();
    state_.constants.Clear();

    state_.init.record = init_;
    state_.inMemory = data_ != nullptr;
    const bool dataNamed = !state_.inMemory && ReadHostFileName(init_.FileNameDat, state_.dataFileName);
    const bool speciesNamed = !state_.inMemory && ReadHostFileName(init_.FileNameEsp, state_.speciesFileName);
    if (!dataNamed) state_.dataFileName.clear();
    if (!speciesNamed) state_.speciesFileName.clear();
    // Fin erases the files of this run, whatever becomes of the load.
    state_.dataFileHandle = state_.dataFileName;
    state_.speciesFileHandle = state_.speciesFileName;
    if (!CountsWithinCapacities(counts_)) {
        AddCode(Erreur(), TessuvanContractError);
        return;
    }
    state_.loadedCounts = counts_;
    state_.modelAllocated = true;

    const DataFileStatus data =
        data_ != nullptr ? LoadDataRecords(data_->points, counts_, state_.storeByteLimit, state_.store)
                         : LoadDataFile(state_.dataFileName, counts_, state_.storeByteLimit, state_.store);
    switch (data) {
    case DataFileStatus::Ok: break;
    case DataFileStatus::FileError: AddCode(Erreur(), TessuvanFileError); return;
    case DataFileStatus::ContractError: AddCode(Erreur(), TessuvanContractError); return;
    case DataFileStatus::OutOfMemory: AddCode(Erreur(), TessuvanOutOfMemory); return;
    }
    try {
        state_.ShapeTables(counts_);
    } catch (const std::bad_alloc&) {
        AddCode(Erreur(), TessuvanOutOfMemory);
        return;
    }

    const SpeciesFileResult species = data_ != nullptr ? ReadSpeciesText(state_, data_->speciesText)
                                                       : ReadSpeciesFile(state_, state_.speciesFileName);
    if (!species.opened) {
        AddCode(Erreur(), TessuvanFileError);
        return;
    }
    AddCode(pending_, species.errors);
    if (species.outOfMemory) AddCode(pending_, TessuvanOutOfMemory);
    ReadFormulaSlots();

    SelectMethod();
    AddCode(Erreur(), pending_);
    CheckSelfNaming();
    CompileDefinitions();
    CompileModelFormulas();

    state_.AdjustedCount = 0;
    state_.FittedValueCount = 0;
    state_.PopulationFitFlag = false;
    if (!CountObservations(state_, *state_.store)) AddCode(Erreur(), TessuvanNoObservation);
    InstallValues();
    CountFittedValues();
    if (state_.store->TotalObservationCount < state_.AdjustedCount) AddCode(Erreur(), TessuvanTooFewObservations);
    init_.NPopAPosteriori = static_cast<TessuvanCount>(counts_.NPopAPriori + state_.store->IndividualsWithObservations);
    state_.init.record.NPopAPosteriori = init_.NPopAPosteriori;

    state_.modelReady = Erreur() == 0;
}

}  // namespace

void LoadModel(LibraryState& state, BInitials& init, BFitSet& fit, ParameterTable& table, PParameterTexts& pTexts,
               QParameterValues& qValues, OutputTexts& outputs, const ModelDataInMemory* data)
{
    Loader(state, init, fit, table, pTexts, qValues, outputs, data).Run();
}

}  // namespace tessuvan
