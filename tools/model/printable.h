// Text for a message: a NUL byte (from a file's text, or a name read from one) would end the
// message where it stands once it is a C string (an exception's what(), a printf), and other
// control bytes would act on the terminal, so they are shown escaped: \0 and \xNN. Line breaks
// and tabs stay.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tessuvan::cli {

inline std::string Printable(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == 0) {
            shown += "\\0";
        } else if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace tessuvan::cli
