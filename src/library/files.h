// The engine's one door to the file system: every file it opens, reads, writes or erases goes
// through these routines, so that a platform with wide-character paths changes only files.cpp.
// Paths are the names the host passed (InitialsCopy): ASCII, or on Windows UTF-8 of the
// UTF-16 name, opened through the wide-character functions. Failures are reported as false or
// a null handle, never as an exception.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace tessuvan {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

enum class FileMode {
    ReadBinary,   // an existing file of fixed-size records
    WriteBinary,  // created, or truncated when it exists
    UpdateBinary, // an existing file, overwritten in place from its start
    ReadText      // an existing text file, read line by line
};

// The opened file, or null when it cannot be opened (also for an empty path).
FileHandle OpenFile(const std::string& path, FileMode mode);

// Reads exactly count bytes; false when the file ends first or a read fails.
bool ReadBytes(FileHandle& file, void* bytes, size_t count);

// Writes count bytes; false when the write fails.
bool WriteBytes(FileHandle& file, const void* bytes, size_t count);

// The length of the file in bytes, the position left at its start; -1 when it cannot be told.
long long FileLength(FileHandle& file);

// Flushes and closes; false when anything written could not be stored.
bool CloseFile(FileHandle& file);

// The next line without its end (LF, or CR LF); false when the file has no more lines.
bool ReadLine(FileHandle& file, std::string& line);

// Removes the file; false when it cannot be removed (for example it does not exist).
bool EraseFile(const std::string& path);

}  // namespace tessuvan
