#include "results/file_digest.h"

#include <cstdint>
#include <fstream>

#include "fmt/format.h"

namespace tessuvan::cli {

namespace {

constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
constexpr std::uint64_t kPrime = 1099511628211ull;

std::uint64_t Fold(std::uint64_t hash, const char* bytes, std::size_t size)
{
    for (std::size_t b = 0; b < size; ++b) hash = (hash ^ static_cast<unsigned char>(bytes[b])) * kPrime;
    return hash;
}

std::string Shown(std::uint64_t hash) { return fmt::format("fnv1a64:{:016x}", hash); }

}  // namespace

std::string TextDigest(std::string_view bytes) { return Shown(Fold(kOffsetBasis, bytes.data(), bytes.size())); }

std::string FileDigest(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::uint64_t hash = kOffsetBasis;
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        hash = Fold(hash, buffer, std::size_t(in.gcount()));
    }
    if (in.bad()) return {};
    return Shown(hash);
}

}  // namespace tessuvan::cli
