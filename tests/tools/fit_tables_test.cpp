// The tables a modeller reads after a FOCEI fit: sdtab.csv holds every data set row with the
// field's columns, NPDE for every observation, and the EVID 2 rows' predictions, which
// predictions.csv lists too; patab.csv one row per individual; the time after dose counts ADDL
// repeats and the file order at one time.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <variant>

#include <gtest/gtest.h>

#include "results/report.h"
#include "toolkit/toolkit.h"

namespace tessuvan::toolkit {
namespace {

namespace fs = std::filesystem;

const fs::path kTheophylline = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";

std::string Text(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using Table = std::vector<std::map<std::string, std::string>>;

// A CSV file without quoted cells, as rows of column → cell; `header` receives the header line.
Table ReadTable(const fs::path& path, std::string& header)
{
    std::ifstream in(path);
    std::getline(in, header);
    std::vector<std::string> columns;
    std::stringstream names(header);
    for (std::string name; std::getline(names, name, ',');) columns.push_back(name);
    Table rows;
    for (std::string line; std::getline(in, line);) {
        std::map<std::string, std::string> row;
        std::stringstream cells(line + ",");
        std::string cell;
        for (const std::string& column : columns) {
            std::getline(cells, cell, ',');
            row[column] = cell;
        }
        rows.push_back(row);
    }
    return rows;
}

TEST(FitTables, TheTheophyllineFitWritesSdtabAndPatabWithNpdeAndTheEvid2Rows)
{
    // The example with its weight as a covariate and a prediction wanted at 30 h of subject 1.
    std::string model = Text(kTheophylline / "theophylline_focei.toml");
    model.replace(model.find("[outputs]"), 9, "[covariates]\nwt = \"WT\"\n\n[outputs]");
    std::string data = Text(kTheophylline / "theophylline.csv");
    const std::string lastOfSubject1 = "1,24.37,3.28,.,2,0,0,79.6\n";
    ASSERT_NE(data.find(lastOfSubject1), std::string::npos);
    data.replace(data.find(lastOfSubject1), lastOfSubject1.size(), lastOfSubject1 + "1,30,.,.,2,2,1,79.6\n");
    const Study study = StudyFromTexts(model, "theophylline_focei.toml", data, "theophylline.csv");
    FitOptions options;
    options.npdeSimulations = 300;
    const fs::path folder = fs::temp_directory_path() / ("tessuvan-fit-tables-" + std::to_string(::getpid()));
    const Written written = Write(Fit(study, {}, {}, options), folder);

    std::string header;
    const Table sdtab = ReadTable(folder / "sdtab.csv", header);
    EXPECT_EQ(header, "ID,TIME,TAD,DV,MDV,EVID,AMT,PRED,IPRED,RES,WRES,IWRES,CWRES,NPDE,WT");
    EXPECT_EQ(sdtab.size(), study.data.rows.size());
    int observed = 0, doses = 0, asked = 0;
    for (const auto& row : sdtab) {
        if (row.at("MDV") == "0") {
            ++observed;
            for (const char* column : {"PRED", "IPRED", "RES", "WRES", "IWRES", "CWRES", "NPDE"})
                EXPECT_FALSE(row.at(column).empty()) << column << " of " << row.at("ID") << " at " << row.at("TIME");
            EXPECT_NEAR(std::stod(row.at("RES")), std::stod(row.at("DV")) - std::stod(row.at("PRED")), 1e-6);
        } else if (row.at("EVID") == "1") {
            ++doses;
            EXPECT_EQ(row.at("TAD"), "0");
            EXPECT_FALSE(row.at("AMT").empty());
            EXPECT_TRUE(row.at("PRED").empty());
        } else if (row.at("EVID") == "2") {
            ++asked;
            EXPECT_EQ(row.at("TAD"), "30");
            EXPECT_TRUE(row.at("DV").empty());
            EXPECT_GT(std::stod(row.at("PRED")), 0);
            EXPECT_GT(std::stod(row.at("IPRED")), 0);
        }
        EXPECT_FALSE(row.at("WT").empty());
    }
    EXPECT_EQ(observed, 120);
    EXPECT_EQ(doses, 12);
    EXPECT_EQ(asked, 1);

    const Table patab = ReadTable(folder / "patab.csv", header);
    EXPECT_EQ(header, "ID,ETA1,ETA2,ETA3,ka,ke,CL,V,WT");
    ASSERT_EQ(patab.size(), 12u);
    EXPECT_EQ(patab[0].at("WT"), "79.6");

    // predictions.csv lists the EVID 2 row in its place, with PRED and IPRED alone.
    const std::string predictions = Text(folder / "predictions.csv");
    EXPECT_NE(predictions.find("\n1,30,conc,,"), std::string::npos) << predictions.substr(0, 2000);
    EXPECT_LT(predictions.find("\n1,24.37"), predictions.find("\n1,30,"));
    EXPECT_LT(predictions.find("\n1,30,"), predictions.find("\n2,"));
    // The summary leaves the individuals to the files; the report keeps them.
    EXPECT_EQ(written.summary.find("Individuals (ETA at the mode"), std::string::npos);
    EXPECT_NE(written.report.find("Individuals (ETA at the mode"), std::string::npos);
    fs::remove_all(folder);
}

TEST(FitTables, TheNpdeAreTheSameForAnyNumberOfThreadsAndNoneWhenNotAsked)
{
    const Study study = LoadStudy(kTheophylline / "theophylline_focei.toml", kTheophylline / "theophylline.csv");
    std::vector<std::vector<double>> npde;
    for (const int threads : {1, 3, 0}) {
        FitOptions options;
        options.npdeSimulations = threads == 0 ? 0 : 60;
        options.threads = std::max(threads, 1);
        const FitResult fit = Fit(study, {}, {}, options);
        std::vector<double> values;
        for (const cli::Observation& o : std::get<PopulationFit>(fit).run.observations) values.push_back(o.npde);
        npde.push_back(values);
    }
    ASSERT_EQ(npde[0].size(), 120u);
    for (std::size_t j = 0; j < npde[0].size(); ++j) {
        ASSERT_TRUE(std::isfinite(npde[0][j]));
        EXPECT_EQ(npde[0][j], npde[1][j]) << j;  // bit for bit
        EXPECT_TRUE(std::isnan(npde[2][j])) << j;
    }
}

TEST(FitTables, TimeAfterDoseCountsAddlRepeatsAndTheRowsBeforeADoseAtTheirTime)
{
    // Doses at 0, 12 and 24 (ADDL 2 every 12); a trough at 12 written before the repeat there
    // sees the dose at 0; a second individual starts afresh with no dose yet.
    const cli::DataSet data = cli::ParseDataSet(
        "ID,TIME,DV,AMT,II,ADDL\n"
        "1,0,.,100,12,2\n"
        "1,12,3,.,.,.\n"
        "1,13,5,.,.,.\n"
        "1,40,1,.,.,.\n"
        "2,1,2,.,.,.\n"
        "2,2,.,100,.,.\n"
        "2,5,4,.,.,.\n",
        "tad.csv", {});
    const std::vector<std::optional<double>> tad = cli::TimesAfterDose(data);
    ASSERT_EQ(tad.size(), 7u);
    EXPECT_EQ(tad[0], 0.0);
    EXPECT_EQ(tad[1], 12.0);
    EXPECT_EQ(tad[2], 1.0);
    EXPECT_EQ(tad[3], 16.0);  // after the last repeat, at 24
    EXPECT_FALSE(tad[4].has_value());
    EXPECT_EQ(tad[5], 0.0);
    EXPECT_EQ(tad[6], 3.0);
}

}  // namespace
}  // namespace tessuvan::toolkit
