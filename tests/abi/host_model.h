// A host's side of a run, as a real host builds it: the records and arrays of the public
// header, texts made with TessuvanTextSet, the data file of 248-byte records and the species
// file of formula lines written into a private temporary directory.
//
// HostModel only builds and reads; the calls themselves are the host's (Load, Simulate and
// Release go through the exported entry points; engine-level tests pass Init(), Fit(), ... to
// the engine directly). BuildOralModel fills it with a one-compartment model with first-order
// absorption, whose analytic solution OralConcentration gives.
//
// Uses nothing but the public header and the C++ standard library.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessuvan/tessuvan.h"

namespace tessuvan_host {

// A directory of its own under the system's temporary directory, removed with everything in
// it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessuvan-host-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// One 248-byte record of the data file or the result file. Values 1..20 are observations,
// 21..40 population predictions and 41..60 individual predictions in a result file.
struct PointRow {
    int16_t individual = 0;
    int16_t interrupt = 0;
    float time = 0;
    std::array<float, 60> values{};

    float Observed(int k) const { return values[k - 1]; }
    float PopulationPrediction(int k) const { return values[19 + k]; }
    float IndividualPrediction(int k) const { return values[39 + k]; }
};

inline constexpr size_t kRecordBytes = sizeof(TessuvanPointRecord);
static_assert(sizeof(PointRow::values) == sizeof(TessuvanPointRecord::Values));

// The record's bytes, little-endian as x86 stores them.
inline std::array<unsigned char, kRecordBytes> EncodeRow(const PointRow& row)
{
    std::array<unsigned char, kRecordBytes> bytes{};
    std::memcpy(bytes.data(), &row.individual, 2);
    std::memcpy(bytes.data() + 2, &row.interrupt, 2);
    std::memcpy(bytes.data() + 4, &row.time, 4);
    std::memcpy(bytes.data() + 8, row.values.data(), 240);
    return bytes;
}

inline PointRow DecodeRow(const unsigned char* bytes)
{
    PointRow row;
    std::memcpy(&row.individual, bytes, 2);
    std::memcpy(&row.interrupt, bytes + 2, 2);
    std::memcpy(&row.time, bytes + 4, 4);
    std::memcpy(row.values.data(), bytes + 8, 240);
    return row;
}

inline void WriteRows(const std::string& path, const std::vector<PointRow>& rows)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const PointRow& row : rows) {
        const auto bytes = EncodeRow(row);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
}

