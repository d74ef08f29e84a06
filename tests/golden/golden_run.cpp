#include "golden_run.h"

#include <cstddef>
#include <filesystem>

namespace tessuvan::golden {

namespace {

void Put(std::string& out, const void* data, size_t size) { out.append(static_cast<const char*>(data), size); }

template <class T>
void PutValue(std::string& out, const T& value)
{
    Put(out, &value, sizeof value);
}

void PutText(std::string& out, const TessuvanText& text)
{
    PutValue(out, text.vt);
    if (text.vt != TessuvanTextBstr || text.bstr == nullptr) return;
    const uint32_t bytes = reinterpret_cast<const uint32_t*>(text.bstr)[-1];
    PutValue(out, bytes);
    Put(out, text.bstr, bytes);
}

template <size_t N>
void PutTexts(std::string& out, const TessuvanText (&texts)[N])
{
    for (const TessuvanText& text : texts) PutText(out, text);
}

}  // namespace

void Run::Record(const std::string& label)
{
    tessuvan_host::HostModel& host = bench.model;
    std::string out = label + '\n';
    const BInitials& init = *host.Init();
    Put(out, &init.NEspeces, offsetof(BInitials, NSorties) + sizeof init.NSorties - offsetof(BInitials, NEspeces));
    PutValue(out, init.FileNameDat.vt);
    PutValue(out, init.FileNameEsp.vt);
    const BFitSet& fit = *host.Fit();
    Put(out, &fit, offsetof(BFitSet, Method));
    PutText(out, fit.Method);
    const ParameterTable& table = *host.Table();
    PutValue(out, table.Values);
    PutValue(out, table.StandardErrors);
    PutValue(out, table.PriorDeviations);
    PutTexts(out, table.DefiningTexts);
    PutValue(out, table.FitCodes);
    for (const auto& interrupt : *host.PTexts()) PutTexts(out, interrupt);
    PutValue(out, *host.QValues());
    PutTexts(out, *host.Outputs());
    PutValue(out, static_cast<int8_t>(host.SpeciesFileExists()));
    const bool result = std::filesystem::exists(host.dataFile);
    const std::vector<char> file = result ? tessuvan_host::ReadBytes(host.dataFile) : std::vector<char>();
    PutValue(out, static_cast<int64_t>(result ? static_cast<int64_t>(file.size()) : -1));
    out.append(file.begin(), file.end());
    calls.push_back(RecordedCall{label, std::move(out)});
}

void Run::Load()
{
    bench.model.Fit()->Erreur = 0;
    bench.Load();
    Record("Calcul_initial");
}

void Run::Simulate()
{
    bench.model.Fit()->Erreur = 0;
    bench.Simulate();
    Record("Simulation");
}

void Run::Population()
{
    tessuvan_host::HostModel& host = bench.model;
    host.Fit()->Erreur = 0;
    host.Fit()->Done = 0;
    AjustementPop(*bench.state, host.Init(), host.Fit(), nullptr, host.Table());
    Record("Ajustement_pop");
}

void Run::Individual(int16_t individual)
{
    tessuvan_host::HostModel& host = bench.model;
    host.Fit()->Erreur = 0;
    host.Fit()->Done = 0;
    AjustementInd(*bench.state, &individual, host.Init(), host.Fit(), nullptr, host.Table());
    Record("Ajustement_ind " + std::to_string(individual));
}

void Run::Release()
{
    bench.model.Fit()->Erreur = 0;
    bench.Release();
    Record("Fin");
}

void Run::PopulationUntilDone(int cap)
{
    for (int call = 0; call < cap; ++call) {
        Population();
        if (!Continues()) return;
    }
}

void Run::IndividualUntilDone(int16_t individual, int cap)
{
    for (int call = 0; call < cap; ++call) {
        Individual(individual);
        if (!Continues()) return;
    }
}

void Run::FitSequence(int populationCap, int individualCap)
{
    PopulationUntilDone(populationCap);
    for (int16_t i = 1; i <= bench.model.Init()->NIndividuals; ++i) IndividualUntilDone(i, individualCap);
}

}  // namespace tessuvan::golden
