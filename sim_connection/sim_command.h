// How a sim is started: the program and arguments that a sim's directory names in its
// velko-sim.json, or the executable file that a sim is.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace velko::sim_connection {

// The file in a sim's directory that says how to start the sim.
inline constexpr const char* kSimFileName = "velko-sim.json";
// Largest velko-sim.json that is read.
inline constexpr std::size_t kMaxSimFileBytes = 64 * 1024;

// A sim that cannot be started; the message says why, for the user.
class SimStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How to start a sim: the program with its arguments, and its working directory.
struct SimCommand {
  // argv[0] is the program's path.
  std::vector<std::string> argv;
  std::string directory;
  // True when the sim's description says that several of its processes may run at once
  // ("several_processes": true): a sim with files or licences of its own says nothing.
  bool several_processes = false;
};

// Reads how the sim at `path` is started: a directory holding velko-sim.json, whose
// "command" runs with the directory as its working directory (a relative program path is
// taken from the directory, a bare name from PATH), or an executable file. Throws
// SimStartError when the path is neither or the file is not valid.
SimCommand resolve_sim_command(const std::string& path);

// How a sim's exit status (an exit code, or -N for signal N) reads: "exited with status 3",
// "was ended by signal 9 (Killed)".
std::string describe_exit(int returncode);

}  // namespace velko::sim_connection
