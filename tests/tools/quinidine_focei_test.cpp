// Steady states after changes of regimen on a real data set: nlme's Quinidine (136 patients,
// SS 1 doses after earlier ones). FOCEI's -2LL at the fit's estimates, evaluated once, against
// an independent implementation with the steady states in closed form
// (scripts/references/focei_quinidine.py).
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "data/data_set.h"
#include "model/model_file.h"
#include "runs/run_focei.h"
#include "runs/steady_state.h"

namespace tessuvan::cli {
namespace {

namespace fs = std::filesystem;

const fs::path kReferences = TESSUVAN_TOOL_REFERENCES_DIR;

TEST(QuinidineSteadyStates, Minus2LLAtTheEstimatesIsTheIndependentOne)
{
    std::ifstream in(kReferences / "quinidine_focei.json");
    const nlohmann::json reference = nlohmann::json::parse(in);
    Model model = LoadModel(kReferences / "quinidine.toml");
    std::ifstream csv(kReferences / "quinidine.csv");
    std::stringstream text;
    text << csv.rdbuf();
    const DataSet data = ParseDataSet(text.str(), "quinidine.csv", {});
    PreDoses preDoses;
    const EngineProblem problem = SteadyStateProblem(model, data, CensoredRows::Kept, {}, preDoses);
    EXPECT_FALSE(HasSteadyStates(problem));  // exact in one interval: nothing to check or raise

    const estimation::FoceiProblem focei = FoceiProblemOf(model, problem);
    auto typical = [&](const std::string& name) {
        return name == "ka" ? reference["ka"].get<double>() : reference["theta"][name].get<double>();
    };
    Eigen::VectorXd theta(Eigen::Index(focei.thetas.size())), omega(Eigen::Index(focei.etas.size()));
    for (std::size_t t = 0; t < focei.thetas.size(); ++t) theta[Eigen::Index(t)] = typical(focei.thetas[t].name);
    for (std::size_t e = 0; e < focei.etas.size(); ++e)
        omega[Eigen::Index(e)] = reference["omega"][focei.thetas[focei.etas[e].theta].name].get<double>();
    EngineStates states;
    LoadEngineStates(model, problem, states);
    std::vector<Eigen::VectorXd> eta;
    const double minus2ll = estimation::FoceiObjective(
        focei, states.simulator, theta, omega, estimation::ResidualError{reference["additive"].get<double>(), 0},
        estimation::FoceiOptions{}, eta);
    EXPECT_NEAR(minus2ll, reference["independent_minus_2ll"].get<double>(), 0.01);
    EXPECT_NEAR(minus2ll, reference["toolkit_minus_2ll"].get<double>(), 0.01);
}

}  // namespace
}  // namespace tessuvan::cli
