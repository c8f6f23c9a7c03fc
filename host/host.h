// The host executable `velko`: its command tree, the components it installs, and how errors
// become exit statuses.
#pragma once

#include <string>
#include <string_view>

#include "common/printable.h"

namespace velko::host {

// Exit statuses of the host.
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
// `sim publish --min-score X`: the analysis scored below X, or nothing could be scored.
inline constexpr int kExitBelowMinScore = 3;
// Ctrl-C and SIGTERM.
inline constexpr int kExitInterrupted = 130;
// A closed terminal (SIGHUP): the status a shell gives a command that a hang-up ended, so that
// a wrapper tells it from Ctrl-C; the run has still cleaned up as for Ctrl-C.
inline constexpr int kExitHangUp = 129;

// Runs the command line and returns the exit status.
int run(int argc, char** argv);

}  // namespace velko::host
