// The species file: one formula text per line. For each species s = 1..NEspeces in turn:
// NIndividuals x NInterrupts lines of the amount set when interrupt t of individual i begins
// (individual by individual, interrupt fastest), one line of the free term FM[s], and NEspeces
// lines of the coefficients AM[s][e]. An empty line is an absent formula.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "library/library_state.h"

namespace tessuvan {

struct SpeciesFileResult {
    bool opened = false;   // false: the file could not be opened (nothing was read)
    int16_t errors = 0;    // lines that are not ASCII texts (each a formula error)
    bool outOfMemory = false;  // a compiled-formula record could not be allocated
};

// Reads the texts into state.SpeciesTable and state.EquationSet and gives every non-empty text
// a new, uncompiled record in its slot (null for an empty one). Lines missing at the end of
// the file read as empty texts; a CR before the LF is not part of the line.
SpeciesFileResult ReadSpeciesFile(LibraryState& state, const std::string& path);

// The same from the file's content in memory (opened is then true).
SpeciesFileResult ReadSpeciesText(LibraryState& state, std::string_view text);

}  // namespace tessuvan
