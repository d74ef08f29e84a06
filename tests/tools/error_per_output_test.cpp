// A residual error model per output, and the exponential error: the model file's sections and
// their refusals, FOCEI's -2LL of a parent/metabolite fit with two error models against an
// independent implementation (scripts/references/focei_parent_metabolite.py), and the
// exponential error's -2LL, which is the additive error's on ln y (no Jacobian term).
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "model/model_file.h"
#include "model/population_of.h"
#include "simulation/replicates.h"

namespace {

namespace fs = std::filesystem;
using tessuvan::cli::ModelError;
using tessuvan::cli::ParseModel;

const fs::path kReferences = TESSUVAN_TOOL_REFERENCES_DIR;

std::string Text(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string ErrorOf(const std::string& toml)
{
    try {
        ParseModel(toml, "m.toml");
    } catch (const ModelError& error) {
        return error.what();
    }
    return "no error";
}

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome Fit(const fs::path& model, const fs::path& data, const fs::path& out)
{
    const std::string command = std::string(TESSUVAN_PROGRAM) + " fit " + model.string() + " " + data.string() +
                                " -o " + out.string() + " --quiet 2>&1";
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) outcome.output += buffer;
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

nlohmann::json Json(const fs::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

fs::path Scratch(const std::string& name)
{
    const fs::path folder = fs::temp_directory_path() / ("tessuvan-error-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

TEST(ErrorPerOutput, SectionsGiveEachOutputItsOwnAndMistakesAreNamed)
{
    const std::string model = Text(kReferences / "parent_metabolite_fixed.toml");
    const tessuvan::population::PopulationModel population = tessuvan::cli::PopulationOf(ParseModel(model, "m.toml"));
    ASSERT_EQ(population.errors.size(), 2u);
    EXPECT_EQ(population.ErrorOf(0).output, "conc");
    EXPECT_EQ(population.ErrorOf(0).Kind(), tessuvan::population::ErrorKind::Proportional);
    EXPECT_EQ(population.ErrorOf(1).Kind(), tessuvan::population::ErrorKind::Combined);
    EXPECT_DOUBLE_EQ(population.ErrorOf(1).value.additive, 0.04);

    const std::string cmet =
        "[error.cmet]\nadditive = { value = 0.04, fixed = true }\nproportional = { value = 0.1, fixed = true }\n";
    const std::string missing = ErrorOf(Replaced(model, cmet, ""));
    EXPECT_NE(missing.find("error.cmet"), std::string::npos) << missing;
    EXPECT_NE(missing.find("the output cmet has no error section"), std::string::npos) << missing;
    const std::string unknown = ErrorOf(Replaced(model, "[error.cmet]", "[error.cmat]"));
    EXPECT_NE(unknown.find("[error.cmat] names no output of the model (outputs: conc, cmet)"), std::string::npos)
        << unknown;
    const std::string both = ErrorOf(Replaced(model, "[error.conc]", "[error]\nadditive = 1\n[error.conc]"));
    EXPECT_NE(both.find("not both"), std::string::npos) << both;
    const std::string mixed = ErrorOf(Replaced(model, "[error.conc]\n", "[error.conc]\nexponential = 0.1\n"));
    EXPECT_NE(mixed.find("error.conc.exponential: an exponential error"), std::string::npos) << mixed;
    // [error] alone keeps its meaning: one error model for every output.
    const tessuvan::population::PopulationModel one = tessuvan::cli::PopulationOf(
        ParseModel(Replaced(Replaced(model, cmet, ""), "[error.conc]", "[error]"), "m.toml"));
    ASSERT_EQ(one.errors.size(), 1u);
    EXPECT_FALSE(one.PerOutput());
    EXPECT_EQ(&one.ErrorOf(0), &one.ErrorOf(1));
}

TEST(ErrorPerOutput, ParentAndMetaboliteMinus2LLIsTheIndependentOne)
{
    const fs::path out = Scratch("pm");
    const Outcome fit = Fit(kReferences / "parent_metabolite_fixed.toml", kReferences / "parent_metabolite.csv", out);
    ASSERT_EQ(fit.status, 0) << fit.output;
    const nlohmann::json results = Json(out / "results.json");
    const nlohmann::json reference = Json(kReferences / "parent_metabolite_focei.json");
    EXPECT_EQ(results["n_observations"].get<int>(), reference["n_observations"].get<int>());
    EXPECT_NEAR(results["minus_2ll"].get<double>(), reference["minus_2ll"].get<double>(), 1e-2);
    // sigma per output, each output's terms under its name.
    EXPECT_DOUBLE_EQ(results["sigma"]["conc"]["proportional"]["value"].get<double>(), 0.12);
    EXPECT_DOUBLE_EQ(results["sigma"]["cmet"]["additive"]["value"].get<double>(), 0.04);
    EXPECT_FALSE(results["sigma"]["conc"].contains("additive"));
    fs::remove_all(out);
}

// The exponential error on y is the additive error on ln y: the same -2LL, on the log scale
// without the Jacobian Σ ln y; and an observation at or below 0 is refused with its line.
TEST(ErrorPerOutput, ExponentialIsAdditiveOnTheLogarithms)
{
    const fs::path root = Scratch("exp");
    // The parent alone (its rows of the reference data), proportional becoming exponential.
    std::string model = Replaced(Text(kReferences / "parent_metabolite_fixed.toml"),
                                 "proportional = { value = 0.12, fixed = true }", "exponential = 0.12");
    std::ofstream(root / "exp.toml") << model;
    std::ofstream(root / "log.toml") << Replaced(Replaced(model, "exponential = 0.12", "additive = 0.12"),
                                                 "formula = \"central/V\"", "formula = \"log(central/V)\"");
    std::ifstream in(kReferences / "parent_metabolite.csv");
    std::ofstream natural(root / "natural.csv"), logged(root / "logged.csv");
    std::string line;
    std::getline(in, line);
    natural << line << "\n";
    logged << line << "\n";
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string id, time, dv, rest;
        std::getline(fields, id, ',');
        std::getline(fields, time, ',');
        std::getline(fields, dv, ',');
        std::getline(fields, rest);
        if (rest.rfind(".,2,", 0) == 0) continue;  // the metabolite's rows
        natural << line << "\n";
        std::ostringstream value;
        value.precision(17);
        if (dv == ".")
            value << dv;
        else
            value << std::log(std::stod(dv));
        logged << id << "," << time << "," << value.str() << "," << rest << "\n";
    }
    natural.close();
    logged.close();
    const Outcome a = Fit(root / "exp.toml", root / "natural.csv", root / "a");
    const Outcome b = Fit(root / "log.toml", root / "logged.csv", root / "b");
    ASSERT_EQ(a.status, 0) << a.output;
    ASSERT_EQ(b.status, 0) << b.output;
    const nlohmann::json ra = Json(root / "a" / "results.json"), rb = Json(root / "b" / "results.json");
    EXPECT_NEAR(ra["minus_2ll"].get<double>(), rb["minus_2ll"].get<double>(), 1e-4);
    // σ, estimated in both, is the same SD of ln y.
    EXPECT_NEAR(ra["sigma"]["conc"]["exponential"]["value"].get<double>(),
                rb["sigma"]["conc"]["additive"]["value"].get<double>(), 1e-6);

    // The metabolite's data hold a value below 0 (subject 7 at 24 h).
    std::ofstream(root / "cmet.toml") << Replaced(Text(kReferences / "parent_metabolite_fixed.toml"),
                                                  "additive = { value = 0.04, fixed = true }\nproportional = { value = "
                                                  "0.1, fixed = true }",
                                                  "exponential = 0.1");
    const Outcome refused = Fit(root / "cmet.toml", kReferences / "parent_metabolite.csv", root / "c");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("an exponential residual error cannot weigh"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("[error.cmet]"), std::string::npos) << refused.output;
    fs::remove_all(root);
}

// Rows 0, 1 of every individual are output 0 (additive 0.5), rows 2, 3 output 1 (exponential
// 0.2): each draws its own output's ε, DV − IPRED for the one, ln DV − ln IPRED for the other.
class Constant final : public tessuvan::estimation::Simulator {
public:
    std::size_t Individuals() const override { return 2000; }
    std::size_t Parameters() const override { return 1; }
    std::size_t Observations(std::size_t) const override { return 4; }
    bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>&,
                 std::vector<Eigen::VectorXd>& predictions) override
    {
        for (std::size_t i = 0; i < predictions.size(); ++i) predictions[i] = Eigen::Vector4d::Constant(values[i][0]);
        return true;
    }
};

TEST(ErrorPerOutput, EachSimulatedRowDrawsItsOutputsError)
{
    tessuvan::simulation::VariabilityModel model;
    model.typical = Eigen::VectorXd::Constant(1, 3.0);
    model.outputErrors = {{0.5, 0, false}, {0.2, 0, true}};
    model.rowOutput.assign(2000, {0, 0, 1, 1});
    Constant simulator;
    std::vector<std::vector<tessuvan::simulation::SimulatedIndividual>> result;
    int failed = 0;
    ASSERT_TRUE(tessuvan::simulation::SimulateReplicates(model, simulator, 7, 0, {1, 1}, result, failed));
    double additive = 0, logged = 0;
    for (const auto& drawn : result[0])
        for (Eigen::Index o = 0; o < 4; ++o) {
            ASSERT_GT(drawn.dv[o], o < 2 ? -1e9 : 0.0);  // the exponential's values stay positive
            const double e = o < 2 ? drawn.dv[o] - 3.0 : std::log(drawn.dv[o] / 3.0);
            (o < 2 ? additive : logged) += e * e / 4000;
        }
    EXPECT_NEAR(std::sqrt(additive), 0.5, 0.02);
    EXPECT_NEAR(std::sqrt(logged), 0.2, 0.008);
}

}  // namespace
