// The golden corpus: every byte a host sees after every call of the golden cases (the result
// file, the counts of BInitials, BFitSet up to its method text, the ParameterTable but its
// texts). A refactor of the engine proves itself by leaving the corpus identical.
//
//   tessuvan_golden digest THEOPH.csv [plain] [groups N]         one line per case
//   tessuvan_golden check  THEOPH.csv DIGESTS [plain] [groups N] compares with a digest file
//   tessuvan_golden record THEOPH.csv DIR [plain] [groups N]     the whole corpus, a file per case
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine_options.h"
#include "golden_cases.h"
#include "library/entry_points.h"

namespace tessuvan::golden {
namespace {

struct Stream {
    std::vector<unsigned char> bytes;
    int calls = 0;

    void Append(const void* data, size_t size)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    // FNV-1a, 64 bits.
    uint64_t Digest() const
    {
        uint64_t h = 14695981039346656037ull;
        for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ull;
        return h;
    }
};

// What the host sees after a call, tagged with the call.
void RecordCall(Stream& out, tessuvan_host::HostModel& model, Call call, int individual)
{
    ++out.calls;
    const int16_t tag[2] = {static_cast<int16_t>(call), static_cast<int16_t>(individual)};
    out.Append(tag, sizeof tag);
    const BInitials& init = *model.Init();
    out.Append(&init.NEspeces, sizeof(BInitials) - offsetof(BInitials, NEspeces));
    out.Append(model.Fit(), offsetof(BFitSet, Method));
    const ParameterTable& table = *model.Table();
    out.Append(&table, offsetof(ParameterTable, DefiningTexts));
    out.Append(table.FitCodes, sizeof table.FitCodes);
    const std::vector<char> file = model.DataFileExists() ? tessuvan_host::ReadBytes(model.dataFile) : std::vector<char>{};
    const uint64_t length = file.size();
    out.Append(&length, sizeof length);
    out.Append(file.data(), file.size());
}

Stream RunCase(const GoldenCase& golden, const EngineOptions& options)
{
    Stream out;
    auto state = std::make_unique<LibraryState>();
    ApplyEngineOptions(*state, options);
    tessuvan_host::HostModel model;
    golden.build(model);
    auto call = [&](Call what, int individual = 0) {
        int16_t who = static_cast<int16_t>(individual);
        switch (what) {
        case Call::Load: CalculInitial(*state, model.Init(), model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs()); break;
        case Call::Simulate: RunSimulation(*state, model.Init(), model.Fit(), nullptr, model.Table()); break;
        case Call::FitPopulation: AjustementPop(*state, model.Init(), model.Fit(), nullptr, model.Table()); break;
        case Call::FitIndividual: AjustementInd(*state, &who, model.Init(), model.Fit(), nullptr, model.Table()); break;
        case Call::Release: FinRun(*state, model.Init(), model.Fit()); break;
        }
        RecordCall(out, model, what, individual);
    };
    call(Call::Load);
    if (model.Fit()->Erreur != 0) {  // a failed load, and the call a host may still make
        call(Call::Simulate);
        call(Call::Release);
        return out;
    }
    call(Call::Simulate);
    for (int k = 0; k < golden.populationIterations; ++k) {
        call(Call::FitPopulation);
        if (model.Fit()->Done || model.Fit()->Erreur) break;
    }
    for (int i = 1; i <= model.Init()->NIndividuals; ++i)
        for (int k = 0; k < golden.individualIterations; ++k) {
            call(Call::FitIndividual, i);
            if (model.Fit()->Done || model.Fit()->Erreur) break;
        }
    call(Call::Simulate);
    call(Call::Release);
    return out;
}

std::string DigestLine(const std::string& name, const Stream& s)
{
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(s.Digest()));
    return name + " " + std::to_string(s.calls) + " " + std::to_string(s.bytes.size()) + " " + digest;
}

int Main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tessuvan_golden digest|check|record THEOPH.csv [DIGESTS|DIR] [plain] [groups N]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string csv = argv[2];
    std::string target;
    int next = 3;
    if (mode != "digest") {
        if (argc < 4) return 2;
        target = argv[next++];
    }
    EngineOptions options;
    for (; next < argc; ++next) {
        if (std::strcmp(argv[next], "plain") == 0) options.fastPaths = false;
        else if (std::strcmp(argv[next], "groups") == 0 && next + 1 < argc) options.threadGroups = std::atoi(argv[++next]);
        else return 2;
    }
    std::map<std::string, std::string> expected;
    if (mode == "check") {
        std::ifstream in(target);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", target.c_str());
            return 2;
        }
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) expected[line.substr(0, line.find(' '))] = line;
    }
    int differing = 0;
    long calls = 0, bytes = 0;
    const auto cases = GoldenCases(csv);
    for (const GoldenCase& golden : cases) {
        const Stream s = RunCase(golden, options);
        calls += s.calls;
        bytes += static_cast<long>(s.bytes.size());
        const std::string line = DigestLine(golden.name, s);
        if (mode == "digest") std::printf("%s\n", line.c_str());
        else if (mode == "record") {
            std::ofstream file(target + "/" + golden.name + ".bin", std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(s.bytes.data()), static_cast<std::streamsize>(s.bytes.size()));
            if (!file) {
                std::fprintf(stderr, "cannot write into %s\n", target.c_str());
                return 2;
            }
        } else if (expected[golden.name] != line) {
            if (differing++ == 0)
                std::fprintf(stderr, "first difference: %s\n  expected %s\n  recorded %s\n", golden.name.c_str(),
                             expected[golden.name].c_str(), line.c_str());
        }
    }
    if (mode == "check" && expected.size() != cases.size()) {
        std::fprintf(stderr, "the digest file has %zu cases, the corpus %zu\n", expected.size(), cases.size());
        ++differing;
    }
    std::fprintf(stderr, "%zu cases, %ld calls, %ld bytes%s\n", cases.size(), calls, bytes,
                 differing ? (", " + std::to_string(differing) + " differing").c_str() : "");
    return differing ? 1 : 0;
}

}  // namespace
}  // namespace tessuvan::golden

int main(int argc, char** argv) { return tessuvan::golden::Main(argc, argv); }
