#include "engine/engine_session.h"

#include <cmath>
#include <cstring>
#include <fstream>

#include "engine/engine_codes.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

constexpr std::size_t kRecordBytes = sizeof(TessuvanPointRecord);
constexpr int kValueSlots = 60;

// A text the engine reads, freed with its owner.
class Text {
public:
    explicit Text(TessuvanText& slot) : slot_(slot) {}
    ~Text() { TessuvanTextFree(&slot_); }
    void Set(const std::string& text)
    {
        TessuvanTextFree(&slot_);
        if (!text.empty() && TessuvanTextSet(&slot_, text.c_str()) != 0) throw std::bad_alloc();
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

private:
    TessuvanText& slot_;
};

void PutInt16(unsigned char* at, int value)
{
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
    at[0] = static_cast<unsigned char>(v & 0xff);
    at[1] = static_cast<unsigned char>(v >> 8);
}

void PutSingle(unsigned char* at, double value)
{
    const float single = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &single, 4);
    for (int b = 0; b < 4; ++b) at[b] = static_cast<unsigned char>((bits >> (8 * b)) & 0xff);
}

int GetInt16(const unsigned char* at)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(at[0] | (at[1] << 8)));
}

double GetSingle(const unsigned char* at)
{
    const std::uint32_t bits = std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
                               (std::uint32_t(at[3]) << 24);
    float single;
    std::memcpy(&single, &bits, 4);
    return single;
}

[[noreturn]] void FileFailure(const std::filesystem::path& path, const char* what)
{
    throw std::runtime_error("cannot " + std::string(what) + " the engine's working file " + path.string());
}

}  // namespace

// The host's records, owned here, zeroed before use.
struct EngineSession::Records {
    BInitials init{};
    BFitSet fit{};
    ParameterTable table{};
    PParameterTexts pTexts{};
    QParameterValues qValues{};
    OutputTexts outputs{};
    std::vector<std::unique_ptr<Text>> owned;

    Records() = default;
    void Set(TessuvanText& slot, const std::string& text)
    {
        owned.push_back(std::make_unique<Text>(slot));
        owned.back()->Set(text);
    }
};

ParameterValues InitialValues(const Model& model, std::size_t individuals)
{
    ParameterValues values;
    for (const ParameterSpec& parameter : model.parameters) values.population.push_back(parameter.value);
    values.individual.assign(individuals, values.population);
    values.standardErrors.assign(model.parameters.size(), 0.0);
    return values;
}

EngineSession::EngineSession(const Model& model, const EngineProblem& problem, const ParameterValues& start,
                             const std::filesystem::path& folder)
    : model_(model),
      problem_(problem),
      dataFile_(folder / "points.dat"),
      speciesFile_(folder / "species.txt"),
      records_(std::make_unique<Records>())
{
    Records& r = *records_;
    const int individuals = int(problem.individuals.size());

    // The data file: one record per point, individual by individual.
    {
        std::ofstream data(dataFile_, std::ios::binary | std::ios::trunc);
        if (!data) FileFailure(dataFile_, "create");
        unsigned char record[kRecordBytes];
        for (int i = 0; i < individuals; ++i)
            for (const EnginePoint& point : problem.individuals[std::size_t(i)].points) {
                std::memset(record, 0, sizeof record);
                PutInt16(record, i + 1);
                PutInt16(record + 2, point.interrupt);
                PutSingle(record + 4, point.time);
                for (std::size_t k = 0; k < point.observed.size(); ++k) PutSingle(record + 8 + 4 * k, point.observed[k]);
                data.write(reinterpret_cast<const char*>(record), sizeof record);
            }
        if (!data.flush()) FileFailure(dataFile_, "write");
    }
    {
        std::ofstream species(speciesFile_, std::ios::binary | std::ios::trunc);
        if (!species) FileFailure(speciesFile_, "create");
        for (const std::string& line : SpeciesFileLines(model, problem)) species << line << '\n';
        if (!species.flush()) FileFailure(speciesFile_, "write");
    }

    r.Set(r.init.FileNameDat, dataFile_.string());
    r.Set(r.init.FileNameEsp, speciesFile_.string());
    r.init.NEspeces = TessuvanCount(problem.speciesCount);
    r.init.NPopAPriori = TessuvanCount(model.fit.priorPopulation);
    r.init.NIndividuals = TessuvanCount(individuals);
    r.init.NInterrupts = TessuvanCount(problem.interruptCount);
    r.init.NPParametres = TessuvanCount(problem.pTexts.front().size());
    r.init.NQParametres = TessuvanCount(model.covariates.size());
    r.init.NAjustables = TessuvanCount(model.parameters.size());
    r.init.NPoints = TessuvanCount(problem.PointCount());
    r.init.NSorties = TessuvanCount(problem.outputTexts.size());

    r.fit.TypeErreurData = float(model.fit.errorExponent);
    r.fit.Tolerance = float(model.fit.tolerance);
    r.fit.Marquard = float(model.fit.damping);
    r.fit.Precision = float(model.fit.precision);
    r.Set(r.fit.Method, model.fit.method);

    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& parameter = model.parameters[p];
        r.table.Values[0][p] = float(start.population[p]);
        for (int i = 0; i < individuals; ++i) r.table.Values[i + 1][p] = float(start.individual[std::size_t(i)][p]);
        r.table.Values[individuals + 1][p] = float(parameter.prior);
        r.table.PriorDeviations[p] = float(parameter.priorSd);
        r.Set(r.table.DefiningTexts[p], problem.parameterTexts[p]);
        for (int i = 0; i <= individuals; ++i) r.table.FitCodes[i][p] = std::int16_t(parameter.estimate);
    }
    for (std::size_t t = 0; t < problem.pTexts.size(); ++t)
        for (std::size_t q = 0; q < problem.pTexts[t].size(); ++q) r.Set(r.pTexts[t][q], problem.pTexts[t][q]);
    for (int i = 0; i < individuals; ++i)
        for (std::size_t q = 0; q < model.covariates.size(); ++q)
            r.qValues[i][q] = float(problem.individuals[std::size_t(i)].covariates[q]);
    for (std::size_t k = 0; k < problem.outputTexts.size(); ++k) r.Set(r.outputs[k], problem.outputTexts[k]);
}

