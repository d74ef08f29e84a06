#include "engine_codes.h"

#include <vector>

#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

const char* StageWords(EngineStage stage)
{
    switch (stage) {
    case EngineStage::Load: return "loading the model";
    case EngineStage::Simulation: return "simulating";
    case EngineStage::PopulationFit: return "fitting the population values";
    case EngineStage::IndividualFit: return "fitting the individual values";
    case EngineStage::Release: return "releasing the model";
    }
    return "working";
}

std::string IntegrationWords(int code)
{
    switch (code) {
    case TessuvanIntegrationTolerance: return "the integration precision is not positive";
    case TessuvanIntegrationStepBudget:
        return "the adaptive integrator needed more steps than 1/precision allows (raise fit.precision or choose "
               "another method)";
    case TessuvanIntegrationInterval: return "two points of one individual have the same time";
    case TessuvanIntegrationNoMethod: return "no integration method was selected";
    default: return "";
    }
}

std::string SolverWords(int code)
{
    switch (code) {
    case TessuvanSolverOrder: return "no parameter is left to estimate for this individual";
    case TessuvanSolverSingleCoefficient:
    case TessuvanSolverPivot:
    case TessuvanSolverSingular:
        return "the normal equations are singular: the data do not determine every estimated parameter (fix some, "
               "or give them priors)";
    default: return "";
    }
}

}  // namespace

std::string DescribeEngineCode(EngineStage stage, int code)
{
    std::vector<std::string> causes;
    int rest = code;
    if (rest >= TessuvanOutOfMemory) {
        causes.push_back("the engine ran out of memory");
        rest -= TessuvanOutOfMemory;
    }
    if (rest >= TessuvanZeroFittedValue) {
        causes.push_back("an estimated parameter reached the value 0, from which no relative step can be taken");
        rest -= TessuvanZeroFittedValue;
    }
    if (rest >= TessuvanContractError) {
        causes.push_back("the engine refused the call: a count or value outside its capacities, or a fault it caught "
                         "(this is a fault of the tool or the engine; please report it)");
        rest -= TessuvanContractError;
    }
    if (rest >= TessuvanFileError) {
        causes.push_back("the engine could not read or write its working files");
        rest -= TessuvanFileError;
    }
    if (rest > 0) {
        switch (stage) {
        case EngineStage::Load:
            if (rest >= TessuvanUnknownMethod) {
                causes.push_back("the integration method name is unknown to the engine");
                rest -= TessuvanUnknownMethod;
            }
            if (rest == TessuvanNoObservation) causes.push_back("the data set holds no observation");
            else if (rest == TessuvanTooFewObservations)
                causes.push_back("there are fewer observations than parameters to estimate");
            else if (rest > 0)
                causes.push_back("the engine could not compile " + std::to_string(rest) +
                                 " formula part(s): a formula may be too long (256 steps) or the model and doses may "
                                 "use more than 158 distinct numbers");
            break;
        case EngineStage::Simulation:
        case EngineStage::Release: {
            const std::string words = IntegrationWords(rest);
            causes.push_back(words.empty() ? "the integration failed" : words);
            break;
        }
        case EngineStage::PopulationFit:
        case EngineStage::IndividualFit: {
            std::string words = IntegrationWords(rest);
            const std::string solver = SolverWords(rest);
            if (words.empty()) words = solver;
            else if (!solver.empty()) words += ", or " + solver;
            causes.push_back(words.empty() ? "the fit step failed" : words);
            break;
        }
        }
    }
    std::string text = std::string("the engine reported code ") + std::to_string(code) + " while " + StageWords(stage);
    for (std::size_t i = 0; i < causes.size(); ++i) text += (i == 0 ? ": " : "; ") + causes[i];
    return text;
}

EngineError::EngineError(EngineStage stage, int code) : std::runtime_error(DescribeEngineCode(stage, code)), code_(code)
{
}

}  // namespace tessuvan::cli
