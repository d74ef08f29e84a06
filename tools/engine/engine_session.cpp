#include "engine/engine_session.h"

#include <new>
#include <stdexcept>

#include "engine/engine_codes.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

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

}  // namespace

// The host's records, owned here, zeroed before use.
struct EngineSession::Records {
    BInitials init{};
    BFitSet fit{};
    ParameterTable table{};
    PParameterTexts pTexts{};
    QParameterValues qValues{};
    OutputTexts outputs{};
    std::vector<TessuvanPointRecord> points;  // what the data file would hold
    std::string speciesText;                  // what the species file would hold
    std::vector<std::unique_ptr<Text>> owned;
    Engine engine;

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

EngineSession::EngineSession(const Model& model, const EngineProblem& problem, const ParameterValues& start)
    : model_(model), problem_(problem), records_(std::make_unique<Records>())
{
    Records& r = *records_;
    const int individuals = int(problem.individuals.size());

    // The data records: one per point, individual by individual.
    r.points.reserve(problem.PointCount());
    for (int i = 0; i < individuals; ++i)
        for (const EnginePoint& point : problem.individuals[std::size_t(i)].points) {
            TessuvanPointRecord record{};
            record.Individual = std::int16_t(i + 1);
            record.Interrupt = std::int16_t(point.interrupt);
            record.Time = float(point.time);
            for (std::size_t k = 0; k < point.observed.size(); ++k)
                record.Values[TESSUVAN_OBSERVATIONS + k] = float(point.observed[k]);
            r.points.push_back(record);
        }
    for (const std::string& line : SpeciesFileLines(model, problem)) (r.speciesText += line) += '\n';

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
        records_->engine.Release(&records_->init, &records_->fit);
        loaded_ = false;
    }
}

void EngineSession::Load()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    loaded_ = true;  // from here on Fin releases whatever the load allocated
    r.engine.Load(&r.init, &r.fit, &r.table, &r.pTexts, &r.qValues, &r.outputs, r.points, r.speciesText);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::Load, r.fit.Erreur, model_.fit.method);
}

void EngineSession::Simulate()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    r.engine.Simulate(&r.init, &r.fit, nullptr, &r.table);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::Simulation, r.fit.Erreur, model_.fit.method);
}

bool EngineSession::PopulationIteration()
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    r.fit.Done = 0;
    r.engine.PopulationIteration(&r.init, &r.fit, nullptr, &r.table);
    if (r.fit.Erreur != 0) throw EngineError(EngineStage::PopulationFit, r.fit.Erreur, model_.fit.method);
    return r.fit.Done != 0;
}

bool EngineSession::IndividualIteration(int i)
{
    Records& r = *records_;
    r.fit.Erreur = 0;
    r.fit.Done = 0;
    std::int16_t individual = std::int16_t(i);
    r.engine.IndividualIteration(&individual, &r.init, &r.fit, nullptr, &r.table);
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
    block.points = &r.points;
    block.speciesText = r.speciesText;
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

std::vector<std::vector<PointPrediction>> EngineSession::ReadPredictions(bool rounded) const
{
    int code = 0;
    const auto points = records_->engine.Predictions(&code);
    if (code != 0) throw EngineError(EngineStage::Simulation, code, model_.fit.method);
    const std::size_t outputs = problem_.outputTexts.size();
    // Rounded to single, as the result file holds them: the toolkit reports what a host of the
    // public interface would read.
    const auto single = [rounded](double value) { return rounded ? double(float(value)) : value; };
    std::vector<std::vector<PointPrediction>> predictions(problem_.individuals.size());
    for (std::size_t i = 0; i < problem_.individuals.size(); ++i) {
        if (i >= points.size() || points[i].size() != problem_.individuals[i].points.size())
            throw std::runtime_error("the engine holds other points than the problem it was given");
        for (const PredictedPoint& at : points[i]) {
            PointPrediction point;
            point.time = single(at.time);
            for (std::size_t k = 0; k < outputs; ++k) {
                point.observed.push_back(single(at.observed[k]));
                point.population.push_back(single(at.population[k]));
                point.individual.push_back(single(at.individual[k]));
            }
            predictions[i].push_back(point);
        }
    }
    return predictions;
}

}  // namespace tessuvan::cli
