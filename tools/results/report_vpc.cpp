#include "results/report_vpc.h"

#include <cmath>
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

bool Stratified(const std::vector<OutputVpc>& vpcs)
{
    for (const OutputVpc& vpc : vpcs)
        if (!vpc.stratum.empty()) return true;
    return false;
}

bool AnyBlq(const std::vector<OutputVpc>& vpcs)
{
    for (const OutputVpc& vpc : vpcs)
        if (!vpc.blq.empty()) return true;
    return false;
}

// "OUTPUT" and, of a stratified check, "STRATUM"; the cells of one check.
std::string Key(const std::vector<OutputVpc>& vpcs) { return Stratified(vpcs) ? "OUTPUT,STRATUM" : "OUTPUT"; }
std::string KeyCells(const std::vector<OutputVpc>& vpcs, const OutputVpc& vpc)
{
    return Stratified(vpcs) ? vpc.output + "," + vpc.stratum : vpc.output;
}

std::string XName(const VpcAxes& axes) { return axes.timeAfterDose ? "TAD" : "TIME"; }

std::string WithUnit(const std::string& name, const std::string& unit)
{
    return unit.empty() ? name : name + " (" + unit + ")";
}

}  // namespace

std::vector<std::string> WriteVpcCsv(const std::vector<OutputVpc>& vpcs, const VpcAxes& axes,
                                     const std::filesystem::path& folder)
{
    const std::string x = XName(axes);
    TextFile out(folder / "vpc.csv");
    out << Key(vpcs) << ",CORRECTION,BIN," << x << "_LOW," << x << "_HIGH," << x << "_MEDIAN,N";
    for (const char* level : {"P5", "P50", "P95"})
        out << fmt::format(",OBS_{0},SIM_{0}_LOW,SIM_{0}_MEDIAN,SIM_{0}_HIGH", level);
    out << "\n";
    for (const OutputVpc& vpc : vpcs)
        for (const bool corrected : {false, true}) {
            const std::vector<simulation::VpcBin>& bins = BinsOf(vpc, corrected);
            for (std::size_t b = 0; b < bins.size(); ++b) {
                const simulation::VpcBin& bin = bins[b];
                out << fmt::format("{},{},{},{:.6g},{:.6g},{:.6g},{}", KeyCells(vpcs, vpc),
                                   corrected ? "prediction" : "none", b + 1, bin.low, bin.high, bin.timeMedian,
                                   bin.observations);
                for (std::size_t l = 0; l < 3; ++l)
                    out << fmt::format(",{:.6g},{:.6g},{:.6g},{:.6g}", bin.observed[l], bin.simulated[l][0],
                                       bin.simulated[l][1], bin.simulated[l][2]);
                out << "\n";
            }
        }
    out.Close();
    if (!AnyBlq(vpcs)) return {"vpc.csv"};
    TextFile blq(folder / "vpc_blq.csv");
    blq << Key(vpcs) << ",BIN," << x << "_LOW," << x << "_HIGH," << x
        << "_MEDIAN,N,OBS_FRACTION_BLQ,SIM_LOW,SIM_MEDIAN,SIM_HIGH\n";
    for (const OutputVpc& vpc : vpcs)
        for (std::size_t b = 0; b < vpc.blq.size(); ++b) {
            const simulation::BlqBin& bin = vpc.blq[b];
            blq << fmt::format("{},{},{:.6g},{:.6g},{:.6g},{},{:.6g},{:.6g},{:.6g},{:.6g}\n", KeyCells(vpcs, vpc),
                               b + 1, bin.low, bin.high, bin.xMedian, bin.rows, bin.observed, bin.simulated[0],
                               bin.simulated[1], bin.simulated[2]);
        }
    blq.Close();
    return {"vpc.csv", "vpc_blq.csv"};
}

