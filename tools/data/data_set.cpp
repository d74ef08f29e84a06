#include "data/data_set.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "model/input_file.h"

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
        : set_(set), header_(header), cells_(cells), line_(line)
    {
    }

    [[noreturn]] void Fail(int column, const std::string& message) const
    {
        throw DataError(set_.Where(line_, column, column > 0 ? header_[std::size_t(column - 1)] : "") + ": " + message);
    }

    const std::string& Cell(int column) const { return cells_[std::size_t(column - 1)]; }

    // With `presence`, a cell counts when it is neither missing nor 0 (text included), and its
    // value is not read.
    std::optional<double> Number(int column, bool presence = false) const
    {
        if (column == 0 || IsMissing(Cell(column))) return std::nullopt;
        if (presence) return Cell(column) == "0" ? std::nullopt : std::optional<double>(1.0);
        const std::string& cell = Cell(column);
        double value = 0;
        const char* begin = cell.data();
        if (*begin == '+') ++begin;
        const auto [end, error] = std::from_chars(begin, cell.data() + cell.size(), value);
        if (error != std::errc() || end != cell.data() + cell.size() || !std::isfinite(value))
            Fail(column, "'" + cell + "' is not a number");
        return value;
    }

    // A value the engine receives as a 32-bit float: one beyond the largest cannot be held.
    std::optional<double> Single(int column) const
    {
        const std::optional<double> value = Number(column);
        if (value && std::fabs(*value) > std::numeric_limits<float>::max())
            Fail(column,
                 "'" + Cell(column) +
                     "' is beyond the largest 32-bit float (3.4e+38), the type in which the engine receives it");
        return value;
    }

    double Required(int column) const
    {
        std::optional<double> value = Single(column);
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

// Columns of the common layout that the tool does not use. A refused one stops the reading
// at its first row with a value (other than 0); the others give one warning each.
struct ConventionColumn {
    std::array<std::string_view, 4> names;  // the names that mean it (the rest left empty)
    bool refused;
    const char* instead;
};

const ConventionColumn* UnusedConventionColumn(const std::string& upperName)
{
    static const ConventionColumn columns[] = {
        {{"DATE", "DAT1", "DAT2", "DAT3"},
         true,
         "calendar dates are not read: give TIME as the time since a reference"},
        {{"CONT"}, true, "continuation rows are not read: write each event on one row"},
        {{"DVID"}, true, "outputs are picked by CMT: give each output a cmt in the model and the rows that CMT"},
        {{"PCMT"}, false, "predictions are made for every output (they are picked by CMT)"},
        {{"CALL"}, false, "every row is simulated in order"},
        {{"L1"}, false, "individuals are told apart by ID"},
        {{"L2"}, false, "observations at one time are independent"},
        {{"OCC"}, false, "occasions are not modelled (no variability between occasions)"},
        {{"LLOQ", "BLQ"}, false, "mark censored observations with CENS = 1 (the limit in DV or LIMIT)"},
    };
    for (const ConventionColumn& column : columns)
        for (std::string_view name : column.names)
            if (!name.empty() && upperName == name) return &column;
    return nullptr;
}

struct UnusedColumn {
    int column = 0;
    const ConventionColumn* known = nullptr;
    int firstLine = 0;  // the first row with a value
};

// RATE, DUR, II, ADDL and SS of a dose row: checked one by one, so that a wrong value names
// its column and says what is allowed.
void ReadDoseColumns(const RowReader& row, DataRow& out, int rate, int dur, int ii, int addl, int ss)
{
    out.rate = row.Single(rate).value_or(0);
    if (out.rate < 0 && out.rate != -1 && out.rate != -2)
        row.Fail(rate,
                 "RATE must be positive (an infusion), 0 (a bolus), -1 (the rate given by dosing.rate of "
                 "the model) or -2 (the duration given by dosing.duration)");
    out.duration = row.Single(dur).value_or(0);
    if (out.duration < 0) row.Fail(dur, "DUR cannot be negative");
    if (out.duration > 0 && out.rate != 0)
        row.Fail(dur, "give an infusion's RATE or its DUR, not both (RATE is AMT/DUR)");
    out.interval = row.Single(ii).value_or(0);
    if (out.interval < 0) row.Fail(ii, "II cannot be negative");
    out.additional = row.Whole(addl, 0);
    if (out.additional < 0) row.Fail(addl, "ADDL cannot be negative");
    if (out.additional > 0 && !(out.interval > 0)) row.Fail(addl, "ADDL needs the interval between the doses in II");
    out.steadyState = row.Whole(ss, 0);
    if (out.steadyState < 0 || out.steadyState > 2) row.Fail(ss, "SS must be 0, 1 or 2");
    if (out.steadyState != 0 && !(out.interval > 0))
        row.Fail(ss, "a steady state needs the dosing interval in II (a constant infusion is a RATE without SS)");
}

}  // namespace

