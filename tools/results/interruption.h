// A run ended by SIGINT (Ctrl-C), SIGTERM or SIGHUP leaves no partial results behind: the
// folder being staged is removed, and the process then ends by the same signal, so that its
// caller sees the usual status (a shell shows 128 + the signal's number: 130, 143, 129). An
// earlier result folder is never touched: the staging folder is all there is to remove, and a
// signal that arrives while the results are being put in place waits until they are.
#pragma once

#include <filesystem>
#include <mutex>

namespace tessuvan::cli {

// Installs the handlers and the thread that cleans up; once, before any other work. A signal
// that the process was started with ignored (nohup) stays ignored.
void InstallInterruptCleanup();

// The folder to remove when a signal ends the run; an empty path removes nothing.
void RemoveOnInterrupt(const std::filesystem::path& folder);

// Held while the staging folder becomes the result folder, and by the cleanup.
std::mutex& InterruptLock();

}  // namespace tessuvan::cli
