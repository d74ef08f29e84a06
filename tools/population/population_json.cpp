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

std::string OmegaMatrixJsonMember(const EstimatedOmega& omega)
{
    if (omega.Empty()) return "";
    const Eigen::Index q = omega.covariance.rows();
    const auto matrix = [&](const char* name, const auto& at) {
        std::string j = fmt::format("    {}: [", JsonString(name));
        for (Eigen::Index r = 0; r < q; ++r) {
            j += r ? ", [" : "[";
            for (Eigen::Index c = 0; c < q; ++c) j += (c ? ", " : "") + JsonNumber(at(r, c));
            j += "]";
        }
        return j + "]";
    };
    std::string j = "  \"omega_matrix\": {\n    \"names\": [";
    for (std::size_t e = 0; e < omega.names.size(); ++e) j += (e ? ", " : "") + JsonString(omega.names[e]);
    j += "],\n" + matrix("covariance", [&](Eigen::Index r, Eigen::Index c) { return omega.covariance(r, c); });
    // ρ_rc = Ω_rc / √(Ω_rr Ω_cc).
    j += ",\n" + matrix("correlation", [&](Eigen::Index r, Eigen::Index c) {
             return r == c ? 1.0 : omega.covariance(r, c) / std::sqrt(omega.covariance(r, r) * omega.covariance(c, c));
         });
    j += ",\n" + matrix("se", [&](Eigen::Index r, Eigen::Index c) { return omega.se(r, c); });
    return j + "\n  },\n";
}

namespace {

// "omega_matrix" read back: its names and covariance, square and symmetric.
EstimatedOmega ReadOmegaMatrix(const nlohmann::json& results)
{
    EstimatedOmega omega;
    if (!results.contains("omega_matrix")) return omega;
    const nlohmann::json& member = results["omega_matrix"];
    const auto fail = [](const std::string& what) { throw PopulationJsonError("results.json: omega_matrix." + what); };
    if (!member.is_object() || !member.contains("names") || !member["names"].is_array())
        fail("names is not a list of names");
    for (const auto& name : member["names"]) {
        if (!name.is_string()) fail("names is not a list of names");
        omega.names.push_back(name.get<std::string>());
    }
    const Eigen::Index q = Eigen::Index(omega.names.size());
    if (!member.contains("covariance") || !member["covariance"].is_array() ||
        member["covariance"].size() != omega.names.size())
        fail("covariance is not a square matrix of " + std::to_string(q) + " rows");
    omega.covariance.resize(q, q);
    for (Eigen::Index r = 0; r < q; ++r) {
        const nlohmann::json& row = member["covariance"][std::size_t(r)];
        if (!row.is_array() || row.size() != omega.names.size())
            fail("covariance is not a square matrix of " + std::to_string(q) + " rows");
        for (Eigen::Index c = 0; c < q; ++c) {
            if (!row[std::size_t(c)].is_number()) fail(fmt::format("covariance[{}][{}] is not a number", r, c));
            omega.covariance(r, c) = row[std::size_t(c)].get<double>();
        }
    }
    if (!omega.covariance.isApprox(omega.covariance.transpose())) fail("covariance is not symmetric");
    return omega;
}

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
    return {Member(results, "theta", "value"), Member(results, "omega", "variance"), Member(results, "sigma", "value"),
            ReadOmegaMatrix(results)};
}

}  // namespace tessuvan::population
