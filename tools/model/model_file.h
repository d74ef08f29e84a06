// The model file: a TOML description of a kinetic model by names, and its translation into the
// engine's formula texts.
//
//   [model]
//   compartments = ["depot", "central"]
//   rates = ["d(depot)/dt = -ka*depot", "d(central)/dt = ka*depot - ke*central"]
//
//   [parameters]            # in the order written; estimate: fixed, individual,
//   ka = { value = 1.5 }    # "population and individual" (the default) or population
//   V  = { value = 0.5, prior = 0.5, prior_sd = 0.1 }
//   CL = { formula = "ke*V" }                      # defined by a formula, never estimated
//
//   [covariates]            # per-individual values read from a data column
//   wt = "WT"
//
//   [p_parameters]          # set by a formula at the start of every dosing interval
//
//   [outputs]               # what the observations are compared with
//   conc = "central/V"      # or { formula = "central/V", cmt = 2 } with several outputs
//
//   [dosing]                # optional, by compartment name: formulas of parameters and
//   bioavailability = { depot = "F1" }  # covariates; a fraction of each dose (default 1),
//   lag = { depot = "tlag" }            # a delay of each dose (default 0, fixed),
//   rate = { central = "R0" }           # the infusion rate of RATE = -1 rows (fixed),
//   duration = { central = "D0" }       # the infusion duration of RATE = -2 rows (fixed)
//
//   [data]                  # optional
//   covariates = "NOCB"     # a value changing within an individual holds back to the
//                           # previous row's time (NOCB) or on to the next row's (LOCF)
//   occasion = "OCC"        # the column of occasions (whole numbers) for iov
//
//   [fit]                   # all optional
//   method = "CHU-BERMAN"   precision = 1e-6   error_exponent = 2   tolerance = 1e-6
//   damping = 0.01          population_iterations = 100   individual_iterations = 100
//   prior_population = 0
//   estimation = "focei"    # the default when any parameter has an omega; or "pooled"
//   allow_non_finite = false  # true keeps predictions that are infinite or not a number
//
//   With estimation "focei" a parameter may carry omega = 0.1 (a variance; or
//   { value = 0.1, fixed = true }), and [error] gives the residual error:
//   additive = 0.5 (SD) and/or proportional = 0.1 (fraction), each also { value, fixed }, or
//   exponential = 0.2 (SD of ln y, alone). [error.NAME] (NAME an output) gives each output its own;
//   then every output needs one.
//   [omega] gives a full covariance to some of them (the others stay independent):
//   blocks = [["CL", "V"]], correlations = { "CL:V" = 0.3 } (starting values, default 0),
//   fixed_blocks = [["ka", "F"]] (a block held at its starting covariance).
//   iov = 0.04 (a variance, or { value, fixed }) adds κ ~ N(0, iov), drawn anew for each
//   occasion of the data set's occasion column, beside η: φ = h(k(θ) + η + κ_occ).
//   A parameter's scale = "linear" lets θ be negative or 0 (searched as it is, η normal:
//   φ = θ + η); variability = "normal" says the same, "logit" searches logit θ (φ in (0, 1)).
//
//   [units]                 # optional, labels of the plots
//   time = "h"   conc = "mg/L"
//
// Formulas may compare covariates (==, !=, <, <=, >, >=, and, or, not) and choose with
// if(condition, a, b): model/conditions.h. Time is `t` (also `time`). Every formula error
// names the file, the line and the key.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/expression.h"
#include "model/printable.h"
#include "population/population_model.h"

