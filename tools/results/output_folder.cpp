#include "results/output_folder.h"

#include <unistd.h>

#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

#include "results/interruption.h"

namespace tessuvan::cli {

namespace {

constexpr const char* kMarker = ".tessuvan-results";

bool IsOurs(const std::filesystem::path& folder) { return std::filesystem::exists(folder / kMarker); }

}  // namespace

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
    std::ofstream marker(staging_ / kMarker);
    marker << "Results written by tessuvan; the folder is replaced as a whole by the next run.\n";
    if (!marker.flush()) {
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
    if (fs::exists(target_)) {
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

}  // namespace tessuvan::cli
