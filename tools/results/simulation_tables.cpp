#include "results/simulation_tables.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "fmt/format.h"
#include "results/text_file.h"
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

std::vector<SimulatedRow> SimulatedRowsOf(const Model& model, const EngineProblem& problem,
                                          const SimulationDesign& design, const ReplicateRun& run, int firstReplicate)
{
    std::vector<SimulatedRow> rows;
    for (std::size_t r = 0; r < run.draws.size(); ++r)
        for (std::size_t i = 0; i < design.size(); ++i) {
            const simulation::SimulatedIndividual& drawn = run.draws[r][i];
            const std::vector<double> eta(drawn.eta.data(), drawn.eta.data() + drawn.eta.size());
            for (std::size_t o = 0; o < design[i].size(); ++o) {
                const DesignRow& row = design[i][o];
                rows.push_back({firstReplicate + int(r), problem.individuals[i].id, row.time,
                                model.outputs[row.output].name, drawn.ipred[Eigen::Index(o)], drawn.dv[Eigen::Index(o)],
                                eta});
            }
        }
    return rows;
}

void WriteSimulations(const std::filesystem::path& path, const std::vector<std::string>& etaNames,
                      const std::vector<SimulatedRow>& rows)
{
    TextFile out(path);
    std::string header = "REP,ID,TIME,OUTPUT,IPRED,DV";
    for (const std::string& name : etaNames) header += "," + Cell("ETA_" + name);
    out << header << "\n";
    std::string line;
    for (const SimulatedRow& row : rows) {
        line = fmt::format("{},{},{},{},{},{}", row.replicate, Cell(row.id), ExactNumber(row.time), Cell(row.output),
                           ExactNumber(row.ipred), ExactNumber(row.dv));
        for (double eta : row.eta) line += "," + ExactNumber(eta);
        out << line << "\n";
    }
    out.Close();
}

std::vector<SimulatedRow> ReadSimulations(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path.string() + ": cannot be read");
    std::string line;
    std::getline(in, line);
    const std::size_t columns = SplitCsvLine(line).size();
    if (columns < 6 || line.rfind("REP,ID,TIME,OUTPUT,IPRED,DV", 0) != 0)
        throw std::runtime_error(path.string() + ":1: not a simulations.csv of 'tessuvan simulate'");
    std::vector<SimulatedRow> rows;
    for (int number = 2; std::getline(in, line); ++number) {
        const std::string where = fmt::format("{}:{}", path.string(), number);
        const std::vector<std::string> cells = SplitCsvLine(line);
        if (cells.size() != columns)
            throw std::runtime_error(where + ": expected " + std::to_string(columns) + " cells");
        SimulatedRow row;
        row.replicate = int(ParseNumber(cells[0], where));
        row.id = cells[1];
        row.time = ParseNumber(cells[2], where);
        row.output = cells[3];
        row.ipred = ParseNumber(cells[4], where);
        row.dv = ParseNumber(cells[5], where);
        for (std::size_t c = 6; c < cells.size(); ++c) row.eta.push_back(ParseNumber(cells[c], where));
        rows.push_back(std::move(row));
    }
    return rows;
}

void WriteSummary(const std::filesystem::path& path, const std::vector<SimulatedRow>& rows, const BinRule& bins)
{
    std::vector<std::string> outputs;  // in the order they first appear
    for (const SimulatedRow& row : rows)
        if (std::find(outputs.begin(), outputs.end(), row.output) == outputs.end()) outputs.push_back(row.output);
    TextFile out(path);
    out << "OUTPUT,BIN,TIME_LOW,TIME_HIGH,TIME_MEDIAN,N,IPRED_P5,IPRED_P50,IPRED_P95,DV_P5,DV_P50,DV_P95\n";
    const int firstReplicate = rows.empty() ? 0 : rows.front().replicate;
    for (const std::string& output : outputs) {
        std::vector<double> edges = bins.edges;
        if (edges.empty()) {
            std::vector<double> times;  // the rows of one replicate: the design's
            for (const SimulatedRow& row : rows)
                if (row.output == output && row.replicate == firstReplicate) times.push_back(row.time);
            edges = simulation::EqualCountEdges(times, bins.count);
        }
        const int count = int(edges.size()) - 1;
        std::vector<std::vector<double>> times(std::size_t(std::max(count, 0))), ipred(times.size()), dv(times.size());
        for (const SimulatedRow& row : rows) {
            if (row.output != output) continue;
            const int b = simulation::BinOf(edges, row.time);
            if (b < 0) continue;
            times[std::size_t(b)].push_back(row.time);
            ipred[std::size_t(b)].push_back(row.ipred);
            dv[std::size_t(b)].push_back(row.dv);
        }
        for (int b = 0; b < count; ++b) {
            const std::size_t k = std::size_t(b);
            if (times[k].empty()) continue;
            out << fmt::format("{},{},{:.6g},{:.6g},{:.6g},{}", Cell(output), b + 1, edges[k], edges[k + 1],
                               simulation::Percentile(times[k], 0.5), times[k].size());
            for (const std::vector<double>* values : {&ipred[k], &dv[k]})
                for (double level : {0.05, 0.5, 0.95})
                    out << fmt::format(",{:.6g}", simulation::Percentile(*values, level));
            out << "\n";
        }
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

// Copies the shard's rows after the header, checking that they are its slice: as many rows as
// it wrote, REP within its replicates, each replicate's rows together and in order.
void CopyRows(std::istream& in, std::ostream& out, const ShardSlice& slice)
{
    const std::filesystem::path file = slice.folder / "simulations.csv";
    long long rows = 0;
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
        replicate = int(rep);
        out << line << "\n";
        ++rows;
    }
    if (rows != slice.rows || replicate != slice.range.last)
        throw std::runtime_error(fmt::format(
            "{}: {} rows up to replicate {}, where shard {}/{} wrote {} (replicates {} "
            "to {}): lines are lost",
            file.string(), rows, replicate, slice.index, slice.count, slice.rows, slice.range.first, slice.range.last));
}

}  // namespace

void MergeShards(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target)
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
    {
        TextFile out(target / "simulations.csv");
        std::string firstHeader;
        for (const auto& [index, slice] : byIndex) {
            std::ifstream in(slice.folder / "simulations.csv", std::ios::binary);
            if (!in) throw std::runtime_error((slice.folder / "simulations.csv").string() + ": cannot be read");
            std::string header;
            std::getline(in, header);
            if (firstHeader.empty())
                out << (firstHeader = header) << "\n";
            else if (header != firstHeader)
                throw std::runtime_error((slice.folder / "simulations.csv").string() +
                                         ": other columns than the first shard's");
            CopyRows(in, out.Stream(), slice);
        }
        out.Close();
    }
    const std::vector<SimulatedRow> rows = ReadSimulations(target / "simulations.csv");
    BinRule bins;
    bins.count = common.value("bins", 0);
    if (common.contains("bin_edges")) bins.edges = common["bin_edges"].get<std::vector<double>>();
    WriteSummary(target / "summary.csv", rows, bins);
    WriteDescription(target / "simulation.json", common);
}

}  // namespace tessuvan::cli