void WriteVpcPlot(const std::vector<OutputVpc>& vpcs, const VpcAxes& axes, const std::filesystem::path& folder,
                  const std::filesystem::path& scratch)
{
    // Data blocks (gnuplot's "index"): per check, the plain bins, the corrected bins, the
    // observations (x, DV), the bins of the fraction below the limit (a row of NaN without). On a log
    // axis a value at or below 0 (a 5th percentile under an additive error) is drawn at the foot
    // of the axis, half the check's smallest positive value, so that its band stays whole.
    std::vector<double> foot(vpcs.size(), 0.0);
    for (std::size_t k = 0; k < vpcs.size(); ++k) {
        double smallest = INFINITY;
        const auto see = [&](double v) {
            if (v > 0 && v < smallest) smallest = v;
        };
        for (const simulation::VpcRow& row : vpcs[k].rows) see(row.observed);
        for (const bool corrected : {false, true})
            for (const simulation::VpcBin& bin : BinsOf(vpcs[k], corrected))
                for (std::size_t l = 0; l < 3; ++l) {
                    see(bin.observed[l]);
                    for (const double v : bin.simulated[l]) see(v);
                }
        foot[k] = std::isfinite(smallest) ? smallest / 2 : 1;
    }
    const std::filesystem::path data = scratch / "vpc.dat";
    {
        TextFile out(data);
        for (const OutputVpc& vpc : vpcs) {
            const double floor = foot[std::size_t(&vpc - vpcs.data())];
            const auto value = [&](double v) { return fmt::format("{:.9g}", axes.log && !(v > 0) ? floor : v); };
            for (const bool corrected : {false, true}) {
                for (const simulation::VpcBin& bin : BinsOf(vpc, corrected)) {
                    out << fmt::format("{:.9g}", bin.timeMedian);
                    for (std::size_t l = 0; l < 3; ++l)
                        out << " " << value(bin.observed[l]) << " " << value(bin.simulated[l][0]) << " "
                            << value(bin.simulated[l][1]) << " " << value(bin.simulated[l][2]);
                    out << "\n";
                }
                out << "\n\n";
            }
            for (const simulation::VpcRow& row : vpc.rows)
                out << fmt::format("{:.9g} {:.9g}\n", row.time, row.observed);
            out << "\n\n";
            for (const simulation::BlqBin& bin : vpc.blq)
                out << fmt::format("{:.9g} {:.9g} {:.9g} {:.9g} {:.9g}\n", bin.xMedian, bin.observed, bin.simulated[0],
                                   bin.simulated[1], bin.simulated[2]);
            if (vpc.blq.empty()) out << "NaN NaN NaN NaN NaN\n";  // a block of its own still: the indices stay
            out << "\n\n";
        }
        out.Close();
    }
    const bool blq = AnyBlq(vpcs);
    const std::size_t columns = blq ? 3 : 2;
    const std::string x = WithUnit(axes.timeAfterDose ? "time after dose" : "time", axes.timeUnit);
    // Columns of a bin: 1 x, then per level l (0, 1, 2) observed 2+4l, interval 3+4l..5+4l.
    std::ostringstream gp;
    gp << "set terminal pngcairo noenhanced size " << 700 * columns << "," << 600 * vpcs.size() << " font 'Sans,11'\n"
       << "set output " << GnuplotQuoted((folder / "vpc.png").string()) << "\n"
       << "set grid lc rgb '#dddddd'\nset key top right box opaque\nset style fill transparent solid 0.35 noborder\n"
       << "dat = " << GnuplotQuoted(data.string()) << "\n"
       << "set multiplot layout " << vpcs.size() << "," << columns
       << " title 'Visual predictive check: observed percentiles "
          "(lines: 5th, 50th, 95th) and 90 % prediction intervals of the simulated ones (bands)'\n"
       << "set xlabel " << GnuplotQuoted(x) << "\n";
    for (std::size_t k = 0; k < vpcs.size(); ++k) {
        const OutputVpc& vpc = vpcs[k];
        const std::string name = vpc.output + (vpc.stratum.empty() ? "" : ", " + vpc.stratum);
        gp << "set key top right\n";
        if (axes.log)
            gp << "set logscale y\nset yrange [" << fmt::format("{:.9g}", foot[k]) << ":*]\n";
        else
            gp << "unset logscale y\nset yrange [*:*]\n";
        for (const bool corrected : {false, true}) {
            const std::size_t bins = 4 * k + (corrected ? 1 : 0);
            gp << "set title " << GnuplotQuoted(name + (corrected ? ", prediction-corrected" : "")) << "\n"
               << "set ylabel "
               << GnuplotQuoted(WithUnit(corrected ? "prediction-corrected " + vpc.output : vpc.output, vpc.unit))
               << "\n"
               << "plot dat index " << bins
               << " using 1:3:5 with filledcurves lc rgb '#1f77b4' title 'PI of 5th, 95th', "
               << "dat index " << bins << " using 1:11:13 with filledcurves lc rgb '#1f77b4' notitle, "
               << "dat index " << bins << " using 1:7:9 with filledcurves lc rgb '#d62728' title 'PI of median', ";
            if (!corrected)
                gp << "dat index " << 4 * k + 2
                   << " using 1:2 with points pt 7 ps 0.5 lc rgb 'gray50' title 'observations', ";
            gp << "dat index " << bins
               << " using 1:6 with linespoints lw 2 pt 7 lc rgb 'black' title 'observed median', "
               << "dat index " << bins
               << " using 1:2 with linespoints lw 2 dt 2 pt 7 lc rgb 'black' title 'observed 5th, 95th', "
               << "dat index " << bins << " using 1:10 with linespoints lw 2 dt 2 pt 7 lc rgb 'black' notitle\n";
        }
        if (!blq) continue;
        gp << "unset logscale y\nset yrange [0:1.15]\nset key top center\nset title "
           << GnuplotQuoted(name + ", below the limit") << "\n"
           << "set ylabel 'fraction below the limit of quantification'\n";
        if (vpc.blq.empty())
            gp << "set label 1 'no censored observations' at graph 0.5,0.5 center\nplot NaN notitle\nunset label 1\n";
        else
            gp << "plot dat index " << 4 * k + 3
               << " using 1:3:5 with filledcurves lc rgb '#1f77b4' title '90 % PI of the simulated fraction', "
               << "dat index " << 4 * k + 3 << " using 1:4 with lines lw 1 lc rgb '#1f77b4' title 'simulated median', "
               << "dat index " << 4 * k + 3
               << " using 1:2 with linespoints lw 2 pt 7 lc rgb 'black' title 'observed fraction'\n";
    }
    gp << "unset multiplot\n";
    const std::filesystem::path script = scratch / "vpc.gp";
    WriteTextFile(script, gp.str());
    RunGnuplot(script, scratch / "gnuplot-vpc.log");
}

}  // namespace tessuvan::cli
