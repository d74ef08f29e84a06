#include "results/report_vpc.h"

#include <sstream>

#include "fmt/format.h"
#include "results/report.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

const std::vector<simulation::VpcBin>& BinsOf(const OutputVpc& vpc, bool corrected)
{
    return corrected ? vpc.vpc.corrected : vpc.vpc.plain;
}

}  // namespace

void WriteVpcCsv(const std::vector<OutputVpc>& vpcs, const std::filesystem::path& folder)
{
    TextFile out(folder / "vpc.csv");
    out << "OUTPUT,CORRECTION,BIN,TIME_LOW,TIME_HIGH,TIME_MEDIAN,N";
    for (const char* level : {"P5", "P50", "P95"})
        out << fmt::format(",OBS_{0},SIM_{0}_LOW,SIM_{0}_MEDIAN,SIM_{0}_HIGH", level);
    out << "\n";
    for (const OutputVpc& vpc : vpcs)
        for (const bool corrected : {false, true}) {
            const std::vector<simulation::VpcBin>& bins = BinsOf(vpc, corrected);
            for (std::size_t b = 0; b < bins.size(); ++b) {
                const simulation::VpcBin& bin = bins[b];
                out << fmt::format("{},{},{},{:.6g},{:.6g},{:.6g},{}", vpc.output, corrected ? "prediction" : "none",
                                   b + 1, bin.low, bin.high, bin.timeMedian, bin.observations);
                for (std::size_t l = 0; l < 3; ++l)
                    out << fmt::format(",{:.6g},{:.6g},{:.6g},{:.6g}", bin.observed[l], bin.simulated[l][0],
                                       bin.simulated[l][1], bin.simulated[l][2]);
                out << "\n";
            }
        }
    out.Close();
}

void WriteVpcPlot(const std::vector<OutputVpc>& vpcs, const std::filesystem::path& folder,
                  const std::filesystem::path& scratch)
{
    // Data blocks (gnuplot's "index"): per output, the plain bins, the corrected bins, the
    // observations (time, DV, prediction-corrected DV).
    const std::filesystem::path data = scratch / "vpc.dat";
    {
        TextFile out(data);
        for (const OutputVpc& vpc : vpcs) {
            for (const bool corrected : {false, true}) {
                for (const simulation::VpcBin& bin : BinsOf(vpc, corrected)) {
                    out << fmt::format("{:.9g}", bin.timeMedian);
                    for (std::size_t l = 0; l < 3; ++l)
                        out << fmt::format(" {:.9g} {:.9g} {:.9g} {:.9g}", bin.observed[l], bin.simulated[l][0],
                                           bin.simulated[l][1], bin.simulated[l][2]);
                    out << "\n";
                }
                out << "\n\n";
            }
            for (const simulation::VpcRow& row : vpc.rows)
                out << fmt::format("{:.9g} {:.9g}\n", row.time, row.observed);
            out << "\n\n";
        }
        out.Close();
    }
    // Columns of a bin: 1 time, then per level l (0, 1, 2) observed 2+4l, interval 3+4l..5+4l.
    std::ostringstream gp;
    gp << "set terminal pngcairo noenhanced size 1400," << 600 * vpcs.size() << " font 'Sans,11'\n"
       << "set output " << GnuplotQuoted((folder / "vpc.png").string()) << "\n"
       << "set grid lc rgb '#dddddd'\nset key top right box opaque\nset style fill transparent solid 0.35 noborder\n"
       << "dat = " << GnuplotQuoted(data.string()) << "\n"
       << "set multiplot layout " << vpcs.size()
       << ",2 title 'Visual predictive check: observed percentiles "
          "(lines: 5th, 50th, 95th) and 90 % prediction intervals of the simulated ones (bands)'\n"
       << "set xlabel 'time'\n";
    for (std::size_t k = 0; k < vpcs.size(); ++k)
        for (const bool corrected : {false, true}) {
            const std::size_t bins = 3 * k + (corrected ? 1 : 0);
            gp << "set title " << GnuplotQuoted(vpcs[k].output + (corrected ? ", prediction-corrected" : "")) << "\n"
               << "set ylabel " << GnuplotQuoted(corrected ? "prediction-corrected " + vpcs[k].output : vpcs[k].output)
               << "\n"
               << "plot dat index " << bins
               << " using 1:3:5 with filledcurves lc rgb '#1f77b4' title 'PI of 5th, 95th', "
               << "dat index " << bins << " using 1:11:13 with filledcurves lc rgb '#1f77b4' notitle, "
               << "dat index " << bins << " using 1:7:9 with filledcurves lc rgb '#d62728' title 'PI of median', ";
            if (!corrected)
                gp << "dat index " << 3 * k + 2
                   << " using 1:2 with points pt 7 ps 0.5 lc rgb 'gray50' title 'observations', ";
            gp << "dat index " << bins
               << " using 1:6 with linespoints lw 2 pt 7 lc rgb 'black' title 'observed median', "
               << "dat index " << bins
               << " using 1:2 with linespoints lw 2 dt 2 pt 7 lc rgb 'black' title 'observed 5th, 95th', "
               << "dat index " << bins << " using 1:10 with linespoints lw 2 dt 2 pt 7 lc rgb 'black' notitle\n";
        }
    gp << "unset multiplot\n";
    const std::filesystem::path script = scratch / "vpc.gp";
    {
        WriteTextFile(script, gp.str());
    }
    RunGnuplot(script, scratch / "gnuplot-vpc.log");
}

}  // namespace tessuvan::cli
