#include "library/data_file.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "library/files.h"

namespace tessuvan {

namespace {

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4, "the files hold IEEE singles");

uint16_t GetUnsigned16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetUnsigned32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void PutUnsigned16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void PutUnsigned32(unsigned char* p, uint32_t v)
{
    for (int b = 0; b < 4; ++b) p[b] = static_cast<unsigned char>(v >> (8 * b));
}

}  // namespace

PointFileRecord DecodePointFileRecord(const PointFileBytes& bytes)
{
    PointFileRecord record;
    record.individual = static_cast<int16_t>(GetUnsigned16(&bytes[0]));
    record.interrupt = static_cast<int16_t>(GetUnsigned16(&bytes[2]));
    record.time = std::bit_cast<float>(GetUnsigned32(&bytes[4]));
    for (int k = 1; k <= kPointFileValues; ++k)
        record.value[k] = std::bit_cast<float>(GetUnsigned32(&bytes[offsetof(TessuvanPointRecord, Values) + 4 * (k - 1)]));
    return record;
}

void EncodePointFileRecord(const PointFileRecord& record, unsigned char* bytes)
{
    PutUnsigned16(&bytes[0], static_cast<uint16_t>(record.individual));
    PutUnsigned16(&bytes[2], static_cast<uint16_t>(record.interrupt));
    PutUnsigned32(&bytes[4], std::bit_cast<uint32_t>(record.time));
    if constexpr (std::endian::native == std::endian::little) {
        // The file's layout is the memory's: the 60 singles go in one copy.
        static_assert(sizeof record.value == sizeof(float) * (kPointFileValues + 1));
        std::memcpy(&bytes[offsetof(TessuvanPointRecord, Values)], &record.value[1], sizeof(float) * kPointFileValues);
    } else {
        for (int k = 1; k <= kPointFileValues; ++k)
            PutUnsigned32(&bytes[offsetof(TessuvanPointRecord, Values) + 4 * (k - 1)], std::bit_cast<uint32_t>(record.value[k]));
    }
}

PointFileBytes EncodePointFileRecord(const PointFileRecord& record)
{
    PointFileBytes bytes{};
    EncodePointFileRecord(record, bytes.data());
    return bytes;
}

namespace {

// The records of the data file, from the file or from the host's memory, all checked, and the
// store shaped by the largest individual before anything is written into it. next(record)
// gives the next of the NPoints records, or false when the source ends first.
template <typename NextRecord>
DataFileStatus LoadRecords(NextRecord&& next, const BInitials& counts, size_t byteLimit,
                           std::unique_ptr<ModelStore>& store)
{
    std::vector<PointFileRecord> records;
    std::vector<int> points(static_cast<size_t>(counts.NIndividuals) + 1, 0);
    int mostPoints = 0;
    try {
        records.reserve(static_cast<size_t>(counts.NPoints));
    } catch (const std::bad_alloc&) {
        return DataFileStatus::OutOfMemory;
    }
    for (int n = 0; n < counts.NPoints; ++n) {
        PointFileRecord record;
        if (!next(record)) return DataFileStatus::FileError;
        if (record.individual < 1 || record.individual > counts.NIndividuals) return DataFileStatus::ContractError;
        if (record.interrupt < 1 || record.interrupt > counts.NInterrupts) return DataFileStatus::ContractError;
        int& count = points[static_cast<size_t>(record.individual)];
        if (++count > kMaxPoints) return DataFileStatus::ContractError;
        if (count > mostPoints) mostPoints = count;
        records.push_back(record);
    }

    ModelStore::Shape shape;
    shape.individuals = counts.NIndividuals;
    shape.pointsPerIndividual = mostPoints;
    shape.outputs = counts.NSorties;
    shape.adjustables = counts.NAjustables;
    std::unique_ptr<ModelStore> created = ModelStore::Create(shape);
    if (created == nullptr || created->AllocatedBytes() > byteLimit) return DataFileStatus::OutOfMemory;

    for (int i = 1; i <= counts.NIndividuals; ++i) created->PointCount(i) = 0;
    for (const PointFileRecord& record : records) {
        const int i = record.individual;
        const int j = ++created->PointCount(i);
        created->Interrupt(i, j) = record.interrupt;
        created->Time(i, j) = static_cast<WorkingFloat>(record.time);
        for (int k = 1; k <= counts.NSorties; ++k)
            created->Observed(i, j, k) = static_cast<WorkingFloat>(record.value[k]);
    }
    store = std::move(created);
    return DataFileStatus::Ok;
}

}  // namespace

