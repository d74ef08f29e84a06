// One case of the golden corpus as it is played: a host model driven through the engine's entry
// functions on a library state of its own, and after every call a record of everything the host
// can see. The record of a call is its label and, in this order:
//   BInitials      the ten counts, the type tags of the two file names
//   BFitSet        every byte before Method (codes, settings, ErreurCalc), then Method
//   ParameterTable values, standard errors, prior deviations, defining texts, fit codes
//   host arrays    the P texts, the Q values, the output texts
//   files          whether the species file exists; the result file's size and bytes (-1: none)
// A text is recorded as its type tag, and for a text its length and code units; never an
// address or a file name (they differ from run to run), so the stream of a case is the same
// in every run of one build.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine_options.h"
#include "library/engine_bench.h"

namespace tessuvan::golden {

// 64-bit digest of a byte string, eight bytes at a time (FNV-1a's prime on words, a final
// avalanche): quick enough to digest every record of every call in every configuration.
inline uint64_t Digest(const std::string& bytes, uint64_t seed = 0xcbf29ce484222325ull)
{
    uint64_t h = seed ^ bytes.size();
    size_t k = 0;
    for (; k + 8 <= bytes.size(); k += 8) {
        uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = word << 8 | static_cast<unsigned char>(bytes[k + static_cast<size_t>(b)]);
        h = (h ^ word) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    for (; k < bytes.size(); ++k) h = (h ^ static_cast<unsigned char>(bytes[k])) * 0x100000001b3ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

struct RecordedCall {
    std::string label;
    std::string bytes;  // begins with the label and a newline
};

class Run {
public:
    explicit Run(const EngineOptions& options) { SetEngineOptions(*bench.state, options); }

    tessuvan_host::HostModel& model() { return bench.model; }

    // The calls, each as a host makes it: the codes cleared before (Erreur, and Done before a
    // fit), every record taken after.
    void Load();
    void Simulate();
    void Population();
    void Individual(int16_t individual);
    void Release();
    // Repeated until Done is set, a code appears or cap calls were made.
    void PopulationUntilDone(int cap);
    void IndividualUntilDone(int16_t individual, int cap);
    // A host's whole fit: the population iterations, then every individual's.
    void FitSequence(int populationCap, int individualCap);

    std::vector<RecordedCall> calls;

private:
    void Record(const std::string& label);
    bool Continues() { return bench.model.Fit()->Erreur == 0 && bench.model.Fit()->Done == 0; }

    testing::EngineBench bench;
};

struct GoldenCase {
    std::string name;
    std::function<void(Run&)> play;
};

// Every case, in order; dataDirectory holds the theophylline data set (theoph.csv).
std::vector<GoldenCase> GoldenCases(const std::string& dataDirectory);

}  // namespace tessuvan::golden
