// tessuvan_golden: records the golden corpus, the engine's answers to a fixed list of cases,
// to prove that a change of the engine's code changes none of them.
//
//   tessuvan_golden [OPTIONS] digests          one line per case on standard output
//   tessuvan_golden [OPTIONS] check FILE       compares with the digests in FILE
//   tessuvan_golden [OPTIONS] check-platform DIR
//                                              compares with DIR/FINGERPRINT.txt, the digests
//                                              recorded on a platform of this fingerprint
//   tessuvan_golden fingerprint                the platform's fingerprint (below)
//   tessuvan_golden [OPTIONS] record DIR       the whole stream: DIR/CASE.bin, digests.txt,
//                                              and calls.txt (case, call, offset, label)
// OPTIONS: --plain (fast paths off), --groups N (thread groups, default 1).
//
// The answers depend on the last bits of the mathematical library: the 32-bit build computes in
// x87 extended precision, and its exp, log and pow use x87 instructions whose last bits differ
// between processors. Digests therefore belong to a platform, named by a fingerprint of those
// functions in WorkingFloat; a platform without recorded digests skips the check (exit 77)
// with the command that records them.
//
// A digest line reads: case, calls, bytes, the digest of the case, and the digest of each call
// (its low 32 bits), so that a difference can be traced to its first call.
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "golden_run.h"

namespace {

using namespace tessuvan::golden;

struct CaseRecord {
    std::string name;
    std::vector<RecordedCall> calls;
    size_t bytes = 0;
    uint64_t digest = 0;
    std::vector<uint32_t> callDigests;
};

CaseRecord Play(const GoldenCase& golden, const EngineOptions& options)
{
    CaseRecord record{golden.name, {}, 0, 0, {}};
    {
        Run run(options);
        golden.play(run);
        record.calls = std::move(run.calls);
    }
    uint64_t digest = Digest(golden.name);
    for (const RecordedCall& call : record.calls) {
        const uint64_t callDigest = Digest(call.bytes);
        record.callDigests.push_back(static_cast<uint32_t>(callDigest));
        digest = Digest(std::string(reinterpret_cast<const char*>(&callDigest), sizeof callDigest), digest);
        record.bytes += call.bytes.size();
    }
    record.digest = digest;
    return record;
}

std::string DigestLine(const CaseRecord& record)
{
    char head[160];
    std::snprintf(head, sizeof head, "%s %zu %zu %016" PRIx64, record.name.c_str(), record.calls.size(), record.bytes,
                  record.digest);
    std::string line = head;
    for (const uint32_t d : record.callDigests) {
        char text[12];
        std::snprintf(text, sizeof text, " %08" PRIx32, d);
        line += text;
    }
    return line;
}

// The expected lines by case name (comment lines start with #).
std::map<std::string, std::vector<std::string>> ReadDigests(const std::string& path)
{
    std::map<std::string, std::vector<std::string>> expected;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        if (!words.empty()) expected[words[0]] = words;
    }
    return expected;
}

// Compares one case with its expected line; prints and returns false at a difference.
bool Matches(const CaseRecord& record, const std::vector<std::string>& expected)
{
    std::istringstream fields(DigestLine(record));
    std::vector<std::string> got;
    for (std::string word; fields >> word;) got.push_back(word);
    if (got == expected) return true;
    size_t call = 0;
    while (call < record.calls.size() && 4 + call < expected.size() && got[4 + call] == expected[4 + call]) ++call;
    if (call < record.calls.size())
        std::printf("%s: first differing call %zu (%s)\n", record.name.c_str(), call + 1, record.calls[call].label.c_str());
    else
        std::printf("%s: %zu calls recorded, %zu expected\n", record.name.c_str(), record.calls.size(),
                    expected.size() > 4 ? expected.size() - 4 : 0);
    return false;
}

