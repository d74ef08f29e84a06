// What a run shows a person: a table on standard output, CSV files, plots (PNG, drawn by
// gnuplot) and a one-page HTML report, all written into one output folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

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
    double seconds = 0;
};

// The readable tables (population values with standard errors, individual values,
// objectives, convergence).
std::string TextReport(const ReportContext& context);

// population.csv, individuals.csv, predictions.csv and curves.csv; returns the file names.
std::vector<std::string> WriteCsvFiles(const ReportContext& context, const std::filesystem::path& folder);

// The plots as PNG files, drawn by gnuplot; returns the file names, or throws with the reason
// when gnuplot cannot draw them. `scratch` holds the plot data and script.
std::vector<std::string> WritePlots(const ReportContext& context, const std::filesystem::path& folder,
                                    const std::filesystem::path& scratch);

// Runs gnuplot on a script, its messages into `log`; throws with them when it fails.
void RunGnuplot(const std::filesystem::path& script, const std::filesystem::path& log);

// report.html, showing the tables and the given plots.
void WriteHtmlReport(const ReportContext& context, const std::vector<std::string>& plots,
                     const std::filesystem::path& folder);

// The population estimation's (FOCEI) reports, used by the above when it ran
// (report_focei.cpp): the text report, the three tables, results.json, and the plots of CWRES
// and of the ETAs appended to a gnuplot script.
std::string FoceiTextReport(const ReportContext& context);
void WriteFoceiCsvFiles(const ReportContext& context, const std::filesystem::path& folder);
void WriteResultsJson(const ReportContext& context, const std::filesystem::path& folder);
void AddFoceiPlots(const ReportContext& context, std::ostream& gp, const std::filesystem::path& folder,
                   const std::filesystem::path& scratch, std::vector<std::string>& files);

// Small helpers shared by the reports.
std::string FormatValue(double value);            // 6 significant digits
std::string FormatRse(double value, double se);   // relative standard error in %, or "-"

}  // namespace tessuvan::cli
