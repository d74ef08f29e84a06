// The engine's error codes in words. Codes of one call add up, so a code is described by the
// causes that can make it up at the stage where it appeared.
#pragma once

#include <stdexcept>
#include <string>

namespace tessuvan::cli {

enum class EngineStage { Load, Simulation, PopulationFit, IndividualFit, Release };

std::string DescribeEngineCode(EngineStage stage, int code);

// A failure reported by the engine, already in words.
class EngineError : public std::runtime_error {
public:
    EngineError(EngineStage stage, int code);
    int code() const { return code_; }

private:
    int code_;
};

}  // namespace tessuvan::cli
