#include "results/output_folder.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "results/interruption.h"
#include "results/text_file.h"

namespace tessuvan::cli {

namespace {

constexpr const char* kMarker = ".tessuvan-results";

bool IsOurs(const std::filesystem::path& folder) { return std::filesystem::exists(folder / kMarker); }

// An empty folder or an earlier result: what a run may replace.
bool Replaceable(const std::filesystem::path& folder)
{
    std::error_code error;
    return std::filesystem::is_directory(folder, error) && (std::filesystem::is_empty(folder, error) || IsOurs(folder));
}

// The process number a staging folder's name ends with ("NAME.partial-PID" or its ".previous"),
// 0 when the name is not one.
pid_t StagingProcess(const std::string& entry, const std::string& name)
{
    const std::string prefix = name + ".partial-";
    if (entry.compare(0, prefix.size(), prefix) != 0) return 0;
    std::string digits = entry.substr(prefix.size());
    if (digits.size() > 9 && digits.compare(digits.size() - 9, 9, ".previous") == 0) digits.resize(digits.size() - 9);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return pid_t(std::stol(digits));
}

}  // namespace

void OutputFolder::RemoveStaleStaging(const std::filesystem::path& parent)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const std::string name = target_.filename().string();
    for (fs::directory_iterator entry(parent, error), end; !error && entry != end; entry.increment(error)) {
        const pid_t process = StagingProcess(entry->path().filename().string(), name);
        if (process <= 0 || process == ::getpid()) continue;
        // A process that still runs (or that this user may not signal) keeps its folder.
        if (::kill(process, 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        if (entry->is_symlink(ignored) || !entry->is_directory(ignored) || !IsOurs(entry->path())) continue;
        if (fs::remove_all(entry->path(), ignored) != static_cast<std::uintmax_t>(-1) && !ignored)
            notes_.push_back("removed " + entry->path().string() + ", left by an earlier run (process " +
                             std::to_string(process) + ") that ended before it finished");
    }
}

OutputFolder::OutputFolder(std::filesystem::path target) : target_(std::move(target))
{
    namespace fs = std::filesystem;
    if (target_.filename().empty()) target_ = target_.parent_path();
    if (fs::exists(target_) && !fs::is_directory(target_))
        throw std::runtime_error("the output folder " + target_.string() + " is a file; choose another with -o");
    if (fs::exists(target_) && !(fs::is_empty(target_) || IsOurs(target_)))
        throw std::runtime_error("the output folder " + target_.string() +
                                 " exists and holds something other than an earlier result; choose another with -o");
    const fs::path parent = fs::absolute(target_).parent_path();
    staging_ = parent / (target_.filename().string() + ".partial-" + std::to_string(::getpid()));
    work_ = staging_ / ".work";
    try {
        fs::create_directories(parent);
        RemoveStaleStaging(parent);
        RemoveOnInterrupt(staging_);
        fs::remove_all(staging_);
        fs::create_directory(staging_);
        fs::create_directory(work_);
    } catch (const fs::filesystem_error& error) {
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
        RemoveOnInterrupt({});
        throw std::runtime_error("cannot create the output folder beside " + target_.string() + ": " +
                                 error.code().message());
    }
    try {
        WriteTextFile(staging_ / kMarker,
                      "Results written by tessuvan; the folder is replaced as a whole by the next run.\n");
    } catch (const WriteFailure&) {
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
        RemoveOnInterrupt({});
        throw std::runtime_error("cannot write into " + staging_.string() + " (beside the output folder)");
    }
}

OutputFolder::~OutputFolder()
{
    if (committed_) return;
    std::error_code ignored;
    std::filesystem::remove_all(staging_, ignored);
    RemoveOnInterrupt({});
}

void OutputFolder::Commit()
{
    namespace fs = std::filesystem;
    // A signal now waits until the result is in place and the earlier one is gone.
    std::unique_lock<std::mutex> hold(InterruptLock());
    fs::remove_all(work_);
    fs::path previous;
    std::error_code missing;
    if (fs::symlink_status(target_, missing).type() != fs::file_type::not_found) {
        // Whatever appeared at the target while the run went on is the user's: it stays.
        if (fs::is_symlink(target_) || !Replaceable(target_))
            throw std::runtime_error("the output folder " + target_.string() +
                                     " was filled by something else while the run went on; nothing was replaced "
                                     "(choose another with -o)");
        // The folder the user made (perhaps readable by its owner alone) keeps its permissions.
        fs::permissions(staging_, fs::status(target_).permissions());
        previous = staging_.string() + ".previous";
        fs::rename(target_, previous);
    }
    try {
        fs::rename(staging_, target_);
    } catch (...) {
        if (!previous.empty()) fs::rename(previous, target_);
        throw;
    }
    committed_ = true;
    if (!previous.empty()) fs::remove_all(previous);
    hold.unlock();
    RemoveOnInterrupt({});
}

std::string OutputFolder::Shown(std::string message) const
{
    // The working folder first: it lies inside the staging one.
    for (const std::filesystem::path& hidden : {work_, staging_}) {
        const std::string from = hidden.string(), to = target_.string();
        for (std::size_t at = message.find(from); at != std::string::npos; at = message.find(from, at + to.size()))
            message.replace(at, from.size(), to);
    }
    return message;
}

}  // namespace tessuvan::cli
