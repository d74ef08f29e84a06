
#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

std::string Escape(const std::string& text)
{
    static const std::pair<char, const char*> entities[] = {
        {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
    std::string escaped;
    for (char c : text) {
        const auto* entity =
            std::find_if(std::begin(entities), std::end(entities), [c](const auto& entry) { return entry.first == c; });
        if (entity != std::end(entities))
            escaped += entity->second;
        else
            escaped += c;
    }
    return escaped;
}

std::string Row(const std::vector<std::string>& cells, const char* tag = "td")
{
    std::string row = "<tr>";
    for (const std::string& cell : cells) row += fmt::format("<{0}>{1}</{0}>", tag, Escape(cell));
    return row + "</tr>\n";
}

}  // namespace

std::string HtmlEscape(const std::string& text) { return Escape(text); }

std::string HtmlHead(const ReportContext& context)
{
    const RunResult& result = *context.result;
    std::string html;
    html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
    html += "<title>" + Escape(context.modelPath) +
            "</title>\n<style>\n"
            "body{font-family:sans-serif;margin:2em auto;max-width:1400px;color:#222}\n"
            "table{border-collapse:collapse;margin:0.5em 0 1.5em}\n"
            "td,th{border:1px solid #ccc;padding:0.25em 0.7em;text-align:right}\n"
            "th{background:#f2f2f2}td:first-child,th:first-child{text-align:left}\n"
            ".warn{color:#a40}.grid{display:flex;flex-wrap:wrap;gap:1em}img{max-width:100%;border:1px solid #ddd}\n"
            "</style></head><body>\n";
    html += fmt::format("<h1>{} of {}</h1>\n", result.fit ? "Fit" : "Simulation", Escape(context.modelPath));
    return html;
}

void WriteHtmlFile(const std::string& html, const std::filesystem::path& folder)
{
    WriteTextFile(folder / "report.html", html);
}

void WriteHtmlReport(const ReportContext& context, const std::vector<std::string>& plots,
                     const std::filesystem::path& folder)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    std::string html = HtmlHead(context);
    html += fmt::format("<p>Data: {} &mdash; {} individuals, {} observations; method {}, error exponent {}.</p>\n",
                        Escape(context.dataPath), problem.individuals.size(), result.observations.size(),
                        Escape(model.fit.method), FormatValue(model.fit.errorExponent));

    std::string status;
    if (!result.fit)
        status = "simulated at the model's values";
    else if (!result.populationFitted)
        status = "no population value to estimate";
    else
        status = fmt::format("{} after {} iteration(s)", result.populationConverged ? "converged" : "NOT converged",
                             result.populationIterations);
    html += "<h2>Population values</h2>\n<p>" + Escape(status) + "</p>\n<table>\n";
    html += Row({"parameter", "value", "std. error", "RSE", "initial", "estimated"}, "th");
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& parameter = model.parameters[p];
        const double value = result.values.population[p];
        const double se = result.values.standardErrors[p];
        html += Row({parameter.name, FormatValue(value), se > 0 ? FormatValue(se) : "-", FormatRse(value, se),
                     parameter.formula.empty() ? FormatValue(parameter.value) : "-",
                     parameter.formula.empty() ? EstimateWords(parameter.estimate) : "= " + parameter.formula});
    }
    html += "</table>\n<h2>Objectives</h2>\n<table>\n";
    html += Row({"weighted sum of squared residuals", "value"}, "th");
    html += Row({"population predictions", FormatValue(result.populationObjective)});
    html += Row({"individual predictions", FormatValue(result.individualObjective)});
    html += Row({"prior penalty", FormatValue(result.priorPenalty)});
    html += "</table>\n";
    if (!result.warnings.empty()) {
        html += "<h2>Warnings</h2>\n<ul class=\"warn\">\n";
        for (const std::string& warning : result.warnings) html += "<li>" + Escape(warning) + "</li>\n";
        html += "</ul>\n";
    }
    html += "<h2>Plots</h2>\n<div class=\"grid\">\n";
    for (const std::string& plot : plots)
        html += fmt::format("<a href=\"{0}\"><img src=\"{0}\" alt=\"{0}\"></a>\n", plot);
    if (plots.empty()) html += "<p>No plots were drawn (see the warnings).</p>\n";
    html += "</div>\n<h2>Individual values</h2>\n<table>\n";
    std::vector<std::string> header{"ID"};
    for (const ParameterSpec& parameter : model.parameters) header.push_back(parameter.name);
    header.push_back("objective");
    if (result.fit && result.individualsFitted) header.push_back("iterations");
    html += Row(header, "th");
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        std::vector<std::string> cells{problem.individuals[i].id};
        for (double value : result.values.individual[i]) cells.push_back(FormatValue(value));
        cells.push_back(FormatValue(result.individualObjectives[i]));
        if (result.fit && result.individualsFitted)
            cells.push_back(fmt::format("{}{}", result.individualIterations[i],
                                        result.individualConverged[i] ? "" : " (not converged)"));
        html += Row(cells);
    }
    html += "</table>\n<p>Files: population.csv, individuals.csv, predictions.csv, curves.csv.</p>\n</body></html>\n";
    WriteHtmlFile(html, folder);
}

}  // namespace tessuvan::cli
