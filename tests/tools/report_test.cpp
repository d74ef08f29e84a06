// The reports from a known result: the tables, the CSV files, the plots and the HTML page.
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "results/report.h"

namespace tessuvan::cli {
namespace {

namespace fs = std::filesystem;

const char* kModel = R"(
[model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - ke*central"]
[parameters]
ka = { value = 1.5 }
ke = { value = 0.1 }
CL = { formula = "ke*2" }
[outputs]
conc = "central"
)";

class Reports : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("tessuvan-report-test-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder / "work");
        model = ParseModel(kModel, "m.toml");
        for (const char* id : {"101", "102"}) {
            EngineIndividual individual;
            individual.id = id;
            problem.individuals.push_back(individual);
        }
        result.fit = true;
        result.populationFitted = result.individualsFitted = true;
        result.populationConverged = true;
        result.populationIterations = 4;
        result.values.population = {1.2, 0.08, 0.16};
        result.values.standardErrors = {0.12, 0.004, 0};
        result.values.individual = {{1.1, 0.07, 0.14}, {1.3, 0.09, 0.18}};
        result.individualIterations = {3, 5};
        result.individualConverged = {true, false};
        result.individualObjectives = {1.5, 2.5};
        result.populationObjective = 12.5;
        result.individualObjective = 4.0;
        result.warnings = {"the fit of individual 102 did not converge within 5 iterations"};
        for (std::size_t i = 0; i < 2; ++i)
            for (int j = 1; j <= 5; ++j) {
                Observation o;
                o.individual = i;
                o.time = j;
                o.dv = 10.0 * std::exp(-0.1 * j) + 0.1 * double(i);
                o.pred = 10.0 * std::exp(-0.1 * j);
                o.ipred = o.dv + 0.05;
                o.wres = 0.5 - 0.2 * j;
                o.iwres = -0.05;
                o.line = int(2 + 5 * i) + j;
                result.observations.push_back(o);
                for (int g = 0; g < 4; ++g) {
                    CurvePoint point;
                    point.individual = i;
                    point.time = j + 0.25 * g;
                    point.pred = {10.0 * std::exp(-0.1 * point.time)};
                    point.ipred = {point.pred[0] * 1.01};
                    result.curves.push_back(point);
                }
            }
        context.modelPath = "m.toml";
        context.dataPath = "d.csv";
        context.model = &model;
        context.problem = &problem;
        context.result = &result;
    }
    void TearDown() override { fs::remove_all(folder); }

    static std::string Read(const fs::path& path)
    {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path folder;
    Model model;
    EngineProblem problem;
    RunResult result;
    ReportContext context;
};

TEST_F(Reports, TheTableShowsValuesStandardErrorsAndConvergence)
{
    const std::string text = TextReport(context);
    EXPECT_NE(text.find("Population values: converged after 4 iteration(s)"), std::string::npos) << text;
    EXPECT_NE(text.find("  ka                  1.2          0.12     10.0%           1.5  population and individual"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  CL                 0.16             -         -             -  = ke*2"), std::string::npos)
        << text;
    EXPECT_NE(text.find("  102         1.3        0.09        0.18           2.5    5 NOT converged"), std::string::npos)
        << text;
    EXPECT_NE(text.find("  population predictions  12.5"), std::string::npos);
    EXPECT_NE(text.find("Warnings\n  the fit of individual 102"), std::string::npos);
}

TEST_F(Reports, TheCsvFilesHoldEveryValue)
{
    WriteCsvFiles(context, folder);
    EXPECT_EQ(Read(folder / "population.csv"),
              "parameter,value,standard_error,rse_percent,initial,estimated\n"
              "ka,1.2,0.12,10,1.5,population and individual\n"
              "ke,0.08,0.004,5,0.1,population and individual\n"
              "CL,0.16,,,,= ke*2\n");
    EXPECT_EQ(Read(folder / "individuals.csv"),
              "ID,ka,ke,CL,objective,iterations,converged\n101,1.1,0.07,0.14,1.5,3,yes\n102,1.3,0.09,0.18,2.5,5,no\n");
    const std::string predictions = Read(folder / "predictions.csv");
    EXPECT_EQ(predictions.substr(0, predictions.find('\n')), "ID,TIME,OUTPUT,DV,PRED,IPRED,WRES,IWRES,LINE");
    EXPECT_NE(predictions.find("\n102,5,conc,6.1653066,6.0653066,6.2153066,-0.5,-0.05,12\n"), std::string::npos)
        << predictions;
    EXPECT_EQ(std::count(predictions.begin(), predictions.end(), '\n'), 11);
    const std::string curves = Read(folder / "curves.csv");
    EXPECT_EQ(curves.substr(0, curves.find('\n')), "ID,TIME,PRED_conc,IPRED_conc");
    EXPECT_EQ(std::count(curves.begin(), curves.end(), '\n'), 41);
}

TEST_F(Reports, ThePlotsAreDrawnAsPngImages)
{
    const std::vector<std::string> plots = WritePlots(context, folder, folder / "work");
    EXPECT_EQ(plots, (std::vector<std::string>{"observed_vs_predicted.png", "individual_fits.png",
                                               "residuals_vs_time.png"}));
    for (const std::string& plot : plots) {
        const std::string image = Read(folder / plot);
        ASSERT_GT(image.size(), 1000u) << plot;
        EXPECT_EQ(image.substr(1, 3), "PNG") << plot;
    }
}

TEST_F(Reports, TheHtmlPageShowsTheTablesAndThePlots)
{
    WriteHtmlReport(context, {"observed_vs_predicted.png", "individual_fits.png"}, folder);
    const std::string html = Read(folder / "report.html");
    EXPECT_NE(html.find("<img src=\"individual_fits.png\""), std::string::npos);
    EXPECT_NE(html.find("<tr><td>ka</td><td>1.2</td><td>0.12</td><td>10.0%</td>"), std::string::npos) << html;
    EXPECT_NE(html.find("<td>= ke*2</td>"), std::string::npos);
    EXPECT_NE(html.find("5 (not converged)"), std::string::npos);
}

}  // namespace
}  // namespace tessuvan::cli
