#include "results/bootstrap_tables.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <map>

#include "fmt/format.h"
#include "results/simulation_tables.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

std::string ColumnName(const BootstrapEstimate& estimate) { return estimate.kind + "_" + estimate.name; }

std::string Number(double value) { return std::isfinite(value) ? ExactNumber(value) : std::string(); }

std::string Header(const std::vector<BootstrapEstimate>& estimates)
{
    std::string header = "sample,status,minus2ll";
    for (const BootstrapEstimate& estimate : estimates) header += "," + ColumnName(estimate);
    return header;
}

std::string Row(const BootstrapFit& fit)
{
    std::string row = fmt::format("{},{},{}", fit.sample, StatusWord(fit.status), Number(fit.minus2ll));
    for (const double value : fit.estimates) row += "," + Number(value);
    return row;
}

std::vector<std::string> Cells(const std::string& line)
{
    std::vector<std::string> cells(1);
    for (const char c : line) {
        if (c == ',')
            cells.emplace_back();
        else
            cells.back().push_back(c);
    }
    return cells;
}

nlohmann::ordered_json ReadDescription(const std::filesystem::path& folder)
{
    const std::filesystem::path path = folder / "bootstrap.json";
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path.string() + ": cannot be read (not a folder of 'tessuvan bootstrap')");
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw std::runtime_error(path.string() + ": not valid JSON");
    return json;
}

long long Integer(const nlohmann::ordered_json& object, const char* key, const std::filesystem::path& file)
{
    if (!object.contains(key) || !object[key].is_number_integer())
        throw std::runtime_error(
            fmt::format("{}: {}: an integer is expected (a shard written by 'tessuvan bootstrap --shard K/M')",
                        file.string(), key));
    return object[key].get<long long>();
}

// A sample's row read back: the same doubles as written, since the text is exact.
BootstrapFit ParseRow(const std::string& line, std::size_t estimates, const std::string& where)
{
    const std::vector<std::string> cells = Cells(line);
    if (cells.size() != estimates + 3) throw std::runtime_error(where + ": not a row of bootstrap.csv");
    BootstrapFit fit;
    fit.sample = std::atoi(cells[0].c_str());
    bool known = false;
    for (const auto status :
         {BootstrapFit::Status::Converged, BootstrapFit::Status::NotConverged, BootstrapFit::Status::Failed})
        if (cells[1] == StatusWord(status)) fit.status = status, known = true;
    if (!known) throw std::runtime_error(where + ": status '" + cells[1] + "' unknown");
    const auto value = [&](const std::string& cell) {
        if (cell.empty()) return std::numeric_limits<double>::quiet_NaN();
        char* end = nullptr;
        const double number = std::strtod(cell.c_str(), &end);
        if (*end != '\0') throw std::runtime_error(where + ": '" + cell + "' is not a number");
        return number;
    };
    fit.minus2ll = value(cells[2]);
    for (std::size_t k = 0; k < estimates; ++k) fit.estimates.push_back(value(cells[3 + k]));
    return fit;
}

}  // namespace

void WriteBootstrapRows(const std::filesystem::path& folder, const BootstrapTables& tables)
{
    TextFile out(folder / "bootstrap.csv");
    out << Header(tables.estimates) << "\n";
    for (const BootstrapFit& fit : tables.fits) out << Row(fit) << "\n";
    out.Close();
}

std::string WriteBootstrapSummary(const std::filesystem::path& folder, const BootstrapTables& tables)
{
    std::size_t converged = 0, failed = 0;
    for (const BootstrapFit& fit : tables.fits) {
        converged += fit.status == BootstrapFit::Status::Converged;
        failed += fit.status == BootstrapFit::Status::Failed;
    }
    const std::size_t samples = tables.fits.size();
    std::string text = fmt::format(
        "Bootstrap of {}: {} samples (seed {}{}), {} converged ({:.1f} %), {} not converged, {} failed\n"
        "Percentiles over the {} samples with estimates:\n\n",
        tables.description.value("fit", std::string()), samples, tables.description.value("seed", 0ULL),
        tables.description.contains("stratify") && tables.description["stratify"].is_string()
            ? ", strata of " + tables.description["stratify"].get<std::string>()
            : std::string(),
        converged, samples ? 100.0 * double(converged) / double(samples) : 0.0, samples - converged - failed, failed,
        samples - failed);
    text += fmt::format("{:<7} {:<20} {:>12} {:>12} {:>12} {:>12}\n", "kind", "parameter", "estimate", "median",
                        "2.5 %", "97.5 %");
    TextFile out(folder / "bootstrap_summary.csv");
    out << "kind,parameter,estimate,median,lower_2.5,upper_97.5,samples\n";
    for (std::size_t k = 0; k < tables.estimates.size(); ++k) {
        std::vector<double> values;
        for (const BootstrapFit& fit : tables.fits) values.push_back(fit.estimates[k]);
        const simulation::SpreadSummary s = simulation::SummaryOf(values);
        const BootstrapEstimate& e = tables.estimates[k];
        out << e.kind << "," << e.name << "," << Number(tables.fitted[k]) << "," << Number(s.median) << ","
            << Number(s.lower) << "," << Number(s.upper) << "," << s.count << "\n";
        text += fmt::format("{:<7} {:<20} {:>12.5g} {:>12.5g} {:>12.5g} {:>12.5g}\n", e.kind, e.name, tables.fitted[k],
                            s.median, s.lower, s.upper);
    }
    out.Close();
    WriteTextFile(folder / "bootstrap.txt", text);
    return text;
}

