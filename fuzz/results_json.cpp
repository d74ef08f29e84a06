// Fuzz target: a fit's results.json as `simulate --from` and `vpc` read it, the estimates of
// the population model (theta, omega, sigma) included. The input is the file's text.
//
// Text that is no JSON, or JSON that holds no usable estimates, must be refused with a
// PopulationJsonError naming the key; any other exception, a crash or undefined behaviour is a
// finding. What is accepted must be a number for every estimate read, under the name it had.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "population/population_json.h"

namespace {

[[noreturn]] void Finding(const std::string& what)
{
    std::fprintf(stderr, "results.json invariant broken: %s\n", what.c_str());
    std::abort();
}

// Every value read is the number the file holds under its group, name and field.
void CheckMember(const nlohmann::json& results, const char* group, const char* field,
                 const std::vector<std::pair<std::string, double>>& values)
{
    if (values.size() != (results.contains(group) ? results[group].size() : 0))
        Finding(std::string(group) + ": not every entry read");
    for (const auto& [name, value] : values) {
        const nlohmann::json& entry = results[group][name][field];
        if (!entry.is_number() || !(entry.get<double>() == value || std::isnan(value)))
            Finding(std::string(group) + "." + name + ": read as another value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json results = nlohmann::json::parse(text, nullptr, false);
    if (results.is_discarded()) return 0;
    try {
        const tessuvan::population::PopulationValues values = tessuvan::population::ReadPopulationJson(results);
        CheckMember(results, "theta", "value", values.theta);
        CheckMember(results, "omega", "variance", values.omega);
        CheckMember(results, "sigma", "value", values.sigma);
    } catch (const tessuvan::population::PopulationJsonError&) {
        // refused with its key named
    }
    return 0;
}
