// The engine's error codes in words. Codes of one call add up and overlap, so a code is read
// only as far as it is unambiguous at the stage where it appeared, given what the tool knows
// (it checked the method name, the precision, the observations and the formulas before the
// load); otherwise the words say what the code is made of, never a guess as the cause.
#pragma once

#include <stdexcept>
#include <string>

namespace tessuvan::cli {

enum class EngineStage { Load, Simulation, PopulationFit, IndividualFit, Release };

// `method`: the integration method of the load, when known (it tells CHU-BERMAN's codes).
std::string DescribeEngineCode(EngineStage stage, int code, const std::string& method = "");

// A failure reported by the engine, already in words.
class EngineError : public std::runtime_error {
public:
    EngineError(EngineStage stage, int code, const std::string& method = "");
    // A failure the tool foresees before the engine runs, in the words given (code 0).
    explicit EngineError(const std::string& words) : std::runtime_error(words), code_(0) {}
    int code() const { return code_; }

private:
    int code_;
};

}  // namespace tessuvan::cli