bool IsBootstrapFolder(const std::filesystem::path& folder)
{
    return std::filesystem::is_regular_file(folder / "bootstrap.json");
}

void MergeBootstrapShards(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target)
{
    if (shards.empty()) throw std::runtime_error("no shard folders given");
    struct Slice {
        std::filesystem::path folder;
        simulation::BootstrapRange range;
    };
    std::map<int, Slice> byIndex;
    nlohmann::ordered_json common;
    long long count = 0, samples = 0;
    for (const std::filesystem::path& folder : shards) {
        const std::filesystem::path file = folder / "bootstrap.json";
        nlohmann::ordered_json description = ReadDescription(folder);
        if (!description.contains("shard") || !description["shard"].is_object())
            throw std::runtime_error(file.string() + ": not a shard (run with --shard K/M)");
        const nlohmann::ordered_json shard = description["shard"];
        description.erase("shard");
        const long long index = Integer(shard, "index", file), of = Integer(shard, "count", file);
        const long long all = Integer(description, "samples", file);
        if (all < 1 || all > std::numeric_limits<int>::max() || of < 1 || of > all || index < 1 || index > of)
            throw std::runtime_error(
                fmt::format("{}: shard {}/{} of {} samples is out of range", file.string(), index, of, all));
        const simulation::BootstrapRange range = simulation::ShardReplicates(int(all), {int(index), int(of)});
        if (Integer(shard, "first_sample", file) != range.first || Integer(shard, "last_sample", file) != range.last ||
            Integer(shard, "rows", file) != range.Size())
            throw std::runtime_error(
                fmt::format("{}: shard {}/{} of {} samples holds samples {} to {}: its "
                            "bootstrap.json says otherwise",
                            file.string(), index, of, all, range.first, range.last));
        if (byIndex.empty()) {
            common = description;
            count = of;
            samples = all;
        } else {
            const std::filesystem::path& first = byIndex.begin()->second.folder;
            for (const char* key : {"fit_digest", "model_digest", "data_digest"})
                if (description.value(key, std::string()) != common.value(key, std::string()))
                    throw std::runtime_error(
                        fmt::format("{}: {} differs from {}'s: the fit, its model or its data "
                                    "changed between the shards (run them again from one fit)",
                                    folder.string(), key, first.string()));
            if (description != common || of != count)
                throw std::runtime_error(folder.string() +
                                         ": a shard of another bootstrap (its bootstrap.json "
                                         "differs from " +
                                         first.string() + "'s beyond the shard)");
        }
        if (!byIndex.emplace(int(index), Slice{folder, range}).second)
            throw std::runtime_error(fmt::format("shard {}/{} given twice ({} and {})", index, count,
                                                 byIndex.at(int(index)).folder.string(), folder.string()));
    }
    if ((long long)(byIndex.size()) != count) {
        std::string missing;
        for (int k = 1; k <= count; ++k)
            if (!byIndex.count(k)) missing += (missing.empty() ? "" : ", ") + fmt::format("{}/{}", k, count);
        throw std::runtime_error(fmt::format("shards missing: {}", missing));
    }

    BootstrapTables tables;
    tables.description = common;
    for (const auto& [kind, estimates] : common.at("estimates").items())
        for (const auto& [name, value] : estimates.items()) {
            tables.estimates.push_back({kind, name});
            tables.fitted.push_back(value.is_number() ? value.get<double>() : std::nan(""));
        }
    const std::string header = Header(tables.estimates);
    for (const auto& [index, slice] : byIndex) {
        const std::filesystem::path file = slice.folder / "bootstrap.csv";
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error(file.string() + ": cannot be read");
        std::string line;
        if (!std::getline(in, line) || line != header)
            throw std::runtime_error(file.string() + ":1: not the columns of the estimates its bootstrap.json names");
        int expected = slice.range.first, number = 1;
        while (std::getline(in, line)) {
            const std::string where = fmt::format("{}:{}", file.string(), ++number);
            BootstrapFit fit = ParseRow(line, tables.estimates.size(), where);
            if (fit.sample != expected)
                throw std::runtime_error(
                    fmt::format("{}: sample {} where sample {} belongs", where, fit.sample, expected));
            ++expected;
            tables.fits.push_back(std::move(fit));
        }
        if (expected != slice.range.last + 1)
            throw std::runtime_error(fmt::format("{}: {} rows of the {} of shard {}/{} (cut short?)", file.string(),
                                                 expected - slice.range.first, slice.range.Size(), index, count));
    }
    if ((long long)(tables.fits.size()) != samples) throw std::runtime_error("the shards do not hold every sample");
    WriteBootstrapRows(target, tables);
    WriteBootstrapSummary(target, tables);
    WriteDescription(target / "bootstrap.json", common);
}

}  // namespace tessuvan::cli
