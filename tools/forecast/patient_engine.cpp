#include "forecast/patient_engine.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "engine/engine_adapter.h"
#include "engine/engine_codes.h"
#include "engine/engine_input.h"
#include "engine/engine_session.h"

namespace tessuvan::forecast {

using cli::DataRow;

cli::Model ForSimulation(cli::Model model)
{
    model.fit.estimation = cli::Estimation::Focei;
    for (cli::ParameterSpec& parameter : model.parameters) parameter.estimate = cli::Estimate::Fixed;
    return model;
}

struct PatientEngine::State {
    cli::Model model;
    cli::DataSet data;
    cli::EngineProblem problem;
    std::vector<PredictedRow> rows;
    std::unique_ptr<cli::EngineSession> session;
    estimation::EngineSimulator simulator;  // declared last: released first
};

PatientEngine::PatientEngine(const cli::Model& model, const cli::DataSet& patient, const std::vector<AddedRow>& added,
                             const cli::DataSet* covariates)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.model = ForSimulation(model);
    s.data = patient;
    // The rows in time order: at one time, the added rows asked before, the patient's in their
    // file order, then the other added rows.
    struct Keyed {
        double time;
        int rank;
        std::size_t order;
        DataRow row;
        int originalLine;
        int added;
    };
    std::vector<Keyed> keyed;
    for (std::size_t r = 0; r < patient.rows.size(); ++r)
        keyed.push_back({patient.rows[r].time, 1, r, patient.rows[r], patient.rows[r].line, -1});
    const cli::DataSet& named = covariates && !covariates->rows.empty() ? *covariates : patient;
    const std::string id = named.rows.empty() ? std::string("1") : named.rows.front().id;
    const auto covariatesAt = [&](double time) {
        const DataRow* from = &covariates->rows.front();
        for (const DataRow& row : covariates->rows)
            if (row.time <= time) from = &row;
        return from->covariates;
    };
    for (std::size_t a = 0; a < added.size(); ++a) {
        const AddedRow& add = added[a];
        DataRow row;
        row.id = id;
        row.time = add.time;
        row.evid = add.dose ? 1 : 2;
        row.missing = true;
        row.amount = add.dose ? add.amount : 0;
        row.cmt = add.cmt;
        row.duration = add.dose ? add.duration : 0;
        row.steadyState = add.dose ? add.steadyState : 0;
        row.interval = add.dose ? add.interval : 0;
        if (covariates && !covariates->rows.empty())
            row.covariates = covariatesAt(add.time);
        else
            row.covariates.assign(patient.covariateColumns.size(), std::nullopt);
        keyed.push_back({add.time, add.beforeSameTime ? 0 : 2, a, row, 0, int(a)});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
        return std::tie(x.time, x.rank, x.order) < std::tie(y.time, y.rank, y.order);
    });
    // Lines numbered in that order, so that the engine's file order is the time order.
    std::map<int, const Keyed*> ofLine;
    s.data.rows.clear();
    for (std::size_t r = 0; r < keyed.size(); ++r) {
        keyed[r].row.line = int(r + 1);
        s.data.rows.push_back(keyed[r].row);
        ofLine[int(r + 1)] = &keyed[r];
    }
    s.problem = cli::BuildEngineProblem(s.model, s.data, cli::CensoredRows::Kept);
    if (s.problem.individuals.size() != 1)
        throw cli::DataError(patient.source + ": the patient's rows make " +
                             std::to_string(s.problem.individuals.size()) + " individuals, not one");
    cli::EngineIndividual& individual = s.problem.individuals.front();
    std::vector<std::tuple<int, PredictedRow, estimation::ObservationSlot>> found;  // by line
    for (std::size_t j = 0; j < individual.points.size(); ++j) {
        cli::EnginePoint& point = individual.points[j];
        for (const cli::EngineRequest& request : point.requests) {
            if (request.steadyState != 0) continue;  // the tool's own checks, not rows
            const Keyed& origin = *ofLine.at(request.line);
            PredictedRow row;
            row.line = origin.originalLine;
            row.added = origin.added;
            row.time = origin.time;
            row.output = s.problem.outputOf[request.slot];
            // A level at or below 0 is weighed as any other, as FOCEI does (the engine's checks
            // refuse one that the residual error cannot weigh: a proportional error alone).
            row.level = request.dv > 0 || request.censored != 0 || request.nonPositive;
            row.dv = request.censored != 0 || request.nonPositive ? request.bound : request.dv;
            row.censored = request.censored;
            row.limit = request.censored != 0 ? request.limit : std::nan("");
            found.push_back({request.line, row, {int(j + 1), int(request.slot + 1)}});
            // The engine loads only a data set with observations: a row without one gets a
            // stand-in (every parameter fixed, it weighs nothing).
            if (!(point.observed[request.slot] > 0)) point.observed[request.slot] = 1;
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& x, const auto& y) { return std::get<0>(x) < std::get<0>(y); });
    std::vector<estimation::ObservationSlot> slots;
    for (const auto& [line, row, slot] : found) {
        s.rows.push_back(row);
        slots.push_back(slot);
    }
    s.session = std::make_unique<cli::EngineSession>(s.model, s.problem, cli::InitialValues(s.model, 1));
    estimation::EngineBlock records = s.session->Block();
    records.observations.push_back(slots);
    if (const int code = s.simulator.Load(records); code != 0) throw cli::EngineError(cli::EngineStage::Load, code);
}

PatientEngine::~PatientEngine() = default;

const std::vector<PredictedRow>& PatientEngine::Rows() const { return state_->rows; }
estimation::Simulator& PatientEngine::Simulator() { return state_->simulator; }
int PatientEngine::LastCode() const { return state_->simulator.LastCode(); }

std::vector<Eigen::Index> PatientEngine::Levels() const
{
    std::vector<Eigen::Index> levels;
    for (std::size_t r = 0; r < state_->rows.size(); ++r)
        if (state_->rows[r].level) levels.push_back(Eigen::Index(r));
    return levels;
}

Eigen::VectorXd PatientEngine::LevelValues() const
{
    const std::vector<Eigen::Index> levels = Levels();
    Eigen::VectorXd y(Eigen::Index(levels.size()));
    for (std::size_t k = 0; k < levels.size(); ++k) y[Eigen::Index(k)] = state_->rows[std::size_t(levels[k])].dv;
    return y;
}

estimation::Censoring PatientEngine::LevelCensoring() const
{
    const std::vector<Eigen::Index> levels = Levels();
    estimation::Censoring censoring;
    censoring.error.resize(Eigen::Index(levels.size()));  // each level weighed by its output's error
    for (std::size_t k = 0; k < levels.size(); ++k)
        censoring.error[Eigen::Index(k)] = int(state_->rows[std::size_t(levels[k])].output);
    bool any = false;
    for (const Eigen::Index r : levels) any = any || state_->rows[std::size_t(r)].censored != 0;
    if (!any) return censoring;
    censoring.kind.resize(Eigen::Index(levels.size()));
    censoring.limit.resize(Eigen::Index(levels.size()));
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const PredictedRow& row = state_->rows[std::size_t(levels[k])];
        censoring.kind[Eigen::Index(k)] = row.censored;
        censoring.limit[Eigen::Index(k)] = row.limit;
    }
    return censoring;
}

bool RowSubset::Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                        std::vector<Eigen::VectorXd>& predictions)
{
    full_.resize(1);
    const bool done = all_.Predict(values, which, full_);
    predictions.resize(1);
    if (!which.empty() && which[0]) predictions[0] = full_[0](rows_);
    return done;
}

}  // namespace tessuvan::forecast
