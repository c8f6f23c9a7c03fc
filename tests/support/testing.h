// Shared helpers of the tests: temporary directories, running executables, loopback ports.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velko::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A loopback port on which nothing listens for as long as the object lives: the port is bound
// here and never listened on, so a connection to it is refused and no one else can take it.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string url() const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;                                      // written to standard input
  std::map<std::string, std::optional<std::string>> env;  // set (or unset with nullopt)
  std::string cwd;
  double timeout_s = 60;
  // Called with the child's pid once it runs (from the thread that called run()).
  std::function<void(int pid)> on_start;
  // Standard output and error each on a pseudo-terminal of its own, in raw mode (no "\r"
  // added), instead of a pipe: what a command shows on a terminal.
  bool on_terminals = false;
};

// Sets (or with nullopt removes) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Runs an executable to its end and captures its output.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// The path of a built executable (velko, velko-dev-platform, ...).
std::string bin(const std::string& name);
// The path of a file in the source tree.
std::string source(const std::string& relative);

std::string read_file(const std::string& path);

// The text of a file under /proc, empty when it cannot be read: its process may end between
// the open and the read, which the standard streams report by throwing.
std::string proc_file(const std::string& path);

// The pids of the running processes whose working directory lies under `directory`.
std::vector<int> processes_in(const std::string& directory);
// processes_in once they are gone, or after 10 s: processes sent SIGKILL just before may take
// a moment to end on a busy machine.
std::vector<int> processes_left_in(const std::string& directory);
void write_file(const std::string& path, const std::string& content);

}  // namespace velko::testing
