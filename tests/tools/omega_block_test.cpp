// Blocks of Ω: the model file's [omega] read into the population model and its mistakes named,
// the gradient of −2LL in a block's Cholesky factor against its differences, and FOCEI fits
// with a block against references computed apart from the toolkit (an independent FOCEI in
// SciPy on phenobarbital; nlme's Lindstrom–Bates, a different approximation, on theophylline).
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "estimation/focei.h"
#include "model/model_file.h"
#include "model/population_of.h"

namespace {

namespace fs = std::filesystem;
using namespace tessuvan;
using Eigen::MatrixXd;
using Eigen::VectorXd;

std::string ModelWith(const std::string& omega)
{
    return R"(
[model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - CL/V*central"]
[parameters]
ka = { value = 1.5, omega = 0.4 }
CL = { value = 2, omega = 0.09 }
V  = { value = 20, omega = 0.04 }
F  = { value = 1, omega = { value = 0.01, fixed = true } }
[outputs]
conc = "F*central/V"
[error]
additive = 0.5
)" + omega;
}

std::string ErrorOf(const std::string& omega)
{
    try {
        cli::ParseModel(ModelWith(omega), "m.toml");
    } catch (const cli::ModelError& error) {
        return error.what();
    }
    return "";
}

TEST(OmegaBlocks, ABlockGathersItsParametersInTheirOrderWithTheStartingCorrelations)
{
    const cli::Model model = cli::ParseModel(ModelWith(R"(
[omega]
blocks = [["V", "CL"]]
correlations = { "V:CL" = 0.5 }
)"),
                                             "m.toml");
    const population::Omega omega = cli::PopulationOf(model).omega;
    ASSERT_EQ(omega.blocks.size(), 3u);  // ka, the block of CL and V, F
    EXPECT_EQ(omega.Names(), (std::vector<std::string>{"ka", "CL", "V", "F"}));
    const MatrixXd& block = omega.blocks[1].covariance;
    EXPECT_DOUBLE_EQ(block(0, 0), 0.09);
    EXPECT_DOUBLE_EQ(block(1, 1), 0.04);
    EXPECT_NEAR(block(0, 1), 0.5 * 0.3 * 0.2, 1e-15);
    EXPECT_EQ(block(1, 0), block(0, 1));
    EXPECT_FALSE(omega.blocks[1].fixed);

    const population::Omega fixed =
        cli::PopulationOf(cli::ParseModel(ModelWith("[omega]\nfixed_blocks = [[\"ka\", \"F\"]]\n"), "m.toml")).omega;
    ASSERT_EQ(fixed.blocks.size(), 3u);
    EXPECT_TRUE(fixed.blocks[0].fixed);
    EXPECT_EQ(fixed.blocks[0].names, (std::vector<std::string>{"ka", "F"}));
    EXPECT_EQ(fixed.blocks[0].covariance(0, 1), 0.0);
}

TEST(OmegaBlocks, MistakesAreNamedWithTheKey)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"blocks = [[\"CL\", \"Q\"]]", "m.toml:15: omega.blocks: 'Q' is not a parameter with an omega"},
        {"blocks = [[\"CL\", \"V\"], [\"V\", \"ka\"]]", "omega.blocks: 'V' is already in another block"},
        {"blocks = [[\"CL\", \"V\"]]\nfixed_blocks = [[\"ka\", \"V\"]]",
         "omega.fixed_blocks: 'V' is already in another block"},
        {"blocks = [[\"CL\"]]", "omega.blocks: a block needs at least two parameters"},
        {"blocks = [[\"CL\", \"V\"]]\ncorrelations = { \"CL:V\" = 1.0 }",
         "omega.correlations.CL:V: a correlation must lie between -1 and 1"},
        {"blocks = [[\"CL\", \"V\"]]\ncorrelations = { \"CL:ka\" = 0.2 }",
         "omega.correlations.CL:ka: 'CL' and 'ka' are not two parameters of one block"},
        {"blocks = [[\"ka\", \"CL\", \"V\"]]\ncorrelations = { \"ka:CL\" = 0.9, \"ka:V\" = 0.9, \"CL:V\" = -0.9 }",
         "the starting covariance of the block ka, CL, V is not positive definite"},
        {"blocks = [[\"ka\", \"F\"]]", "'F' has a fixed omega in an estimated block"},
        {"block = [[\"CL\", \"V\"]]", "omega.block: unknown key"},
    };
    for (const auto& [omega, message] : cases)
        EXPECT_NE(ErrorOf("[omega]\n" + omega + "\n").find(message), std::string::npos)
            << omega << "\n  gave: " << ErrorOf("[omega]\n" + omega + "\n");
}