EngineSession::~EngineSession() { Release(); }

void EngineSession::Release()
{
    if (loaded_) {
        records_->fit.Erreur = 0;
        Fin(&records_->init, &records_->fit);
        loaded_ = false;
    }
    std::error_code ignored;
    std::filesystem::remove(dataFile_, ignored);
    std::filesystem::remove(speciesFile_, ignored);
}

void EngineSession::Load()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    loaded_ = true;  // from here on Fin releases whatever the load allocated
    Calcul_initial(&r.init, &r.fit, &r.table, &r.pTexts, &r.qValues, &r.outputs);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::Load, r.fit.Erreur, model_.fit.method);
}

void EngineSession::Simulate()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    Simulation(&r.init, &r.fit, nullptr, &r.table);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::Simulation, r.fit.Erreur, model_.fit.method);
}

bool EngineSession::PopulationIteration()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    r.fit.Done = 0;
    Ajustement_pop(&r.init, &r.fit, nullptr, &r.table);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::PopulationFit, r.fit.Erreur, model_.fit.method);
    return r.fit.Done != 0;
}

bool EngineSession::IndividualIteration(int i)
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    r.fit.Done = 0;
    std::int16_t individual = std::int16_t(i);
    Ajustement_ind(&individual, &r.init, &r.fit, nullptr, &r.table);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::IndividualFit, r.fit.Erreur, model_.fit.method);
    return r.fit.Done != 0;
}

estimation::EngineBlock EngineSession::Block()
{
    Records& r = *records_;
    estimation::EngineBlock block;
    block.init = &r.init;
    block.fit = &r.fit;
    block.table = &r.table;
    block.pTexts = &r.pTexts;
    block.qValues = &r.qValues;
    block.outputs = &r.outputs;
    return block;
}

double EngineSession::PopulationObjective() const { return records_->fit.ErreurCalc[TESSUVAN_POPULATION_SUMS]; }

double EngineSession::IndividualObjective(int i) const
{
    return records_->fit.ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + i];
}

double EngineSession::IndividualObjectiveTotal() const { return records_->fit.ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS]; }

double EngineSession::PriorPenalty() const { return records_->fit.ErreurCalc[TESSUVAN_PRIOR_SUMS]; }

ParameterValues EngineSession::Values() const
{
    const Records& r = *records_;
    ParameterValues values;
    const std::size_t n = model_.parameters.size();
    const std::size_t individuals = problem_.individuals.size();
    values.individual.assign(individuals, std::vector<double>(n));
    for (std::size_t p = 0; p < n; ++p) {
        values.population.push_back(r.table.Values[0][p]);
        values.standardErrors.push_back(r.table.StandardErrors[p]);
        for (std::size_t i = 0; i < individuals; ++i) values.individual[i][p] = r.table.Values[i + 1][p];
    }
    return values;
}

std::vector<std::vector<PointPrediction>> EngineSession::ReadPredictions() const
{
    std::ifstream data(dataFile_, std::ios::binary);
    if (!data) FileFailure(dataFile_, "read");
    const std::size_t outputs = problem_.outputTexts.size();
    std::vector<std::vector<PointPrediction>> predictions(problem_.individuals.size());
    unsigned char record[kRecordBytes];
    for (std::size_t i = 0; i < problem_.individuals.size(); ++i)
        for (std::size_t j = 0; j < problem_.individuals[i].points.size(); ++j) {
            if (!data.read(reinterpret_cast<char*>(record), sizeof record)) FileFailure(dataFile_, "read");
            if (GetInt16(record) != int(i + 1))
                throw std::runtime_error("the engine's result file is not in the expected order");
            PointPrediction point;
            point.time = GetSingle(record + 4);
            for (std::size_t k = 0; k < outputs; ++k) {
                point.observed.push_back(GetSingle(record + 8 + 4 * k));
                point.population.push_back(GetSingle(record + 8 + 4 * (20 + k)));
                point.individual.push_back(GetSingle(record + 8 + 4 * (40 + k)));
            }
            predictions[i].push_back(point);
        }
    static_assert(kValueSlots == 60);
    return predictions;
}

}  // namespace tessuvan::cli
