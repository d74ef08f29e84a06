// The steps `map` and `dose` share (forecast.cpp), for the dose's own file (forecast_dose.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Dense>

#include "forecast/patient_engine.h"
#include "toolkit/forecast.h"

namespace tessuvan::toolkit::detail {

// The prior's model and population values, checked; throws ModelError.
void LoadPrior(const MapRequest& request, MapResult& map);
// The patient's rows: one individual (--id among several), a dose, no level before it.
void LoadPatient(const MapRequest& request, MapResult& map);
// Refuses --draws and --points out of range.
void CheckCounts(const MapRequest& request);
// The posterior from the history alone and its draws of η (Laplace normal or resampled).
void HistoryPosterior(MapResult& map, const MapRequest& request);

// Every row's predictions at each η of `etas`; a draw that cannot be simulated is counted in `failed`.
std::vector<Eigen::VectorXd> Simulated(const forecast::Prior& prior, estimation::Simulator& simulator,
                                       const std::vector<Eigen::VectorXd>& etas, int& failed);
// Every row's predictions at η; throws EngineError when the engine cannot simulate them.
Eigen::VectorXd PredictedAt(const forecast::Prior& prior, forecast::PatientEngine& engine, const Eigen::VectorXd& eta);
// `points` prediction rows evenly from `from` to `to`.
std::vector<forecast::AddedRow> Grid(double from, double to, int points, int cmt);
// map.forecast at the added rows from index `firstGrid` on, a posteriori and a priori.
void Forecast(forecast::PatientEngine& engine, std::size_t firstGrid, int draws, std::uint64_t seed, MapResult& map);

}  // namespace tessuvan::toolkit::detail
