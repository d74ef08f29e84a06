// The plots of a population estimation (FOCEI), appended to the common gnuplot script:
// CWRES and NPDE against time, time after dose and PRED; the histogram of every η with its
// normal density N(0, ω²); every pair of η; every η against every covariate (a categorical one:
// a box per level). Titles and labels are drawn as written (noenhanced: an underscore is no
// subscript).
#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

std::string Number(double value) { return std::isfinite(value) ? fmt::format("{:.9g}", value) : "NaN"; }

// The levels of a categorical covariate: at most 6 integer values over the individuals, each
// level held by two individuals on average at least. Empty: a continuous one.
std::vector<double> Levels(const std::vector<std::vector<double>>& covariates, std::size_t k)
{
    constexpr std::size_t kMostLevels = 6;
    std::vector<double> levels;
    std::size_t individuals = 0;
    for (const std::vector<double>& values : covariates) {
        const double value = values[k];
        if (!std::isfinite(value)) continue;
        ++individuals;
        if (value != std::round(value)) return {};
        if (std::find(levels.begin(), levels.end(), value) == levels.end()) levels.push_back(value);
        if (levels.size() > kMostLevels) return {};
    }
    if (individuals < 2 * levels.size()) return {};
    std::sort(levels.begin(), levels.end());
    return levels;
}

// A box per level of column `x` (median, quartiles, whiskers to 1.5 IQR) with the individuals'
// points jittered over it, at positions 1, 2, ... labelled with the levels.
void BoxPlots(std::ostream& gp, const std::string& data, std::size_t x, std::size_t y,
              const std::vector<double>& levels, bool eta)
{
    gp << "set xrange [0.4:" << levels.size() + 0.6 << "]\nset xtics (";
    for (std::size_t l = 0; l < levels.size(); ++l) gp << (l ? ", " : "") << "'" << Number(levels[l]) << "' " << l + 1;
    gp << ")\nset style fill solid 0.3 border\nset style boxplot nooutliers\nplot ";
    std::string position = "0";  // the level's position from the column's value
    for (std::size_t l = levels.size(); l-- > 0;)
        position = fmt::format("(${}=={}?{}:{})", x, Number(levels[l]), l + 1, position);
    for (std::size_t l = 0; l < levels.size(); ++l)
        gp << (l ? ", " : "") << data << " using (" << l + 1 << "):($" << x << "==" << Number(levels[l]) << "?$" << y
           << ":NaN):(0.5) with boxplot lc rgb '" << (eta ? "#ff7f0e" : "#8c564b") << "'";
    gp << ", " << data << " using (" << position << "+0.3*(rand(0)-0.5)):" << y
       << " with points pt 7 ps 0.6 lc rgb '#333333'" << (eta ? ", 0 with lines lc rgb 'gray60'" : "") << "\n"
       << "set xrange [*:*]\nset xtics autofreq\nset style fill empty\n";
}

// Panels of about square shape for n plots: rows × columns.
std::pair<std::size_t, std::size_t> Layout(std::size_t n)
{
    const std::size_t columns = std::size_t(std::ceil(std::sqrt(double(n))));
    return {(n + columns - 1) / columns, columns};
}

}  // namespace

