#include <algorithm>

#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

// A CSV cell: quoted when it holds a comma, a quote or a line break.
std::string Cell(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Number(double value) { return fmt::format("{:.9g}", value); }

class CsvFile {
public:
    explicit CsvFile(const std::filesystem::path& path) : out_(path) {}
    void Row(const std::vector<std::string>& cells)
    {
        for (std::size_t c = 0; c < cells.size(); ++c) out_ << (c ? "," : "") << Cell(cells[c]);
        out_ << "\n";
    }
    void Close() { out_.Close(); }

private:
    TextFile out_;
};

}  // namespace

std::vector<std::string> WriteCsvFiles(const ReportContext& context, const std::filesystem::path& folder)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    CsvFile population(folder / "population.csv");
    population.Row({"parameter", "value", "standard_error", "rse_percent", "initial", "estimated"});
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& parameter = model.parameters[p];
        const double value = result.values.population[p];
        const double se = result.values.standardErrors[p];
        population.Row({parameter.name, Number(value), se > 0 ? Number(se) : "",
                        se > 0 && value != 0 ? fmt::format("{:.3g}", 100 * se / std::fabs(value)) : "",
                        parameter.formula.empty() ? Number(parameter.value) : "",
                        parameter.formula.empty() ? EstimateWords(parameter.estimate) : "= " + parameter.formula});
    }
    population.Close();

    CsvFile individuals(folder / "individuals.csv");
    std::vector<std::string> header{"ID"};
    for (const ParameterSpec& parameter : model.parameters) header.push_back(parameter.name);
    header.insert(header.end(), {"objective", "iterations", "converged"});
    individuals.Row(header);
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        std::vector<std::string> row{problem.individuals[i].id};
        for (double value : result.values.individual[i]) row.push_back(Number(value));
        row.push_back(Number(result.individualObjectives[i]));
        row.push_back(std::to_string(result.individualIterations[i]));
        row.push_back(result.fit && result.individualsFitted ? (result.individualConverged[i] ? "yes" : "no") : "");
        individuals.Row(row);
    }
    individuals.Close();

    CsvFile predictions(folder / "predictions.csv");
    predictions.Row({"ID", "TIME", "OUTPUT", "DV", "PRED", "IPRED", "WRES", "IWRES", "LINE"});
    // Observations and EVID 2 rows (no DV, no residuals) in the data set's order.
    std::vector<const Observation*> rows;
    for (const Observation& o : result.observations) rows.push_back(&o);
    for (const Observation& o : result.predictedRows) rows.push_back(&o);
    std::stable_sort(rows.begin(), rows.end(), [](const Observation* a, const Observation* b) {
        return a->individual != b->individual ? a->individual < b->individual : a->line < b->line;
    });
    for (const Observation* o : rows) {
        const bool observed = o->dv > 0;
        predictions.Row({problem.individuals[o->individual].id, Number(o->time), model.outputs[o->output].name,
                         observed ? Number(o->dv) : "", Number(o->pred), Number(o->ipred),
                         observed ? Number(o->wres) : "", observed ? Number(o->iwres) : "", std::to_string(o->line)});
    }
    predictions.Close();

    WriteCurvesCsv(context, folder);
    return {"population.csv", "individuals.csv", "predictions.csv", "curves.csv"};
}

void WriteCurvesCsv(const ReportContext& context, const std::filesystem::path& folder)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    CsvFile curves(folder / "curves.csv");
    std::vector<std::string> curveHeader{"ID", "TIME"};
    for (const NamedFormula& output : model.outputs) curveHeader.push_back("PRED_" + output.name);
    for (const NamedFormula& output : model.outputs) curveHeader.push_back("IPRED_" + output.name);
    curves.Row(curveHeader);
    for (const CurvePoint& point : result.curves) {
        std::vector<std::string> row{problem.individuals[point.individual].id, Number(point.time)};
        for (double value : point.pred) row.push_back(Number(value));
        for (double value : point.ipred) row.push_back(Number(value));
        curves.Row(row);
    }
    curves.Close();
}

}  // namespace tessuvan::cli
