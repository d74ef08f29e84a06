#include "library/species_file.h"

#include "library/files.h"

namespace tessuvan {

namespace {

class SpeciesLines {
public:
    SpeciesLines(FileHandle& file, SpeciesFileResult& result) : file_(file), result_(result) {}

    // Reads the next line into text and sets slot to a new record when the text is not empty.
    void Next(TokenText& text, compilptr& slot)
    {
        text.clear();
        if (!ended_ && !ReadLine(file_, line_)) ended_ = true;
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
    FileHandle& file_;
    SpeciesFileResult& result_;
    std::string line_;
    bool ended_ = false;
};

}  // namespace

SpeciesFileResult ReadSpeciesFile(LibraryState& state, const std::string& path)
{
    SpeciesFileResult result;
    FileHandle file = OpenFile(path, FileMode::ReadText);
    if (file == nullptr) return result;
    result.opened = true;

    const BInitials& counts = state.init.record;
    SpeciesLines lines(file, result);
    for (int s = 1; s <= counts.NEspeces; ++s) {
        PEspece& species = state.SpeciesTable[s];
        for (int i = 1; i <= counts.NIndividuals; ++i)
            for (int t = 1; t <= counts.NInterrupts; ++t) lines.Next(species.TextFormula[i][t], species.Formula[i][t]);
        lines.Next(state.EquationSet.TextFM[s], state.EquationSet.FM[s]);
        for (int e = 1; e <= counts.NEspeces; ++e) lines.Next(state.EquationSet.TextAM[s][e], state.EquationSet.AM[s][e]);
    }
    return result;
}

}  // namespace tessuvan
