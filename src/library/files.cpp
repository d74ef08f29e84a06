#include "library/files.h"

namespace tessuvan {

FileHandle OpenFile(const std::string& path, FileMode mode)
{
    if (path.empty()) return nullptr;
    const char* how = mode == FileMode::WriteBinary ? "wb" : "rb";  // text read as bytes: CR handled below
    return FileHandle(std::fopen(path.c_str(), how));
}

bool ReadBytes(FileHandle& file, void* bytes, size_t count)
{
    return file != nullptr && std::fread(bytes, 1, count, file.get()) == count;
}

bool WriteBytes(FileHandle& file, const void* bytes, size_t count)
{
    return file != nullptr && std::fwrite(bytes, 1, count, file.get()) == count;
}

bool CloseFile(FileHandle& file)
{
    if (file == nullptr) return false;
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    return (std::fclose(file.release()) == 0) && flushed;
}

bool ReadLine(FileHandle& file, std::string& line)
{
    line.clear();
    if (file == nullptr) return false;
    int c = std::getc(file.get());
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
        c = std::getc(file.get());
    }
    if (c == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool EraseFile(const std::string& path) { return !path.empty() && std::remove(path.c_str()) == 0; }

}  // namespace tessuvan
