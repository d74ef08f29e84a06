// A live progress line on the terminal: one line rewritten in place on standard error, with
// the elapsed time. Silent when asked to be or when standard error is not a terminal.
#pragma once

#include <chrono>
#include <string>

namespace tessuvan::cli {

class ProgressLine {
public:
    explicit ProgressLine(bool wanted);
    ~ProgressLine();
    void Show(const std::string& status);
    void Clear();  // erases the line (before other output)
    double Seconds() const;

private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
};

// "[########------------]  40 %  replicate 120/300  2 min left": a bar of the fraction done
// and the time left at the pace so far (none before any progress).
std::string ProgressBar(double fraction, double elapsedSeconds, const std::string& what);

}  // namespace tessuvan::cli
