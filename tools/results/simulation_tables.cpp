#include "results/simulation_tables.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>

#include "fmt/format.h"
#include "results/text_file.h"
#include "simulation/order_statistics.h"
#include "simulation/time_bins.h"

namespace tessuvan::cli {

namespace {

std::vector<std::string> SplitCsvLine(const std::string& line)
{
    // The tool's own file: cells are quoted only when they hold a comma or a quote.
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (std::size_t c = 0; c < line.size(); ++c) {
        const char ch = line[c];
        if (quoted) {
            if (ch == '"' && c + 1 < line.size() && line[c + 1] == '"')
                cells.back() += '"', ++c;
            else if (ch == '"')
                quoted = false;
            else
                cells.back() += ch;
        } else if (ch == '"')
            quoted = true;
        else if (ch == ',')
            cells.emplace_back();
        else
            cells.back() += ch;
    }
    return cells;
}

std::string Cell(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

double ParseNumber(const std::string& text, const std::string& where)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw std::runtime_error(where + ": not a number: '" + text + "'");
    return value;
}

nlohmann::ordered_json ReadJson(const std::filesystem::path& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path.string() + ": cannot be read (not a folder of 'tessuvan simulate')");
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw std::runtime_error(path.string() + ": not valid JSON");
    return json;
}

}  // namespace

std::string ExactNumber(double value) { return fmt::format("{}", value); }

void WriteSimulations(const std::filesystem::path& path, const Model& model, const EngineProblem& problem,
                      const SimulationDesign& design, const std::vector<std::string>& etaNames,
                      const ReplicateDraws& draws)
{
    TextFile out(path);
    std::string header = "REP,ID,TIME,OUTPUT,IPRED,DV";
    for (const std::string& name : etaNames) header += "," + Cell("ETA_" + name);
    out << header << "\n";
    std::vector<std::string> ids, outputs;
    for (const EngineIndividual& individual : problem.individuals) ids.push_back(Cell(individual.id));
    for (const auto& output : model.outputs) outputs.push_back(Cell(output.name));
    // A replicate's text at a time: the number formats are those of ExactNumber.
    fmt::memory_buffer text;
    draws.ForEach([&](int replicate, const std::vector<simulation::SimulatedIndividual>& drawn) {
        text.clear();
        for (std::size_t i = 0; i < design.size(); ++i) {
            std::string etas;
            for (Eigen::Index e = 0; e < drawn[i].eta.size(); ++e) etas += "," + ExactNumber(drawn[i].eta[e]);
            for (std::size_t o = 0; o < design[i].size(); ++o) {
                const DesignRow& row = design[i][o];
                fmt::format_to(std::back_inserter(text), "{},{},{},{},{},{}{}\n", replicate, ids[i], row.time,
                               outputs[row.output], drawn[i].ipred[Eigen::Index(o)], drawn[i].dv[Eigen::Index(o)],
                               etas);
            }
        }
        out.Stream().write(text.data(), std::streamsize(text.size()));
    });
    out.Close();
}

SummaryRows SummaryRowsOf(const Model& model, const SimulationDesign& design, const ReplicateDraws& draws)
{
    SummaryRows rows;
    std::vector<std::size_t> indexOf(model.outputs.size(), std::size_t(-1));  // model output → summary output
    for (const std::vector<DesignRow>& individual : design)
        for (const DesignRow& row : individual) {
            if (indexOf[row.output] == std::size_t(-1)) {
                indexOf[row.output] = rows.outputs.size();
                rows.outputs.push_back(model.outputs[row.output].name);
                rows.replicateTimes.emplace_back();
            }
            rows.replicateTimes[indexOf[row.output]].push_back(row.time);
        }
    rows.replay = [&design, &draws, indexOf](const SummaryRows::Take& take) {
        draws.ForEach([&](int, const std::vector<simulation::SimulatedIndividual>& drawn) {
            for (std::size_t i = 0; i < design.size(); ++i)
                for (std::size_t o = 0; o < design[i].size(); ++o)
                    take(indexOf[design[i][o].output], design[i][o].time, drawn[i].ipred[Eigen::Index(o)],
                         drawn[i].dv[Eigen::Index(o)]);
        });
    };
    return rows;
}

