// Fuzz target: a whole run through the five exported entry points, as an arbitrary host would
// drive it. Uses nothing but the public header.
//
// Input: a binary head read byte by byte, then text lines (split at line feeds).
//   head   flags; the counts (each byte below 250 picks a small count, any other is followed
//          by two bytes of a raw 16-bit count); the method; the four BFitSet settings; per
//          adjustable parameter its values, fit codes and prior deviation; the Q values; the
//          data records (individual, interrupt, time step and observations, each mostly in
//          range, sometimes raw).
//   lines  the species file's lines, then the output texts, the P texts and the defining
//          texts, in that order; when the lines run out, a small valid model fills the rest.
// A byte that is missing reads as 0, so every input is a run.
//
// Beyond "no crash, no leak, no undefined behaviour" it checks the host's side of the
// contract: no call writes host memory it does not own (BInitials apart from NPopAPosteriori,
// the P texts, the Q values and the output texts stay as they were), codes never go negative,
// and with no model loaded (after a failed load or after Fin) Simulation and both fits add
// exactly the contract code.
//
// Also built into the ABI tests, which replay fuzz/corpus/whole_load with g++ on both builds.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tessuvan/tessuvan.h"

namespace {

[[noreturn]] void InvariantBroken(const char* what)
{
    std::fprintf(stderr, "whole load invariant broken: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) InvariantBroken(#condition); \
    } while (0)

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    int16_t Raw16()
    {
        const uint16_t low = Byte();
        const uint16_t high = Byte();
        return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
    }
    // A count: mostly 0 .. range-1, sometimes any 16-bit value.
    int16_t Count(int range)
    {
        const uint8_t b = Byte();
        return b < 250 ? static_cast<int16_t>(b % range) : Raw16();
    }
    float Listed(const std::vector<float>& choices) { return choices[Byte() % choices.size()]; }
    float Pick(const std::vector<float>& choices)
    {
        const uint8_t b = Byte();
        if (b < 250) return choices[b % choices.size()];
        float value;
        const uint32_t bits = static_cast<uint16_t>(Raw16()) | (static_cast<uint32_t>(static_cast<uint16_t>(Raw16())) << 16);
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    // The next line (without its line feed); false when the input is used up.
    bool Line(std::string& line)
    {
        if (position_ >= size_) return false;
        line.clear();
        while (position_ < size_ && data_[position_] != '\n') line.push_back(static_cast<char>(data_[position_++]));
        if (position_ < size_) ++position_;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::vector<float> kValues{1, 0.5f, 2, 0, 10, 1e-3f, -1, 0.1f, 3, 1e30f, kNaN, kInf, 1e-40f, 100};
const std::vector<float> kObservations{0, 1, 2.5f, 1e-30f, 10, 0.25f, -1, kNaN, kInf, 1e-3f};
const std::vector<float> kTimeSteps{0.5f, 1, 2, 0.25f, 0, 10, -1, kNaN};
// Integration tolerances, never raw: the work of the methods grows as a power of 1/tol (the
// fixed-step ones take 1/sqrt(tol) steps per interval), so a host that asks for 1e-38 waits
// for ever. Small enough to integrate, large enough that one input stays well under a second.
const std::vector<float> kPrecisions{1e-2f, 1e-3f, 0.1f, 0.05f, 0, -1, kNaN, 1, kInf};
const std::vector<float> kSettings{0, 1, 2, 0.5f, 1e-4f, 0.01f, -1, kNaN, kInf, 1e10f};

// A host text made from raw bytes (embedded NULs and bytes above 127 kept), freed on scope exit.
struct HostTexts {
    std::vector<TessuvanText*> owned;
    void Set(TessuvanText& text, const std::string& bytes)
    {
        std::memset(&text, 0, sizeof text);
        if (bytes.empty()) return;
        auto* block = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) + (bytes.size() + 1) * sizeof(uint16_t)));
        if (block == nullptr) return;
        block[0] = static_cast<uint32_t>(bytes.size() * sizeof(uint16_t));
        auto* units = reinterpret_cast<uint16_t*>(block + 1);
        for (size_t i = 0; i < bytes.size(); ++i) units[i] = static_cast<unsigned char>(bytes[i]);
        units[bytes.size()] = 0;
        text.vt = TessuvanTextBstr;
        text.bstr = units;
        owned.push_back(&text);
    }
    ~HostTexts()
    {
        for (TessuvanText* text : owned) {
            text->vt = TessuvanTextBstr;  // the library may have emptied it without freeing
            TessuvanTextFree(text);
        }
    }
};

// The files of every run live in one private directory, removed when the process ends.
class RunDirectory {
public:
    RunDirectory()
    {
        // In memory where the system offers it: a disk file system turns every run into
        // several synchronous metadata writes, which would dominate the time of a run.
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/tessuvan-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        dataFile = path_ + "/data.dat";
        speciesFile = path_ + "/species.txt";
    }
    ~RunDirectory()
    {
        std::remove(dataFile.c_str());
        std::remove(speciesFile.c_str());
        ::rmdir(path_.c_str());
    }
    std::string dataFile;
    std::string speciesFile;

private:
    std::string path_;
};

RunDirectory& Directory()
{
    static RunDirectory directory;
    return directory;
}

struct HostRecords {
    BInitials init{};
    BFitSet fit{};
    std::unique_ptr<ParameterTable> table{new ParameterTable()};
    std::unique_ptr<PParameterTexts[]> pTexts{new PParameterTexts[1]()};
    std::unique_ptr<QParameterValues[]> qValues{new QParameterValues[1]()};
    std::unique_ptr<OutputTexts[]> outputs{new OutputTexts[1]()};
};

// What the host owns and no entry point may write.
struct HostSnapshot {
    BInitials init;
    std::vector<unsigned char> pTexts, qValues, outputs;

    explicit HostSnapshot(const HostRecords& r)
        : init(r.init),
          pTexts(Bytes(r.pTexts.get(), sizeof(PParameterTexts))),
          qValues(Bytes(r.qValues.get(), sizeof(QParameterValues))),
          outputs(Bytes(r.outputs.get(), sizeof(OutputTexts)))
    {
    }
    static std::vector<unsigned char> Bytes(const void* p, size_t n)
    {
        const auto* b = static_cast<const unsigned char*>(p);
        return std::vector<unsigned char>(b, b + n);
    }
    void ExpectUnchanged(const HostRecords& r) const
    {
        BInitials now = r.init;
        now.NPopAPosteriori = init.NPopAPosteriori;
        FUZZ_CHECK(std::memcmp(&now, &init, sizeof now) == 0);
        FUZZ_CHECK(std::memcmp(r.pTexts.get(), pTexts.data(), pTexts.size()) == 0);
        FUZZ_CHECK(std::memcmp(r.qValues.get(), qValues.data(), qValues.size()) == 0);
        FUZZ_CHECK(std::memcmp(r.outputs.get(), outputs.data(), outputs.size()) == 0);
    }
};

void WriteFile(const std::string& path, const std::string& bytes)
{
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

void Put16(std::string& out, int16_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void PutFloat(std::string& out, float value)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

int Bounded(int16_t count, int capacity) { return count < 0 ? 0 : (count > capacity ? capacity : count); }

// Each call that has no loaded model to work on adds exactly the contract code.
void ExpectNoModel(HostRecords& r)
{
    for (int call = 0; call < 3; ++call) {
        r.fit.Erreur = 0;
        int16_t individual = 1;
        if (call == 0) Simulation(&r.init, &r.fit, nullptr, r.table.get());
        if (call == 1) Ajustement_pop(&r.init, &r.fit, nullptr, r.table.get());
        if (call == 2) Ajustement_ind(&individual, &r.init, &r.fit, nullptr, r.table.get());
        FUZZ_CHECK(r.fit.Erreur == TessuvanContractError);
    }
    r.fit.Erreur = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader reader(data, size);
    HostRecords r;
    HostTexts texts;
    RunDirectory& directory = Directory();

    const uint8_t flags = reader.Byte();
    BInitials& init = r.init;
    init.NEspeces = reader.Count(4);
    init.NIndividuals = reader.Count(4);
    init.NInterrupts = reader.Count(3);
    init.NPParametres = reader.Count(3);
    init.NQParametres = reader.Count(3);
    init.NAjustables = reader.Count(4);
    init.NSorties = reader.Count(3);
    init.NPopAPriori = reader.Count(5);
    // Records written: a raw count may exceed what one individual may hold, but stays small
    // enough that writing the file is not the bulk of a run.
    const int records = Bounded(reader.Count(13), 2 * MaxPoints + 1);
    init.NPoints = (flags & 4) ? reader.Count(16) : static_cast<int16_t>(records);

    static const char* const kMethods[] = {"RUNGE-KUTTA QC", "RUNGE-KUTTA 4", "RUNGE-KUTTA 5", "CHU-BERMAN",
                                           "", "RUNGE-KUTTA", "runge-kutta 4"};
    const uint8_t method = reader.Byte() % 8;
    if (method < 7) texts.Set(r.fit.Method, kMethods[method]);
    else r.fit.Method.vt = 3;  // not a text
    r.fit.TypeErreurData = reader.Pick(kSettings);
    r.fit.Tolerance = reader.Pick(kSettings);
    r.fit.Marquard = reader.Pick(kSettings);
    r.fit.Precision = reader.Listed(kPrecisions);

    // Loops below stay within the arrays whatever the counts say: out-of-range counts are for
    // the library to refuse, the host's own arrays are never overrun here.
    const int individuals = Bounded(init.NIndividuals, MaxIndividuals);
    const int adjustables = Bounded(init.NAjustables, MaxAdjustables);
    for (int a = 1; a <= adjustables && a <= 6; ++a) {
        for (int row = 0; row <= individuals + 1; ++row) r.table->Values[row][a - 1] = reader.Pick(kValues);
        for (int row = 0; row <= individuals; ++row) {
            const uint8_t code = reader.Byte() % 5;
            r.table->FitCodes[row][a - 1] = code < 4 ? code : static_cast<int16_t>(-1);
        }
        r.table->PriorDeviations[a - 1] = reader.Pick(kValues);
    }
    for (int i = 1; i <= individuals && i <= 4; ++i)
        for (int q = 1; q <= Bounded(init.NQParametres, MaxQParameters) && q <= 3; ++q)
            r.qValues[0][i - 1][q - 1] = reader.Pick(kValues);

    // The data file: well-formed records most of the time, so that the load gets far.
    std::string dataBytes;
    std::vector<float> lastTime(static_cast<size_t>(individuals) + 2, 0);
    for (int n = 0; n < records; ++n) {
        const uint8_t who = reader.Byte();
        const int16_t individual = who < 240 ? static_cast<int16_t>(1 + who % (individuals > 0 ? individuals : 1))
                                             : static_cast<int16_t>(who - 241);  // -1 .. 14
        const uint8_t when = reader.Byte();
        const int16_t interrupt = when < 240 ? static_cast<int16_t>(1 + (when % 3) % (init.NInterrupts > 0 ? init.NInterrupts : 1))
                                             : static_cast<int16_t>(when - 241);
        const size_t slot = individual >= 1 && individual <= individuals ? static_cast<size_t>(individual) : 0;
        lastTime[slot] += reader.Pick(kTimeSteps);
        Put16(dataBytes, individual);
        Put16(dataBytes, interrupt);
        PutFloat(dataBytes, lastTime[slot]);
        for (int k = 1; k <= 60; ++k) PutFloat(dataBytes, k <= 3 ? reader.Pick(kObservations) : 0.0f);
    }
    if (flags & 8) dataBytes.resize(dataBytes.size() / 2 + reader.Byte());

    // The species file: lines from the input first, then a small valid model.
    const int species = Bounded(init.NEspeces, MaxSpecies);
    const int interrupts = Bounded(init.NInterrupts, MaxInterrupts);
    std::string speciesBytes;
    std::string line;
    const int doseLines = individuals * interrupts;
    for (int s = 1; s <= species && s <= 4; ++s) {
        for (int n = 1; n <= doseLines + 1 + species; ++n) {
            if (!reader.Line(line)) {
                if (n <= doseLines) line = s == 1 && (n - 1) % (interrupts > 0 ? interrupts : 1) == 0 ? "100" : "";
                else if (n == doseLines + 1) line = "";
                else line = (n - doseLines - 1 == s) ? "-A1" : (s == 2 && n - doseLines - 1 == 1 ? "A1" : "");
            }
            speciesBytes += line;
            speciesBytes += '\n';
        }
    }
    if (flags & 32) speciesBytes.resize(speciesBytes.size() / 2);

    for (int k = 1; k <= Bounded(init.NSorties, MaxOutputs) && k <= 3; ++k)
        texts.Set(r.outputs[0][k - 1], reader.Line(line) ? line : std::string(k == 1 ? "F1" : "F2/A2"));
    for (int t = 1; t <= interrupts && t <= 3; ++t)
        for (int p = 1; p <= Bounded(init.NPParametres, MaxPParameters) && p <= 3; ++p)
            texts.Set(r.pTexts[0][t - 1][p - 1], reader.Line(line) ? line : std::string("1"));
    for (int a = 1; a <= adjustables && a <= 6; ++a)
        if (reader.Line(line)) texts.Set(r.table->DefiningTexts[a - 1], line);

    WriteFile(directory.dataFile, dataBytes);
    if (!(flags & 16)) WriteFile(directory.speciesFile, speciesBytes);
    texts.Set(init.FileNameDat, directory.dataFile);
    texts.Set(init.FileNameEsp, directory.speciesFile);

    const HostSnapshot snapshot(r);
    int16_t individual = static_cast<int16_t>(1 + (flags >> 6));
    if (flags & 64) individual = static_cast<int16_t>(reader.Raw16());

    // One run: load, simulate, a fit step of each kind, simulate, release.
    Calcul_initial(&init, &r.fit, r.table.get(), r.pTexts.get(), r.qValues.get(), r.outputs.get());
    snapshot.ExpectUnchanged(r);
    FUZZ_CHECK(r.fit.Erreur >= 0);
    if (r.fit.Erreur != 0) {
        ExpectNoModel(r);
    } else {
        Simulation(&init, &r.fit, nullptr, r.table.get());
        FUZZ_CHECK(r.fit.Erreur >= 0);
        r.fit.Erreur = 0;
        Ajustement_pop(&init, &r.fit, nullptr, r.table.get());
        FUZZ_CHECK(r.fit.Erreur >= 0);
        r.fit.Erreur = 0;
        Ajustement_ind(&individual, &init, &r.fit, nullptr, r.table.get());
        FUZZ_CHECK(r.fit.Erreur >= 0);
        r.fit.Erreur = 0;
        Simulation(&init, &r.fit, nullptr, r.table.get());
        FUZZ_CHECK(r.fit.Erreur >= 0);
        snapshot.ExpectUnchanged(r);
    }
    r.fit.Erreur = 0;
    Fin(&init, &r.fit);
    FUZZ_CHECK(r.fit.Erreur == 0 || r.fit.Erreur == TessuvanFileError);
    ExpectNoModel(r);
    if (flags & 128) {
        Fin(&init, &r.fit);
        FUZZ_CHECK(r.fit.Erreur == 0 || r.fit.Erreur == TessuvanFileError);
    }
    snapshot.ExpectUnchanged(r);

    std::remove(directory.dataFile.c_str());
    std::remove(directory.speciesFile.c_str());
    return 0;
}
