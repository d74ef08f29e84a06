#include "workloads.h"

#include <cmath>
#include <cstdint>
#include <random>

namespace tessuvan_bench {

namespace {

// Standard normal draws by the Box-Muller transform over a 64-bit Mersenne twister: unlike
// std::normal_distribution, the sequence is the same with every standard library.
class NormalDraws {
public:
    explicit NormalDraws(uint64_t seed) : engine_(seed) {}
    double Next()
    {
        const double u1 = (static_cast<double>(engine_() >> 11) + 0.5) * 0x1p-53;
        const double u2 = (static_cast<double>(engine_() >> 11) + 0.5) * 0x1p-53;
        return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    std::mt19937_64 engine_;
};

Population MakePopulation()
{
    Population population;
    population.typical = {1.5f, 0.08f, 0.5f};
    NormalDraws draws(20261209);
    const double spread = 0.3;  // standard deviation of the logarithm of every parameter
    for (int i = 0; i < kIndividuals; ++i) {
        IndividualValues values;
        values.ka = static_cast<float>(1.5 * std::exp(spread * draws.Next()));
        values.ke = static_cast<float>(0.08 * std::exp(spread * draws.Next()));
        values.V = static_cast<float>(0.5 * std::exp(spread * draws.Next()));
        population.individuals.push_back(values);
    }
    population.times.push_back(0);
    for (int k = 0; k < kObservationTimes; ++k)
        population.times.push_back(static_cast<float>(0.1 * std::pow(240.0, k / double(kObservationTimes - 1))));
    return population;
}

// Concentration of S1 t hours after the dose, for an individual's values.
double OralConcentration(const IndividualValues& v, double t)
{
    const double ka = v.ka, ke = v.ke;
    return kDose * ka / (v.V * (ka - ke)) * (std::exp(-ke * t) - std::exp(-ka * t));
}

}  // namespace

const Population& BenchPopulation()
{
    static const Population population = MakePopulation();
    return population;
}

const std::vector<std::string>& MethodNames()
{
    static const std::vector<std::string> names{"RUNGE-KUTTA 4", "CHU-BERMAN", "RUNGE-KUTTA 5", "RUNGE-KUTTA QC"};
    return names;
}

void BuildWorkload(tessuvan_host::HostModel& model, Workload workload, const std::string& method)
{
    using tessuvan_host::Number;
    const Population& population = BenchPopulation();
    BInitials& init = *model.Init();
    const bool twoCompartments = workload == Workload::S2;
    init.NEspeces = twoCompartments ? 3 : 2;
    init.NIndividuals = kIndividuals;
    init.NInterrupts = 1;
    init.NAjustables = twoCompartments ? 6 : 3;
    init.NSorties = 1;
    init.NPParametres = 0;
    init.NQParametres = 0;
    init.NPopAPriori = 0;
    model.Fit()->Precision = kPrecision;
    model.Fit()->TypeErreurData = 2;  // proportional error: weight 1/y²
    model.SetMethod(method);

    // A1 ka, A2 ke (S2: Vm, mg/h), A3 V; S2 adds A4 k12, A5 k21 (1/h) and A6 Km (mg).
    model.SetParameter(1, population.typical.ka, FitCodePopulationAndIndividual);
    model.SetParameter(2, twoCompartments ? 4.0f : population.typical.ke, FitCodePopulationAndIndividual);
    model.SetParameter(3, population.typical.V, FitCodePopulationAndIndividual);
    if (twoCompartments) {
        model.SetParameter(4, 0.3f, FitCodeFixed);
        model.SetParameter(5, 0.1f, FitCodeFixed);
        model.SetParameter(6, 20.0f, FitCodeFixed);
    }
    for (int i = 1; i <= kIndividuals; ++i) {
        const IndividualValues& v = population.individuals[static_cast<size_t>(i - 1)];
        model.Value(i, 1) = v.ka;
        model.Value(i, 2) = twoCompartments ? static_cast<float>(v.ke * 50) : v.ke;
        model.Value(i, 3) = v.V;
    }
    model.SetOutput(1, "F2/A3");

    // Observations: the S1 curve of each individual with a fixed 10 % multiplicative noise; the
    // dose point carries none.
    model.data.clear();
    {
        std::mt19937_64 engine(77);
        for (int i = 1; i <= kIndividuals; ++i) {
            const IndividualValues& v = population.individuals[static_cast<size_t>(i - 1)];
            model.AddPoint(i, 1, population.times[0]);
            for (size_t k = 1; k < population.times.size(); ++k) {
                const double u = (static_cast<double>(engine() >> 11) + 0.5) * 0x1p-53;
                const double noise = 1 + 0.2 * (u - 0.5);
                model.AddPoint(i, 1, population.times[k],
                               {static_cast<float>(OralConcentration(v, population.times[k]) * noise)});
            }
        }
    }

    const std::string dose = Number(kDose);
    model.SetSpecies(
        [&](int s, int, int) -> std::string { return s == 1 ? dose : "0"; },
        [&](int s) -> std::string { return twoCompartments && s == 2 ? "-A2*F2/(A6+F2)" : ""; },
        [&](int s, int e) -> std::string {
            if (s == 1 && e == 1) return "-A1";
            if (s == 2 && e == 1) return "A1";
            if (!twoCompartments) return s == 2 && e == 2 ? "-A2" : "";
            if (s == 2 && e == 2) return "-A4";
            if (s == 2 && e == 3) return "A5";
            if (s == 3 && e == 2) return "A4";
            if (s == 3 && e == 3) return "-A5";
            return "";
        });
    model.WriteFiles();
}

namespace {

struct StudyIndividual {
    double ka = 0, k10 = 0, V = 0;  // 1/h, 1/h, L (as the host holds them: floats)
};

constexpr double kStudyK12 = 0.3, kStudyK21 = 0.15;  // 1/h
constexpr double kStudyDose = 100;                   // mg into F1
constexpr double kStudyInterval = 12;                // h between doses

const std::vector<StudyIndividual>& StudyPopulation()
{
    static const std::vector<StudyIndividual> population = [] {
        std::vector<StudyIndividual> drawn;
        NormalDraws draws(20261210);
        for (int i = 0; i < kStudyIndividuals; ++i) {
            StudyIndividual v;
            v.ka = static_cast<float>(1.0 * std::exp(0.3 * draws.Next()));
            v.k10 = static_cast<float>(0.1 * std::exp(0.3 * draws.Next()));
            v.V = static_cast<float>(20 * std::exp(0.3 * draws.Next()));
            drawn.push_back(v);
        }
        return drawn;
    }();
    return population;
}

// Observation times: five after the first dose, four after the sixth, eleven from the last.
const std::vector<double>& StudyObservationTimes()
{
    static const std::vector<double> times{0.5, 1,   2,   4,   8,   60.5, 62,  64,  68,  132.5,
                                           133, 134, 136, 138, 140, 142,  144, 156, 168, 192};
    return times;
}

// Concentration of S3 at t: the sum over the doses given by t of the two-compartment oral unit
// response D·ka/V·Σ over the exponents λ ∈ {α, β, ka} of (k21 − λ)/Π(other exponents − λ)·e^(−λ·(t − dose time)),
// with α and β the roots of λ² − (k10 + k12 + k21)·λ + k10·k21.
double StudyConcentration(const StudyIndividual& v, double t)
{
    const double sum = v.k10 + kStudyK12 + kStudyK21;
    const double root = std::sqrt(sum * sum - 4 * v.k10 * kStudyK21);
    const double lambda[3] = {(sum + root) / 2, (sum - root) / 2, v.ka};
    double c = 0;
    for (int d = 0; d < kStudyDoses; ++d) {
        const double after = t - d * kStudyInterval;
        if (after < 0) break;
        for (int e = 0; e < 3; ++e) {
            double denominator = 1;
            for (int o = 0; o < 3; ++o)
                if (o != e) denominator *= lambda[o] - lambda[e];
            c += kStudyDose * v.ka / v.V * (kStudyK21 - lambda[e]) / denominator * std::exp(-lambda[e] * after);
        }
    }
    return c;
}

}  // namespace

void BuildStudyWorkload(tessuvan_host::HostModel& model, int individuals, const std::string& method)
{
    using tessuvan_host::Number;
    BInitials& init = *model.Init();
    init.NEspeces = 3;
    init.NIndividuals = static_cast<TessuvanCount>(individuals);
    init.NInterrupts = kStudyDoses;
    init.NAjustables = 5;
    init.NSorties = 1;
    init.NPParametres = 0;
    init.NQParametres = 0;
    init.NPopAPriori = 0;
    model.Fit()->Precision = kPrecision;
    model.Fit()->TypeErreurData = 2;
    model.SetMethod(method);

    // A1 ka, A2 k10, A3 V, A4 k12, A5 k21.
    model.SetParameter(1, 1.0f, FitCodePopulationAndIndividual);
    model.SetParameter(2, 0.1f, FitCodePopulationAndIndividual);
    model.SetParameter(3, 20.0f, FitCodePopulationAndIndividual);
    model.SetParameter(4, static_cast<float>(kStudyK12), FitCodeFixed);
    model.SetParameter(5, static_cast<float>(kStudyK21), FitCodeFixed);
    const std::vector<StudyIndividual>& population = StudyPopulation();
    for (int i = 1; i <= individuals; ++i) {
        const StudyIndividual& v = population[static_cast<size_t>(i - 1)];
        model.Value(i, 1) = static_cast<float>(v.ka);
        model.Value(i, 2) = static_cast<float>(v.k10);
        model.Value(i, 3) = static_cast<float>(v.V);
    }
    model.SetOutput(1, "F2/A3");

    // Points in time order: each dose time opens its interrupt; an observation at or after a
    // dose time belongs to that dose's interrupt.
    model.data.clear();
    std::mt19937_64 engine(78);
    const std::vector<double>& observed = StudyObservationTimes();
    for (int i = 1; i <= individuals; ++i) {
        const StudyIndividual& v = population[static_cast<size_t>(i - 1)];
        size_t next = 0;
        for (int d = 0; d < kStudyDoses; ++d) {
            const double start = d * kStudyInterval, end = (d + 1) * kStudyInterval;
            model.AddPoint(i, d + 1, static_cast<float>(start));
            for (; next < observed.size() && (observed[next] < end || d + 1 == kStudyDoses); ++next) {
                const double u = (static_cast<double>(engine() >> 11) + 0.5) * 0x1p-53;
                model.AddPoint(i, d + 1, static_cast<float>(observed[next]),
                               {static_cast<float>(StudyConcentration(v, observed[next]) * (1 + 0.2 * (u - 0.5)))});
            }
        }
    }

    const std::string first = Number(kStudyDose), later = "F1+" + Number(kStudyDose);
    model.SetSpecies(
        [&](int s, int, int t) -> std::string {
            if (s == 1) return t == 1 ? first : later;
            return t == 1 ? "0" : "";  // absent: the amount reached is kept
        },
        [](int) { return std::string(); },
        [](int s, int e) -> std::string {
            if (s == 1 && e == 1) return "-A1";
            if (s == 2 && e == 1) return "A1";
            if (s == 2 && e == 2) return "-A2-A4";
            if (s == 2 && e == 3) return "A5";
            if (s == 3 && e == 2) return "A4";
            if (s == 3 && e == 3) return "-A5";
            return "";
        });
    model.WriteFiles();
}

}  // namespace tessuvan_bench
