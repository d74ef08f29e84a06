// A FOCEI fit's rows beyond its observations: the EVID 2 rows' predictions and the NPDE, both
// from simulations of the data set's design at the estimates.
#include <cmath>
#include <map>
#include <stdexcept>
#include <vector>

#include "engine/engine_codes.h"
#include "fmt/format.h"
#include "model/population_of.h"
#include "runs/run_focei.h"
#include "runs/run_replicates.h"
#include "simulation/npde.h"

namespace tessuvan::cli {

namespace {

// The fit's θ (every model parameter at η = 0), Ω and σ, as the replicates draw them.
simulation::VariabilityModel VariabilityOfFit(const Model& model, const estimation::FoceiResult& fit)
{
    simulation::VariabilityModel variability;
    variability.scales = ScalesOf(model);
    variability.typical = fit.typicalValues;
    for (const estimation::Estimated& omega : fit.omega)
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            if (model.parameters[p].name == omega.name) variability.etas.push_back({omega.name, p, omega.value});
    // A block Ω draws its η together, as the fit estimated them.
    if (!model.omegaBlocks.empty()) {
        SetFittedBlocks(model, fit.omegaMatrix, model.source + ": the fit", variability);
        std::vector<std::pair<std::string, double>> iov;
        for (const estimation::Estimated& o : fit.iov) iov.emplace_back(o.name, o.value);
        AddOccasionEtas(model, &iov, variability);
    }
    SetModelErrors(model, variability);
    for (const estimation::Estimated& sigma : fit.sigma)
        SetSigma(model, sigma.name, sigma.value, model.source + ": the fit", variability);
    return variability;
}

}  // namespace

void AddFitDiagnostics(const Model& fitted, const EngineProblem& problem, const DataSet& data,
                       const FitDiagnosticsRequest& request, const ProgressReport& progress, RunResult& result)
{
    const estimation::FoceiResult& fit = *result.focei;
    const std::size_t individuals = problem.individuals.size();
    if (individuals == 0 || fit.typicalValues.size() != Eigen::Index(fitted.parameters.size())) return;
    // A simulation estimates nothing: every parameter fixed, so that the engine loads the design.
    Model model = fitted;
    for (ParameterSpec& parameter : model.parameters) parameter.estimate = Estimate::Fixed;
    const SimulationDesign design = DesignOf(problem, data);

    bool asked = false;  // EVID 2 rows
    for (const std::vector<DesignRow>& rows : design)
        for (const DesignRow& row : rows) asked = asked || (!(row.dv > 0) && row.censored == 0);
    if (asked) {
        progress("predicting the EVID 2 rows");
        const std::vector<Eigen::VectorXd> pred =
            DesignPredictions(model, problem, design, std::vector<Eigen::VectorXd>(individuals, fit.typicalValues));
        const std::vector<Eigen::VectorXd> ipred = DesignPredictions(model, problem, design, fit.values);
        for (std::size_t i = 0; i < individuals; ++i)
            for (std::size_t o = 0; o < design[i].size(); ++o) {
                const DesignRow& row = design[i][o];
                if (row.dv > 0 || row.censored != 0) continue;
                Observation predicted;
                predicted.individual = i;
                predicted.line = row.line;
                predicted.output = row.output;
                predicted.time = problem.individuals[i].points[std::size_t(row.point - 1)].time;
                predicted.pred = pred[i][Eigen::Index(o)];
                predicted.ipred = ipred[i][Eigen::Index(o)];
                result.predictedRows.push_back(predicted);
            }
    }
    if (request.npdeSimulations < 2) return;

    const int k = request.npdeSimulations;
    progress(fmt::format("simulating {} replicates for the NPDE", k));
    ReplicateRun run;
    try {
        run = RunReplicates(
            model, problem, design, VariabilityOfFit(fitted, fit), request.seed, {1, k}, false, request.threads,
            [&](double fraction) {
                progress(fmt::format("simulating {} replicates for the NPDE: {:.0f} %", k, 100 * fraction));
            });
    } catch (const EngineError& error) {  // the estimates stand; only the NPDE are missing
        result.warnings.push_back(std::string("no NPDE: a simulation at the estimates failed: ") + error.what());
        return;
    }
    // Each individual's observed values (the censored ones have no NPDE) and their design rows.
    std::vector<std::vector<Observation*>> observed(individuals);
    for (Observation& o : result.observations)
        if (o.censored == 0) observed[o.individual].push_back(&o);
    std::vector<std::vector<Eigen::Index>> rowsOf(individuals);  // empty: not every value simulated
    std::vector<Eigen::MatrixXd> simulated(individuals);         // [individual](replicate, value)
    for (std::size_t i = 0; i < individuals; ++i) {
        std::map<int, std::size_t> rowOfLine;
        for (std::size_t o = 0; o < design[i].size(); ++o) rowOfLine[design[i][o].line] = o;
        for (const Observation* o : observed[i]) {
            const auto row = rowOfLine.find(o->line);
            if (row == rowOfLine.end()) {
                rowsOf[i].clear();
                break;
            }
            rowsOf[i].push_back(Eigen::Index(row->second));
        }
        if (!rowsOf[i].empty()) simulated[i].resize(k, Eigen::Index(rowsOf[i].size()));
    }
    // The replicates come back from their files one at a time, in order (1..k).
    try {
        run.draws->ForEach([&](int replicate, const std::vector<simulation::SimulatedIndividual>& drawn) {
            for (std::size_t i = 0; i < individuals; ++i)
                for (std::size_t j = 0; j < rowsOf[i].size(); ++j)
                    simulated[i](replicate - 1, Eigen::Index(j)) = drawn[i].dv[rowsOf[i][j]];
        });
    } catch (const std::runtime_error& error) {
        result.warnings.push_back(std::string("no NPDE: the simulations could not be read back: ") + error.what());
        return;
    }
    for (std::size_t i = 0; i < individuals; ++i) {
        if (rowsOf[i].empty()) continue;
        Eigen::VectorXd y(Eigen::Index(observed[i].size()));
        for (std::size_t j = 0; j < observed[i].size(); ++j) y[Eigen::Index(j)] = observed[i][j]->dv;
        const Eigen::VectorXd npde = simulation::IndividualNpde(y, simulated[i]);
        for (std::size_t j = 0; j < observed[i].size(); ++j) observed[i][j]->npde = npde[Eigen::Index(j)];
    }
}

}  // namespace tessuvan::cli
