// The text layer: reading the host's texts (VARIANT layout, BSTR code units) and emptying one.
#pragma once

#include <string>

#include "formula/formula_variables.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

enum class TextStatus {
    Empty,    // vt 0 or 1, or a text of length 0: absent
    Text,     // a valid ASCII text
    Invalid   // another vt, a null pointer with vt 8, or a character outside ASCII
};

// Reads text into out (cleared first). Only vt and the BSTR are read (on Windows the platform
// also converts the scalar VARIANTs it turns into text, and follows a text held by reference).
TextStatus ReadHostText(const TessuvanText& text, std::u16string& out);

// The text as ASCII bytes, for method names; false when it is not a valid text.
bool ReadHostAscii(const TessuvanText& text, std::string& out);

// A file name as the file layer takes it: ASCII, and on Windows, whose paths are UTF-16, any
// name encoded as UTF-8; false when it is not a valid text. An empty text gives an empty name.
bool ReadHostFileName(const TessuvanText& text, std::string& out);

// Empties a host text as the platform does: vt := 0 without freeing host memory, and on Windows
// the text is released first (VariantClear), as OLE empties a VARIANT.
void EmptyHostText(TessuvanText& text);

}  // namespace tessuvan
