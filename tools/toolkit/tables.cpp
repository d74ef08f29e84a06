// The tables of a run written into a scratch folder by the writers of the results folder, and
// read back: the same bytes the command writes (results.json's run time aside).
#include "toolkit/tables.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "fmt/format.h"

#include "results/report.h"
#include "results/report_vpc.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

namespace {

using TableWriter = std::vector<std::string> (*)(const cli::ReportContext&, const std::filesystem::path&);
using TextWriter = std::string (*)(const cli::ReportContext&);

// A temporary folder the tables pass through, removed with this.
class Scratch {
public:
    Scratch()
    {
        static std::atomic<int> count{0};
        path_ = std::filesystem::temp_directory_path() / fmt::format("tessuvan-tables-{}-{}", ::getpid(), ++count);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string ReadBack(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Tables TablesOfRun(const RunOutcome& outcome, TableWriter tables, TextWriter text)
{
    cli::ReportContext context;
    context.modelPath = outcome.modelPath;
    context.dataPath = outcome.dataPath;
    context.model = &outcome.model;
    context.problem = &outcome.problem;
    context.result = &outcome.run;
    context.seconds = outcome.seconds;
    const Scratch scratch;
    const std::filesystem::path& folder = scratch.Path();
    Tables result;
    for (const std::string& name : tables(context, folder)) result.files.emplace_back(name, ReadBack(folder / name));
    result.report = text(context);
    return result;
}

}  // namespace

const std::string& Tables::File(const std::string& name) const
{
    static const std::string none;
    for (const auto& [file, content] : files)
        if (file == name) return content;
    return none;
}

Tables TablesOf(const FitResult& fit)
{
    return detail::Guarded([&] {
        if (const auto* population = std::get_if<PopulationFit>(&fit))
            return TablesOfRun(*population, cli::WriteFoceiTables, cli::FoceiTextReport);
        return TablesOfRun(std::get<PooledFit>(fit), cli::WriteCsvFiles, cli::TextReport);
    });
}

Tables TablesOf(const Simulation& simulation)
{
    return detail::Guarded([&] { return TablesOfRun(simulation, cli::WriteCsvFiles, cli::TextReport); });
}

Tables TablesOf(const VpcResult& vpc)
{
    return detail::Guarded([&] {
        const Scratch scratch;
        const std::filesystem::path& folder = scratch.Path();
        Tables result;
        for (const std::string& file : cli::WriteVpcCsv(vpc.outputs, vpc.axes, folder))
            result.files.emplace_back(file, ReadBack(folder / file));
        return result;
    });
}

}  // namespace tessuvan::toolkit
