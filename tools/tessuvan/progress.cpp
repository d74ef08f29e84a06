#include "progress.h"

#include <unistd.h>

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

}  // namespace tessuvan::cli
