// Every file of a results folder is written through TextFile: the text goes into a stream,
// and Close() flushes, closes and checks it, so that a full disk, a quota or a folder removed
// under the run is an error naming the file (the command's status 4), never a short or empty
// file left in place of an earlier result.
#pragma once

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/printable.h"

namespace tessuvan::cli {

// A results file that could not be written whole.
class WriteFailure : public std::runtime_error {
public:
    WriteFailure(const std::string& message) : std::runtime_error(Printable(message)) {}
};

class TextFile {
public:
    // Creates (or truncates) the file; throws WriteFailure when it cannot be created.
    explicit TextFile(std::filesystem::path path);
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    std::ostream& Stream() { return out_; }
    template <typename T>
    TextFile& operator<<(const T& value)
    {
        out_ << value;
        return *this;
    }
    // Flushes and closes; throws WriteFailure naming the file and the system's reason.
    void Close();
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    std::ofstream out_;
};

// The whole text into a file, checked.
void WriteTextFile(const std::filesystem::path& path, std::string_view text);

}  // namespace tessuvan::cli
