// A population fit with values below a limit of quantification, as a person runs it: the
// theophylline data with every concentration below 2 mg/L marked CENS 1 at that limit.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    return fields;
}

TEST(FoceiCensored, ValuesBelowTheLimitEnterByM3AndHaveNoResiduals)
{
    const fs::path root = fs::temp_directory_path() / ("tessuvan-m3-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const fs::path examples = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";
    std::istringstream in(Contents(examples / "theophylline.csv"));
    std::ofstream data(root / "blq.csv");
    std::string line;
    std::getline(in, line);
    data << line << ",CENS\n";
    int censored = 0;
    std::vector<int> censoredLines;
    for (int number = 2; std::getline(in, line); ++number) {
        const std::vector<std::string> f = Fields(line);  // ID,TIME,DV,AMT,CMT,EVID,MDV,WT
        if (f[5] == "0" && f[6] == "0" && std::stod(f[2]) < 2.0) {
            data << f[0] << "," << f[1] << ",2," << f[3] << "," << f[4] << ",0,0," << f[7] << ",1\n";
            ++censored;
            censoredLines.push_back(number);
        } else {
            data << line << ",0\n";
        }
    }
    data.close();
    ASSERT_GT(censored, 5);

    const std::string command = std::string(TESSUVAN_PROGRAM) + " fit " + (examples / "theophylline_focei.toml").string() +
                                " " + (root / "blq.csv").string() + " -o " + (root / "out").string() + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    std::string output;
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;

    const std::string results = Contents(root / "out" / "results.json");
    EXPECT_NE(results.find("\"converged\": true"), std::string::npos) << results;
    EXPECT_NE(results.find("\"n_censored\": " + std::to_string(censored) + ","), std::string::npos) << results;
    EXPECT_NE(results.find("\"n_observations\": 120,"), std::string::npos) << results;  // none left out
    EXPECT_NE(Contents(root / "out" / "report.txt").find(std::to_string(censored) + " of the observations censored"),
              std::string::npos);

    // Censored rows: DV the limit, a real prediction, and no residuals (empty, never NaN).
    std::istringstream predictions(Contents(root / "out" / "predictions.csv"));
    std::getline(predictions, line);
    ASSERT_EQ(line, "ID,TIME,OUTPUT,DV,PRED,IPRED,WRES,IWRES,CWRES,LINE");
    int seen = 0;
    while (std::getline(predictions, line)) {
        const std::vector<std::string> f = Fields(line);
        ASSERT_EQ(f.size(), 10u) << line;
        EXPECT_EQ(line.find("nan"), std::string::npos) << line;
        const bool isCensored =
            std::find(censoredLines.begin(), censoredLines.end(), std::stoi(f[9])) != censoredLines.end();
        if (!isCensored) {
            EXPECT_FALSE(f[8].empty()) << line;
            continue;
        }
        ++seen;
        EXPECT_EQ(f[3], "2") << line;
        EXPECT_GT(std::stod(f[5]), 0) << line;
        EXPECT_TRUE(f[6].empty() && f[7].empty() && f[8].empty()) << line;
    }
    EXPECT_EQ(seen, censored);
    fs::remove_all(root);
}

}  // namespace
