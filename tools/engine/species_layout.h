// Where the species the data set adds sit among the engine's (engine_input.h): the infusion
// rates, the changing covariates and the steady states' shadows of the compartments; and the
// engine outputs, each a model output read on the species, their copies before a change, or a
// shadow.
#pragma once

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace tessuvan::cli {

// Replaces the engine variables `letter`k of `text` by replacement[k] where one is given.
inline std::string ReplaceVariables(const std::string& text, char letter, const std::map<int, std::string>& replacement)
{
    if (replacement.empty()) return text;
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const bool starts = text[i] == letter && (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]))) &&
                            i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]));
        if (!starts) {
            out += text[i++];
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        const auto found = replacement.find(std::stoi(text.substr(i + 1, end - i - 1)));
        out += found == replacement.end() ? text.substr(i, end - i) : found->second;
        i = end;
    }
    return out;
}

// Where each added species sits, and the engine outputs made so far.
struct SpeciesLayout {
    int compartments = 0;
    std::map<std::pair<int, int>, int> rateSpecies;  // (shadow set, compartment) -> species holding its rate
    std::map<std::size_t, int> covariateSpecies;     // covariate (0-based) -> species holding it
    int shadowSets = 0;                              // copies of the compartments for steady states
    int shadowBase = 0;                              // shadow j's compartment s is species shadowBase + (j-1)n + s
    int holdSets = 0;                                // held steady states (doubled trains), without rates
    int holdBase = 0;                                // held set h's compartment s: holdBase + (h-1)n + s
    int copyBase = 0;                                // P parameter of species s is copyBase + s
    using SlotKey = std::tuple<std::size_t, std::set<int>, int>;  // (output, species read before, view)
    std::map<SlotKey, std::size_t> slots;
    std::vector<SlotKey> slotViews;
    std::vector<std::string> outputTexts;      // [output]: the model's, reading changing covariates as species
    std::vector<std::string> definitionTexts;  // [parameter - 1]: the same for defining formulas
    int speciesCount() const
    {
        return compartments * (1 + shadowSets + holdSets) + int(rateSpecies.size() + covariateSpecies.size());
    }
    // The species of compartment s (1-based) of view j: 0 the compartments themselves, j > 0
    // shadow set j, j < 0 held set -j.
    int SpeciesOf(int shadow, int s) const
    {
        if (shadow < 0) return holdBase + (-shadow - 1) * compartments + s;
        return shadow == 0 ? s : shadowBase + (shadow - 1) * compartments + s;
    }

    // A formula of the compartments read on shadow set j instead (a defined parameter that
    // reads a compartment inlined, as in ViewText).
    std::string ShadowText(const std::string& text, int shadow) const
    {
        if (shadow == 0) return text;
        std::map<int, std::string> toShadow;
        for (int s = 1; s <= compartments; ++s) toShadow[s] = "F" + std::to_string(SpeciesOf(shadow, s));
        return ViewWith(text, toShadow);
    }

    // A formula reading the copies of the species in `before` instead of the species. The
    // engine inlines a defined parameter where it is read, so a definition that reads such a
    // species is inlined here, reading the copies too.
    std::string ViewText(const std::string& text, const std::set<int>& before) const
    {
        if (before.empty()) return text;
        std::map<int, std::string> toCopies;
        for (int s : before) toCopies[s] = "P" + std::to_string(copyBase + s);
        return ViewWith(text, toCopies);
    }

    // The formula with the species replaced as `species` says, in it and in the definitions it reads.
    std::string ViewWith(const std::string& text, const std::map<int, std::string>& species) const
    {
        std::map<int, std::string> toDefinitions;
        auto view = [&](const std::string& formula) {
            return ReplaceVariables(ReplaceVariables(formula, 'F', species), 'A', toDefinitions);
        };
        // Definitions are acyclic, so one pass per level of nesting settles every view.
        for (std::size_t pass = 0; pass <= definitionTexts.size(); ++pass) {
            bool changed = false;
            for (std::size_t a = 0; a < definitionTexts.size(); ++a) {
                if (definitionTexts[a].empty()) continue;
                const std::string viewed = view(definitionTexts[a]);
                if (viewed == definitionTexts[a]) continue;
                std::string& entry = toDefinitions[int(a + 1)];
                if (entry != "(" + viewed + ")") changed = true;
                entry = "(" + viewed + ")";
            }
            if (!changed) break;
        }
        return view(text);
    }
};

}  // namespace tessuvan::cli
