#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

extern char** environ;

namespace tessuvan::cli {

namespace {

constexpr int kPanelsPerPage = 12;  // individual panels per image: 4 columns, 3 rows
// Images of individual panels at most: a study of thousands of individuals would otherwise take
// gnuplot minutes; predictions.csv and curves.csv hold every individual.
constexpr std::size_t kMostPanelPages = 25;
const std::vector<std::string> kColours{"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

std::string PathText(const std::filesystem::path& path) { return GnuplotQuoted(path.string()); }

// Data blocks, one per individual (gnuplot's "index"), separated by two blank lines.
void WritePlotData(const ReportContext& context, const std::filesystem::path& observations,
                   const std::filesystem::path& curves)
{
    const std::size_t individuals = context.problem->individuals.size();
    TextFile obs(observations);
    for (std::size_t i = 0; i < individuals; ++i) {
        obs << "# individual " << context.problem->individuals[i].id << "\n";
        for (const Observation& o : context.result->observations)
            if (o.individual == i)
                obs << fmt::format("{:.9g} {:.9g} {:.9g} {:.9g} {:.9g} {:.9g} {}\n", o.time, o.dv, o.pred, o.ipred,
                                   o.wres, o.iwres, o.output + 1);
        obs << "\n\n";
    }
    obs.Close();
    TextFile curve(curves);
    for (std::size_t i = 0; i < individuals; ++i) {
        curve << "# individual " << context.problem->individuals[i].id << "\n";
        for (const CurvePoint& point : context.result->curves)
            if (point.individual == i) {
                curve << fmt::format("{:.9g}", point.time);
                for (double value : point.pred) curve << fmt::format(" {:.9g}", value);
                for (double value : point.ipred) curve << fmt::format(" {:.9g}", value);
                curve << "\n";
            }
        curve << "\n\n";
    }
    curve.Close();
}

// "time (h)", and the outputs by name with their units ("conc (mg/L)"), from the model's [units].
std::string TimeLabel(const Model& model) { return model.timeUnit.empty() ? "time" : "time (" + model.timeUnit + ")"; }
std::string OutputsLabel(const Model& model)
{
    std::string label;
    for (const NamedFormula& output : model.outputs)
        label += (label.empty() ? "" : ", ") + output.name + (output.unit.empty() ? "" : " (" + output.unit + ")");
    return label;
}

}  // namespace

std::string GnuplotQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

void RunGnuplot(const std::filesystem::path& script, const std::filesystem::path& log)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string scriptPath = script.string();
    char program[] = "gnuplot";
    std::vector<char> argument(scriptPath.begin(), scriptPath.end());
    argument.push_back('\0');
    char* argv[] = {program, argument.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("gnuplot could not be started (install it: apt-get install gnuplot-nox)");
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("lost track of gnuplot");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream messages(log);
        std::stringstream text;
        text << messages.rdbuf();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
            throw std::runtime_error("gnuplot is not installed (apt-get install gnuplot-nox)");
        throw std::runtime_error("gnuplot failed: " + text.str());
    }
}

std::vector<std::string> WritePlots(const ReportContext& context, const std::filesystem::path& folder,
                                    const std::filesystem::path& scratch, const MorePlots& more)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const std::filesystem::path observations = scratch / "observations.dat";
    const std::filesystem::path curves = scratch / "curves.dat";
    WritePlotData(context, observations, curves);
    const std::size_t outputs = model.outputs.size();
    std::vector<std::string> files;

    std::ostringstream gp;
    gp << "set terminal pngcairo noenhanced size 1400,650 font 'Sans,11'\n"
       << "set grid lc rgb '#dddddd'\n"
       << "set key top left box opaque\n"
       << "obs = " << PathText(observations) << "\n"
       << "cur = " << PathText(curves) << "\n";

    // Observed against the population and the individual predictions, with the identity line.
    files.push_back("observed_vs_predicted.png");
    gp << "set output " << PathText(folder / files.back()) << "\n"
       << "set multiplot layout 1,2 title 'Observed against predicted'\n"
       << "set size square\nset ylabel 'observed (DV)'\n"
       << "set xlabel 'population prediction (PRED)'\n"
       << "plot obs using 3:2 with points pt 7 ps 0.7 lc rgb '#1f77b4' title 'observations', "
          "x with lines dt 2 lc rgb 'gray40' title 'identity'\n"
       << "set xlabel 'individual prediction (IPRED)'\n"
       << "plot obs using 4:2 with points pt 7 ps 0.7 lc rgb '#d62728' title 'observations', "
          "x with lines dt 2 lc rgb 'gray40' title 'identity'\n"
       << "unset multiplot\nset size noratio\n";

