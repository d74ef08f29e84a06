// Replays the corpora of the command's fuzz targets (their seeds and every finding kept as a
// regression input) through the same targets, built here with g++. A broken invariant aborts
// the test binary, which ctest reports as a failure.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

extern "C" int DataSetFuzzInput(const uint8_t* data, size_t size);
extern "C" int ModelTranslationFuzzInput(const uint8_t* data, size_t size);
extern "C" int ResultsJsonFuzzInput(const uint8_t* data, size_t size);

namespace {

int Replay(const char* target, int (*run)(const uint8_t*, size_t))
{
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(TESSUVAN_FUZZ_CORPUS) / target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(run(bytes.data(), bytes.size()), 0);
        ++replayed;
    }
    return replayed;
}

TEST(ToolFuzzCorpus, EveryKeptInputRunsCleanly)
{
    EXPECT_GE(Replay("data_set", DataSetFuzzInput), 4);
    EXPECT_GE(Replay("model_translation", ModelTranslationFuzzInput), 5);
    EXPECT_GE(Replay("results_json", ResultsJsonFuzzInput), 3);
}

}  // namespace
