#include "population/population_json.h"

namespace tessuvan::population {

void AddPopulationMembers(nlohmann::ordered_json& results, const std::vector<Estimated>& theta,
                          const std::vector<Estimated>& omega, const std::vector<Estimated>& sigma)
{
    nlohmann::ordered_json& typical = results["theta"] = nlohmann::ordered_json::object();
    for (const Estimated& e : theta)
        typical[e.name] = {{"value", e.value}, {"se", e.se}, {"rse_percent", 100 * e.se / e.value}, {"fixed", e.fixed}};
    nlohmann::ordered_json& variability = results["omega"] = nlohmann::ordered_json::object();
    for (const Estimated& o : omega)
        variability[o.name] = {{"variance", o.value},
                               {"sd", std::sqrt(o.value)},
                               {"se", o.se},
                               {"cv_percent", CvPercent(o.value)},
                               {"fixed", o.fixed}};
    nlohmann::ordered_json& residual = results["sigma"] = nlohmann::ordered_json::object();
    for (const Estimated& s : sigma) residual[s.name] = {{"value", s.value}, {"se", s.se}, {"fixed", s.fixed}};
}

namespace {

std::vector<std::pair<std::string, double>> Member(const nlohmann::json& results, const char* member, const char* field)
{
    std::vector<std::pair<std::string, double>> values;
    if (!results.contains(member)) return values;
    for (const auto& [name, entry] : results[member].items()) {
        const std::string what = std::string(member) + "." + name + "." + field;
        if (!entry.is_object() || !entry.contains(field) || !entry[field].is_number())
            throw PopulationJsonError("results.json: " + what + " is not a number");
        values.emplace_back(name, entry[field].get<double>());
    }
    return values;
}

}  // namespace

PopulationValues ReadPopulationJson(const nlohmann::json& results)
{
    return {Member(results, "theta", "value"), Member(results, "omega", "variance"), Member(results, "sigma", "value")};
}

}  // namespace tessuvan::population
