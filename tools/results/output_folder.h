// The output folder is written whole or not at all: everything goes into a staging folder
// beside it, which is renamed into place only when every file is complete. A failed run leaves
// no partial result, and an earlier result is replaced only then (and only if it is one: a
// folder holding the tool's marker file). Nothing else is ever removed: a target that something
// else fills while the run goes on makes the commit fail, and the staging folders that earlier
// runs on the same target left behind are removed only once their process is gone.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessuvan::cli {

class OutputFolder {
public:
    explicit OutputFolder(std::filesystem::path target);  // throws when the target is not ours
    ~OutputFolder();                                      // removes the staging folder if not committed
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    const std::filesystem::path& staging() const { return staging_; }
    const std::filesystem::path& work() const
    {
        return work_;
    }  // the plots' data and scripts, inside staging, removed on commit
    const std::filesystem::path& target() const { return target_; }

    // Puts the staging folder in place of the target. Throws, replacing nothing, when the
    // target became something other than an empty folder or an earlier result meanwhile.
    void Commit();

    // A message about the files being written (gnuplot's) as the user named the folder: the
    // staging folder and its working files put as the target's.
    std::string Shown(std::string message) const;
    // What the folder's set-up did that the user should hear of (stale staging folders removed).
    const std::vector<std::string>& notes() const { return notes_; }

private:
    void RemoveStaleStaging(const std::filesystem::path& parent);

    std::vector<std::string> notes_;
    std::filesystem::path target_;
    std::filesystem::path staging_;
    std::filesystem::path work_;
    bool committed_ = false;
};

}  // namespace tessuvan::cli
