#include <algorithm>

#include "model/model_reader.h"

namespace tessuvan::cli::model_reading {

namespace {

// Marks every parameter the tree reads, and through their definitions what those read.
void MarkReads(const Node& node, const std::vector<NodePtr>& definitions, std::vector<bool>& read)
{
    if (node.kind == NodeKind::Name && node.symbol.kind == SymbolKind::Parameter) {
        const std::size_t p = std::size_t(node.symbol.index - 1);
        if (p < read.size() && !read[p]) {
            read[p] = true;
            if (definitions[p]) MarkReads(*definitions[p], definitions, read);
        }
    }
    if (node.left) MarkReads(*node.left, definitions, read);
    if (node.right) MarkReads(*node.right, definitions, read);
}

}  // namespace

void WarnOfUnusedParts(const Reader& reader, Model& model, const toml::table& root, const std::vector<NodePtr>& parsed,
                       const std::vector<NodePtr>& definitions)
{
    const toml::array* compartments = root["model"]["compartments"].as_array();
    for (std::size_t s = 0; s < model.compartments.size(); ++s)
        if (model.rates[s].empty())
            model.warnings.push_back(reader.Said(
                compartments->get(s), "model.compartments[" + std::to_string(s + 1) + "]",
                "'" + model.compartments[s] + "' has no rate in model.rates: its amount changes by doses alone (d(" +
                    model.compartments[s] + ")/dt = 0)"));

    // A definition reads only when its parameter is read; every other formula reads.
    std::vector<bool> read(model.parameters.size(), false);
    for (const NodePtr& tree : parsed)
        if (std::find(definitions.begin(), definitions.end(), tree) == definitions.end())
            MarkReads(*tree, definitions, read);
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& parameter = model.parameters[p];
        if (read[p] || parameter.estimate == Estimate::Fixed || !parameter.formula.empty()) continue;
        model.warnings.push_back(
            reader.Said(root["parameters"][parameter.name].node(), "parameters." + parameter.name,
                        "estimated, but no rate, output, P parameter, dosing formula or definition reads it: the "
                        "observations cannot determine it (the engine's fit finds its normal equations singular); "
                        "fix it (estimate = \"fixed\") or remove it"));
    }
}

}  // namespace tessuvan::cli::model_reading
