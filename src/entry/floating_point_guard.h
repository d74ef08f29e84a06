// Holds the caller's floating-point environment and runs the engine with every exception
// masked (so division by zero or an invalid operation yields inf or NaN, never a trap).
// A 32-bit Windows process usually runs with the x87 precision control at 53 bits, which
// would round every WorkingFloat operation to a double's significand: the engine asks for the
// full 64 bits of the extended type for the length of the call.
#pragma once

#include <cfenv>

#if defined(_WIN32) && defined(__i386__)
#include <float.h>
#endif

namespace tessuvan {

class FloatingPointGuard {
public:
    FloatingPointGuard()
    {
        std::feholdexcept(&saved_);
#if defined(_WIN32) && defined(__i386__)
        _controlfp(_PC_64, _MCW_PC);
#endif
    }
    ~FloatingPointGuard() { std::fesetenv(&saved_); }
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
    std::fenv_t saved_;
};

}  // namespace tessuvan
