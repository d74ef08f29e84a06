// The tables of a population fit in the field's layout, one row per data set row (sdtab.csv)
// and one per individual (patab.csv), under the column names that the common diagnostic
// packages for R read: ID, TIME, TAD, DV, MDV, EVID, AMT, PRED, IPRED, RES, WRES, IWRES,
// CWRES, NPDE; ETA1..ETAn (in the order of the omegas); the individual parameters and the
// covariates by their names as written.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

std::string Cell(double value) { return std::isfinite(value) ? fmt::format("{:.9g}", value) : ""; }
std::string Cell(const std::optional<double>& value) { return value ? Cell(*value) : ""; }

bool IsDose(const DataRow& row) { return row.evid == 1 || row.evid == 4; }

}  // namespace

std::vector<std::optional<double>> TimesAfterDose(const DataSet& data)
{
    // Per individual, the doses seen so far: a row's own time and the ADDL repeats of earlier
    // rows strictly before it (a repeat at a row's time acts after that row). A dose row is 0
    // after itself; a row before any dose has none.
    std::vector<std::optional<double>> tad(data.rows.size());
    std::string id;
    std::optional<double> last;
    struct Repeats {
        double first, interval, last;  // ADDL: the first and the last repeat, every interval
    };
    std::vector<Repeats> repeats;
    for (std::size_t r = 0; r < data.rows.size(); ++r) {
        const DataRow& row = data.rows[r];
        if (r == 0 || row.id != id) {
            id = row.id;
            last.reset();
            repeats.clear();
        }
        for (const Repeats& series : repeats) {
            if (series.first >= row.time) continue;
            // first + k·interval < time: k = ⌈(time − first)/interval⌉ − 1, at most the last.
            const double k = std::ceil((row.time - series.first) / series.interval) - 1;
            const double repeat = std::min(series.last, series.first + k * series.interval);
            if (!last || repeat > *last) last = repeat;
        }
        if (IsDose(row)) {
            last = row.time;
            if (row.additional > 0 && row.interval > 0) {
                repeats.push_back({row.time + row.interval, row.interval, row.time + row.interval * row.additional});
            }
        }
        if (last) tad[r] = row.time - *last;
    }
    return tad;
}

std::vector<std::string> WriteDiagnosticTables(const ReportContext& context, const std::filesystem::path& folder)
{
    if (!context.data || !context.result->focei) return {};
    const DataSet& data = *context.data;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    const estimation::FoceiResult& fit = *result.focei;
    std::map<std::string, std::size_t> individualOf;
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) individualOf[problem.individuals[i].id] = i;
    std::map<int, const Observation*> rowOfLine;
    for (const Observation& o : result.observations) rowOfLine[o.line] = &o;
    for (const Observation& o : result.predictedRows) rowOfLine[o.line] = &o;

    TextFile sdtab(folder / "sdtab.csv");
    sdtab << "ID,TIME,TAD,DV,MDV,EVID,AMT,PRED,IPRED,RES,WRES,IWRES,CWRES,NPDE";
    for (const std::string& column : data.covariateColumns) sdtab << "," << column;
    sdtab << "\n";
    const std::vector<std::optional<double>> tad = TimesAfterDose(data);
    for (std::size_t r = 0; r < data.rows.size(); ++r) {
        const DataRow& row = data.rows[r];
        if (individualOf.count(row.id) == 0) continue;
        const auto found = rowOfLine.find(row.line);
        const Observation* o = found != rowOfLine.end() ? found->second : nullptr;
        const bool observed = o && o->dv > 0 && row.evid != 2;  // an EVID 2 row predicts, observes nothing
        sdtab << row.id << "," << Cell(row.time) << "," << Cell(tad[r]) << "," << Cell(row.dv) << ","
              << (observed ? 0 : 1) << "," << row.evid << "," << (IsDose(row) ? Cell(row.amount) : "") << ",";
        if (o)
            sdtab << Cell(o->pred) << "," << Cell(o->ipred) << ","
                  << (observed && o->censored == 0 ? Cell(o->dv - o->pred) : "") << ","
                  << (observed ? Cell(o->wres) + "," + Cell(o->iwres) + "," + Cell(o->cwres) + "," + Cell(o->npde)
                               : std::string(",,,"));
        else
            sdtab << ",,,,,,";
        for (const std::optional<double>& value : row.covariates) sdtab << "," << Cell(value);
        sdtab << "\n";
    }
    sdtab.Close();

    // The covariates of an individual: the first value given (a time-varying one at its start).
    std::vector<std::vector<std::optional<double>>> covariates(
        problem.individuals.size(), std::vector<std::optional<double>>(data.covariateColumns.size()));
    for (const DataRow& row : data.rows) {
        const auto individual = individualOf.find(row.id);
        if (individual == individualOf.end()) continue;
        for (std::size_t c = 0; c < row.covariates.size() && c < data.covariateColumns.size(); ++c)
            if (!covariates[individual->second][c]) covariates[individual->second][c] = row.covariates[c];
    }
    TextFile patab(folder / "patab.csv");
    patab << "ID";
    for (std::size_t e = 0; e < fit.omega.size(); ++e) patab << ",ETA" << e + 1;
    for (const ParameterSpec& p : context.model->parameters) patab << "," << p.name;
    for (const std::string& column : data.covariateColumns) patab << "," << column;
    patab << "\n";
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        patab << problem.individuals[i].id;
        for (Eigen::Index e = 0; e < fit.eta[i].size(); ++e) patab << "," << Cell(fit.eta[i][e]);
        for (double value : result.values.individual[i]) patab << "," << Cell(value);
        for (const std::optional<double>& value : covariates[i]) patab << "," << Cell(value);
        patab << "\n";
    }
    patab.Close();
    return {"sdtab.csv", "patab.csv"};
}

}  // namespace tessuvan::cli
