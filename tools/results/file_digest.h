// A file's fingerprint: FNV-1a of 64 bits over its bytes (offset basis 14695981039346656037,
// prime 1099511628211), as "fnv1a64:" and 16 hexadecimal digits. It tells an edited or another
// file from the one a result was made of; it is no defence against a file made to collide.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessuvan::cli {

std::string TextDigest(std::string_view bytes);

// Empty when the file cannot be read.
std::string FileDigest(const std::filesystem::path& path);

}  // namespace tessuvan::cli
