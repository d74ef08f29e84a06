// Replays the whole-load fuzzer's corpus (its seeds and every finding kept as a regression
// input) through the same target, here a host of the shared library built with g++ for both
// builds and run under the sanitizer build as well. A broken invariant aborts the test binary,
// which ctest reports as a failure.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(WholeLoadFuzzCorpus, EveryKeptInputRunsThroughTheEntryPointsCleanly)
{
    const std::filesystem::path corpus = std::filesystem::path(TESSUVAN_FUZZ_CORPUS) / "whole_load";
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        ++replayed;
    }
    EXPECT_GE(replayed, 10);
}

TEST(WholeLoadFuzzCorpus, AnEmptyInputIsARunOfNothing)
{
    EXPECT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);
}

}  // namespace
