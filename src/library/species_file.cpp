#include "library/species_file.h"

#include <algorithm>

#include "library/files.h"

namespace tessuvan {

namespace {

// readLine(line) gives the next line without its end, false when there is none.
template <typename ReadNextLine>
class SpeciesLines {
public:
    SpeciesLines(ReadNextLine& readLine, SpeciesFileResult& result) : readLine_(readLine), result_(result) {}

    // Reads the next line into text and sets slot to a new record when the text is not empty.
    void Next(TokenText& text, compilptr& slot)
    {
        text.clear();
        if (!ended_ && !readLine_(line_)) ended_ = true;
        if (!ended_) {
            bool ascii = true;
            for (char c : line_) ascii = ascii && static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 0x7F;
            if (ascii) {
                text.assign(line_.begin(), line_.end());
            } else {
                AddCode(result_.errors, 1);  // not a text of the formula language
            }
        }
        FreeFormula(slot);
        slot = nullptr;
        if (text.empty()) return;
        slot = NewFormula();
        if (slot == nullptr) result_.outOfMemory = true;
    }

private:
    ReadNextLine& readLine_;
    SpeciesFileResult& result_;
    std::string line_;
    bool ended_ = false;
};

template <typename ReadNextLine>
void ReadSpeciesLines(LibraryState& state, ReadNextLine& readLine, SpeciesFileResult& result)
{
    const BInitials& counts = state.init.record;
    SpeciesLines<ReadNextLine> lines(readLine, result);
    for (int s = 1; s <= counts.NEspeces; ++s) {
        PEspece& species = state.SpeciesTable[s];
        for (int i = 1; i <= counts.NIndividuals; ++i)
            for (int t = 1; t <= counts.NInterrupts; ++t) lines.Next(species.TextFormula[i][t], species.Formula[i][t]);
        lines.Next(state.EquationSet.TextFM[s], state.EquationSet.FM[s]);
        for (int e = 1; e <= counts.NEspeces; ++e) lines.Next(state.EquationSet.TextAM[s][e], state.EquationSet.AM[s][e]);
    }
}

}  // namespace

SpeciesFileResult ReadSpeciesFile(LibraryState& state, const std::string& path)
{
    SpeciesFileResult result;
    FileHandle file = OpenFile(path, FileMode::ReadText);
    if (file == nullptr) return result;
    result.opened = true;
    auto readLine = [&](std::string& line) { return ReadLine(file, line); };
    ReadSpeciesLines(state, readLine, result);
    return result;
}

SpeciesFileResult ReadSpeciesText(LibraryState& state, std::string_view text)
{
    SpeciesFileResult result;
    result.opened = true;
    size_t at = 0;
    // As ReadLine reads a file: up to the next LF, a CR before it dropped; a text that ends
    // without LF ends with its last line.
    auto readLine = [&](std::string& line) {
        line.clear();
        if (at >= text.size()) return false;
        const size_t end = std::min(text.find('\n', at), text.size());
        line.assign(text.substr(at, end - at));
        at = end + 1;
        if (end < text.size() && !line.empty() && line.back() == '\r') line.pop_back();
        return true;
    };
    ReadSpeciesLines(state, readLine, result);
    return result;
}

}  // namespace tessuvan
