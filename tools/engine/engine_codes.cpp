#include "engine/engine_codes.h"

#include <vector>

#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

// In the order of EngineStage.
const char* StageWords(EngineStage stage)
{
    static const char* const words[] = {"loading the model", "simulating", "fitting the population values",
                                        "fitting the individual values", "releasing the model"};
    return words[static_cast<int>(stage)];
}

std::string IntegrationWords(int code)
{
    switch (code) {
        case TessuvanIntegrationTolerance:
            return "the integration precision reached the engine as not positive, although the tool checked it (please "
                   "report this)";
        case TessuvanIntegrationStepBudget:
            return "the adaptive integrator needed more steps than 1/precision allows (raise fit.precision or choose "
                   "another method)";
        case TessuvanIntegrationInterval:
            return "two points of one individual have the same time once stored as 32-bit floats";
        case TessuvanIntegrationNoMethod:
            return "no integration method was selected";
        case TessuvanIntegrationStepLength:
            return "the integration step came out 0 or not a number (a value that is not a number in the rates, or a "
                   "step too short to represent)";
        case TessuvanIntegrationStepCeiling:
            return "an interval took 250,000 integration steps, the most the engine takes, without reaching its end: "
                   "fit.precision is far too small for the model (1e-6 to 1e-10 is usual), or a TIME of the data set "
                   "is mistyped (such as 1e30 for 30), which makes one interval far longer than the model's time "
                   "scale";
        default:
            return "";
    }
}

// What an integration code can mean once the tool has loaded the model with `method` (empty:
// not known here) and a positive precision. CHU-BERMAN reports a step below 1e-130 as 1, and
// as 2 when the end of the interval was then not reached.
std::vector<std::string> IntegrationCauses(int code, const std::string& method)
{
    const bool chuBerman = method.empty() || method == "CHU-BERMAN";
    const bool others = method != "CHU-BERMAN";
    const std::string shortStep =
        "a CHU-BERMAN step fell below 1e-130 (the rates may be singular, such as a "
        "division by a parameter of 0, or very stiff)";
    std::vector<std::string> causes;
    if (code == TessuvanIntegrationShortStep && chuBerman) causes.push_back(shortStep);
    if (code == TessuvanIntegrationTolerance && !others) return causes;
    if (const std::string words = IntegrationWords(code); !words.empty()) causes.push_back(words);
    if (code == TessuvanIntegrationStepBudget && chuBerman)
        causes.push_back(shortStep + " and the end of the interval was not reached");
    return causes;
}

std::vector<std::string> SolverWords(int code)
{
    switch (code) {
        case TessuvanSolverOrder:
            return {"no parameter is left to estimate for this individual"};
        case TessuvanSolverSingleCoefficient:
        case TessuvanSolverPivot:
        case TessuvanSolverSingular:
            return {
                "the normal equations are singular: the predictions do not determine every estimated parameter "
                "(fix some, or give them priors)"};
        case TessuvanSolverNotFinite:
            return {
                "the normal equations hold a value that is infinite or not a number (a prediction that is not "
                "finite at some parameter values)"};
        default:
            return {};
    }
}

std::string Either(const std::vector<std::string>& causes)
{
    std::string text;
    for (std::size_t i = 0; i < causes.size(); ++i) text += (i == 0 ? "" : i == 1 ? ", or " : "; or ") + causes[i];
    return causes.size() > 1 ? "either " + text : text;
}

// The causes of a code where they can be read from it; empty where it does not say.
std::string Causes(EngineStage stage, int code, const std::string& method)
{
    const bool fit = stage == EngineStage::PopulationFit || stage == EngineStage::IndividualFit;
    switch (code) {
        case TessuvanOutOfMemory:
            return "the engine ran out of memory";
        case TessuvanFileError:
            return "the engine could not read or write its working files";
        case TessuvanContractError:
            return fit ? "either the engine refused the call (counts outside its capacities, or no model loaded: a "
                         "fault "
                         "of the tool, please report it), or writing the result file failed twice"
                       : "the engine refused the call: counts or data outside its capacities, or no model loaded (a "
                         "fault of the tool; please report it)";
        case TessuvanZeroFittedValue:
            if (fit) return "an estimated parameter reached the value 0, from which no relative step can be taken";
            break;
        default:
            break;
    }
    if (code < 1 || code >= TessuvanFileError) return "";
    switch (stage) {
        case EngineStage::Load:
            // The load adds 9 (unknown method), 1 (no observation), 2 (too few observations) and
            // a count of formula errors; the tool checks each before the load, so none can be named.
            return "its load codes add up (9 an unknown method, 1 no observation, 2 fewer observations than estimated "
                   "parameters, and one for each formula part it cannot compile), and the tool found none of these "
                   "before the load (please report this with the model file and the data set)";
        case EngineStage::Simulation:
        case EngineStage::Release: {
            if (code == TessuvanIntegrationNoMethod)
                return "the integration code 4 says no method was selected, although the load selected " +
                       (method.empty() ? std::string("one") : method) + " (please report this)";
            return Either(IntegrationCauses(code, method));
        }
        case EngineStage::PopulationFit:
        case EngineStage::IndividualFit: {
            // A failed step replaces the code with its integration code or its solver status; the
            // integration's 4 (no method) cannot follow a load that selected one.
            std::vector<std::string> causes;
            if (code != TessuvanIntegrationNoMethod) causes = IntegrationCauses(code, method);
            for (const std::string& words : SolverWords(code)) causes.push_back(words);
            return Either(causes);
        }
    }
    return "";
}

}  // namespace

std::string DescribeEngineCode(EngineStage stage, int code, const std::string& method)
{
    std::string text = std::string("the engine reported code ") + std::to_string(code) + " while " + StageWords(stage);
    const std::string causes = Causes(stage, code, method);
    return causes.empty() ? text + " (a sum of codes that does not name its causes)" : text + ": " + causes;
}

EngineError::EngineError(EngineStage stage, int code, const std::string& method)
    : std::runtime_error(DescribeEngineCode(stage, code, method)), code_(code)
{
}

}  // namespace tessuvan::cli
