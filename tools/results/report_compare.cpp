#include "results/report_compare.h"

#include <cmath>
#include <fstream>

#include <nlohmann/json.hpp>

#include "fmt/format.h"
#include "model/model_file.h"

namespace tessuvan::cli {

namespace {

using Json = nlohmann::ordered_json;  // the estimates in the order the fit wrote them

Json Results(const std::filesystem::path& folder)
{
    const std::filesystem::path path = folder / "results.json";
    std::ifstream in(path);
    if (!in) throw ModelError(path.string() + ": cannot be read (a fit folder written by 'tessuvan fit' with FOCEI)");
    Json results = Json::parse(in, nullptr, false);
    if (results.is_discarded() || !results.is_object() || !results.contains("theta") || !results.contains("omega") ||
        !results.contains("minus_2ll") || !results["minus_2ll"].is_number())
        throw ModelError(path.string() +
                         ": not the results of a population estimation (no theta, omega and minus_2ll)");
    // Each estimate an object holding its number: a table of dashes for a file of another shape
    // would read as a run without estimates.
    for (const char* kind : {"theta", "omega", "sigma"}) {
        if (!results.contains(kind)) continue;
        const Json& estimates = results[kind];
        if (!estimates.is_object())
            throw ModelError(fmt::format("{}: key '{}' is {}, expected an object of estimates", path.string(), kind,
                                         estimates.type_name()));
        const char* member = std::string(kind) == "omega" ? "variance" : "value";
        for (const auto& [name, estimate] : estimates.items())
            if (!estimate.is_object() || !estimate.contains(member) ||
                !(estimate[member].is_number() || estimate[member].is_null()))
                throw ModelError(
                    fmt::format("{}: key '{}.{}' holds no number '{}'", path.string(), kind, name, member));
    }
    return results;
}

double Number(const Json& results, const char* key)
{
    return results.contains(key) && results[key].is_number() ? results[key].get<double>() : std::nan("");
}

std::string Shown(double value, const char* format = "{:.4f}")
{
    return std::isfinite(value) ? fmt::format(fmt::runtime(format), value) : "-";
}

// sigma per output, {"conc": {"proportional": {...}}}, as the rows "conc:proportional".
void FlattenSigma(Json& run)
{
    if (!run.contains("sigma") || !run["sigma"].is_object()) return;
    Json flat = Json::object();
    for (const auto& [name, entry] : run["sigma"].items()) {
        if (entry.is_object() && !entry.contains("value") && !entry.empty() && entry.begin()->is_object())
            for (const auto& [term, value] : entry.items()) flat[name + ":" + term] = value;
        else
            flat[name] = entry;
    }
    run["sigma"] = flat;
}

}  // namespace

std::string ComparisonTable(const std::vector<std::filesystem::path>& fits)
{
    std::vector<Json> runs;
    for (const std::filesystem::path& fit : fits) {
        runs.push_back(Results(fit));
        FlattenSigma(runs.back());
    }
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    line("Runs (dOFV: -2LL minus that of run 1; k: estimated parameters; cond.: condition number)");
    line(fmt::format("  {:>3}  {:>12} {:>10} {:>12} {:>12} {:>3} {:>9} {:>9}  {}", "run", "-2LL", "dOFV", "AIC", "BIC",
                     "k", "cond.", "converged", "folder"));
    const double reference = Number(runs[0], "minus_2ll");
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const Json& run = runs[r];
        const bool converged =
            run.contains("converged") && run["converged"].is_boolean() && run["converged"].get<bool>();
        line(fmt::format("  {:>3}  {:>12} {:>10} {:>12} {:>12} {:>3} {:>9} {:>9}  {}", r + 1,
                         Shown(Number(run, "minus_2ll")), Shown(Number(run, "minus_2ll") - reference),
                         Shown(Number(run, "aic")), Shown(Number(run, "bic")),
                         Shown(Number(run, "n_estimated"), "{:.0f}"), Shown(Number(run, "condition_number"), "{:.4g}"),
                         converged ? "yes" : "NO", fits[r].string()));
    }
    // Every estimate of any run, in the order of first appearance: θ, ω² (variances), σ.
    struct Row {
        std::string kind, name;
    };
    std::vector<Row> rows;
    for (const std::string kind : {"theta", "omega", "sigma"}) {
        for (const Json& run : runs)
            if (run.contains(kind) && run[kind].is_object())
                for (const auto& [name, estimate] : run[kind].items()) {
                    bool known = false;
                    for (const Row& row : rows) known = known || (row.kind == kind && row.name == name);
                    if (!known) rows.push_back({kind, name});
                }
    }
    line("");
    line("Estimates (theta: typical value; omega: variance of ln; sigma: additive SD or proportional fraction)");
    std::string header = fmt::format("  {:<24}", "");
    for (std::size_t r = 0; r < runs.size(); ++r) header += fmt::format(" {:>12}", fmt::format("run {}", r + 1));
    line(header);
    for (const Row& row : rows) {
        std::string text = fmt::format("  {:<24}", row.kind + " " + row.name);
        const char* member = row.kind == "omega" ? "variance" : "value";
        for (const Json& run : runs) {
            const Json* estimate =
                run.contains(row.kind) && run[row.kind].contains(row.name) ? &run[row.kind][row.name] : nullptr;
            const bool has =
                estimate && estimate->is_object() && estimate->contains(member) && (*estimate)[member].is_number();
            text += fmt::format(" {:>12}", has ? fmt::format("{:.6g}", (*estimate)[member].get<double>()) : "-");
        }
        line(text);
    }
    return out;
}

}  // namespace tessuvan::cli
