#include "model/input_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessuvan::cli {

std::string ReadInputFile(const std::filesystem::path& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) throw InputFileError(path.string() + ": does not exist");
    if (status.type() == fs::file_type::directory) throw InputFileError(path.string() + ": is a folder, not a file");
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int reason = errno;
        throw InputFileError(path.string() + ": cannot be read" +
                             (reason != 0 ? std::string(" (") + std::strerror(reason) + ")" : std::string()));
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) throw InputFileError(path.string() + ": cannot be read (a read error)");
    return text.str();
}

}  // namespace tessuvan::cli