DataFileStatus LoadDataFile(const std::string& path, const BInitials& counts, size_t byteLimit,
                            std::unique_ptr<ModelStore>& store)
{
    store.reset();
    FileHandle file = OpenFile(path, FileMode::ReadBinary);
    if (file == nullptr) return DataFileStatus::FileError;
    const auto next = [&](PointFileRecord& record) {
        PointFileBytes bytes;
        if (!ReadBytes(file, bytes.data(), bytes.size())) return false;
        record = DecodePointFileRecord(bytes);
        return true;
    };
    return LoadRecords(next, counts, byteLimit, store);
}

DataFileStatus LoadDataRecords(const std::vector<TessuvanPointRecord>& points, const BInitials& counts,
                               size_t byteLimit, std::unique_ptr<ModelStore>& store)
{
    store.reset();
    size_t n = 0;
    const auto next = [&](PointFileRecord& record) {
        if (n == points.size()) return false;
        const TessuvanPointRecord& point = points[n++];
        record.individual = point.Individual;
        record.interrupt = point.Interrupt;
        record.time = point.Time;
        for (int k = 1; k <= kPointFileValues; ++k) record.value[k] = point.Values[k - 1];
        return true;
    };
    return LoadRecords(next, counts, byteLimit, store);
}

bool WriteResultFile(const std::string& path, const BInitials& counts, ModelStore& store)
{
    long long records = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i) records += store.PointCount(i);
    const long long length = records * static_cast<long long>(kPointFileRecordBytes);

    // Usually the file holds the same records already (the data file or the previous result):
    // it is overwritten in place. Truncating it would make the file system release every page
    // and allocate it again, and some file systems also flush a truncated-and-rewritten file
    // when it is closed; at every Simulation of a fit, that costs more than the encoding.
    FileHandle file = OpenFile(path, FileMode::UpdateBinary);
    if (file != nullptr && FileLength(file) != length) file.reset();
    if (file == nullptr) file = OpenFile(path, FileMode::WriteBinary);
    if (file == nullptr) return false;

    // Records are encoded into a block and written a block at a time.
    constexpr int kBlockRecords = 32;
    unsigned char block[kBlockRecords * kPointFileRecordBytes];
    int filled = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i) {
        for (int j = 1; j <= store.PointCount(i); ++j) {
            PointFileRecord record;
            record.individual = static_cast<int16_t>(i);
            record.interrupt = store.Interrupt(i, j);
            record.time = static_cast<float>(store.Time(i, j));
            for (int k = 1; k <= counts.NSorties; ++k) {
                record.value[k] = static_cast<float>(store.Observed(i, j, k));
                record.value[TESSUVAN_POPULATION_PREDICTIONS + k] = static_cast<float>(store.PopulationPrediction(i, j, k));
                record.value[TESSUVAN_INDIVIDUAL_PREDICTIONS + k] = static_cast<float>(store.IndividualPrediction(i, j, k));
            }
            EncodePointFileRecord(record, &block[static_cast<size_t>(filled) * kPointFileRecordBytes]);
            if (++filled == kBlockRecords) {
                if (!WriteBytes(file, block, sizeof block)) return false;
                filled = 0;
            }
        }
    }
    if (filled > 0 && !WriteBytes(file, block, static_cast<size_t>(filled) * kPointFileRecordBytes)) return false;
    return CloseFile(file);
}

}  // namespace tessuvan