    // Each individual's observations and fitted curves, twelve panels to an image, for the first
    // kMostPanelPages × 12 individuals.
    const std::size_t individuals = std::min(problem.individuals.size(), kMostPanelPages * kPanelsPerPage);
    const std::size_t pages = (individuals + kPanelsPerPage - 1) / kPanelsPerPage;
    for (std::size_t page = 0; page < pages; ++page) {
        files.push_back(pages == 1 ? "individual_fits.png" : fmt::format("individual_fits_{}.png", page + 1));
        // Four columns by three rows of 400 by 367 pixels; fewer individuals than a page's fill
        // fewer panels of the same size (one individual: one panel, not a twelfth of a page).
        const std::size_t columns = std::min<std::size_t>(4, individuals);
        const std::size_t rows = pages > 1 ? 3 : (individuals + columns - 1) / columns;
        gp << "set terminal pngcairo noenhanced size " << std::max<std::size_t>(2, columns) * 400 << "," << rows * 367
           << " font 'Sans,10'\n"
           << "set output " << PathText(folder / files.back()) << "\n"
           << "set multiplot layout " << rows << "," << (pages > 1 ? 4 : columns)
           << " title 'Observations (points), individual prediction (line), population "
              "prediction (grey, dashed)'\n"
           << "set key off\nset xlabel " << GnuplotQuoted(TimeLabel(model)) << "\nset ylabel "
           << GnuplotQuoted(OutputsLabel(model) + (context.linearPlots ? "" : ", log scale")) << "\n"
           << (context.linearPlots ? "" : "set logscale y\n");
        for (std::size_t i = page * kPanelsPerPage; i < std::min(individuals, (page + 1) * kPanelsPerPage); ++i) {
            gp << "set title " << GnuplotQuoted("ID " + problem.individuals[i].id) << "\n";
            gp << "plot ";
            for (std::size_t k = 0; k < outputs; ++k) {
                const std::string colour = fmt::format("lc rgb '{}'", kColours[k % kColours.size()]);
                if (k) gp << ", ";
                gp << "cur index " << i << " using 1:" << 2 + outputs + k << " with lines lw 2 " << colour
                   << " title 'IPRED', cur index " << i << " using 1:" << 2 + k << " with lines dt 2 lc rgb 'gray50'"
                   << " title 'PRED', obs index " << i << " using ($7==" << k + 1 << " ? $1 : 1/0):2 with points pt 7 "
                   << colour << " title 'DV'";
            }
            gp << "\n";
        }
        gp << "unset multiplot\nunset logscale y\nset key top left box opaque\n";
    }

    // Weighted residuals against time.
    files.push_back("residuals_vs_time.png");
    gp << "set terminal pngcairo noenhanced size 1400,600 font 'Sans,11'\n"
       << "set output " << PathText(folder / files.back()) << "\n"
       << "set multiplot layout 1,2 title 'Weighted residuals against time'\nset key off\n"
       << "set title ''\nset xlabel " << GnuplotQuoted(TimeLabel(model))
       << "\nset ylabel 'population weighted residual (WRES)'\n"
       << "plot obs using 1:5 with points pt 7 ps 0.7 lc rgb '#1f77b4' notitle, 0 with lines lc rgb 'gray40' notitle\n"
       << "set ylabel 'individual weighted residual (IWRES)'\n"
       << "plot obs using 1:6 with points pt 7 ps 0.7 lc rgb '#d62728' notitle, 0 with lines lc rgb 'gray40' notitle\n"
       << "unset multiplot\n";

    if (more) more(gp, files);

    const std::filesystem::path script = scratch / "plots.gp";
    {
        WriteTextFile(script, gp.str());
    }
    RunGnuplot(script, scratch / "gnuplot.log");
    return files;
}

}  // namespace tessuvan::cli