void WriteSummary(const std::filesystem::path& path, const SummaryRows& rows, const BinRule& bins)
{
    // Groups: the bins of every output in turn; per group the rows' TIME, IPRED and DV.
    std::vector<std::vector<double>> edges;
    std::vector<int> firstGroup;
    int groups = 0;
    for (std::size_t k = 0; k < rows.outputs.size(); ++k) {
        edges.push_back(bins.edges.empty() ? simulation::EqualCountEdges(rows.replicateTimes[k], bins.count)
                                           : bins.edges);
        firstGroup.push_back(groups);
        groups += std::max(int(edges.back().size()) - 1, 0);
    }
    const auto groupOf = [&](std::size_t output, double time) {
        const int b = simulation::BinOf(edges[output], time);
        return b < 0 ? -1 : firstGroup[output] + b;
    };
    std::vector<std::uint64_t> counts(std::size_t(groups), 0);
    rows.replay([&](std::size_t output, double time, double, double) {
        if (const int g = groupOf(output, time); g >= 0) ++counts[std::size_t(g)];
    });
    constexpr double kLevels[] = {0.05, 0.5, 0.95};
    std::vector<simulation::RankQuery> queries;
    const auto ask = [&](int g, int column, double level) {
        const auto [low, high] = simulation::PercentileRanks(counts[std::size_t(g)], level);
        queries.push_back({g, column, low});
        queries.push_back({g, column, high});
    };
    for (int g = 0; g < groups; ++g) {
        if (counts[std::size_t(g)] == 0) continue;
        ask(g, 0, 0.5);
        for (int column : {1, 2})
            for (const double level : kLevels) ask(g, column, level);
    }
    const std::vector<double> values = simulation::SelectRanks(
        groups, 3,
        [&](const auto& take) {
            rows.replay([&](std::size_t output, double time, double ipred, double dv) {
                const double row[] = {time, ipred, dv};
                take(groupOf(output, time), row);
            });
        },
        queries);

    TextFile out(path);
    out << "OUTPUT,BIN,TIME_LOW,TIME_HIGH,TIME_MEDIAN,N,IPRED_P5,IPRED_P50,IPRED_P95,DV_P5,DV_P50,DV_P95\n";
    std::size_t at = 0;  // the next query's value
    const auto percentile = [&](std::uint64_t n, double level) {
        const double low = values[at], high = values[at + 1];
        at += 2;
        return simulation::PercentileOfRanks(n, level, low, high);
    };
    for (std::size_t k = 0; k < rows.outputs.size(); ++k)
        for (int b = 0; b + 1 < int(edges[k].size()); ++b) {
            const std::uint64_t n = counts[std::size_t(firstGroup[k] + b)];
            if (n == 0) continue;
            const std::size_t e = std::size_t(b);
            out << fmt::format("{},{},{:.6g},{:.6g},{:.6g},{}", Cell(rows.outputs[k]), b + 1, edges[k][e],
                               edges[k][e + 1], percentile(n, 0.5), n);
            for (int column = 1; column <= 2; ++column)
                for (const double level : kLevels) out << fmt::format(",{:.6g}", percentile(n, level));
            out << "\n";
        }
    out.Close();
}

void WriteDescription(const std::filesystem::path& path, nlohmann::ordered_json description)
{
    WriteTextFile(path, description.dump(2) + "\n");
}

