#include "tessuvan/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tessuvan::cli {

ProgressLine::ProgressLine(bool wanted)
    : enabled_(wanted && ::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now())
{
}

ProgressLine::~ProgressLine() { Clear(); }

double ProgressLine::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::Show(const std::string& status)
{
    if (!enabled_) return;
    std::fprintf(stderr, "\r\033[K[%6.1f s] %s", Seconds(), status.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void ProgressLine::Clear()
{
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

std::string ProgressBar(double fraction, double elapsedSeconds, const std::string& what)
{
    constexpr int kWidth = 20;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = int(std::floor(fraction * kWidth));
    std::string text =
        "[" + std::string(std::size_t(filled), '#') + std::string(std::size_t(kWidth - filled), '-') + "] ";
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%3.0f %%  ", 100 * fraction);
    text += numbers + what;
    if (fraction > 0 && fraction < 1) {
        const double left = elapsedSeconds * (1 - fraction) / fraction;
        if (left < 120)
            std::snprintf(numbers, sizeof numbers, "  %.0f s left", left);
        else
            std::snprintf(numbers, sizeof numbers, "  %.0f min left", left / 60);
        text += numbers;
    }
    return text;
}

}  // namespace tessuvan::cli
