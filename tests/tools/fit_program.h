// The command run from a test: `tessuvan fit MODEL DATA -o OUT --quiet`, its exit status and
// everything it printed, and a results file read back.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace tessuvan::test_support {

struct Outcome {
    int status = -1;  // the exit status, -1 when the program did not exit
    std::string output;
};

inline Outcome Fit(const std::filesystem::path& model, const std::filesystem::path& data,
                   const std::filesystem::path& out)
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

inline nlohmann::json Json(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

}  // namespace tessuvan::test_support
