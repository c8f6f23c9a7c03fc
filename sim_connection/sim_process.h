// Sim processes: starts a sim as a process of its own on this machine, passes its output on
// line by line, and stops it with everything it started.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/async.h"
#include "main/dataset_replay/sim_connection.h"
#include "sim_connection/sim_command.h"

namespace velko::sim_connection {

// Longest output line passed on whole; a longer line is cut there and the cut is noted.
inline constexpr std::size_t kMaxOutputLineBytes = 64 * 1024;

// A sim process started here. It leads a process group of its own, so that everything it
// starts can be signalled with it; the group is killed when this object goes. Its output is
// read while it exists, which keeps the event loop busy: it must go before the loop ends.
class LocalSimProcess : public dataset_replay::SimProcess {
 public:
  struct State;
  explicit LocalSimProcess(std::shared_ptr<State> state);
  ~LocalSimProcess() override;
  LocalSimProcess(const LocalSimProcess&) = delete;
  LocalSimProcess& operator=(const LocalSimProcess&) = delete;

  // The exit code, or -N for a process ended by signal N; none while it runs.
  std::optional<int> returncode() override;
  // SIGTERM to the process group.
  void terminate() override;
  // SIGKILL to the process group.
  void kill() override;
  // Completes when the process has ended, with returncode(). Cancellable (Interrupted).
  awaitable<int> wait() override;
  // Found in /proc: the running (not zombie) processes whose group is the sim's.
  std::vector<std::string> group_left() override;

  int pid() const;

 private:
  friend class StartedSims;
  std::shared_ptr<State> state_;
};

// The sims one sim connection started, by port: what the serving check, which knows a sim
// only by its address, asks about it. Holds no sim alive.
class StartedSims {
 public:
  // Notes `process` as the sim serving on `port`.
  void add(int port, const LocalSimProcess& process);
  // The exit status of the sim noted for `port` once it has ended; none while it runs, or when
  // no sim is noted for the port.
  std::optional<int> exit_of(int port);
  // Completes once the output of the sim noted for `port` has been read to its end, or after
  // `timeout_s` (the sim's own children may hold its output open), or at once when no sim is
  // noted for the port.
  awaitable<void> output_read(int port, double timeout_s);

 private:
  std::shared_ptr<LocalSimProcess::State> find(int port);

  std::mutex mutex_;
  std::map<int, std::weak_ptr<LocalSimProcess::State>> sims_;
};

// Starts the sim at `path` with "--host H --port P" after its command and VELKO_SIM_HOST and
// VELKO_SIM_PORT in its environment. Each line that it writes to its standard output or
// error goes to `on_output` on the caller's event loop. Runs on the event loop's thread, which
// must outlive the process (the process is killed when that thread ends). Throws
// SimStartError.
awaitable<std::unique_ptr<LocalSimProcess>> start_sim(std::string path, std::string host, int port,
                                                      dataset_replay::OutputCallback on_output);

// A TCP port on 127.0.0.1 that was free a moment ago. Throws std::system_error.
int free_port();

// True when another socket holds TCP `port` on a loopback address (127.0.0.1 or ::1), so that
// a sim could not take it: another run's sim may have been given the same free port.
bool port_in_use(int port);

}  // namespace velko::sim_connection
