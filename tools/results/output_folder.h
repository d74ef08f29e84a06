// The output folder is written whole or not at all: everything goes into a staging folder
// beside it, which is renamed into place only when every file is complete. A failed run leaves
// no partial result, and an earlier result is replaced only then (and only if it is one: a
// folder holding the tool's marker file).
#pragma once

#include <filesystem>

namespace tessuvan::cli {

class OutputFolder {
public:
    explicit OutputFolder(std::filesystem::path target);  // throws when the target is not ours
    ~OutputFolder();                                      // removes the staging folder if not committed
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    const std::filesystem::path& staging() const { return staging_; }
    const std::filesystem::path& work() const { return work_; }  // scratch inside staging, removed on commit
    const std::filesystem::path& target() const { return target_; }

    void Commit();

private:
    std::filesystem::path target_;
    std::filesystem::path staging_;
    std::filesystem::path work_;
    bool committed_ = false;
};

}  // namespace tessuvan::cli
