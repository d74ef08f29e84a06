// One patient's history on the engine, with rows of the forecast's own: the patient's rows as
// the data set gives them, and added ones (times at which a prediction is wanted, doses of a
// proposed regimen), loaded into an engine of its own for simulation at any parameter values.
//
// Every parameter is fixed for the engine: the posterior is searched by the toolkit, which hands
// the engine the values of each trial, so the engine only simulates. Added rows go in time
// order among the patient's; at a time the patient's rows already hold, a prediction row goes
// before them (a trough: the concentration before a dose given then) or after them (a peak),
// as asked, since rows at the same time act in file order.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <Eigen/Dense>

#include "data/data_set.h"
#include "estimation/focei.h"
#include "estimation/simulator.h"
#include "model/model_file.h"

namespace tessuvan::forecast {

// A row added to the patient's: a prediction (EVID 2) or a dose (EVID 1).
struct AddedRow {
    double time = 0;
    bool dose = false;
    double amount = 0;    // of a dose, in AMT's units
    double duration = 0;  // of an infusion (DUR); 0 a bolus
    int cmt = 0;          // dose: its compartment; prediction: the output's CMT (0: the first)
    int steadyState = 0;  // SS of a dose (1: the steady state of doses every `interval`)
    double interval = 0;
    bool beforeSameTime = false;  // a prediction before the patient's rows at its time
};

// A row whose prediction the engine gives, in the order of the predictions.
struct PredictedRow {
    int line = 0;    // the patient file's line; 0 for an added row
    int added = -1;  // the index of the added row, −1 for one of the patient's
    double time = 0;
    std::size_t output = 0;  // model output (0-based)
    bool level = false;      // a level the posterior weighs: a measured DV, or a censored one
    double dv = 0;           // the level (a censored one: its limit)
    int censored = 0;        // 1 below dv, −1 above it
    double limit = 0;        // a censored level's other bound, NaN none
};

class PatientEngine {
public:
    // Throws cli::DataError for rows the engine cannot hold, cli::EngineError when it does not load.
    // The added rows' covariates are left to the data set's rule, or, given `covariates` (the
    // patient's rows when `patient` holds fewer), those of its last row at or before each one's
    // time (its first row's before that).
    PatientEngine(const cli::Model& model, const cli::DataSet& patient, const std::vector<AddedRow>& added,
                  const cli::DataSet* covariates = nullptr);
    ~PatientEngine();
    PatientEngine(const PatientEngine&) = delete;
    PatientEngine& operator=(const PatientEngine&) = delete;

    const std::vector<PredictedRow>& Rows() const;
    // The predictions of every row (one individual, values in the model's parameter order).
    estimation::Simulator& Simulator();
    int LastCode() const;  // the engine's code of the last failed simulation

    // The levels' indices among Rows(), their values and their censoring.
    std::vector<Eigen::Index> Levels() const;
    Eigen::VectorXd LevelValues() const;
    estimation::Censoring LevelCensoring() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A simulator of some rows of another: the predictions of `rows` of its one individual.
class RowSubset final : public estimation::Simulator {
public:
    RowSubset(estimation::Simulator& all, std::vector<Eigen::Index> rows) : all_(all), rows_(std::move(rows)) {}
    std::size_t Individuals() const override { return 1; }
    std::size_t Parameters() const override { return all_.Parameters(); }
    std::size_t Observations(std::size_t) const override { return rows_.size(); }
    bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                 std::vector<Eigen::VectorXd>& predictions) override;
    void UsedValues(std::size_t i, Eigen::VectorXd& values) const override { all_.UsedValues(i, values); }

private:
    estimation::Simulator& all_;
    std::vector<Eigen::Index> rows_;
    std::vector<Eigen::VectorXd> full_;
};

// The model as the forecast runs it: every parameter fixed, the estimation FOCEI's (so that
// censored levels are kept as such).
cli::Model ForSimulation(cli::Model model);

}  // namespace tessuvan::forecast
