// Study-size data sets through the program, which runs on the large build: 2,000 individuals in
// one load, and 150 doses for one individual, simulated and fitted. The model is linear, one
// compartment with intravenous boluses, so every prediction has a closed form: the sum over the
// doses D given by time t of D/V·exp(−CL/V·(t − dose time)).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tessuvan/tessuvan.h"

namespace {

namespace fs = std::filesystem;

constexpr double kClPerKg = 0.05;  // L/h/kg
constexpr double kVPerKg = 0.7;    // L/kg

int RunTool(const std::string& arguments, std::string& output)
{
    const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::size_t n;
    output.clear();
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Dose {
    double time, amount;
};

struct Subject {
    double weight;
    std::vector<Dose> doses;
    std::vector<double> times;  // observations
};

double Concentration(const Subject& s, double t, double clPerKg = kClPerKg, double vPerKg = kVPerKg)
{
    const double cl = clPerKg * s.weight, v = vPerKg * s.weight;
    double c = 0;
    for (const Dose& d : s.doses)
        if (d.time <= t) c += d.amount / v * std::exp(-cl / v * (t - d.time));
    return c;
}

// predictions.csv by column name, one map per row.
std::vector<std::map<std::string, std::string>> ReadPredictions(const fs::path& folder)
{
    std::ifstream in(folder / "predictions.csv");
    std::string line;
    std::vector<std::string> header;
    std::vector<std::map<std::string, std::string>> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
        if (header.empty()) {
            header = fields;
            continue;
        }
        std::map<std::string, std::string> row;
        for (std::size_t k = 0; k < header.size() && k < fields.size(); ++k) row[header[k]] = fields[k];
        rows.push_back(row);
    }
    return rows;
}

class StudySize : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-study-size-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    // Writes the model (starting at the given values, estimated for the population only) and
    // the data set of the subjects with their exact concentrations, and runs simulate and fit:
    // every prediction of simulate must be the closed form at the starting values, and every
    // population prediction of fit the closed form at the true values, which the fit finds (the
    // individual values, not fitted, stay at the starting values).
    void SimulateAndFit(const std::vector<Subject>& subjects, double clStart, double vStart)
    {
        std::ofstream(root / "model.toml") << "[model]\ncompartments = [\"central\"]\n"
                                              "rates = [\"d(central)/dt = -CL/V*central\"]\n"
                                              "[parameters]\n"
                                           << "cl_kg = { value = " << clStart << ", estimate = \"population\" }\n"
                                           << "v_kg = { value = " << vStart << ", estimate = \"population\" }\n"
                                           << "CL = { formula = \"cl_kg*wt\" }\nV = { formula = \"v_kg*wt\" }\n"
                                              "[covariates]\nwt = \"WT\"\n[outputs]\nconc = \"central/V\"\n"
                                              "[fit]\nmethod = \"RUNGE-KUTTA QC\"\nprecision = 1e-9\n"
                                              "tolerance = 1e-12\npopulation_iterations = 100\n";
        std::ofstream data(root / "data.csv");
        data.precision(17);
        data << "ID,TIME,DV,AMT,WT\n";
        for (std::size_t i = 0; i < subjects.size(); ++i) {
            const Subject& s = subjects[i];
            std::size_t d = 0;
            for (double t : s.times) {
                for (; d < s.doses.size() && s.doses[d].time <= t; ++d)
                    data << i + 1 << "," << s.doses[d].time << ",.," << s.doses[d].amount << "," << s.weight << "\n";
                data << i + 1 << "," << t << "," << Concentration(s, t) << ",.," << s.weight << "\n";
            }
        }
        data.close();

        std::string output;
        const std::string files = (root / "model.toml").string() + " " + (root / "data.csv").string();
        for (const char* command : {"simulate", "fit"}) {
            SCOPED_TRACE(command);
            const fs::path out = root / command;
            ASSERT_EQ(RunTool(std::string(command) + " " + files + " -q -o " + out.string(), output), 0) << output;
            const auto rows = ReadPredictions(out);
            std::size_t expected = 0;
            for (const Subject& s : subjects) expected += s.times.size();
            ASSERT_EQ(rows.size(), expected);
            const bool fitted = std::string(command) == "fit";
            double worst = 0;
            for (const auto& row : rows) {
                const Subject& s = subjects[std::stoul(row.at("ID")) - 1];
                const double t = std::stod(row.at("TIME"));
                const double start = Concentration(s, t, clStart, vStart);
                const double population = fitted ? Concentration(s, t) : start;
                worst = std::max(worst, std::fabs(std::stod(row.at("PRED")) - population) / population);
                worst = std::max(worst, std::fabs(std::stod(row.at("IPRED")) - start) / start);
            }
            EXPECT_LT(worst, 2e-5);
        }
    }

    fs::path root;
};

TEST_F(StudySize, TwoThousandIndividualsInOneLoad)
{
    ASSERT_GE(MaxIndividuals, 2000);
    std::vector<Subject> subjects;
    for (int i = 0; i < 2000; ++i)
        subjects.push_back({50.0 + i % 31, {{0, 50.0 * (1 + i % 4)}}, {1, 3, 6, 12}});
    SimulateAndFit(subjects, kClPerKg * 0.8, kVPerKg * 1.2);
}

TEST_F(StudySize, OneHundredAndFiftyDosesForOneIndividual)
{
    ASSERT_GE(MaxInterrupts, 150);
    Subject s{70, {}, {}};
    for (int d = 0; d < 150; ++d) {
        s.doses.push_back({4.0 * d, 10});
        s.times.push_back(4.0 * d + 2);  // one observation in the middle of each interval
    }
    SimulateAndFit({s}, kClPerKg * 0.8, kVPerKg * 1.2);
}

}  // namespace