DataSet ParseDataSet(std::string_view text, const std::string& sourceName,
                     const std::vector<std::string>& covariateColumns)
{
    DataSet set;
    set.source = sourceName;
    set.covariateColumns = covariateColumns;

    std::vector<std::string> header;
    std::vector<int> covariateAt;
    int id = 0, time = 0, dv = 0, amt = 0, cmt = 0, evid = 0, mdv = 0, rate = 0, dur = 0, ii = 0, addl = 0, ss = 0,
        cens = 0, limit = 0;
    std::vector<UnusedColumn> unused;
    int censoredDose = 0;    // the first row that is no observation but has a CENS
    int lonelyInterval = 0;  // the first dose with an II that neither ADDL nor SS reads

    // A spreadsheet's "CSV UTF-8" starts with a byte-order mark, which is no part of the first
    // column's name. Lines end with LF, CR LF or (an old spreadsheet's) CR alone.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
        ++lineNumber;
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
                for (auto [wanted, slot] : {std::pair{"ID", &id},
                                            {"TIME", &time},
                                            {"DV", &dv},
                                            {"AMT", &amt},
                                            {"CMT", &cmt},
                                            {"EVID", &evid},
                                            {"MDV", &mdv},
                                            {"RATE", &rate},
                                            {"DUR", &dur},
                                            {"II", &ii},
                                            {"ADDL", &addl},
                                            {"SS", &ss},
                                            {"CENS", &cens},
                                            {"LIMIT", &limit}})
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
                                    " is missing (the header has: " +
                                    [&] {
                                        std::string all;
                                        for (const std::string& h : header) all += (all.empty() ? "" : ", ") + h;
                                        return all;
                                    }() +
                                    ")");
            for (const std::string& wanted : covariateColumns) {
                int found = 0;
                for (std::size_t c = 0; c < header.size(); ++c)
                    if (Upper(header[c]) == Upper(wanted)) found = int(c + 1);
                if (found == 0)
                    throw DataError(set.Where(lineNumber, 0, "") + ": the covariate column " + wanted +
                                    " named in the model is missing");
                covariateAt.push_back(found);
            }
            for (std::size_t c = 0; c < header.size(); ++c)  // (OCC is read for a model with iov)
                if (const ConventionColumn* known = UnusedConventionColumn(Upper(header[c]));
                    known && std::find(covariateAt.begin(), covariateAt.end(), int(c + 1)) == covariateAt.end())
                    unused.push_back({int(c + 1), known});
            set.timeColumn = time;
            set.cmtColumn = cmt;
            set.amountColumn = amt;
            set.rateColumn = rate;
            set.durationColumn = dur;
            set.intervalColumn = ii;
            set.steadyStateColumn = ss;
            if (end == text.size()) break;
            continue;
        }
        if (cells.size() != header.size())
            throw DataError(set.Where(lineNumber, 0, "") + ": " + std::to_string(cells.size()) +
                            " fields where the header has " + std::to_string(header.size()));
        RowReader row(set, header, cells, lineNumber);
        DataRow out;
        out.line = lineNumber;
        out.id = row.Cell(id);
        if (IsMissing(out.id)) row.Fail(id, "every row needs an ID");
        out.time = row.Required(time);
        out.evid = row.Whole(evid, -1);
        const std::optional<double> amount = row.Single(amt);
        if (out.evid == -1) out.evid = amount && *amount != 0 ? 1 : 0;
        if (out.evid < 0 || out.evid > 4) row.Fail(evid, "EVID must be 0 to 4");
        out.cmt = row.Whole(cmt, 0);
        if (out.evid == 1 || out.evid == 4) {
            if (!amount || !(*amount > 0)) row.Fail(amt, "a dose row needs a positive amount");
            out.amount = *amount;
            ReadDoseColumns(row, out, rate, dur, ii, addl, ss);
        }
        const int mdvValue = row.Whole(mdv, 0);
        if (mdvValue != 0 && mdvValue != 1) row.Fail(mdv, "MDV must be 0 or 1");
        if (out.evid == 0) {
            out.dv = mdvValue == 1 ? std::nullopt : row.Single(dv);
            out.missing = !out.dv.has_value();
            out.censored = row.Whole(cens, 0);
            if (out.censored < -1 || out.censored > 1) row.Fail(cens, "CENS must be -1, 0 or 1");
            out.limit = row.Single(limit);
            if (out.limit && out.dv && out.censored == 1 && !(*out.limit < *out.dv))
                row.Fail(limit, "with CENS 1 the value lies between LIMIT and DV: LIMIT must be below DV");
            if (out.limit && out.dv && out.censored == -1 && !(*out.limit > *out.dv))
                row.Fail(limit, "with CENS -1 the value lies between DV and LIMIT: LIMIT must be above DV");
        } else {
            out.missing = true;
            if (censoredDose == 0 && row.Whole(cens, 0) != 0) censoredDose = lineNumber;
        }
        if (lonelyInterval == 0 && out.interval > 0 && out.additional == 0 && out.steadyState == 0)
            lonelyInterval = lineNumber;
        for (int column : covariateAt) out.covariates.push_back(row.Single(column));
        for (UnusedColumn& column : unused)
            if (column.firstLine == 0 && row.Number(column.column, true).has_value()) {
                if (column.known->refused) row.Fail(column.column, column.known->instead);
                column.firstLine = lineNumber;
            }
        set.rows.push_back(std::move(out));
        if (end == text.size()) break;
    }
    if (header.empty()) throw DataError(sourceName + ": the file is empty (a header row is expected)");
    if (set.rows.empty()) throw DataError(sourceName + ": no data rows after the header");
    for (const UnusedColumn& column : unused)
        if (column.firstLine != 0)
            set.warnings.push_back(set.Where(column.firstLine, column.column, header[std::size_t(column.column - 1)]) +
                                   ": the column is not used; " + column.known->instead);
    if (censoredDose != 0)
        set.warnings.push_back(set.Where(censoredDose, cens, "CENS") +
                               ": CENS marks a censored observation; on a row that is no observation it is not read");
    if (lonelyInterval != 0)
        set.warnings.push_back(set.Where(lonelyInterval, ii, "II") +
                               ": II is the interval of additional doses (ADDL) or of a steady state (SS); this dose "
                               "has neither, so it is given once");
    return set;
}

DataSet ReadDataSet(const std::filesystem::path& path, const std::vector<std::string>& covariateColumns)
{
    std::string text;
    try {
        text = ReadInputFile(path);
    } catch (const InputFileError& error) {
        throw DataError(error.what());
    }
    return ParseDataSet(text, path.string(), covariateColumns);
}

}  // namespace tessuvan::cli