namespace tessuvan::cli {

class ModelError : public std::runtime_error {
public:
    ModelError(const std::string& message) : std::runtime_error(Printable(message)) {}
};

// How a parameter is estimated: the engine's fit codes 0 to 3.
enum class Estimate { Fixed = 0, IndividualOnly = 1, PopulationAndIndividual = 2, PopulationOnly = 3 };

const char* EstimateWords(Estimate estimate);

struct ParameterSpec {
    std::string name;
    double value = 0;  // initial population value (and initial individual values)
    Estimate estimate = Estimate::PopulationAndIndividual;
    double prior = 0;     // a-priori population value (defaults to value)
    double priorSd = 0;   // a-priori standard deviation, 0 = none
    std::string formula;  // defining formula as written, empty = free parameter
    std::string engineFormula;
    NodePtr definition;  // the defining formula read, null = free parameter
    // Between-subject variability (population estimation): value_i = value·exp(η_i),
    // η_i ~ N(0, omega); omega is a variance, 0 = none.
    double omega = 0;
    bool omegaFixed = false;
    // scale = "linear" | "logit" (variability = "normal" | "logit"): φ_i = h(k(value) + η_i)
    // (population_model.h); the value may then be of any sign, or within (0, 1).
    population::Scale scale = population::Scale::Log;
    // Inter-occasion variability: φ = h(k(θ) + η + κ_o), κ_o ~ N(0, iov) independent per
    // occasion o of the data set's occasion column; 0 = none.
    double iov = 0;
    bool iovFixed = false;
    // A κ of its own (hidden, one per occasion met in the data): the parameter it moves and
    // the occasion it stands for; empty for every parameter the file states.
    std::string occasionOf{};
    long occasion = 0;
};

// A block of Ω ([omega]): the η of `names` correlated, in the parameters' order.
struct StatedOmegaBlock {
    std::vector<std::string> names;
    std::vector<double> correlation;  // names.size() squared, row by row: the start (1 on the diagonal)
    bool fixed = false;               // held at its start
};

struct CovariateSpec {
    std::string name;
    std::string column;  // data column, matched case-insensitively; empty for a derived one
    // A part of a formula holding a condition, computed by the tool from the covariates
    // before it (model/conditions.h); its name is the part as read. Null: read from `column`.
    NodePtr derived;
    // The occasion column, or an indicator of one occasion read from it: it steps at the first
    // row of an occasion (LOCF) whatever [data] covariates says, so that every row of an
    // occasion, and the time after it up to the next occasion, have that occasion's κ.
    bool occasion = false;
};

struct NamedFormula {
    std::string name;
    std::string formula;  // as written
    std::string engineFormula;
    std::optional<int> cmt;  // outputs: the CMT of the observation rows that belong to it
    std::string unit;        // outputs: [units], for the plots' labels; empty: none
};

// How doses enter one compartment ([dosing]); a null formula is the default.
struct CompartmentDosing {
    NodePtr bioavailability;                                           // fraction of every dose that enters (default 1)
    NodePtr lag;                                                       // delay of every dose, in time units (default 0)
    NodePtr rate;                                                      // infusion rate of the rows with RATE = -1
    NodePtr duration;                                                  // infusion duration of the rows with RATE = -2
    std::string bioavailabilityText, lagText, rateText, durationText;  // as written
};

// Which row's value a covariate takes between two rows of an individual ([data] covariates).
enum class CovariateSteps {
    NextObservation,  // NOCB: a row's value holds from the previous row's time up to its own
    LastObservation,  // LOCF: a row's value holds from its own time up to the next row's
};

// How the population is estimated: the engine's own pooled fit, or FOCE with interaction.
enum class Estimation { Pooled, Focei };

// The residual error of the population estimation: variance a² + b²·f², or exponential
// (ln y = ln f + ε, SD σ of ε).
struct ErrorSpec {
    std::string output;  // [error.NAME]: the output it weighs; [error]: empty, every output
    bool exponential = false;
    double exponentialValue = 0;  // σ, SD of ln y
    bool exponentialFixed = false;
    bool additive = false;
    double additiveValue = 0;  // a: SD in the units of the observations
    bool additiveFixed = false;
    bool proportional = false;
    double proportionalValue = 0;  // b: a fraction of the prediction
    bool proportionalFixed = false;
};

struct FitSettings {
    std::string method = "CHU-BERMAN";
    double precision = 1e-6;   // handed to the integrator
    double errorExponent = 0;  // gamma: weight of an observation y proportional to y^-gamma
    double tolerance = 1e-6;   // mean squared relative change that counts as converged
    double damping = 0.01;     // added to the diagonal of the normal equations
    int populationIterations = 100;
    int individualIterations = 100;
    int priorPopulation = 0;                     // subjects the a-priori values count for
    Estimation estimation = Estimation::Pooled;  // focei when any omega is given, unless said
    bool allowNonFinite = false;                 // keep infinite or not-a-number predictions instead of failing
};

struct Model {
    std::string source;  // file name for messages
    std::vector<std::string> compartments;
    std::vector<ParameterSpec> parameters;
    std::vector<CovariateSpec> covariates;
    std::vector<NamedFormula> pParameters;
    std::vector<NamedFormula> outputs;
    std::vector<std::string> rates;                    // [s]: the rate as written, or empty
    std::vector<std::vector<std::string>> matrixText;  // [s][e]: engine text of A[s][e], or empty
    std::vector<std::string> freeText;                 // [s]: engine text of F[s], or empty
    std::vector<CompartmentDosing> dosing;             // [s]
    CovariateSteps covariateSteps = CovariateSteps::NextObservation;
    FitSettings fit;
    ErrorSpec error;                            // [error]: every output
    std::vector<ErrorSpec> outputErrors;        // [error.NAME], in the outputs' order; empty: `error` for every output
    std::vector<StatedOmegaBlock> omegaBlocks;  // blocks of more than one η; the other η stay independent
    std::string timeUnit;                       // [units] time, for the plots' labels; empty: none
    std::string occasionColumn = "OCC";         // [data] occasion: the column of the occasions of iov
    std::vector<long> occasions;                // the occasions the κ stand for (model/occasions.h)
    std::string text;                           // the model file as read, to be read again with the occasions
    std::vector<std::string> warnings;          // parts that do nothing ("file:line: key: what"), said before a run

    int CompartmentNumber(std::string_view name) const;  // 1-based, 0 when unknown
    // The error of output k (0-based).
    const ErrorSpec& ErrorOf(std::size_t output) const
    {
        return outputErrors.empty() ? error : outputErrors.at(output);
    }
    bool HasError() const { return !outputErrors.empty() || error.additive || error.proportional || error.exponential; }
};

// Reads and translates a model; throws ModelError with file, line and key.
Model LoadModel(const std::filesystem::path& path);
// With `occasions` (those met in the data set), every parameter with an iov gets a κ per
// occasion, read through indicators of the occasion column (model/occasions.h).
Model ParseModel(std::string_view toml, const std::string& sourceName, const std::vector<long>& occasions = {});

}  // namespace tessuvan::cli
