// report.html of a population estimation (FOCEI): the text report's tables and the plots.
#include "fmt/format.h"
#include "results/report.h"

namespace tessuvan::cli {

void WriteFoceiHtmlReport(const ReportContext& context, const std::vector<std::string>& plots,
                          const std::filesystem::path& folder)
{
    std::string html = HtmlHead(context);
    html += "<pre>" + HtmlEscape(FoceiTextReport(context)) + "</pre>\n<h2>Plots</h2>\n<div class=\"grid\">\n";
    for (const std::string& plot : plots)
        html += fmt::format("<a href=\"{0}\"><img src=\"{0}\" alt=\"{0}\"></a>\n", plot);
    html +=
        "</div>\n<p>Files: results.json, population.csv, individuals.csv, predictions.csv, sdtab.csv, patab.csv, "
        "curves.csv.</p>\n";
    html += "</body></html>\n";
    WriteHtmlFile(html, folder);
}

std::vector<std::string> WriteFoceiTables(const ReportContext& context, const std::filesystem::path& folder)
{
    WriteFoceiCsvFiles(context, folder);
    WriteResultsJson(context, folder);
    WriteCurvesCsv(context, folder);
    std::vector<std::string> files{"population.csv", "individuals.csv", "predictions.csv"};
    for (const std::string& table : WriteDiagnosticTables(context, folder)) files.push_back(table);
    files.insert(files.end(), {"curves.csv", "results.json"});
    return files;
}

}  // namespace tessuvan::cli
