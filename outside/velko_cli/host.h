// The host executable `velko`: its command tree, the components it installs, and how errors
// become exit statuses.
#pragma once

namespace velko::host {

// Exit statuses of the host.
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Runs the command line and returns the exit status.
int run(int argc, char** argv);

}  // namespace velko::host
