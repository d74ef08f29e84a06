// The commands of Bayesian forecasting for one patient: `map` and `dose` (toolkit/forecast.h).
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

namespace tessuvan::cli {

// Adds `map` and `dose` to the program; after parsing, Run runs the one given (returns −1 when
// neither was).
class ForecastCommands {
public:
    explicit ForecastCommands(CLI::App& app);
    ~ForecastCommands();
    ForecastCommands(const ForecastCommands&) = delete;
    ForecastCommands& operator=(const ForecastCommands&) = delete;
    int Run() const;

private:
    struct Options;
    std::unique_ptr<Options> options_;
    CLI::App* map_;
    CLI::App* dose_;
};

}  // namespace tessuvan::cli
