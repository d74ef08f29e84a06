#include "population/population_json.h"

#include "fmt/format.h"

namespace tessuvan::population {

void AddPopulationMembers(nlohmann::ordered_json& results, const std::vector<Estimated>& theta,
                          const std::vector<Estimated>& omega, const std::vector<Estimated>& sigma)
{
    nlohmann::ordered_json& typical = results["theta"] = nlohmann::ordered_json::object();
    for (const Estimated& e : theta) {
        typical[e.name] = {
            {"value", e.value}, {"se", e.se}, {"rse_percent", 100 * e.se / std::fabs(e.value)}, {"fixed", e.fixed}};
        if (e.scale != Scale::Log) typical[e.name]["scale"] = ScaleWords(e.scale);
    }
    nlohmann::ordered_json& variability = results["omega"] = nlohmann::ordered_json::object();
    for (const Estimated& o : omega) {
        variability[o.name] = {{"variance", o.value},
                               {"sd", std::sqrt(o.value)},
                               {"se", o.se},
                               {"cv_percent", o.scale == Scale::Log ? CvPercent(o.value) : std::nan("")},
                               {"fixed", o.fixed}};
        if (o.scale != Scale::Log) variability[o.name]["scale"] = ScaleWords(o.scale);
    }
    nlohmann::ordered_json& residual = results["sigma"] = nlohmann::ordered_json::object();
    for (const Estimated& s : sigma) {
        const nlohmann::ordered_json entry = {{"value", s.value}, {"se", s.se}, {"fixed", s.fixed}};
        const std::size_t colon = s.name.find(':');
        if (colon == std::string::npos)
            residual[s.name] = entry;
        else  // an error model per output: "OUTPUT:term" under sigma.OUTPUT.term
            residual[s.name.substr(0, colon)][s.name.substr(colon + 1)] = entry;
    }
}

void AddOmegaMatrix(nlohmann::ordered_json& results, const EstimatedOmega& omega)
{
    if (omega.Empty()) return;
    const Eigen::Index q = omega.covariance.rows();
    const auto matrix = [&](const auto& at) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (Eigen::Index r = 0; r < q; ++r) {
            nlohmann::ordered_json& row = rows.emplace_back(nlohmann::ordered_json::array());
            for (Eigen::Index c = 0; c < q; ++c) row.push_back(at(r, c));
        }
        return rows;
    };
    results["omega_matrix"] = {
        {"names", omega.names},
        {"covariance", matrix([&](Eigen::Index r, Eigen::Index c) { return omega.covariance(r, c); })},
        // ρ_rc = Ω_rc / √(Ω_rr Ω_cc).
        {"correlation", matrix([&](Eigen::Index r, Eigen::Index c) {
             return r == c ? 1.0 : omega.covariance(r, c) / std::sqrt(omega.covariance(r, r) * omega.covariance(c, c));
         })},
        {"se", matrix([&](Eigen::Index r, Eigen::Index c) { return omega.se(r, c); })}};
}

void AddOccasionVariances(nlohmann::ordered_json& results, const std::vector<Estimated>& iov)
{
    if (iov.empty()) return;
    nlohmann::ordered_json& member = results["iov"] = nlohmann::ordered_json::object();
    for (const Estimated& e : iov) member[e.name] = {{"variance", e.value}, {"sd", std::sqrt(e.value)}, {"se", e.se}};
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
    // A simulation from a fit without one of them would draw silently without it (no residual
    // error, the model file's typical values).
    for (const char* member : {"theta", "omega", "sigma"})
        if (!results.is_object() || !results.contains(member) || !results[member].is_object())
            throw PopulationJsonError(std::string("results.json: ") + member +
                                      " is missing or not an object (a FOCEI fit writes it)");
    if (results["sigma"].empty())
        throw PopulationJsonError("results.json: sigma names no residual error (additive and/or proportional)");
    // sigma: {term: {value, ...}} for one error model, {OUTPUT: {term: {value, ...}}} for one per
    // output, read as "OUTPUT:term".
    const auto number = [](const nlohmann::json& entry, const std::string& what) {
        if (!entry.is_object() || !entry.contains("value") || !entry["value"].is_number())
            throw PopulationJsonError("results.json: " + what + ".value is not a number");
        return entry["value"].get<double>();
    };
    std::vector<std::pair<std::string, double>> sigma;
    for (const auto& [name, entry] : results["sigma"].items()) {
        const bool perOutput =
            entry.is_object() && !entry.contains("value") && !entry.empty() && entry.begin()->is_object();
        if (!perOutput) {
            sigma.emplace_back(name, number(entry, "sigma." + name));
            continue;
        }
        for (const auto& [term, value] : entry.items())
            sigma.emplace_back(name + ":" + term, number(value, "sigma." + name + "." + term));
    }
    return {Member(results, "theta", "value"), Member(results, "omega", "variance"), sigma, ReadOmegaMatrix(results),
            Member(results, "iov", "variance")};
}

}  // namespace tessuvan::population
