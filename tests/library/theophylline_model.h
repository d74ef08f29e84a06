// The theophylline example as an engine test model.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine_bench.h"

namespace tessuvan::testing {

// The theophylline example: twelve subjects, one oral dose each (mg/kg times body weight),
// the one-compartment model with first-order absorption, ka, ke and V fitted.
inline void BuildTheophylline(tessuvan_host::HostModel& model, const std::string& method, const std::string& csv)
{
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    std::map<int, double> dose;
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
        std::vector<double> fields;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) fields.push_back(std::atof(cell.c_str()));
        if (fields.size() < 5) continue;
        rows.push_back(fields);
        dose[static_cast<int>(fields[0])] = fields[1] * fields[2];
    }
    BInitials& init = *model.Init();
    init.NEspeces = 2;
    init.NIndividuals = static_cast<int16_t>(dose.size());
    init.NInterrupts = 1;
    init.NAjustables = 3;
    init.NSorties = 1;
    model.Fit()->Precision = 1e-4f;
    model.Fit()->TypeErreurData = 2;
    model.SetMethod(method);
    model.SetParameter(1, 1.5f, FitCodePopulationAndIndividual);
    model.SetParameter(2, 0.08f, FitCodePopulationAndIndividual);
    model.SetParameter(3, 32.0f, FitCodePopulationAndIndividual);
    model.SetOutput(1, "F2/A3");
    for (const auto& row : rows) model.AddPoint(static_cast<int>(row[0]), 1, static_cast<float>(row[3]), {static_cast<float>(row[4])});
    model.SetSpecies([&](int s, int i, int) { return s == 1 ? tessuvan_host::Number(dose[i]) : std::string("0"); },
                     [](int) { return std::string(); },
                     [](int s, int e) { return tessuvan_host::OralCoefficient(s, e); });
    model.WriteFiles();
}

}  // namespace tessuvan::testing
