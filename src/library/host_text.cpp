#include "library/host_text.h"

#include <cstdint>
#include <cstring>

#include "library/windows_system.h"
#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace tessuvan {
namespace {

// Copies count UTF-16 units into out when every one is ASCII (formula and method texts).
TextStatus CopyAscii(const uint16_t* units, size_t count, std::u16string& out)
{
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t unit = units[i];
        if (unit == 0 || unit > 0x7F) {
            out.clear();
            return TextStatus::Invalid;
        }
        out.push_back(static_cast<char16_t>(unit));
    }
    return out.empty() ? TextStatus::Empty : TextStatus::Text;
}

#if defined(_WIN32)

// On Windows the host's texts are the platform's own VARIANTs: a BSTR is read through the
// automation library (SysStringLen), a text held by reference is followed, and any other
// scalar that OLE converts to text (a number, a date, a boolean) is converted the way the
// automation library does it, in the invariant locale so that 2.5 stays "2.5" whatever the
// user's decimal separator. Objects, arrays and records are not texts.
static_assert(sizeof(VARIANT) == sizeof(TessuvanText), "TessuvanText has the VARIANT layout");
static_assert(alignof(VARIANT) <= alignof(TessuvanText), "TessuvanText has the VARIANT alignment");

// BSTR to ASCII; a null BSTR is the empty string.
TextStatus ReadBstr(BSTR bstr, std::u16string& out)
{
    if (bstr == nullptr) return TextStatus::Empty;
    return CopyAscii(reinterpret_cast<const uint16_t*>(bstr), SysStringLen(bstr), out);
}

// A by-reference VARIANT may itself hold a reference; a host never nests them deeper.
constexpr int kMaxReferenceDepth = 4;

TextStatus ReadVariant(const VARIANT& variant, std::u16string& out, int depth)
{
    const VARTYPE type = V_VT(&variant);
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            return TextStatus::Empty;
        case VT_BSTR:
            return ReadBstr(V_BSTR(&variant), out);
        case VT_BSTR | VT_BYREF:
            return V_BSTRREF(&variant) == nullptr ? TextStatus::Invalid : ReadBstr(*V_BSTRREF(&variant), out);
        case VT_VARIANT | VT_BYREF:
            if (V_VARIANTREF(&variant) == nullptr || depth >= kMaxReferenceDepth) return TextStatus::Invalid;
            return ReadVariant(*V_VARIANTREF(&variant), out, depth + 1);
        default:
            break;
    }
    const VARTYPE base = type & VT_TYPEMASK;
    if ((type & (VT_ARRAY | VT_VECTOR | VT_BYREF)) != 0 || base == VT_DISPATCH || base == VT_UNKNOWN ||
        base == VT_RECORD || base == VT_ERROR || base == VT_VARIANT) {
        return TextStatus::Invalid;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeTypeEx(&converted, const_cast<VARIANT*>(&variant), LOCALE_INVARIANT, 0, VT_BSTR))) {
        return TextStatus::Invalid;
    }
    const TextStatus status = ReadBstr(V_BSTR(&converted), out);
    VariantClear(&converted);
    return status;
}

const VARIANT& AsVariant(const TessuvanText& text) { return *reinterpret_cast<const VARIANT*>(&text); }

// UTF-16 to UTF-8; false for an unpaired surrogate (no file can carry that name).
bool AppendUtf8(const uint16_t* units, size_t count, std::string& out)
{
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = units[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        if (code == 0) return false;
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

// The BSTR a file-name VARIANT holds (following references), or false when it holds none.
bool FileNameBstr(const VARIANT& variant, BSTR& bstr, int depth)
{
    switch (V_VT(&variant)) {
        case VT_EMPTY:
        case VT_NULL:
            bstr = nullptr;
            return true;
        case VT_BSTR:
            bstr = V_BSTR(&variant);
            return true;
        case VT_BSTR | VT_BYREF:
            if (V_BSTRREF(&variant) == nullptr) return false;
            bstr = *V_BSTRREF(&variant);
            return true;
        case VT_VARIANT | VT_BYREF:
            if (V_VARIANTREF(&variant) == nullptr || depth >= kMaxReferenceDepth) return false;
            return FileNameBstr(*V_VARIANTREF(&variant), bstr, depth + 1);
        default:
            return false;
    }
}

#endif

}  // namespace

#if defined(_WIN32)

TextStatus ReadHostText(const TessuvanText& text, std::u16string& out)
{
    out.clear();
    return ReadVariant(AsVariant(text), out, 0);
}

bool ReadHostFileName(const TessuvanText& text, std::string& out)
{
    out.clear();
    BSTR bstr = nullptr;
    if (!FileNameBstr(AsVariant(text), bstr, 0)) return false;
    if (bstr == nullptr) return true;
    if (AppendUtf8(reinterpret_cast<const uint16_t*>(bstr), SysStringLen(bstr), out)) return true;
    out.clear();
    return false;
}

// As OLE empties a VARIANT: the text it owns is released (SysFreeString through VariantClear)
// and the VARIANT is left empty. A VARIANT that VariantClear refuses is still left empty.
void EmptyHostText(TessuvanText& text)
{
    VARIANT& variant = *reinterpret_cast<VARIANT*>(&text);
    if (FAILED(VariantClear(&variant))) V_VT(&variant) = VT_EMPTY;
}

#else

TextStatus ReadHostText(const TessuvanText& text, std::u16string& out)
{
    out.clear();
    if (text.vt == TessuvanTextEmpty || text.vt == TessuvanTextNull) return TextStatus::Empty;
    if (text.vt != TessuvanTextBstr) return TextStatus::Invalid;
    if (text.bstr == nullptr) return TextStatus::Empty;  // a null BSTR is the empty string
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text.bstr) - sizeof(uint32_t), sizeof bytes);
    return CopyAscii(text.bstr, bytes / sizeof(uint16_t), out);
}

bool ReadHostFileName(const TessuvanText& text, std::string& out) { return ReadHostAscii(text, out); }

// The memory of a host text belongs to the host: only the tag changes.
void EmptyHostText(TessuvanText& text) { text.vt = TessuvanTextEmpty; }

#endif

bool ReadHostAscii(const TessuvanText& text, std::string& out)
{
    std::u16string wide;
    out.clear();
    if (ReadHostText(text, wide) == TextStatus::Invalid) return false;
    out.assign(wide.begin(), wide.end());
    return true;
}

}  // namespace tessuvan
