// Results files are written whole or refused: a full disk is an error naming the file.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "results/text_file.h"

namespace {

using tessuvan::cli::TextFile;
using tessuvan::cli::WriteFailure;
using tessuvan::cli::WriteTextFile;

TEST(TextFile, AFullDiskIsAnErrorNamingTheFile)
{
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    try {
        WriteTextFile("/dev/full", "a report\n");
        FAIL() << "no error";
    } catch (const WriteFailure& error) {
        EXPECT_EQ(std::string(error.what()), "cannot write /dev/full: No space left on device");
    }
    TextFile table("/dev/full");
    for (int row = 0; row < 10000; ++row) table << "1,2,3\n";  // beyond the stream's buffer
    EXPECT_THROW(table.Close(), WriteFailure);
}

TEST(TextFile, AFileInAFolderThatIsGoneCannotBeCreated)
{
    EXPECT_THROW(TextFile("/nonexistent-folder-of-tessuvan/report.txt"), WriteFailure);
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "tessuvan-text-file-test.txt";
    WriteTextFile(path, std::string("a\0b", 3));
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), std::string("a\0b", 3));
    std::filesystem::remove(path);
}

}  // namespace
