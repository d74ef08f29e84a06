// Fuzz target: the model file as the tessuvan command reads it, and its translation into the
// engine's formulas. The input is the text of a model file.
//
// A model the reader refuses must be refused with a ModelError (the message names the key);
// any other exception is a finding. A model it accepts is run on a small data set made for it
// (one individual: a dose into the first compartment, observations of every output) through
// the data set's translation and the tool's checks of the engine's limits; whatever passes
// them must load in the engine, through the public entry points, without an error code: the
// tool promises that its checks leave the engine nothing to refuse.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "data/data_set.h"
#include "engine/engine_codes.h"
#include "engine/engine_input.h"
#include "engine/engine_limits.h"
#include "engine/engine_session.h"
#include "model/model_file.h"

namespace {

using namespace tessuvan::cli;

[[noreturn]] void Finding(const std::string& what)
{
    std::fprintf(stderr, "model translation invariant broken: %s\n", what.c_str());
    std::abort();
}

// One individual: 100 into the first compartment at 0, each output observed at 8 times (so that
// a model estimating a few parameters passes the count of observations).
std::string DataFor(const Model& model)
{
    std::string header = "ID,TIME,DV,AMT,CMT,EVID";
    for (const CovariateSpec& covariate : model.covariates) header += "," + covariate.column;
    std::string covariates;
    for (std::size_t q = 0; q < model.covariates.size(); ++q) covariates += ",1.5";
    std::string text = header + "\n1,0,.,100,1,1" + covariates + "\n";
    for (const char* time : {"1", "2", "3", "4", "6", "8", "12", "24"})
        for (const NamedFormula& output : model.outputs)
            text += std::string("1,") + time + ",2.5,.," + std::to_string(output.cmt.value_or(1)) + ",0" + covariates +
                    "\n";
    return text;
}

// How many inputs reached the engine's load, said at the end of a run: a target whose inputs
// never get past the reader would fuzz nothing beyond it.
long gLoads = 0;
[[maybe_unused]] const int gReport = std::atexit([] { std::fprintf(stderr, "model translation: %ld engine loads\n", gLoads); });

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Model model;
    try {
        model = ParseModel(text, "fuzz.toml");
    } catch (const ModelError&) {
        return 0;
    } catch (const std::exception& error) {
        Finding(std::string("the model reader threw something other than a ModelError: ") + error.what());
    }
    EngineProblem problem;
    DataSet set;
    try {
        std::vector<std::string> columns;
        for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
        set = ParseDataSet(DataFor(model), "fuzz.csv", columns);
        problem = BuildEngineProblem(model, set);
        CheckEngineLimits(model, problem, set);
    } catch (const ModelError&) {
        return 0;
    } catch (const DataError&) {
        return 0;
    } catch (const std::exception& error) {
        Finding(std::string("the translation threw something other than a ModelError or DataError: ") + error.what());
    }
    try {
        EngineSession session(model, problem, InitialValues(model, problem.individuals.size()));
        ++gLoads;
        session.Load();
    } catch (const EngineError& error) {
        Finding(std::string("an accepted model does not load: ") + error.what());
    }
    return 0;
}
