// The model file: names declared once, formulas translated into engine text, and every mistake
// reported with the file, the line and the key.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "model/model_file.h"

namespace tessuvan::cli {
namespace {

const char* kOneCompartment = R"(
[model]
compartments = ["gut", "central"]
rates = [
  "d(gut)/dt = -ka*gut",
  "d(central)/dt = ka*gut - ke*central",
]

[parameters]
ka = { value = 1.5 }
ke = { value = 0.1, estimate = "population", prior = 0.2, prior_sd = 0.05 }
V  = { value = 0.5, estimate = "fixed" }
CL = { formula = "ke*V*wt" }

[covariates]
wt = "WT"

[outputs]
conc = "central/V"

[fit]
method = "RUNGE-KUTTA QC"
error_exponent = 2
population_iterations = 7
)";

std::string ErrorOf(const std::string& toml)
{
    try {
        ParseModel(toml, "m.toml");
    } catch (const ModelError& error) {
        return error.what();
    }
    return "no error";
}

// The example with one line replaced.
std::string With(const std::string& from, const std::string& to)
{
    std::string text = kOneCompartment;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(ModelFile, ParametersKeepTheOrderTheyAreWrittenIn)
{
    const Model model = ParseModel(kOneCompartment, "m.toml");
    ASSERT_EQ(model.parameters.size(), 4u);
    EXPECT_EQ(model.parameters[0].name, "ka");
    EXPECT_EQ(model.parameters[1].name, "ke");
    EXPECT_EQ(model.parameters[2].name, "V");
    EXPECT_EQ(model.parameters[3].name, "CL");
}

TEST(ModelFile, EstimatesPriorsAndDefinitionsAreRead)
{
    const Model model = ParseModel(kOneCompartment, "m.toml");
    EXPECT_EQ(model.parameters[0].estimate, Estimate::PopulationAndIndividual);
    EXPECT_EQ(model.parameters[0].prior, 1.5);
    EXPECT_EQ(model.parameters[1].estimate, Estimate::PopulationOnly);
    EXPECT_EQ(model.parameters[1].prior, 0.2);
    EXPECT_EQ(model.parameters[1].priorSd, 0.05);
    EXPECT_EQ(model.parameters[2].estimate, Estimate::Fixed);
    EXPECT_EQ(model.parameters[3].estimate, Estimate::Fixed);
    EXPECT_EQ(model.parameters[3].engineFormula, "A2*A3*Q1");
    EXPECT_EQ(model.fit.method, "RUNGE-KUTTA QC");
    EXPECT_EQ(model.fit.errorExponent, 2.0);
    EXPECT_EQ(model.fit.populationIterations, 7);
    EXPECT_EQ(model.fit.individualIterations, 100);
}

TEST(ModelFile, RatesBecomeMatrixAndFreeTexts)
{
    const Model model = ParseModel(kOneCompartment, "m.toml");
    EXPECT_EQ(model.matrixText[0], (std::vector<std::string>{"-A1", ""}));
    EXPECT_EQ(model.matrixText[1], (std::vector<std::string>{"A1", "-A2"}));
    EXPECT_EQ(model.freeText, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(model.outputs[0].engineFormula, "F2/A3");
}

TEST(ModelFile, UnknownNamesAreReportedWithLineAndKey)
{
    EXPECT_EQ(ErrorOf(With("ka*gut - ke*central", "ka*gut - kx*central")),
              "m.toml:6: model.rates[2]: unknown name 'kx' (at character 10 of \"ka*gut - kx*central\")");
    EXPECT_EQ(ErrorOf(With("\"central/V\"", "\"central/Vc\"")),
              "m.toml:19: outputs.conc: unknown name 'Vc' (at character 9 of \"central/Vc\")");
    EXPECT_EQ(ErrorOf(With("d(gut)/dt", "d(stomach)/dt")),
              "m.toml:5: model.rates[1]: unknown name 'stomach': not a compartment");
    EXPECT_EQ(ErrorOf(With("ke*V*wt", "ke*V*weight")),
              "m.toml:13: parameters.CL.formula: unknown name 'weight' (at character 6 of \"ke*V*weight\")");
}

TEST(ModelFile, MistakesInTheFileAreNamed)
{
    EXPECT_EQ(ErrorOf(With("estimate = \"population\"", "estimate = \"sometimes\"")),
              "m.toml:11: parameters.ke.estimate: 'sometimes' is not a way to estimate (fixed, individual, "
              "population and individual, population)");
    EXPECT_EQ(ErrorOf(With("error_exponent", "error_exponant")), "m.toml:23: fit.error_exponant: unknown key");
    EXPECT_EQ(
        ErrorOf(With("\"RUNGE-KUTTA QC\"", "\"EULER\"")),
        "m.toml:22: fit.method: 'EULER' is not a method (CHU-BERMAN, RUNGE-KUTTA QC, RUNGE-KUTTA 4, RUNGE-KUTTA 5)");
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "ka = { value = 0 }")),
              "m.toml:10: parameters.ka: an estimated parameter needs a positive initial value (steps are relative "
              "to it)");
    EXPECT_EQ(ErrorOf(With("wt = \"WT\"", "ka = \"WT\"")), "m.toml:16: covariates.ka: the name 'ka' is declared twice");
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "t = { value = 1.5 }")),
              "m.toml:10: parameters.t: 't' is reserved (time or a function)");
    EXPECT_EQ(ErrorOf(With("rates = [", "rates = [\n  \"d(gut)/dt = 0\",")),
              "m.toml:6: model.rates[2]: a second rate for 'gut'");
    EXPECT_EQ(ErrorOf(With("d(gut)/dt =", "gut' =")),
              "m.toml:5: model.rates[1]: a rate is written \"d(compartment)/dt = expression\", not \"gut' = -ka*gut\"");
    EXPECT_NE(ErrorOf(With("[fit]", "[fit")).find("m.toml:21:"), std::string::npos);
}

