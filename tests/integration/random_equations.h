// Random models for the tests that hold a fast path to its plain path: formula texts over
// parameters, P and Q cells, amounts, time and constants, with sums, products, quotients,
// integral powers, parentheses, EX and LN, and absent entries. A fixed seed per test makes
// every failure reproducible.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace tessuvan::testing {

class RandomFormulas {
public:
    explicit RandomFormulas(uint32_t seed, int species) : engine_(seed), species_(species) {}

    // An entry of A or F: absent (""), fixed (no time, no amount) or varying, by chance.
    std::string Entry()
    {
        const int kind = Pick(10);
        if (kind < 3) return "";
        return Expression(0, kind < 7 ? false : true);
    }

    // A formula that reads neither the time nor an amount.
    std::string Fixed() { return Expression(0, false); }
    // A formula that may read anything.
    std::string Any() { return Expression(0, true); }

    int Pick(int count) { return static_cast<int>(engine_() % static_cast<uint32_t>(count)); }
    double Uniform(double low, double high)
    {
        return low + (high - low) * (static_cast<double>(engine_() >> 5) / 134217728.0);
    }

private:
    std::string Operand(bool varying)
    {
        switch (Pick(varying ? 7 : 4)) {
            case 0: return "A" + std::to_string(1 + Pick(4));
            case 1: return "P" + std::to_string(1 + Pick(2));
            case 2: return "Q1";
            case 3: {
                static const char* constants[] = {"0.5", "2", "0.125", "3.25", "1E-3", "0"};
                return constants[Pick(6)];
            }
            case 4: return "T";
            default: return "F" + std::to_string(1 + Pick(species_ + 1));  // one beyond n too
        }
    }

    std::string Factor(int depth, bool varying)
    {
        const int kind = depth > 2 ? 0 : Pick(8);
        switch (kind) {
            case 1: return "(" + Expression(depth + 1, varying) + ")";
            case 2: return "EX(" + Expression(depth + 1, varying) + "*0.1)";
            case 3: return "LN(" + Expression(depth + 1, varying) + ")";
            case 4: return Operand(varying) + "^" + std::to_string(1 + Pick(3));
            default: return Operand(varying);
        }
    }

    std::string Expression(int depth, bool varying)
    {
        std::string text = (Pick(4) == 0 ? "-" : "") + Factor(depth, varying);
        const int terms = Pick(4);
        for (int k = 0; k < terms; ++k) {
            static const char* operators[] = {"+", "-", "*", "/"};
            text += operators[Pick(4)] + Factor(depth, varying);
        }
        return text;
    }

    std::mt19937 engine_;
    int species_;
};

}  // namespace tessuvan::testing