namespace {

// A shard as its simulation.json describes it: which slice of which run, and its rows.
struct ShardSlice {
    std::filesystem::path folder;
    int index = 0, count = 0;
    simulation::ReplicateRange range;
    long long rows = 0;
};

long long Integer(const nlohmann::ordered_json& object, const char* key, const std::filesystem::path& file)
{
    if (!object.contains(key) || !object[key].is_number_integer())
        throw std::runtime_error(
            fmt::format("{}: {}: an integer is expected (a shard written by 'tessuvan simulate "
                        "--shard K/M' of this version; run it again)",
                        file.string(), key));
    return object[key].get<long long>();
}

// The slice the shard's simulation.json claims, checked against the run it names: its index
// among `count` shards, the replicates the rule of ShardReplicates gives it, and the rows they hold.
ShardSlice SliceOf(const std::filesystem::path& folder, const nlohmann::ordered_json& description)
{
    const std::filesystem::path file = folder / "simulation.json";
    const nlohmann::ordered_json& shard = description["shard"];
    const long long replicates = Integer(description, "replicates", file);
    const long long perReplicate = Integer(description, "rows_per_replicate", file);
    const long long count = Integer(shard, "count", file);
    const long long index = Integer(shard, "index", file);
    if (replicates < 1 || replicates > std::numeric_limits<int>::max() || perReplicate < 0 || count < 1 ||
        count > replicates)
        throw std::runtime_error(
            fmt::format("{}: shard.count {} beyond the {} replicates it divides", file.string(), count, replicates));
    if (index < 1 || index > count)
        throw std::runtime_error(fmt::format("{}: shard.index {} out of range (1 to {})", file.string(), index, count));
    ShardSlice slice{folder, int(index), int(count),
                     simulation::ShardReplicates(int(replicates), {int(index), int(count)}),
                     Integer(shard, "rows", file)};
    if (Integer(shard, "first_replicate", file) != slice.range.first ||
        Integer(shard, "last_replicate", file) != slice.range.last ||
        slice.rows != (long long)(slice.range.Size()) * perReplicate)
        throw std::runtime_error(
            fmt::format("{}: shard {}/{} of {} replicates holds replicates {} to {}, {} rows: "
                        "its simulation.json says otherwise",
                        file.string(), index, count, replicates, slice.range.first, slice.range.last,
                        (long long)(slice.range.Size()) * perReplicate));
    return slice;
}

// The rows summary.csv reads, as the merge copies them: a record of four doubles per row
// (the output's number among those seen, TIME, IPRED, DV) in a file of the work folder.
class SummaryRowFile {
public:
    explicit SummaryRowFile(std::filesystem::path path) : path_(std::move(path))
    {
        out_.open(path_, std::ios::binary | std::ios::trunc);
        Check(out_);
    }
    void Add(int replicate, const std::string& output, double time, double ipred, double dv)
    {
        auto found = std::find(rows_.outputs.begin(), rows_.outputs.end(), output);
        if (found == rows_.outputs.end()) {
            rows_.outputs.push_back(output);
            rows_.replicateTimes.emplace_back();
            found = rows_.outputs.end() - 1;
        }
        const auto k = std::size_t(found - rows_.outputs.begin());
        if (firstReplicate_ == 0) firstReplicate_ = replicate;
        if (replicate == firstReplicate_) rows_.replicateTimes[k].push_back(time);
        const double record[] = {double(k), time, ipred, dv};
        out_.write(reinterpret_cast<const char*>(record), sizeof record);
        Check(out_);
    }
    // The rows, once every one was added.
    const SummaryRows& Rows()
    {
        out_.close();
        Check(out_);
        rows_.replay = [path = path_](const SummaryRows::Take& take) {
            std::ifstream in(path, std::ios::binary);
            Check(in, path);
            double record[4];
            while (in.read(reinterpret_cast<char*>(record), sizeof record))
                take(std::size_t(record[0]), record[1], record[2], record[3]);
            if (!in.eof()) throw std::runtime_error(path.string() + ": cannot be read back");
        };
        return rows_;
    }

private:
    void Check(const std::ios& stream) const { Check(stream, path_); }
    static void Check(const std::ios& stream, const std::filesystem::path& path)
    {
        if (stream.fail()) throw WriteFailure(path.string() + ": cannot be written (" + std::strerror(errno) + ")");
    }
    std::filesystem::path path_;
    std::ofstream out_;
    SummaryRows rows_;
    int firstReplicate_ = 0;
};

// Copies the shard's rows after the header, checking that they are its slice: as many rows as
// it wrote, REP within its replicates, each replicate's rows together and in order, each row
// with as many cells as the header and its numbers readable; the summary's cells go to `rows`.
void CopyRows(std::istream& in, std::ostream& out, const ShardSlice& slice, std::size_t columns, SummaryRowFile& rows)
{
    const std::filesystem::path file = slice.folder / "simulations.csv";
    long long rowCount = 0;
    int replicate = slice.range.first;
    std::string line;
    for (long long number = 2; std::getline(in, line); ++number) {
        char* end = nullptr;
        const long rep = std::strtol(line.c_str(), &end, 10);
        if (end == line.c_str() || *end != ',' || rep < slice.range.first || rep > slice.range.last ||
            (rep != replicate && rep != replicate + 1))
            throw std::runtime_error(
                fmt::format("{}:{}: REP {} is not shard {}/{}'s next (replicates {} to {}, in "
                            "order): the file of another shard or run",
                            file.string(), number, line.substr(0, line.find(',')), slice.index, slice.count,
                            slice.range.first, slice.range.last));
        const std::string where = fmt::format("{}:{}", file.string(), number);
        const std::vector<std::string> cells = SplitCsvLine(line);
        if (cells.size() != columns)
            throw std::runtime_error(where + ": expected " + std::to_string(columns) + " cells");
        // A shard's numbers were checked when it was simulated; one that is not finite was
        // written by hand, and would reach the summary's percentiles.
        const auto finite = [&](std::size_t c) {
            const double value = ParseNumber(cells[c], where);
            if (!std::isfinite(value))
                throw std::runtime_error(where + ": " + cells[c] +
                                         " is not a finite number (not a shard as simulated)");
            return value;
        };
        for (std::size_t c = 6; c < cells.size(); ++c) finite(c);
        rows.Add(int(rep), cells[3], finite(2), finite(4), finite(5));
        replicate = int(rep);
        out << line << "\n";
        ++rowCount;
    }
    if (rowCount != slice.rows || replicate != slice.range.last)
        throw std::runtime_error(
            fmt::format("{}: {} rows up to replicate {}, where shard {}/{} wrote {} (replicates {} "
                        "to {}): lines are lost",
                        file.string(), rowCount, replicate, slice.index, slice.count, slice.rows, slice.range.first,
                        slice.range.last));
}

}  // namespace

