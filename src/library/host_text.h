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

// Reads text into out (cleared first). Only vt and the BSTR are read.
TextStatus ReadHostText(const TessuvanText& text, std::u16string& out);

// The text as ASCII bytes, for file names and method names; false when it is not a valid text.
bool ReadHostAscii(const TessuvanText& text, std::string& out);

// Empties a host text (vt := 0) without freeing host memory.
void EmptyHostText(TessuvanText& text);

}  // namespace tessuvan
