#include "results/interruption.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace tessuvan::cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler only writes the signal's number into a pipe (all a handler may safely do); a
// thread of its own reads it and does the rest outside the handler, so that it may take the
// lock and remove files whatever the interrupted thread was doing.
int gPipe[2] = {-1, -1};
std::filesystem::path gFolder;  // guarded by InterruptLock()

extern "C" void OnSignal(int signal)
{
    const unsigned char number = static_cast<unsigned char>(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(gPipe[1], &number, 1);
    errno = saved;
}

const char* SignalName(int signal)
{
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
    }
    return "a signal";
}

[[noreturn]] void CleanUpAndEnd(int signal)
{
    std::lock_guard<std::mutex> hold(InterruptLock());  // kept until the process ends
    if (!gFolder.empty()) {
        // An engine thread may still create a file in it while it goes: try again.
        for (int attempt = 0; attempt < 5 && std::filesystem::exists(gFolder); ++attempt) {
            std::error_code ignored;
            std::filesystem::remove_all(gFolder, ignored);
        }
    }
    // On a terminal the progress line may be showing: end it first.
    const std::string message = std::string(::isatty(STDERR_FILENO) ? "\n" : "") + "tessuvan: interrupted by " +
                                SignalName(signal) + (gFolder.empty() ? "\n" : "; the partial results were removed\n");
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message.data(), message.size());
    // End by the signal itself: its default action, delivered to this thread.
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached
}

void WaitForSignals()
{
    for (;;) {
        unsigned char number = 0;
        const ssize_t n = ::read(gPipe[0], &number, 1);
        if (n == 1) CleanUpAndEnd(number);
        if (n == 0) return;  // the pipe closed: nothing more can arrive
    }
}

}  // namespace

std::mutex& InterruptLock()
{
    static std::mutex lock;
    return lock;
}

void InstallInterruptCleanup()
{
    if (gPipe[0] != -1) return;
    if (::pipe(gPipe) != 0) return;  // without the pipe the signals keep their default action
    ::fcntl(gPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(gPipe[1], F_SETFD, FD_CLOEXEC);
    std::thread(WaitForSignals).detach();
    for (int signal : kSignals) {
        // A signal the caller has us ignore (nohup, a background job's SIGINT) stays ignored.
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
}

void RemoveOnInterrupt(const std::filesystem::path& folder)
{
    std::lock_guard<std::mutex> hold(InterruptLock());
    gFolder = folder;
}

}  // namespace tessuvan::cli