TEST(ModelFile, DefinitionsThatReadOneAnotherInACircleAreRefused)
{
    EXPECT_EQ(ErrorOf(With("ke*V*wt", "CL*2")),
              "m.toml: parameters.CL.formula: the definitions read one another in a circle: CL -> CL");
    EXPECT_EQ(ErrorOf(With("ke*V*wt", "gut")),
              "m.toml:13: parameters.CL.formula: \"gut\" may not read compartment amounts");
}

TEST(ModelFile, SeveralOutputsEachNeedTheirCmt)
{
    EXPECT_EQ(ErrorOf(With("conc = \"central/V\"", "conc = \"central/V\"\ngutamount = \"gut\"")),
              "m.toml:19: outputs.conc: with several outputs each needs the cmt of its observation rows");
    const Model model =
        ParseModel(With("conc = \"central/V\"",
                        "conc = { formula = \"central/V\", cmt = 2 }\ngutamount = { formula = \"gut\", cmt = 1 }"),
                   "m.toml");
    ASSERT_EQ(model.outputs.size(), 2u);
    EXPECT_EQ(*model.outputs[1].cmt, 1);
    EXPECT_EQ(model.outputs[1].engineFormula, "F1");
}

// The README's model file shows every [fit] key at its default: read that block as the tool
// reads a model and compare with the defaults of the code.
TEST(ModelFile, TheReadmeShowsTheDefaultOfEveryFitSetting)
{
    std::ifstream file(TESSUVAN_README);
    std::stringstream readme;
    readme << file.rdbuf();
    const std::string text = readme.str();
    const std::size_t start = text.find("```toml\n[model]");
    ASSERT_NE(start, std::string::npos);
    const std::size_t end = text.find("```", start + 7);
    const std::string block = text.substr(start + 7, end - start - 7);
    ASSERT_NE(block.find("[fit]"), std::string::npos);
    const FitSettings shown = ParseModel(block, "README.md").fit;
    const FitSettings defaults;
    EXPECT_EQ(shown.method, defaults.method);
    EXPECT_EQ(shown.precision, defaults.precision);
    EXPECT_EQ(shown.errorExponent, defaults.errorExponent);
    EXPECT_EQ(shown.tolerance, defaults.tolerance);
    EXPECT_EQ(shown.damping, defaults.damping);
    EXPECT_EQ(shown.populationIterations, defaults.populationIterations);
    EXPECT_EQ(shown.individualIterations, defaults.individualIterations);
    EXPECT_EQ(shown.priorPopulation, defaults.priorPopulation);
    EXPECT_EQ(shown.allowNonFinite, defaults.allowNonFinite);
    // Every key is shown: a [fit] table with all of them and nothing else parses.
    for (const char* key : {"method", "precision", "error_exponent", "tolerance", "damping", "population_iterations",
                            "individual_iterations", "prior_population", "allow_non_finite"})
        EXPECT_NE(block.find(std::string("\n") + key + " = "), std::string::npos) << key;
}

