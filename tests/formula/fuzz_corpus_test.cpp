// Replays the formula fuzzer's corpus (its seeds and every finding kept as a regression input)
// through the same target, built here with g++ for both builds and run under the sanitizer
// build as well. A broken invariant aborts the test binary, which ctest reports as a failure.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(FormulaFuzzCorpus, EveryKeptInputRunsThroughThePipelineCleanly)
{
    const std::filesystem::path corpus = std::filesystem::path(TESSUVAN_FUZZ_CORPUS) / "formula_pipeline";
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

TEST(FormulaFuzzCorpus, EmptyAndOneByteInputsAreHandled)
{
    const uint8_t byte = '(';
    EXPECT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);
    EXPECT_EQ(LLVMFuzzerTestOneInput(&byte, 1), 0);
}

}  // namespace