void AddFoceiPlots(const ReportContext& context, std::ostream& gp, const std::filesystem::path& folder,
                   const std::filesystem::path& scratch, std::vector<std::string>& files)
{
    const estimation::FoceiResult& fit = *context.result->focei;
    const std::filesystem::path residuals = scratch / "cwres.dat";
    const std::filesystem::path etas = scratch / "etas.dat";
    std::map<int, double> tadOfLine;
    std::vector<std::vector<double>> covariates(fit.eta.size());  // [i][c]: the first value, NaN none
    std::vector<std::string> covariateNames;
    if (context.data) {
        const std::vector<std::optional<double>> tad = TimesAfterDose(*context.data);
        for (std::size_t r = 0; r < tad.size(); ++r)
            if (tad[r]) tadOfLine[context.data->rows[r].line] = *tad[r];
        covariateNames = context.data->covariateColumns;
        std::map<std::string, std::size_t> individualOf;
        for (std::size_t i = 0; i < context.problem->individuals.size(); ++i)
            individualOf[context.problem->individuals[i].id] = i;
        for (auto& values : covariates) values.assign(covariateNames.size(), std::nan(""));
        for (const DataRow& row : context.data->rows) {
            const auto found = individualOf.find(row.id);
            if (found == individualOf.end() || found->second >= covariates.size()) continue;
            for (std::size_t c = 0; c < row.covariates.size() && c < covariateNames.size(); ++c)
                if (std::isnan(covariates[found->second][c]) && row.covariates[c])
                    covariates[found->second][c] = *row.covariates[c];
        }
    }
    {
        TextFile out(residuals);
        for (const Observation& o : context.result->observations)
            if (std::isfinite(o.cwres)) {
                const auto tad = tadOfLine.find(o.line);
                out << Number(o.time) << " " << Number(o.pred) << " " << Number(o.cwres) << " "
                    << (tad != tadOfLine.end() ? Number(tad->second) : "NaN") << " " << Number(o.npde) << "\n";
            }
        out.Close();
        TextFile eta(etas);
        for (std::size_t i = 0; i < fit.eta.size(); ++i) {
            for (Eigen::Index k = 0; k < fit.eta[i].size(); ++k) eta << (k ? " " : "") << Number(fit.eta[i][k]);
            for (double value : covariates[i]) eta << " " << Number(value);
            for (const estimation::Estimated& omega : fit.omega)  // the individual value of each η's parameter
                for (std::size_t p = 0; p < context.model->parameters.size(); ++p)
                    if (context.model->parameters[p].name == omega.name && i < context.result->values.individual.size())
                        eta << " " << Number(context.result->values.individual[i][p]);
            eta << "\n";
        }
        eta.Close();
    }
    // A panel whose points are all undefined would stop gnuplot (and every plot with it).
    bool hasNpde = false, hasTad = false;
    for (const Observation& o : context.result->observations)
        if (std::isfinite(o.cwres)) {
            hasNpde = hasNpde || std::isfinite(o.npde);
            hasTad = hasTad || tadOfLine.count(o.line) > 0;
        }
    std::vector<std::pair<std::string, std::string>> xs{{"1", "time"}};
    if (hasTad) xs.push_back({"4", "time after dose (TAD)"});
    xs.push_back({"2", "population prediction (PRED)"});
    std::vector<std::tuple<std::string, std::string, std::string>> ys{{"3", "CWRES", "#1f77b4"}};
    if (hasNpde) ys.push_back({"5", "NPDE", "#d62728"});
    const std::string data = GnuplotQuoted(residuals.string());
    files.push_back("cwres.png");
    gp << "set terminal pngcairo noenhanced size " << 500 * xs.size() << "," << 450 * ys.size() << " font 'Sans,11'\n"
       << "set output " << GnuplotQuoted((folder / files.back()).string()) << "\n"
       << "set multiplot layout " << ys.size() << "," << xs.size() << " title "
       << GnuplotQuoted(
              hasNpde ? "Conditional weighted residuals (CWRES) and normalised prediction distribution errors (NPDE)"
                      : "Conditional weighted residuals (CWRES)")
       << "\nset key off\nunset logscale\n";
    for (const auto& [residual, name, colour] : ys)
        for (const auto& [column, label] : xs)
            gp << "set title ''\nset xlabel '" << label << "'\nset ylabel '" << name << "'\n"
               << "plot " << data << " using " << column << ":" << residual << " with points pt 7 ps 0.7 lc rgb '"
               << colour << "', 0 with lines lc rgb 'gray40', 1.96 with lines dt 2 lc rgb 'gray60', -1.96 with "
               << "lines dt 2 lc rgb 'gray60'\n";
    gp << "unset multiplot\n";

    const std::size_t q = fit.omega.size();
    if (q == 0) return;
    const std::string etaData = GnuplotQuoted(etas.string());
    // Histograms of the modes, bins of ω/2 from −3ω to 3ω, scaled to the density of N(0, ω²).
    files.push_back("etas.png");
    const auto [rows, columns] = Layout(q);
    gp << "set terminal pngcairo noenhanced size " << 480 * columns + 60 << "," << 420 * rows + 60
       << " font 'Sans,11'\n"
       << "set output " << GnuplotQuoted((folder / files.back()).string()) << "\n"
       << "set multiplot layout " << rows << "," << columns
       << " title 'ETA at the modes: histogram (density) and N(0, omega^2)'\nset key off\n"
       << "set style fill solid 0.5 border lc rgb '#2ca02c'\nset ylabel 'density'\n";
    const double n = double(fit.eta.size());
    for (std::size_t e = 0; e < q; ++e) {
        const double omega = std::sqrt(std::max(fit.omega[e].value, 1e-12));
        double spread = 3 * omega;
        for (const Eigen::VectorXd& eta : fit.eta) spread = std::max(spread, std::fabs(eta[Eigen::Index(e)]));
        const double width = std::max(omega / 2, spread / 12);
        gp << "set title "
           << GnuplotQuoted("ETA_" + fit.omega[e].name + fmt::format("  (omega {} = SD)", FormatValue(omega)))
           << "\nset xlabel " << GnuplotQuoted("ETA_" + fit.omega[e].name) << "\n"
           << fmt::format("set xrange [{}:{}]\nset samples 300\n", Number(-spread - width), Number(spread + width))
           << "plot " << etaData << " using (" << Number(width) << "*floor($" << e + 1 << "/" << Number(width) << ")+"
           << Number(width / 2) << "):(1.0/" << Number(n * width) << ") smooth frequency with boxes lc rgb "
           << "'#2ca02c', exp(-x*x/(2*" << Number(omega * omega) << "))/" << Number(omega * std::sqrt(2 * M_PI))
           << " with lines lw 2 lc rgb '#333333'\n";
    }
    gp << "unset multiplot\nset xrange [*:*]\nset style fill empty\n";

    if (q >= 2) {  // every pair of η
        std::vector<std::pair<std::size_t, std::size_t>> pairs;
        for (std::size_t a = 0; a < q; ++a)
            for (std::size_t b = a + 1; b < q; ++b) pairs.push_back({a, b});
        files.push_back("eta_pairs.png");
        const auto [pairRows, pairColumns] = Layout(pairs.size());
        gp << "set terminal pngcairo noenhanced size " << 450 * pairColumns + 60 << "," << 420 * pairRows + 60
           << " font 'Sans,11'\n"
           << "set output " << GnuplotQuoted((folder / files.back()).string()) << "\n"
           << "set multiplot layout " << pairRows << "," << pairColumns
           << " title 'ETA against ETA (a correlation suggests a block of omega)'\nset key off\n";
        for (const auto& [a, b] : pairs)
            gp << "set title ''\nset xlabel " << GnuplotQuoted("ETA_" + fit.omega[a].name) << "\nset ylabel "
               << GnuplotQuoted("ETA_" + fit.omega[b].name) << "\nplot " << etaData << " using " << a + 1 << ":"
               << b + 1 << " with points pt 7 ps 0.9 lc rgb '#9467bd'\n";
        gp << "unset multiplot\n";
    }

    std::vector<std::size_t> given;  // the covariates with a value for some individual
    for (std::size_t k = 0; k < covariateNames.size(); ++k) {
        bool any = false;
        for (const std::vector<double>& values : covariates) any = any || std::isfinite(values[k]);
        if (any) given.push_back(k);
    }
    if (!given.empty()) {  // every η, then its parameter's individual value, against every covariate
        files.push_back("eta_covariates.png");
        const std::size_t c = given.size(), first = q + covariateNames.size();  // column before the values
        gp << "set terminal pngcairo noenhanced size " << std::max<std::size_t>(620, 420 * c + 60) << ","
           << 330 * 2 * q + 60 << " font 'Sans,11'\n"
           << "set output " << GnuplotQuoted((folder / files.back()).string()) << "\n"
           << "set multiplot layout " << 2 * q << "," << c
           << " title 'ETA and individual values against each covariate (line: a smooth)'\nset key off\n";
        std::vector<std::vector<double>> levels(covariateNames.size());  // of a categorical covariate
        for (const std::size_t k : given) levels[k] = Levels(covariates, k);
        for (std::size_t row = 0; row < 2 * q; ++row)
            for (const std::size_t k : given) {
                const std::size_t e = row % q, y = row < q ? e + 1 : first + e + 1;
                gp << "set title ''\nset xlabel " << GnuplotQuoted(covariateNames[k]) << "\nset ylabel "
                   << GnuplotQuoted(row < q ? "ETA_" + fit.omega[e].name : fit.omega[e].name) << "\n";
                if (!levels[k].empty()) {
                    BoxPlots(gp, etaData, q + k + 1, y, levels[k], row < q);
                    continue;
                }
                gp << "plot " << etaData << " using " << q + k + 1 << ":" << y << " with points pt 7 ps 0.9 lc rgb '"
                   << (row < q ? "#ff7f0e" : "#8c564b") << "', '' using " << q + k + 1 << ":" << y
                   << " smooth sbezier with lines lw 2 lc rgb '#333333'"
                   << (row < q ? ", 0 with lines lc rgb 'gray60'" : "") << "\n";
            }
        gp << "unset multiplot\n";
    }
}

}  // namespace tessuvan::cli
