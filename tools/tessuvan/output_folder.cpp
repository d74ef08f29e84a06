#include "output_folder.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace tessuvan::cli {

namespace {

constexpr const char* kMarker = ".tessuvan-results";

bool IsOurs(const std::filesystem::path& folder) { return std::filesystem::exists(folder / kMarker); }

}  // namespace

OutputFolder::OutputFolder(std::filesystem::path target) : target_(std::move(target))
{
    namespace fs = std::filesystem;
    if (target_.filename().empty()) target_ = target_.parent_path();
    if (fs::exists(target_) && !(fs::is_directory(target_) && (fs::is_empty(target_) || IsOurs(target_))))
        throw std::runtime_error("the output folder " + target_.string() +
                                 " exists and holds something other than an earlier result; choose another with -o");
    const fs::path parent = fs::absolute(target_).parent_path();
    fs::create_directories(parent);
    staging_ = parent / (target_.filename().string() + ".partial-" + std::to_string(::getpid()));
    fs::remove_all(staging_);
    fs::create_directory(staging_);
    work_ = staging_ / ".work";
    fs::create_directory(work_);
    std::ofstream marker(staging_ / kMarker);
    marker << "Results written by tessuvan; the folder is replaced as a whole by the next run.\n";
}

OutputFolder::~OutputFolder()
{
    if (committed_) return;
    std::error_code ignored;
    std::filesystem::remove_all(staging_, ignored);
}

void OutputFolder::Commit()
{
    namespace fs = std::filesystem;
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
}

}  // namespace tessuvan::cli
