// One run of the engine, from Calcul_initial to Fin, driven as any host drives it: the host
// records and texts, the data file's records and the species file's lines handed over in
// memory, the calls, and the predictions of every point read back from the engine. No file is
// written. Each session has an engine of its own (entry/engine.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/engine_adapter.h"
#include "engine/engine_input.h"
#include "entry/engine.h"
#include "model/model_file.h"

namespace tessuvan::cli {

// Parameter values as the engine holds them: [p - 1] columns.
struct ParameterValues {
    std::vector<double> population;
    std::vector<std::vector<double>> individual;  // [i - 1][p - 1]
    std::vector<double> standardErrors;           // population standard errors, 0 = none
};

// Starting values from the model: every individual starts at the population value.
ParameterValues InitialValues(const Model& model, std::size_t individuals);

// Predictions of one point, as the result file would hold them (rounded to single).
struct PointPrediction {
    double time = 0;
    std::vector<double> observed;    // [k - 1]
    std::vector<double> population;  // [k - 1]
    std::vector<double> individual;  // [k - 1]
};

class EngineSession {
public:
    // Fills the host records, the data records and the species lines.
    EngineSession(const Model& model, const EngineProblem& problem, const ParameterValues& start);
    ~EngineSession();  // calls Fin if the model was loaded
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    void Load();                      // Calcul_initial; throws EngineError
    void Simulate();                  // Simulation; throws EngineError
    bool PopulationIteration();       // one Ajustement_pop; true when converged
    bool IndividualIteration(int i);  // one Ajustement_ind for individual i (1-based)

    double PopulationObjective() const;       // weighted sum of squared population residuals
    double IndividualObjective(int i) const;  // the same with individual predictions
    double IndividualObjectiveTotal() const;
    double PriorPenalty() const;
    ParameterValues Values() const;

    // The filled records, for a host that loads them into an engine of its own (the
    // estimation's engine adapter) instead of calling Load.
    estimation::EngineBlock Block();

    // The predictions of the last simulation, [i - 1][point - 1]; rounded to single as a host
    // of the public interface reads them, or as the engine computed them.
    std::vector<std::vector<PointPrediction>> ReadPredictions(bool rounded = true) const;

private:
    struct Records;
    void Release();

    const Model& model_;
    const EngineProblem& problem_;
    std::unique_ptr<Records> records_;
    bool loaded_ = false;
};

}  // namespace tessuvan::cli
