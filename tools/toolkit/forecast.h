// The toolkit's Bayesian forecasting for one patient: `map` (the patient's MAP parameters given a
// population model and the patient's levels, with a forecast and its uncertainty) and `dose`
// (the amount of a proposed regimen that reaches a target exposure). The mathematics is in
// forecast/posterior.h and forecast/dosing.h.
//
// The prior is a FOCEI fit's folder (θ, Ω and σ of its results.json, the model of its
// run.model) or a model file whose parameters carry omega and which has an [error] section.
// The patient is a CSV file in the data set's layout holding that patient's rows (or several
// individuals and the one chosen by its ID).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "forecast/dosing.h"
#include "forecast/posterior.h"
#include "model/model_file.h"
#include "toolkit/toolkit.h"

namespace tessuvan::toolkit {

struct MapRequest {
    std::filesystem::path prior;
    std::filesystem::path patient;
    std::string id;     // the individual, when the file holds several
    double until = -1;  // the forecast's end (−1: 24 after the patient's last row)
    int points = 61;    // of the forecast's time grid
    int draws = 200;    // of η, for the percentiles
    std::uint64_t seed = 1;
    bool sir = false;      // the posterior draws resampled by importance from 10 × draws Laplace ones
    bool logAxis = false;  // the plot's concentration axis logarithmic
};

// A level of the patient with its predictions.
struct LevelRow {
    int line = 0;
    double time = 0, dv = 0;
    int censored = 0;
    double pred = 0, ipred = 0;
};

// One time of a forecast: at η = 0 (PRED) and η̂ (IPRED), and the percentiles of the
// predictions over the posterior draws (IPRED_P*) and over draws from Ω (PRIOR_P*).
struct ForecastRow {
    double time = 0;
    double pred = 0, ipred = 0;
    double ipredP5 = 0, ipredP50 = 0, ipredP95 = 0;
    double priorP5 = 0, priorP50 = 0, priorP95 = 0;
};

struct MapResult {
    std::string priorPath, patientPath, id;
    bool priorIsFit = false;
    cli::Model model;
    forecast::Prior prior;
    forecast::Posterior posterior;
    std::vector<LevelRow> levels;
    std::vector<ForecastRow> forecast;
    std::string output;    // the output forecast
    cli::DataSet patient;  // the patient's rows
    int outputCmt = 0;     // the CMT of the patient's levels (0: the first output)
    int draws = 0, failedDraws = 0;
    std::vector<Eigen::VectorXd> posteriorDraws;  // of η, in the forecast's order
    bool sir = false;                             // resampled (a patient with levels and --sir)
    int proposals = 0;                            // of the resampling
    double effectiveSize = 0;                     // of its weighted proposals
    std::uint64_t seed = 1;
    bool logAxis = false;
    std::vector<std::string> warnings;
    double seconds = 0;
};

// Throws UsageError (options), InputError (files), EngineError.
MapResult Map(const MapRequest& request, const Callbacks& callbacks = {});
// results.json, parameters.csv, observations.csv, forecast.csv, report.txt, forecast.png.
Written Write(const MapResult& map, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written WriteInto(const MapResult& map, OutputFolder& folder, const Callbacks& callbacks = {});

// "trough=15", "peak=30", "auc24=400..600"; throws UsageError.
forecast::Target ParseTarget(const std::string& text);

struct DoseRequest {
    MapRequest map;  // `until`: −1 for one interval past the regimen's end
    forecast::Regimen regimen;
    std::string target;  // as ParseTarget reads it
    double at = -1;      // a peak's time (−1: the end of the last dose)
    double round = 0;    // the amount a multiple of this (0: not rounded)
    double minDose = 0;
    double maxDose = -1;  // −1: ten times the largest dose of the history
    // A loading dose as the regimen's first: "" none, an amount, or "auto": the maintenance
    // dose times the accumulation ratio R = C_ss(II) / C_1(II), the patient's MAP concentration
    // at the end of an interval at steady state over that after a single dose (neither with the
    // history; for a nonlinear model R is taken at the history's largest dose). The first
    // trough then is the steady state's, exactly for one compartment.
    std::string loading;
    // Candidate intervals (two or more): each over the span of regimen.doses × the longest
    // (ceil(span / II) doses); the chosen is the one whose rounded dose attains the target with
    // the highest probability, candidates within kIntervalTie of it counting as tied, the
    // longest of those (fewer doses a day). Empty: regimen.interval alone.
    std::vector<double> intervals;
};

// Probabilities of target attainment this close count as tied in the choice of an interval:
// the Monte Carlo error of a share over 200 draws is about 0.035.
constexpr double kIntervalTie = 0.05;

// One regimen weighed: its dose, exposure and attainment, or why it was not.
struct DoseCandidate {
    double interval = 0;
    int doses = 0;
    double unrounded = 0, amount = 0, loading = 0;
    double exposureUnrounded = 0, exposure = 0;
    double probability = 0;
    double exposureP5 = 0, exposureP50 = 0, exposureP95 = 0;
    int evaluations = 0;
    std::string refusal;  // not empty: no dose within the bounds reaches the target
};

struct DoseResult {
    MapResult map;  // the posterior, its forecast that of the proposed regimen
    DoseRequest request;
    forecast::Target target;
    double unrounded = 0, amount = 0;  // the dose found, and rounded
    double exposureUnrounded = 0;      // the forecast exposure there (the target's aim)
    double exposure = 0;               // at the rounded amount
    double probability = 0;            // of attaining the target over the posterior draws
    double exposureP5 = 0, exposureP50 = 0, exposureP95 = 0;
    int evaluations = 0;                    // forecasts of the exposure the search took
    forecast::Regimen regimen;              // the chosen regimen as searched (an auto loading dose: its ratio)
    double loading = 0;                     // the loading dose given (rounded), 0 none
    std::vector<DoseCandidate> candidates;  // of several intervals, in the order given
};

DoseResult Dose(const DoseRequest& request, const Callbacks& callbacks = {});
Written Write(const DoseResult& dose, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written WriteInto(const DoseResult& dose, OutputFolder& folder, const Callbacks& callbacks = {});

// The exposure of `regimen` at `amount` for the patient at the posterior's mode (for tests and
// hosts that weigh regimens of their own).
double ForecastExposure(const MapResult& map, const forecast::Regimen& regimen, const forecast::Target& target,
                        double amount);

}  // namespace tessuvan::toolkit
