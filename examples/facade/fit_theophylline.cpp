// Fits the theophylline example by FOCEI through the toolkit and prints the estimates.
//   fit_theophylline MODEL.toml DATA.csv
#include <cstdio>
#include <variant>

#include "toolkit/toolkit.h"

namespace tk = tessuvan::toolkit;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODEL.toml DATA.csv\n", argv[0]);
        return 1;
    }
    try {
        const tk::Study study = tk::LoadStudy(argv[1], argv[2]);
        tk::Callbacks callbacks;
        callbacks.status = [](const std::string& status) { std::fprintf(stderr, "\r%-60s", status.c_str()); };
        const tk::FitResult fit = tk::Fit(study, callbacks);
        std::fprintf(stderr, "\n");
        const auto* population = std::get_if<tk::PopulationFit>(&fit);
        if (!population) {
            std::fprintf(stderr, "%s: not a population model (fit.estimation = \"focei\")\n", argv[1]);
            return 1;
        }
        const auto& estimates = population->estimation();
        std::printf("-2LL %.2f\n", estimates.minus2ll);
        const char* kinds[] = {"theta", "omega^2", "sigma"};  // typical values, variances of ln, residual error
        int kind = 0;
        for (const auto* group : {&estimates.theta, &estimates.omega, &estimates.sigma}) {
            for (const auto& e : *group)
                std::printf("%-8s %-10s %10.5g  SE %.3g\n", kinds[kind], e.name.c_str(), e.value, e.se);
            ++kind;
        }
        return 0;
    } catch (const tk::InputError& error) {
        std::fprintf(stderr, "input: %s\n", error.what());
        return 2;
    } catch (const tk::Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 3;
    }
}