// f_j = A·exp(−k·t_j) + c: A and k vary between individuals, c does not.
class ExponentialSimulator final : public estimation::Simulator {
public:
    std::size_t Individuals() const override { return 3; }
    std::size_t Parameters() const override { return 3; }
    std::size_t Observations(std::size_t) const override { return 4; }
    bool Predict(const std::vector<VectorXd>& values, const std::vector<char>& which,
                 std::vector<VectorXd>& predictions) override
    {
        const Eigen::Vector4d t(0.5, 1.0, 2.0, 4.0);
        for (std::size_t i = 0; i < 3; ++i)
            if (which[i]) predictions[i] = values[i][0] * (-values[i][1] * t.array()).exp() + values[i][2];
        return true;
    }
};

TEST(OmegaBlocks, GradientOfMinus2LLInTheCholeskyFactorFollowsItsDifferences)
{
    using estimation::FoceiProblem;
    FoceiProblem problem;
    problem.values = {1.0, 1.0, 1.0};
    problem.thetas = {{"A", 0, 10.0, false, 0}, {"k", 1, 0.5, false, 1}, {"c", 2, 1.0, false, -1}};
    problem.etas = {{0, 0.2, false, 0}, {1, 0.1, false, 0}};
    problem.blocks = {{0, (MatrixXd(2, 2) << 0.2, 0.05, 0.05, 0.1).finished(), false}};
    problem.errors = {{"", {}, true, false, true}};
    problem.errors[0].value = {0.3, 0.1};
    problem.observed = {Eigen::Vector4d(9.1, 7.0, 4.9, 2.6), Eigen::Vector4d(12.5, 8.1, 4.0, 1.9),
                        Eigen::Vector4d(6.9, 5.8, 4.2, 2.8)};
    estimation::FoceiOptions options;
    options.innerTolerance = 1e-10;
    options.secondDifferenceStep = 1e-5;
    ExponentialSimulator simulator;
    // x: ln A, ln k, ln c, ln L00, L10, ln L11 (a correlation of −0.4), ln a, ln b.
    const std::vector<double> x = {std::log(9.0), std::log(0.45), std::log(1.2),  std::log(0.4),
                                   -0.12,         std::log(0.25), std::log(0.25), std::log(0.12)};
    VectorXd gradient, unused;
    ASSERT_TRUE(std::isfinite(estimation::FoceiGradient(problem, simulator, x, options, gradient)));
    for (std::size_t k = 0; k < x.size(); ++k) {
        std::vector<double> up = x, down = x;
        up[k] += 1e-3;
        down[k] -= 1e-3;
        const double difference = (estimation::FoceiGradient(problem, simulator, up, options, unused) -
                                   estimation::FoceiGradient(problem, simulator, down, options, unused)) /
                                  2e-3;
        EXPECT_NEAR(gradient[Eigen::Index(k)], difference, 2e-4 * std::max(1.0, std::fabs(difference))) << "x" << k;
    }
}

