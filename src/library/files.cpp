#include "library/files.h"

#include "library/windows_system.h"
#if defined(_WIN32)
#include <cwchar>
#endif

namespace tessuvan {

namespace {

#if defined(_WIN32)
// Windows paths are UTF-16: the name (UTF-8, as the text layer gives it) is converted and the
// wide-character functions are used, so any name the host passes reaches the file system.
bool Widen(const std::string& path, std::wstring& wide)
{
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                          nullptr, 0);
    if (units <= 0) return false;
    wide.assign(static_cast<size_t>(units), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(),
                               units) == units;
}

std::FILE* Open(const std::string& path, const char* how)
{
    std::wstring wide;
    const std::wstring mode(how, how + std::char_traits<char>::length(how));
    return Widen(path, wide) ? _wfopen(wide.c_str(), mode.c_str()) : nullptr;
}

bool Remove(const std::string& path)
{
    std::wstring wide;
    return Widen(path, wide) && _wremove(wide.c_str()) == 0;
}
#else
std::FILE* Open(const std::string& path, const char* how) { return std::fopen(path.c_str(), how); }

bool Remove(const std::string& path) { return std::remove(path.c_str()) == 0; }
#endif

}  // namespace

FileHandle OpenFile(const std::string& path, FileMode mode)
{
    if (path.empty()) return nullptr;
    const char* how = "rb";  // text read as bytes too: CR handled below
    if (mode == FileMode::WriteBinary) how = "wb";
    if (mode == FileMode::UpdateBinary) how = "r+b";
    return FileHandle(Open(path, how));
}

bool ReadBytes(FileHandle& file, void* bytes, size_t count)
{
    return file != nullptr && std::fread(bytes, 1, count, file.get()) == count;
}

bool WriteBytes(FileHandle& file, const void* bytes, size_t count)
{
    return file != nullptr && std::fwrite(bytes, 1, count, file.get()) == count;
}

long long FileLength(FileHandle& file)
{
    if (file == nullptr) return -1;
#if defined(_WIN32)
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return -1;
    const long long length = _ftelli64(file.get());
    if (_fseeki64(file.get(), 0, SEEK_SET) != 0) return -1;
#else
    // long is 32 bits in the i386 build: a file beyond 2 GiB reports -1, which callers treat
    // as "cannot be told".
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return -1;
    const long long length = std::ftell(file.get());
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return -1;
#endif
    return length;
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

bool EraseFile(const std::string& path) { return !path.empty() && Remove(path); }

}  // namespace tessuvan