void MergeShards(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target,
                 const std::filesystem::path& work)
{
    if (shards.empty()) throw std::runtime_error("no shard folders given");
    std::map<int, ShardSlice> byIndex;
    nlohmann::ordered_json common;
    int count = 0;
    for (const std::filesystem::path& folder : shards) {
        nlohmann::ordered_json description = ReadJson(folder / "simulation.json");
        if (!description.contains("shard") || !description["shard"].is_object())
            throw std::runtime_error((folder / "simulation.json").string() + ": not a shard (run with --shard K/M)");
        const ShardSlice slice = SliceOf(folder, description);
        description.erase("shard");
        if (byIndex.empty()) {
            common = description;
            count = slice.count;
        } else {
            const std::filesystem::path& first = byIndex.begin()->second.folder;
            for (const char* key : {"model_digest", "data_digest"})
                if (description.value(key, std::string()) != common.value(key, std::string()))
                    throw std::runtime_error(
                        fmt::format("{}: {} differs from {}'s: the {} was changed between the "
                                    "shards (run them again from the same files)",
                                    folder.string(), key, first.string(), key[0] == 'm' ? "model file" : "data set"));
            if (description != common || slice.count != count)
                throw std::runtime_error(folder.string() +
                                         ": a shard of another run (its simulation.json differs from " +
                                         first.string() + "'s beyond the shard)");
        }
        if (!byIndex.emplace(slice.index, slice).second)
            throw std::runtime_error(fmt::format("shard {}/{} given twice ({} and {})", slice.index, count,
                                                 byIndex.at(slice.index).folder.string(), folder.string()));
    }
    if (int(byIndex.size()) != count) {
        std::string missing;
        int listed = 0;
        for (int k = 1; k <= count && listed <= 10; ++k)  // the first ten: a count is bounded by the replicates only
            if (!byIndex.count(k)) {
                missing += listed == 0 ? "" : ", ";
                missing += ++listed > 10 ? std::string("...") : fmt::format("{}/{}", k, count);
            }
        throw std::runtime_error(
            fmt::format("shards missing: {} ({} of {})", missing, count - int(byIndex.size()), count));
    }
    SummaryRowFile rows(work / "summary-rows.bin");
    {
        TextFile out(target / "simulations.csv");
        std::string firstHeader;
        for (const auto& [index, slice] : byIndex) {
            std::ifstream in(slice.folder / "simulations.csv", std::ios::binary);
            if (!in) throw std::runtime_error((slice.folder / "simulations.csv").string() + ": cannot be read");
            std::string header;
            std::getline(in, header);
            if (firstHeader.empty()) {
                const std::size_t columns = SplitCsvLine(header).size();
                if (columns < 6 || header.rfind("REP,ID,TIME,OUTPUT,IPRED,DV", 0) != 0)
                    throw std::runtime_error((slice.folder / "simulations.csv").string() +
                                             ":1: not a simulations.csv of 'tessuvan simulate'");
                out << (firstHeader = header) << "\n";
            } else if (header != firstHeader)
                throw std::runtime_error((slice.folder / "simulations.csv").string() +
                                         ": other columns than the first shard's");
            CopyRows(in, out.Stream(), slice, SplitCsvLine(firstHeader).size(), rows);
        }
        out.Close();
    }
    BinRule bins;
    bins.count = common.value("bins", 0);
    if (common.contains("bin_edges")) bins.edges = common["bin_edges"].get<std::vector<double>>();
    WriteSummary(target / "summary.csv", rows.Rows(), bins);
    WriteDescription(target / "simulation.json", common);
}

}  // namespace tessuvan::cli