// A digest of exp, log, pow and sqrt in WorkingFloat over a fixed sweep of arguments (the value
// bytes only: the 80-bit format leaves padding bytes undefined).
std::string PlatformFingerprint()
{
    using tessuvan::WorkingFloat;
    constexpr size_t valueBytes = std::numeric_limits<WorkingFloat>::digits == 64 ? 10 : sizeof(WorkingFloat);
    std::string bytes;
    auto add = [&](WorkingFloat value) {
        unsigned char raw[sizeof(WorkingFloat)] = {};
        std::memcpy(raw, &value, sizeof value);
        bytes.append(reinterpret_cast<const char*>(raw), valueBytes);
    };
    for (int k = 0; k < 4096; ++k) {
        const WorkingFloat x = static_cast<WorkingFloat>(k - 2048) / static_cast<WorkingFloat>(97);
        const WorkingFloat positive = std::fabs(x) + static_cast<WorkingFloat>(0.001);
        add(std::exp(x));
        add(std::log(positive));
        add(std::pow(positive, x / static_cast<WorkingFloat>(7)));
        add(std::sqrt(positive));
    }
    char text[20];
    std::snprintf(text, sizeof text, "%016" PRIx64, Digest(bytes));
    return text;
}

int Usage()
{
    std::fprintf(stderr, "usage: tessuvan_golden [--plain] [--groups N] digests | check FILE | check-platform DIR | "
                         "record DIR | fingerprint\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    EngineOptions options;
    int a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a) {
        const std::string option = argv[a];
        if (option == "--plain")
            options.fastPaths = false;
        else if (option == "--groups" && a + 1 < argc)
            options.threadGroups = std::atoi(argv[++a]);
        else
            return Usage();
    }
    if (a >= argc) return Usage();
    std::string mode = argv[a];
    std::string target = a + 1 < argc ? argv[a + 1] : "";
    if (mode == "fingerprint") {
        std::printf("%s\n", PlatformFingerprint().c_str());
        return 0;
    }
    if (mode != "digests" && target.empty()) return Usage();
    if (mode == "check-platform") {
        const std::string file = target + "/" + PlatformFingerprint() + ".txt";
        if (!std::filesystem::exists(file)) {
            std::printf("no digests recorded for this platform (fingerprint %s) in %s: record them from a commit "
                        "whose engine is known right with\n  tessuvan_golden digests > %s\n",
                        PlatformFingerprint().c_str(), target.c_str(), file.c_str());
            return 77;
        }
        mode = "check";
        target = file;
    }

    const std::vector<GoldenCase> cases = GoldenCases(TESSUVAN_GOLDEN_DATA);
    std::map<std::string, std::vector<std::string>> expected;
    if (mode == "check") {
        expected = ReadDigests(target);
        if (expected.empty()) {
            std::printf("no digests in %s\n", target.c_str());
            return 1;
        }
    } else if (mode == "record") {
        std::filesystem::create_directories(target);
    } else if (mode != "digests") {
        return Usage();
    }
    std::ofstream digests, callIndex;
    if (mode == "record") {
        digests.open(target + "/digests.txt");
        callIndex.open(target + "/calls.txt");
    }

    size_t calls = 0, bytes = 0, differing = 0;
    for (const GoldenCase& golden : cases) {
        const CaseRecord record = Play(golden, options);
        calls += record.calls.size();
        bytes += record.bytes;
        if (mode == "digests") std::printf("%s\n", DigestLine(record).c_str());
        if (mode == "check") {
            const auto found = expected.find(record.name);
            if (found == expected.end()) {
                std::printf("%s: no expected digest\n", record.name.c_str());
                ++differing;
            } else {
                differing += !Matches(record, found->second);
                expected.erase(found);
            }
        }
        if (mode == "record") {
            digests << DigestLine(record) << '\n';
            std::ofstream stream(target + "/" + record.name + ".bin", std::ios::binary | std::ios::trunc);
            size_t offset = 0;
            for (size_t c = 0; c < record.calls.size(); ++c) {
                stream << record.calls[c].bytes;
                callIndex << record.name << ' ' << c + 1 << ' ' << offset << ' ' << record.calls[c].label << '\n';
                offset += record.calls[c].bytes.size();
            }
            if (!stream) {
                std::fprintf(stderr, "cannot write %s\n", record.name.c_str());
                return 1;
            }
        }
    }
    for (const auto& [name, words] : expected) {
        std::printf("%s: expected but not recorded\n", name.c_str());
        ++differing;
    }
    std::fprintf(stderr, "%zu cases, %zu calls, %zu bytes (fast paths %s, %d thread groups)\n", cases.size(), calls,
                 bytes, options.fastPaths ? "on" : "off", options.threadGroups);
    if (mode == "check" && differing > 0) {
        std::printf("%zu of %zu cases differ from %s\n", differing, cases.size(), target.c_str());
        return 1;
    }
    return 0;
}
