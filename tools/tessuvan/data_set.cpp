#include "data_set.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace tessuvan::cli {

std::string DataSet::Where(int line, int column, std::string_view name) const
{
    std::ostringstream text;
    text << source << ":" << line;
    if (column > 0) text << ":" << column << " (" << name << ")";
    return text.str();
}

namespace {

std::string Upper(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

std::string Trim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

// Splits one CSV line; fields may be quoted with "..." ("" inside is one quote).
std::vector<std::string> SplitFields(std::string_view line)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(Trim(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(Trim(field));
    return fields;
}

bool IsMissing(const std::string& cell) { return cell.empty() || cell == "."; }

class RowReader {
public:
    RowReader(const DataSet& set, const std::vector<std::string>& header, const std::vector<std::string>& cells,
              int line)
        : set_(set), header_(header), cells_(cells), line_(line) {}

    [[noreturn]] void Fail(int column, const std::string& message) const
    {
        throw DataError(set_.Where(line_, column, column > 0 ? header_[std::size_t(column - 1)] : "") + ": " +
                        message);
    }

    const std::string& Cell(int column) const { return cells_[std::size_t(column - 1)]; }

    std::optional<double> Number(int column) const
    {
        if (column == 0 || IsMissing(Cell(column))) return std::nullopt;
        const std::string& cell = Cell(column);
        double value = 0;
        const char* begin = cell.data();
        if (*begin == '+') ++begin;
        const auto [end, error] = std::from_chars(begin, cell.data() + cell.size(), value);
        if (error != std::errc() || end != cell.data() + cell.size() || !std::isfinite(value))
            Fail(column, "'" + cell + "' is not a number");
        return value;
    }

    double Required(int column) const
    {
        std::optional<double> value = Number(column);
        if (!value) Fail(column, "a value is required");
        return *value;
    }

    int Whole(int column, int fallback) const
    {
        std::optional<double> value = Number(column);
        if (!value) return fallback;
        if (*value != std::floor(*value) || std::fabs(*value) > 32767)
            Fail(column, "'" + Cell(column) + "' is not a whole number");
        return static_cast<int>(*value);
    }

private:
    const DataSet& set_;
    const std::vector<std::string>& header_;
    const std::vector<std::string>& cells_;
    int line_;
};

}  // namespace

DataSet ParseDataSet(std::string_view text, const std::string& sourceName,
                     const std::vector<std::string>& covariateColumns)
{
    DataSet set;
    set.source = sourceName;
    set.covariateColumns = covariateColumns;

    std::vector<std::string> header;
    std::vector<int> covariateAt;
    int id = 0, time = 0, dv = 0, amt = 0, cmt = 0, evid = 0, mdv = 0, rate = 0, addl = 0;

    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (Trim(line).empty() || Trim(line)[0] == '#') {
            if (end == text.size()) break;
            continue;
        }
        std::vector<std::string> cells = SplitFields(line);
        if (header.empty()) {
            header = cells;
            for (std::size_t c = 0; c < header.size(); ++c) {
                const std::string name = Upper(header[c]);
                const int column = int(c + 1);
                for (auto [wanted, slot] : {std::pair{"ID", &id}, {"TIME", &time}, {"DV", &dv}, {"AMT", &amt},
                                            {"CMT", &cmt}, {"EVID", &evid}, {"MDV", &mdv}, {"RATE", &rate},
                                            {"ADDL", &addl}})
                    if (name == wanted) {
                        if (*slot != 0)
                            throw DataError(set.Where(lineNumber, column, header[c]) + ": the column " + wanted +
                                            " appears twice");
                        *slot = column;
                    }
            }
            for (auto [wanted, slot] : {std::pair{"ID", id}, {"TIME", time}, {"DV", dv}, {"AMT", amt}})
                if (slot == 0)
                    throw DataError(set.Where(lineNumber, 0, "") + ": the required column " + wanted +
                                    " is missing (the header has: " + [&] {
                                        std::string all;
                                        for (const std::string& h : header) all += (all.empty() ? "" : ", ") + h;
                                        return all;
                                    }() + ")");
            for (const std::string& wanted : covariateColumns) {
                int found = 0;
                for (std::size_t c = 0; c < header.size(); ++c)
                    if (Upper(header[c]) == Upper(wanted)) found = int(c + 1);
                if (found == 0)
                    throw DataError(set.Where(lineNumber, 0, "") + ": the covariate column " + wanted +
                                    " named in the model is missing");
                covariateAt.push_back(found);
            }
            set.timeColumn = time;
            set.cmtColumn = cmt;
            set.amountColumn = amt;
            if (end == text.size()) break;
            continue;
        }
        if (cells.size() != header.size())
            throw DataError(set.Where(lineNumber, 0, "") + ": " + std::to_string(cells.size()) + " fields where the header has " +
                            std::to_string(header.size()));
        RowReader row(set, header, cells, lineNumber);
        DataRow out;
        out.line = lineNumber;
        out.id = row.Cell(id);
        if (IsMissing(out.id)) row.Fail(id, "every row needs an ID");
        out.time = row.Required(time);
        out.evid = row.Whole(evid, -1);
        const std::optional<double> amount = row.Number(amt);
        if (out.evid == -1) out.evid = amount && *amount != 0 ? 1 : 0;
        if (out.evid < 0 || out.evid > 4) row.Fail(evid, "EVID must be 0 to 4");
        out.cmt = row.Whole(cmt, 0);
        if (rate != 0 && row.Number(rate).value_or(0) != 0)
            row.Fail(rate, "infusions (a RATE other than 0) are not supported: give the doses as bolus amounts");
        if (addl != 0 && row.Number(addl).value_or(0) != 0)
            row.Fail(addl, "repeated doses (ADDL) are not supported: write one row per dose");
        if (out.evid == 1 || out.evid == 4) {
            if (!amount || !(*amount > 0)) row.Fail(amt, "a dose row needs a positive amount");
            out.amount = *amount;
        }
        const int mdvValue = row.Whole(mdv, 0);
        if (mdvValue != 0 && mdvValue != 1) row.Fail(mdv, "MDV must be 0 or 1");
        if (out.evid == 0) {
            out.dv = mdvValue == 1 ? std::nullopt : row.Number(dv);
            out.missing = !out.dv.has_value();
        } else {
            out.missing = true;
        }
        for (int column : covariateAt) out.covariates.push_back(row.Number(column));
        set.rows.push_back(std::move(out));
        if (end == text.size()) break;
    }
    if (header.empty()) throw DataError(sourceName + ": the file is empty (a header row is expected)");
    if (set.rows.empty()) throw DataError(sourceName + ": no data rows after the header");
    return set;
}

DataSet ReadDataSet(const std::filesystem::path& path, const std::vector<std::string>& covariateColumns)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw DataError(path.string() + ": cannot be read");
    std::ostringstream text;
    text << file.rdbuf();
    return ParseDataSet(text.str(), path.string(), covariateColumns);
}

}  // namespace tessuvan::cli
