// Reads a whole input file, or says why it cannot: it does not exist, it is a folder, or the
// system refuses to read it (with the system's reason).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace tessuvan::cli {

class InputFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws InputFileError with "PATH: reason".
std::string ReadInputFile(const std::filesystem::path& path);

}  // namespace tessuvan::cli