// Settings reach the engine as 32-bit floats: what the conversion would lose is refused.
TEST(ModelFile, SettingsThatDoNotSurviveTheSingleConversionAreRefused)
{
    EXPECT_EQ(ErrorOf(With("population_iterations = 7", "precision = 1e-50")),
              "m.toml:24: fit.precision: 1e-50 is below the smallest normal 32-bit float (1.18e-38), the type in "
              "which the engine receives it: it would arrive as 0");
    EXPECT_EQ(ErrorOf(With("population_iterations = 7", "tolerance = 1e39")),
              "m.toml:24: fit.tolerance: 1e+39 is beyond the largest 32-bit float (3.4e+38), the type in which the "
              "engine receives it");
    EXPECT_EQ(ErrorOf(With("population_iterations = 7", "damping = nan")),
              "m.toml:24: fit.damping: must be a finite number");
    EXPECT_EQ(ParseModel(With("population_iterations = 7", "damping = 0"), "m.toml").fit.damping, 0.0);
}

// Settings no run could use are refused where they are written: a precision of 1 or more (no
// tolerance), an error exponent whose weights leave the engine's range (a NaN objective).
TEST(ModelFile, ValuesOutOfTheirRangeAreRefusedWithTheirKey)
{
    const auto refused = [](const std::string& from, const std::string& to) {
        const std::string error = ErrorOf(With(from, to));
        return error.substr(error.find(':', error.find(':') + 1) + 2);
    };
    EXPECT_EQ(refused("population_iterations = 7", "precision = 1"),
              "fit.precision: must be below 1: a relative tolerance (1e-6 to 1e-10 is usual)");
    EXPECT_EQ(refused("error_exponent = 2", "error_exponent = 1000"),
              "fit.error_exponent: must be between -10 and 10 (0 to 2 is usual)");
}

// The numbers of the parameters reach the engine as 32-bit floats, and ω² is drawn from and
// searched within the population search's ceiling: each is refused where it is written.
TEST(ModelFile, ParameterNumbersOutsideTheirRangeAreRefusedWhereWritten)
{
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "ka = { value = nan }")),
              "m.toml:10: parameters.ka.value: must be a finite number");
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "ka = 1e308")),
              "m.toml:10: parameters.ka: 1e+308 is beyond the largest 32-bit float (3.4e+38), the type in which the "
              "engine receives it");
    EXPECT_EQ(ErrorOf(With("prior = 0.2", "prior = -inf")), "m.toml:11: parameters.ke.prior: must be a finite number");
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "ka = { value = 1.5, omega = inf }")),
              "m.toml:10: parameters.ka.omega: must be a finite number");
    EXPECT_EQ(ErrorOf(With("ka = { value = 1.5 }", "ka = { value = 1.5, omega = { value = 1e308 } }")),
              "m.toml:10: parameters.ka.omega: 1e+308 is above 25, the largest variance of ln(value) (an SD of 5) "
              "the population search reaches");
}

// Parts that do nothing are said with their line: a compartment no rate changes, and an
// estimated parameter no formula reads (the observations cannot determine it; a definition
// counts only when its own parameter is read, as CL's does not here).
TEST(ModelFile, ACompartmentWithoutARateAndAnUnreadEstimatedParameterAreWarned)
{
    EXPECT_TRUE(ParseModel(kOneCompartment, "m.toml").warnings.empty());
    std::string text = With("  \"d(gut)/dt = -ka*gut\",\n", "");
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{", estimate = \"fixed\" }", " }\nkx = { value = 2 }"},
          {"ke*V*wt", "ke*kx*wt"}})
        text.replace(text.find(from), from.size(), to);
    const Model model = ParseModel(text, "m.toml");
    EXPECT_EQ(model.warnings,
              (std::vector<std::string>{
                  "m.toml:3: model.compartments[1]: 'gut' has no rate in model.rates: its amount changes by doses "
                  "alone (d(gut)/dt = 0)",
                  "m.toml:12: parameters.kx: estimated, but no rate, output, P parameter, dosing formula or definition "
                  "reads it: the observations cannot determine it (the engine's fit finds its normal equations "
                  "singular); fix it (estimate = \"fixed\") or remove it"}));
}

}  // namespace
}  // namespace tessuvan::cli
