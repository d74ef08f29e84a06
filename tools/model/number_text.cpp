#include "model/number_text.h"

#include <charconv>

namespace tessuvan::cli {

std::string NumberText(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace tessuvan::cli
