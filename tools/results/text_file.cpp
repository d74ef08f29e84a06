#include "results/text_file.h"

#include <cerrno>
#include <cstring>

namespace tessuvan::cli {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& path, const char* what)
{
    const int error = errno;
    throw WriteFailure(std::string("cannot ") + what + " " + path.string() +
                       (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
}

}  // namespace

TextFile::TextFile(std::filesystem::path path) : path_(std::move(path))
{
    errno = 0;
    out_.open(path_, std::ios::binary | std::ios::trunc);
    if (!out_) Fail(path_, "create");
}

void TextFile::Close()
{
    errno = 0;
    out_.flush();  // the stream's buffer reaches the file here, where a full disk shows
    const bool flushed = bool(out_);
    out_.close();
    if (!flushed || !out_) Fail(path_, "write");
}

void WriteTextFile(const std::filesystem::path& path, std::string_view text)
{
    TextFile file(path);
    file.Stream().write(text.data(), std::streamsize(text.size()));
    file.Close();
}

}  // namespace tessuvan::cli
