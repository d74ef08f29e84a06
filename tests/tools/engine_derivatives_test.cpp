// The precision of the derivatives the estimation takes from the engine: forward differences
// of the adapter's full-precision predictions against the closed form of the one-compartment
// oral model on the theophylline data.

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "fmt/format.h"

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"
#include "runs/run_focei.h"

namespace {

using namespace tessuvan::cli;
namespace fs = std::filesystem;

std::string TheophyllineModel(const std::string& method, double precision)
{
    return "[model]\ncompartments = [\"gut\", \"central\"]\n"
           "rates = [\"d(gut)/dt = -ka*gut\", \"d(central)/dt = ka*gut - ke*central\"]\n"
           "[parameters]\nka = { value = 1.5, omega = 0.4 }\nke = { value = 0.08, omega = 0.05 }\n"
           "CL = { value = 0.04, omega = 0.1 }\nV = { formula = \"CL/ke\" }\n"
           "[outputs]\nconc = \"central/V\"\n[error]\nadditive = 0.7\n[fit]\nmethod = \"" +
           method + "\"\nprecision = " + fmt::format("{:.1e}", precision) + "\n";
}

// Largest relative error of ∂C/∂ln ka by a forward difference of step h, over subject 1.
double WorstDerivativeError(const std::string& method, double precision, double h)
{
    const Model model = ParseModel(TheophyllineModel(method, precision), "test.toml");
    const DataSet data = ReadDataSet(fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv", {});
    const EngineProblem problem = BuildEngineProblem(model, data);
    double worst = 0;
    {
        EngineStates states;
        LoadEngineStates(model, problem, states);
        const std::size_t n = states.simulator.Individuals();
        const double ka = 1.5, ke = 0.08, cl = 0.04, dose = 4.02;
        std::vector<Eigen::VectorXd> values(n, Eigen::Vector4d(ka, ke, cl, 0)), base(n), shifted(n);
        std::vector<char> which(n, 0);
        which[0] = 1;
        states.simulator.Predict(values, which, base);
        values[0][0] = ka * std::exp(h);
        states.simulator.Predict(values, which, shifted);
        std::size_t o = 0;
        for (const EnginePoint& point : problem.individuals[0].points) {
            if (!(point.observed[0] > 0)) continue;
            const double t = point.time;
            const double c = dose * ka * ke / (cl * (ka - ke)) * (std::exp(-ke * t) - std::exp(-ka * t));
            const double exact =
                ka * (c * (1 / ka - 1 / (ka - ke)) + dose * ka * ke / (cl * (ka - ke)) * t * std::exp(-ka * t));
            const double difference = (shifted[0][Eigen::Index(o)] - base[0][Eigen::Index(o)]) / h;
            worst = std::max(worst, std::fabs(difference - exact) / std::max(std::fabs(exact), 1e-3 * std::fabs(c)));
            ++o;
        }
    }
    return worst;
}

// The estimation differentiates the engine's predictions by forward differences of step 1e-7
// in ln φ: with a smooth integrator they must carry at least five digits.
TEST(EngineDerivatives, ForwardDifferencesOfTheFullPrecisionPredictionsFollowTheClosedForm)
{
    EXPECT_LT(WorstDerivativeError("RUNGE-KUTTA QC", 1e-8, 1e-7), 1e-5);
    EXPECT_LT(WorstDerivativeError("RUNGE-KUTTA 4", 1e-6, 1e-5), 1e-4);
}

}  // namespace
