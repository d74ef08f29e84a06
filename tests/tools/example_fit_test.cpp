// The example fit, as a person runs it: the theophylline data set and model give physically
// sensible values with standard errors, every individual converges, every file is written.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::vector<std::string>> ReadCsv(const fs::path& path)
{
    std::ifstream file(path);
    std::map<std::string, std::vector<std::string>> rows;
    std::string line;
    while (std::getline(file, line)) {
        std::vector<std::string> cells;
        std::stringstream stream(line);
        std::string cell;
        while (std::getline(stream, cell, ',')) cells.push_back(cell);
        if (!cells.empty()) rows[cells[0]] = cells;
    }
    return rows;
}

TEST(ExampleFit, TheophyllineGivesPhysicallySensibleValuesWithStandardErrors)
{
    const fs::path out = fs::temp_directory_path() / ("tessuvan-example-fit-" + std::to_string(::getpid()));
    fs::remove_all(out);
    const fs::path example = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";
    const std::string command = std::string(TESSUVAN_PROGRAM) + " fit " + (example / "theophylline.toml").string() +
                                " " + (example / "theophylline.csv").string() + " --quiet -o " + out.string() +
                                " > " + out.string() + ".txt 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream printed(out.string() + ".txt");
    std::stringstream text;
    text << printed.rdbuf();
    fs::remove(out.string() + ".txt");
    ASSERT_EQ(status, 0) << text.str();
    EXPECT_NE(text.str().find("Population values: converged"), std::string::npos) << text.str();

    auto population = ReadCsv(out / "population.csv");
    auto value = [&](const char* name) { return std::stod(population.at(name).at(1)); };
    auto se = [&](const char* name) { return std::stod(population.at(name).at(2)); };
    EXPECT_GT(value("ka"), 0.3);  // 1/h
    EXPECT_LT(value("ka"), 3.0);
    EXPECT_GT(value("ke"), 0.03);  // 1/h
    EXPECT_LT(value("ke"), 0.3);
    EXPECT_GT(value("V"), 0.2);  // L/kg
    EXPECT_LT(value("V"), 1.0);
    EXPECT_NEAR(value("CL"), value("ke") * value("V"), 1e-4);
    for (const char* name : {"ka", "ke", "V"}) {
        EXPECT_GT(se(name), 0) << name;
        EXPECT_LT(se(name), 0.5 * value(name)) << name;
    }
    auto individuals = ReadCsv(out / "individuals.csv");
    EXPECT_EQ(individuals.size(), 13u);  // header and 12 subjects
    for (int id = 1; id <= 12; ++id) EXPECT_EQ(individuals.at(std::to_string(id)).back(), "yes") << id;
    for (const char* file : {"report.html", "predictions.csv", "curves.csv", "observed_vs_predicted.png",
                             "individual_fits.png", "residuals_vs_time.png"})
        EXPECT_TRUE(fs::exists(out / file)) << file;
    fs::remove_all(out);
}

}  // namespace
