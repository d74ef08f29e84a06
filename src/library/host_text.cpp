#include "library/host_text.h"

#include <cstdint>
#include <cstring>

namespace tessuvan {

TextStatus ReadHostText(const TessuvanText& text, std::u16string& out)
{
    out.clear();
    if (text.vt == TessuvanTextEmpty || text.vt == TessuvanTextNull) return TextStatus::Empty;
    if (text.vt != TessuvanTextBstr) return TextStatus::Invalid;
    if (text.bstr == nullptr) return TextStatus::Empty;  // a null BSTR is the empty string
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text.bstr) - sizeof(uint32_t), sizeof bytes);
    const size_t units = bytes / sizeof(uint16_t);
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const uint16_t unit = text.bstr[i];
        if (unit == 0 || unit > 0x7F) {
            out.clear();
            return TextStatus::Invalid;
        }
        out.push_back(static_cast<char16_t>(unit));
    }
    return out.empty() ? TextStatus::Empty : TextStatus::Text;
}

bool ReadHostAscii(const TessuvanText& text, std::string& out)
{
    std::u16string wide;
    out.clear();
    if (ReadHostText(text, wide) == TextStatus::Invalid) return false;
    out.assign(wide.begin(), wide.end());
    return true;
}

void EmptyHostText(TessuvanText& text) { text.vt = TessuvanTextEmpty; }

}  // namespace tessuvan
