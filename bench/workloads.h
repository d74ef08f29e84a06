// The benchmark workloads, built as a host builds them: records, texts, a data file and a
// species file through the public header, run through libTessuvan_64.so (S1, S2) or
// libTessuvan_large.so (S1, S2 and S3).
//
//   S1  one compartment with first-order absorption, two species,
//         dF1/dt = -ka·F1,  dF2/dt = ka·F1 - ke·F2,  output F2/V,
//       100 individuals, each a dose at time 0 and 149 observations from 0.1 to 24 h spread
//       geometrically; individual ka, ke, V log-normal around 1.5 /h, 0.08 /h, 0.5 L.
//   S2  the same individuals, two compartments with Michaelis-Menten elimination:
//         dF1/dt = -ka·F1
//         dF2/dt = ka·F1 - k12·F2 + k21·F3 - Vm·F2/(Km + F2)   (the last term in F)
//         dF3/dt = k12·F2 - k21·F3
//   S3  a study (large build only): two compartments with first-order absorption,
//         dF1/dt = -ka·F1
//         dF2/dt = ka·F1 - (k10 + k12)·F2 + k21·F3
//         dF3/dt = k12·F2 - k21·F3,          output F2/V,
//       2,000 individuals, each 12 doses of 100 mg into F1 every 12 h (each dose opens an
//       interrupt) and 20 observations from 0.5 to 192 h: 32 points per individual, 64,000 in
//       all; individual ka, k10, V log-normal around 1 /h, 0.1 /h, 20 L; k12 = 0.3 /h and
//       k21 = 0.15 /h fixed. The first n individuals of it time the growth with n.
//
// The draws come from a fixed seed, so every run and every machine sees the same model.
#pragma once

#include <string>
#include <vector>

#include "abi/host_model.h"

namespace tessuvan_bench {

inline constexpr int kIndividuals = 100;
inline constexpr int kObservationTimes = 149;
inline constexpr double kDose = 100;          // mg into F1 at time 0
inline constexpr float kPrecision = 1e-4f;    // BFitSet.Precision of every workload

// One individual's values as the host holds them (32-bit floats).
struct IndividualValues {
    float ka = 0;  // 1/h
    float ke = 0;  // 1/h
    float V = 0;   // L
};

struct Population {
    IndividualValues typical;                  // the population values
    std::vector<IndividualValues> individuals; // [0 .. kIndividuals-1]
    std::vector<float> times;                  // point times of every individual, 0 first
};

// The fixed population of both workloads.
const Population& BenchPopulation();

enum class Workload { S1, S2, S3 };

inline constexpr int kStudyIndividuals = 2000;
inline constexpr int kStudyDoses = 12;
inline constexpr int kStudyObservations = 20;
// Whether this build holds S3 (the large build does; the 64-bit build's 100 individuals not).
inline constexpr bool kStudyFits = MaxIndividuals >= kStudyIndividuals && MaxInterrupts >= kStudyDoses;

// Fills model with the first `individuals` individuals of S3 (parameters ka, k10, V with code
// 2, k12 and k21 fixed; observations the closed form of the model with a fixed 10 % noise).
void BuildStudyWorkload(tessuvan_host::HostModel& model, int individuals, const std::string& method);

// Fills model with the workload: counts, parameters (code 2: population and individual),
// output, observations (the analytic S1 curve with a fixed multiplicative noise), both files,
// and the method name.
void BuildWorkload(tessuvan_host::HostModel& model, Workload workload, const std::string& method);

// The four method names.
const std::vector<std::string>& MethodNames();

}  // namespace tessuvan_bench
