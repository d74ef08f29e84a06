// The data file and the result file: consecutive 248-byte little-endian records, no header.
//
//   offset 0  int16   individual number
//   offset 2  int16   interrupt number of the point
//   offset 4  single  time
//   offset 8  single[60]  values 1..20 observations, 21..40 population predictions,
//                          41..60 individual predictions (the last two only in a result file)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "library/model_store.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

inline constexpr size_t kPointFileRecordBytes = sizeof(TessuvanPointRecord);
inline constexpr int kPointFileValues = TESSUVAN_RECORD_VALUES;

struct PointFileRecord {
    int16_t individual = 0;
    int16_t interrupt = 0;
    float time = 0;
    std::array<float, kPointFileValues + 1> value{};  // 1-based: value[1..60]
};

using PointFileBytes = std::array<unsigned char, kPointFileRecordBytes>;

PointFileRecord DecodePointFileRecord(const PointFileBytes& bytes);
PointFileBytes EncodePointFileRecord(const PointFileRecord& record);
void EncodePointFileRecord(const PointFileRecord& record, unsigned char* bytes);  // kPointFileRecordBytes

enum class DataFileStatus {
    Ok,
    FileError,      // cannot be opened or read, or fewer than NPoints records
    ContractError,  // an individual or interrupt number out of range, or too many points
    OutOfMemory     // the store could not be allocated (or exceeds byteLimit)
};

// Reads the NPoints records of path, checks every individual and interrupt number and the
// points per individual, then allocates a store shaped by the model's counts (the most points
// of any individual) and fills points, times, interrupts and observations 1..NSorties in file
// order. store is left null unless the result is Ok.
DataFileStatus LoadDataFile(const std::string& path, const BInitials& counts, size_t byteLimit,
                            std::unique_ptr<ModelStore>& store);

// Writes the result file: for every individual in turn, every point with its observations,
// population and individual predictions of outputs 1..NSorties (other values 0), rounded to
// single. A file that already has the result's length (the data file it replaces, or the
// previous result) is overwritten in place; any other is created or truncated. False when the
// file cannot be created or written.
// The same from the host's memory: points holds the records the data file would hold (only
// its first NPoints are read; fewer is the file error of a short file).
DataFileStatus LoadDataRecords(const std::vector<TessuvanPointRecord>& points, const BInitials& counts,
                               size_t byteLimit, std::unique_ptr<ModelStore>& store);

bool WriteResultFile(const std::string& path, const BInitials& counts, ModelStore& store);

}  // namespace tessuvan
