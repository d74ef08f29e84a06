// One run of the engine, from Calcul_initial to Fin, driven as any host drives it: the host
// records and texts, the data file (248-byte records) and the species file written into a
// private working folder, the calls, and the result file read back.
//
// The engine keeps one model per process, so only one session may be open at a time.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "engine/engine_adapter.h"
#include "engine/engine_input.h"
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

// Predictions of one point, read from the result file.
struct PointPrediction {
    double time = 0;
    std::vector<double> observed;    // [k - 1]
    std::vector<double> population;  // [k - 1]
    std::vector<double> individual;  // [k - 1]
};

class EngineSession {
public:
    // Writes the engine's files into `folder` and fills the host records.
    EngineSession(const Model& model, const EngineProblem& problem, const ParameterValues& start,
                  const std::filesystem::path& folder);
    ~EngineSession();  // calls Fin (which erases the two files) if the model was loaded
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    void Load();                     // Calcul_initial; throws EngineError
    void Simulate();                 // Simulation; throws EngineError
    bool PopulationIteration();      // one Ajustement_pop; true when converged
    bool IndividualIteration(int i); // one Ajustement_ind for individual i (1-based)

    double PopulationObjective() const;         // weighted sum of squared population residuals
    double IndividualObjective(int i) const;    // the same with individual predictions
    double IndividualObjectiveTotal() const;
    double PriorPenalty() const;
    ParameterValues Values() const;

    // The filled records, for a host that loads them into an engine of its own (the
    // estimation's engine adapter) instead of calling Load.
    estimation::EngineBlock Block();

    // The predictions of the last simulation, [i - 1][point - 1].
    std::vector<std::vector<PointPrediction>> ReadPredictions() const;

private:
    struct Records;
    void Release();

    const Model& model_;
    const EngineProblem& problem_;
    std::filesystem::path dataFile_;
    std::filesystem::path speciesFile_;
    std::unique_ptr<Records> records_;
    bool loaded_ = false;
};

}  // namespace tessuvan::cli
