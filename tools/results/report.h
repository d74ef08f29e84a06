// What a run shows a person: a table on standard output, CSV files, plots (PNG, drawn by
// gnuplot) and a one-page HTML report, all written into one output folder.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"
#include "runs/run.h"

namespace tessuvan::cli {

struct ReportContext {
    std::string modelPath;
    std::string dataPath;
    const Model* model = nullptr;
    const EngineProblem* problem = nullptr;
    const RunResult* result = nullptr;
    const DataSet* data = nullptr;  // the data set read (sdtab.csv); null: no such table
    double seconds = 0;
    bool summary = false;      // the text report without its tables of every individual
    bool linearPlots = false;  // the individual fits on a linear concentration axis (default: log)
};

// A pooled fit or a simulation at the model's values (report_text.cpp, report_csv.cpp,
// report_html.cpp): the readable tables (population values with standard errors, individual
// values, objectives, convergence); population.csv, individuals.csv, predictions.csv and
// curves.csv (returns the file names); report.html, showing the tables and the given plots.
std::string TextReport(const ReportContext& context);
std::vector<std::string> WriteCsvFiles(const ReportContext& context, const std::filesystem::path& folder);
void WriteHtmlReport(const ReportContext& context, const std::vector<std::string>& plots,
                     const std::filesystem::path& folder);

// A population estimation (FOCEI) (report_focei.cpp, report_focei_plots.cpp,
// report_focei_html.cpp): the text report, the three tables, results.json, the plots of CWRES,
// NPDE and the ETAs appended to a gnuplot script, report.html; WriteFoceiTables writes the
// tables (sdtab.csv and patab.csv among them), results.json and curves.csv and returns their
// names.
std::string FoceiTextReport(const ReportContext& context);
void WriteFoceiCsvFiles(const ReportContext& context, const std::filesystem::path& folder);
void WriteResultsJson(const ReportContext& context, const std::filesystem::path& folder);
void AddFoceiPlots(const ReportContext& context, std::ostream& gp, const std::filesystem::path& folder,
                   const std::filesystem::path& scratch, std::vector<std::string>& files);
void WriteFoceiHtmlReport(const ReportContext& context, const std::vector<std::string>& plots,
                          const std::filesystem::path& folder);
std::vector<std::string> WriteFoceiTables(const ReportContext& context, const std::filesystem::path& folder);

// A population fit's tables of every data set row and of every individual (report_tables.cpp):
// sdtab.csv and patab.csv; their names, none without the data set or an estimation.
std::vector<std::string> WriteDiagnosticTables(const ReportContext& context, const std::filesystem::path& folder);
// Per data set row, its time after the individual's last dose (ADDL repeats included); none
// before the first.
std::vector<std::optional<double>> TimesAfterDose(const DataSet& data);

// Either kind: curves.csv (PRED and IPRED of every output on the fine time grid).
void WriteCurvesCsv(const ReportContext& context, const std::filesystem::path& folder);

// The plots as PNG files, drawn by gnuplot: the individual panels, the goodness of fit and the
// weighted residuals, then what `more` appends to the script (and to the file names); returns
// the file names, or throws with the reason when gnuplot cannot draw them. `scratch` holds the
// plot data and script.
using MorePlots = std::function<void(std::ostream& script, std::vector<std::string>& files)>;
std::vector<std::string> WritePlots(const ReportContext& context, const std::filesystem::path& folder,
                                    const std::filesystem::path& scratch, const MorePlots& more = {});

// A text as a gnuplot string: in single quotes, a quote doubled.
std::string GnuplotQuoted(const std::string& text);

// Runs gnuplot on a script, its messages into `log`; throws with them when it fails.
void RunGnuplot(const std::filesystem::path& script, const std::filesystem::path& log);

// The page around a report's body: its head and title (HtmlHead), and the file (WriteHtmlFile).
std::string HtmlEscape(const std::string& text);
std::string HtmlHead(const ReportContext& context);
void WriteHtmlFile(const std::string& html, const std::filesystem::path& folder);

// Small helpers shared by the reports.
std::string FormatValue(double value);           // 6 significant digits
std::string FormatRse(double value, double se);  // relative standard error in %, or "-"

}  // namespace tessuvan::cli