nlohmann::json Json(const fs::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

// `tessuvan fit` of an example model with a block; its results.json.
nlohmann::json FitExample(const std::string& folder, const std::string& model, const std::string& data)
{
    const fs::path out = fs::temp_directory_path() / ("tessuvan-block-" + model + std::to_string(::getpid()));
    fs::remove_all(out);
    const fs::path example = fs::path(TESSUVAN_EXAMPLES_DIR) / folder;
    const std::string command = std::string(TESSUVAN_PROGRAM) + " fit " + (example / model).string() + " " +
                                (example / data).string() + " --quiet -o " + out.string() + " > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    nlohmann::json results = Json(out / "results.json");
    fs::remove_all(out);
    return results;
}

// On phenobarbital the correlation of clearance and volume runs to 1 (the block's conditional
// variance to the floor of its search): the independent objective, evaluated at the fit's
// estimates, gives the fit's −2LL, and its own search ends no lower.
TEST(OmegaBlocks, PhenobarbitalWithCorrelatedClearanceAndVolumeMatchesAnIndependentFocei)
{
    const nlohmann::json reference = Json(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "focei_phenobarbital_block.json");
    const nlohmann::json fit = FitExample("phenobarbital", "phenobarbital_block.toml", "phenobarbital.csv");
    EXPECT_NEAR(fit["minus_2ll"].get<double>(), reference["minus_2ll"].get<double>(), 0.01);
    EXPECT_LT(fit["minus_2ll"].get<double>(), reference["optimum_of_this_script"]["minus_2ll"].get<double>() + 0.01);
    const auto close = [](double value, double expected, const char* what) {
        EXPECT_NEAR(value, expected, 0.005 * std::fabs(expected)) << what;
    };
    close(fit["theta"]["cl_kg"]["value"], reference["cl_kg"], "cl_kg");
    close(fit["theta"]["v_kg"]["value"], reference["v_kg"], "v_kg");
    close(fit["sigma"]["additive"]["value"], reference["sigma_additive"], "sigma");
    const nlohmann::json& omega = fit["omega_matrix"];
    ASSERT_EQ(omega["names"], nlohmann::json({"cl_kg", "v_kg"}));
    close(omega["covariance"][0][0], reference["omega"]["cl_kg"], "omega cl_kg");
    close(omega["covariance"][1][1], reference["omega"]["v_kg"], "omega v_kg");
    close(omega["covariance"][0][1], reference["omega"]["cl_kg:v_kg"], "omega cl_kg:v_kg");
    EXPECT_GT(omega["correlation"][1][0].get<double>(), 0.99);
    EXPECT_EQ(fit["omega"]["v_kg"]["variance"], omega["covariance"][1][1]);  // the per-parameter entries kept
}

TEST(OmegaBlocks, TheophyllineWithABlockAgreesLooselyWithNlme)
{
    const nlohmann::json reference = Json(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "nlme_theophylline_block.json");
    const nlohmann::json fit = FitExample("theophylline", "theophylline_block.toml", "theophylline.csv");
    for (const char* name : {"ka", "ke", "CL"})
        EXPECT_NEAR(fit["theta"][name]["value"].get<double>(), reference[name].get<double>(),
                    0.1 * reference[name].get<double>())
            << name;
    const nlohmann::json& omega = fit["omega_matrix"];
    ASSERT_EQ(omega["names"], nlohmann::json({"ka", "CL", "ke"}));
    EXPECT_NEAR(omega["covariance"][0][0].get<double>(), reference["omega"]["ka"].get<double>(),
                0.1 * reference["omega"]["ka"].get<double>());
    EXPECT_NEAR(omega["covariance"][1][1].get<double>(), reference["omega"]["CL"].get<double>(),
                0.1 * reference["omega"]["CL"].get<double>());
    // Both find ka and CL uncorrelated: the covariance within 10 % of the variances' scale.
    EXPECT_NEAR(omega["covariance"][0][1].get<double>(), reference["omega"]["ka:CL"].get<double>(),
                0.1 * std::sqrt(reference["omega"]["ka"].get<double>() * reference["omega"]["CL"].get<double>()));
    EXPECT_NEAR(fit["sigma"]["additive"]["value"].get<double>(), reference["sigma_additive"].get<double>(),
                0.1 * reference["sigma_additive"].get<double>());
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) EXPECT_GT(omega["se"][r][c].get<double>(), 0) << r << c;
}

}  // namespace