// Every whole record of the file (none when it does not exist).
inline std::vector<PointRow> ReadRows(const std::string& path)
{
    std::vector<PointRow> rows;
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, kRecordBytes> bytes{};
    while (in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        rows.push_back(DecodeRow(bytes.data()));
    return rows;
}

// Raw bytes of a file, to compare two result files exactly.
inline std::vector<char> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Zeroed host memory from calloc, freed with free: the pages of a record's rows beyond the
// model's are never touched (the large build's tables are megabytes, most of a small model's
// ParameterTable, Q values and P texts never read), so they cost no resident memory.
struct FreeHostMemory {
    void operator()(void* memory) const { std::free(memory); }
};
template <class T>
T* ZeroedHostMemory()
{
    void* memory = std::calloc(1, sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
}

class HostModel {
public:
    // The formula that gives species s its amount when interrupt t of individual i begins,
    // and the equation texts FM[s] and AM[s][e]; an empty string is an absent formula.
    using DoseText = std::function<std::string(int s, int i, int t)>;
    using FreeTermText = std::function<std::string(int s)>;
    using CoefficientText = std::function<std::string(int s, int e)>;

    HostModel()
        : init_(ZeroedHostMemory<BInitials>()), fit_(ZeroedHostMemory<BFitSet>()),
          table_(ZeroedHostMemory<ParameterTable>()), pTexts_(ZeroedHostMemory<PParameterTexts>()),
          qValues_(ZeroedHostMemory<QParameterValues>()), outputs_(ZeroedHostMemory<OutputTexts>())
    {
        dataFile = directory.File("data.dat");
        speciesFile = directory.File("species.txt");
        fit_->Precision = 1e-4f;
        fit_->Tolerance = 1e-4f;
        fit_->Marquard = 0.01f;
        SetMethod("RUNGE-KUTTA QC");
    }
    // Every text made here is freed here; the library may empty a host text (vt 0) without
    // freeing it, as it does with a definition that names its own parameter.
    ~HostModel()
    {
        for (TessuvanText& text : owned_) TessuvanTextFree(&text);
    }
    HostModel(const HostModel&) = delete;
    HostModel& operator=(const HostModel&) = delete;

    // The records and arrays, as the entry points take them.
    BInitials* Init() { return init_.get(); }
    BFitSet* Fit() { return fit_.get(); }
    ParameterTable* Table() { return table_.get(); }
    PParameterTexts* PTexts() { return pTexts_.get(); }
    QParameterValues* QValues() { return qValues_.get(); }
    OutputTexts* Outputs() { return outputs_.get(); }

    // Replaces a host text (the old one is freed); "" makes it empty.
    void SetText(TessuvanText& text, const std::string& value)
    {
        std::memset(&text, 0, sizeof text);
        if (value.empty()) return;
        if (TessuvanTextSet(&text, value.c_str()) != 0) throw std::bad_alloc();
        owned_.push_back(text);
    }
    void SetMethod(const std::string& name) { SetText(fit_->Method, name); }
    void SetOutput(int k, const std::string& text) { SetText(outputs_[0][k - 1], text); }
    void SetPText(int t, int p, const std::string& text) { SetText(pTexts_[0][t - 1][p - 1], text); }
    void SetDefinition(int a, const std::string& text) { SetText(table_->DefiningTexts[a - 1], text); }
    void SetQ(int i, int q, float value) { qValues_[0][i - 1][q - 1] = value; }

    // Parameter a: population value and code (row 0), the same value and code for every
    // individual 1..NIndividuals, the a-priori centre and deviation.
    void SetParameter(int a, float value, int16_t code, float priorDeviation = 0)
    {
        const int n = init_->NIndividuals;
        for (int r = 0; r <= n; ++r) {
            table_->Values[r][a - 1] = value;
            table_->FitCodes[r][a - 1] = code;
        }
        table_->Values[n + 1][a - 1] = value;
        table_->PriorDeviations[a - 1] = priorDeviation;
    }
    float& Value(int row, int a) { return table_->Values[row][a - 1]; }
    int16_t& Code(int row, int a) { return table_->FitCodes[row][a - 1]; }

    // Data records in file order.
    std::vector<PointRow> data;
    void AddPoint(int individual, int interrupt, float time, const std::vector<float>& observed = {})
    {
        PointRow row;
        row.individual = static_cast<int16_t>(individual);
        row.interrupt = static_cast<int16_t>(interrupt);
        row.time = time;
        for (size_t k = 0; k < observed.size() && k < 20; ++k) row.values[k] = observed[k];
        data.push_back(row);
    }

    // Species file lines in the order of the file: per species its NIndividuals x NInterrupts
    // dose texts (interrupt fastest), its free term and its NEspeces coefficients.
    std::vector<std::string> speciesLines;
    void SetSpecies(const DoseText& dose, const FreeTermText& freeTerm, const CoefficientText& coefficient)
    {
        speciesLines.clear();
        const int n = init_->NEspeces;
        for (int s = 1; s <= n; ++s) {
            for (int i = 1; i <= init_->NIndividuals; ++i)
                for (int t = 1; t <= init_->NInterrupts; ++t) speciesLines.push_back(dose(s, i, t));
            speciesLines.push_back(freeTerm(s));
            for (int e = 1; e <= n; ++e) speciesLines.push_back(coefficient(s, e));
        }
    }

    // Writes both files, names them in BInitials and sets NPoints to the records written.
    void WriteFiles()
    {
        WriteRows(dataFile, data);
        std::ofstream species(speciesFile, std::ios::binary | std::ios::trunc);
        for (const std::string& line : speciesLines) species << line << '\n';
        species.close();
        init_->NPoints = static_cast<TessuvanCount>(data.size());
        SetText(init_->FileNameDat, dataFile);
        SetText(init_->FileNameEsp, speciesFile);
    }

    std::vector<PointRow> ReadResults() const { return ReadRows(dataFile); }
    bool DataFileExists() const { return std::filesystem::exists(dataFile); }
    bool SpeciesFileExists() const { return std::filesystem::exists(speciesFile); }

    // The calls through the exported entry points.
    void Load()
    {
        Calcul_initial(init_.get(), fit_.get(), table_.get(), pTexts_.get(), qValues_.get(), outputs_.get());
    }
    void Simulate() { Simulation(init_.get(), fit_.get(), nullptr, table_.get()); }
    void Release() { Fin(init_.get(), fit_.get()); }

    TemporaryDirectory directory;
    std::string dataFile;
    std::string speciesFile;

private:
    std::unique_ptr<BInitials, FreeHostMemory> init_;
    std::unique_ptr<BFitSet, FreeHostMemory> fit_;
    std::unique_ptr<ParameterTable, FreeHostMemory> table_;
    std::unique_ptr<PParameterTexts[], FreeHostMemory> pTexts_;
    std::unique_ptr<QParameterValues[], FreeHostMemory> qValues_;
    std::unique_ptr<OutputTexts[], FreeHostMemory> outputs_;
    std::vector<TessuvanText> owned_;
};

// One compartment with first-order absorption: F1 is the amount at the absorption site, F2 the
// amount in the body; A1 = ka (1/h), A2 = ke (1/h), A3 = V (L); the output is C = F2/V.
//   dF1/dt = -ka F1,   dF2/dt = ka F1 - ke F2
// A first dose D1 enters F1 at the individual's first point (interrupt 1); a second dose D2 is
// added to what is left in F1 at the first point of interrupt 2, as the formula "F1+D2".
struct OralModel {
    double ka = 1.2;
    double ke = 0.15;
    double V = 30;
    double firstDose = 320;
    double secondDose = 160;
    double secondDoseTime = 12;  // the time of the first point of interrupt 2
    int individuals = 1;
    // Point times of every individual: interrupt 1 before secondDoseTime, interrupt 2 from it.
    std::vector<double> times{0, 0.5, 1, 2, 4, 8, 12, 13, 16, 20, 24};

    // Amount in the body t hours after a dose D given at 0.
    double BodyAmount(double D, double t) const
    {
        if (t < 0) return 0;
        return D * ka / (ka - ke) * (std::exp(-ke * t) - std::exp(-ka * t));
    }
    double Concentration(double t) const
    {
        return (BodyAmount(firstDose, t) + BodyAmount(secondDose, t - secondDoseTime)) / V;
    }
};

// A number as the shortest text that reads back to the same double.
inline std::string Number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Entry (s, e) of A in the one-compartment oral model with first-order absorption: F1 the
// amount at the absorption site (ka = A1), F2 the amount in the body (ke = A2).
inline std::string OralCoefficient(int s, int e)
{
    if (s == 1 && e == 1) return "-A1";
    if (s == 2 && e == 1) return "A1";
    if (s == 2 && e == 2) return "-A2";
    return "";
}

// Fills model with the oral model: counts, the three parameters (code 2, no prior), output
// "F2/A3", one point per time and individual with the analytic concentration as observation,
// both files written.
inline void BuildOralModel(HostModel& model, const OralModel& oral)
{
    BInitials& init = *model.Init();
    init.NEspeces = 2;
    init.NIndividuals = static_cast<int16_t>(oral.individuals);
    init.NInterrupts = 2;
    init.NAjustables = 3;
    init.NSorties = 1;
    init.NPParametres = 0;
    init.NQParametres = 0;
    init.NPopAPriori = 0;
    model.SetParameter(1, static_cast<float>(oral.ka), FitCodePopulationAndIndividual);
    model.SetParameter(2, static_cast<float>(oral.ke), FitCodePopulationAndIndividual);
    model.SetParameter(3, static_cast<float>(oral.V), FitCodePopulationAndIndividual);
    model.SetOutput(1, "F2/A3");
    model.data.clear();
    for (int i = 1; i <= oral.individuals; ++i)
        for (double t : oral.times)
            model.AddPoint(i, t < oral.secondDoseTime ? 1 : 2, static_cast<float>(t),
                           {static_cast<float>(oral.Concentration(t))});
    const std::string first = Number(oral.firstDose);
    const std::string second = "F1+" + Number(oral.secondDose);
    model.SetSpecies(
        [&](int s, int, int t) -> std::string {
            if (t == 1) return s == 1 ? first : "0";
            return s == 1 ? second : "";  // an absent formula keeps the body's amount
        },
        [](int) { return std::string(); },
        [](int s, int e) { return OralCoefficient(s, e); });
    model.WriteFiles();
}

}  // namespace tessuvan_host
