// The command's messages and exit statuses, shared by every subcommand: 1 wrong usage, 2 the
// model or data set is wrong, 3 the engine reported an error, 4 the results could not be written.
#pragma once

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "model/printable.h"
#include "tessuvan/progress.h"
#include "toolkit/toolkit.h"

namespace tessuvan::cli {

// A message on standard error whole, its NUL and control bytes shown escaped (printable.h).
inline void Say(const std::string& prefix, const std::string& message)
{
    const std::string shown = "tessuvan: " + prefix + Printable(message) + "\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
}

// Runs `body`, turning each kind of failure into its message and exit status.
template <typename Body>
int Guarded(ProgressLine& progress, Body body)
{
    const auto fail = [&progress](const std::string& message, int status) {
        progress.Clear();
        Say("", message);
        return status;
    };
    try {
        return body();
    } catch (const toolkit::UsageError& error) {
        return fail(error.what(), 1);
    } catch (const toolkit::InputError& error) {
        return fail(error.what(), 2);
    } catch (const toolkit::EngineError& error) {
        return fail(error.what(), 3);
    } catch (const std::bad_alloc&) {  // outside the toolkit's calls, which say it themselves
        return fail("out of memory: the run needs more than the system gives it", 4);
    } catch (const std::exception& error) {
        return fail(error.what(), 4);
    }
}

}  // namespace tessuvan::cli
