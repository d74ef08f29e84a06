#include "population/population_json.h"

#include "fmt/format.h"

namespace tessuvan::population {

std::string JsonNumber(double value) { return std::isfinite(value) ? fmt::format("{:.10g}", value) : "null"; }

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += fmt::format("\\u{:04x}", int(c));
                else
                    out += c;
        }
    }
    return out + "\"";
}

std::string PopulationJsonMembers(const std::vector<Estimated>& theta, const std::vector<Estimated>& omega,
                                  const std::vector<Estimated>& sigma)
{
    const auto flag = [](bool fixed) { return fixed ? "true" : "false"; };
    std::string j = "  \"theta\": {";
    for (std::size_t t = 0; t < theta.size(); ++t) {
        const Estimated& e = theta[t];
        j += fmt::format("{}\n    {}: {{\"value\": {}, \"se\": {}, \"rse_percent\": {}, \"fixed\": {}}}", t ? "," : "",
                         JsonString(e.name), JsonNumber(e.value), JsonNumber(e.se), JsonNumber(100 * e.se / e.value),
                         flag(e.fixed));
    }
    j += "\n  },\n  \"omega\": {";
    for (std::size_t e = 0; e < omega.size(); ++e) {
        const Estimated& o = omega[e];
        j += fmt::format("{}\n    {}: {{\"variance\": {}, \"sd\": {}, \"se\": {}, \"cv_percent\": {}, \"fixed\": {}}}",
                         e ? "," : "", JsonString(o.name), JsonNumber(o.value), JsonNumber(std::sqrt(o.value)),
                         JsonNumber(o.se), JsonNumber(CvPercent(o.value)), flag(o.fixed));
    }
    j += "\n  },\n  \"sigma\": {";
    for (std::size_t s = 0; s < sigma.size(); ++s)
        j += fmt::format("{}\n    {}: {{\"value\": {}, \"se\": {}, \"fixed\": {}}}", s ? "," : "",
                         JsonString(sigma[s].name), JsonNumber(sigma[s].value), JsonNumber(sigma[s].se),
                         flag(sigma[s].fixed));
    return j + "\n  },\n";
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
