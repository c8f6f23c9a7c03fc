// Fakes of the sim connection for the report run's tests and benchmarks: the sim client, the
// sim process, the connection that makes them and the host's sim module. Their delays are
// Asio timers on the caller's event loop, so nothing sleeps; every call is recorded.
#pragma once

#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/sim_connection.h"
#include "sim_connection/steps_ahead.h"

namespace velko::testing {

// The calls that the fakes received, in order, shared by all of them (and by a test's
// loopback node, which runs on another thread).
class EventLog {
 public:
  void add(std::string event);
  std::vector<std::string> events() const;
  // Position of the first event equal to `event`, or -1.
  int index_of(std::string_view event) const;
  int count(std::string_view event) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// A delay that lasts until the call is cancelled. A call that is not cancelled within
// kHangCapS fails and logs "<call> never cancelled", so a missing cancellation fails a test
// instead of hanging it.
inline constexpr double kForever = std::numeric_limits<double>::infinity();
inline constexpr double kHangCapS = 10;

class FakeSimClient : public dataset_replay::SimClient {
 public:
  explicit FakeSimClient(std::shared_ptr<EventLog> log = std::make_shared<EventLog>());

  // The observation after step `step` (0: the reset, whose action is null). By default the
  // list [step].
  std::function<boost::json::value(const boost::json::value& action, int step)> observe;
  // The step (from 1) whose answer says terminated, or truncated; 0 for none.
  int terminate_at = 0;
  int truncate_at = 0;
  // How many parts reset and step answer (missing parts are null, extra ones dropped).
  std::size_t reset_parts = 2;
  std::size_t step_parts = 5;
  // Seconds before a call answers, by call name ("reset", "step", "init", ...); "step 3"
  // applies to the third step only and wins over "step". kForever hangs until cancelled.
  std::map<std::string, double> delays;
  // Errors that calls throw (after their delay), by call name as for `delays`.
  std::map<std::string, std::exception_ptr> failures;
  // The answer of get_mappings; when absent, get_mappings fails as it does for a sim
  // without it.
  std::optional<boost::json::value> mappings;
  // The space descriptions.
  boost::json::value sensor_space;
  boost::json::value action_space;
  // Called at the start of every call with its name (e.g. to end the process meanwhile).
  std::function<void(const std::string& call)> on_call;
  // False keeps the log and `actions` empty (benchmarks).
  bool record = true;
  // True: the sim takes steps sent ahead, and episode_steps keeps up to its window
  // unanswered. Each step is made when its answer is awaited; the log shows "send N" when
  // step N is sent and "finish ended", "finish" or "cancel K unanswered" at the episode's end.
  bool steps_ahead = false;
  // Most steps that were unanswered at once.
  int most_unanswered = 0;

  // Every action sent, in order.
  std::vector<boost::json::value> actions;
  // Calls that were cancelled while they waited.
  std::vector<std::string> cancelled;
  int resets = 0;
  // The seed of every reset, in order.
  std::vector<std::optional<std::uint64_t>> reset_seeds;
  int steps = 0;
  std::shared_ptr<EventLog> log;

  awaitable<void> init() override;
  awaitable<void> make() override;
  awaitable<void> close() override;
  awaitable<boost::json::value> get_mappings() override;
  awaitable<boost::json::value> sensor_space_info() override;
  awaitable<boost::json::value> action_space_info() override;
  awaitable<std::vector<boost::json::value>> reset(dataset_replay::ResetArgs args = {}) override;
  awaitable<std::vector<boost::json::value>> step(boost::json::value action) override;
  std::unique_ptr<dataset_replay::EpisodeSteps> episode_steps(int window,
                                                              double call_timeout_s) override;
  bool takes_steps_ahead() const override { return steps_ahead; }
  // Logs "client.bound_observations N".
  void bound_observations(std::size_t variables) override;

 private:
  // Logs the call, waits its delay and throws its failure.
  awaitable<void> enter(std::string call, std::string specific = "");
};

// A sim process. Its status changes when it is signalled, when `end_after` elapses, or when
// the test calls `exit`.
class FakeSimProcess : public dataset_replay::SimProcess {
 public:
  explicit FakeSimProcess(std::shared_ptr<EventLog> log = std::make_shared<EventLog>());

  // A process that ignores terminate() ends only when killed.
  bool ignores_terminate = false;
  // Seconds between terminate() and the end of a process that obeys it.
  double terminate_delay_s = 0;

  // Ends the process by itself, now or after `seconds`.
  void exit(int status);
  void end_after(double seconds, int status);

  int terminates = 0;
  int kills = 0;
  // Waits that were cancelled (by a time limit) before the process ended.
  int cancelled_waits = 0;
  std::shared_ptr<EventLog> log;

  std::optional<int> returncode() override;
  void terminate() override;
  void kill() override;
  awaitable<int> wait() override;

 private:
  std::optional<int> code_;
  std::optional<double> ends_at_;  // seconds on the steady clock
  int pending_status_ = 0;
};

// Makes one FakeSimProcess and hands out one FakeSimClient, recording what it was given.
class FakeSimConnection : public dataset_replay::SimConnection {
 public:
  explicit FakeSimConnection(std::shared_ptr<EventLog> log = std::make_shared<EventLog>());

  std::shared_ptr<EventLog> log;
  std::shared_ptr<FakeSimClient> client;
  std::shared_ptr<FakeSimProcess> process;

  int port = 45123;
  // Ports that get_free_port hands out first, in turn; then `port`.
  std::vector<int> next_ports;
  // Ports that port_in_use says something else holds.
  std::vector<int> ports_in_use;
  // Thrown by get_free_port when set.
  std::exception_ptr port_failure;
  // Lines that the sim writes while it starts, through the output callback.
  std::vector<std::string> output;
  // Seconds that starting takes; thrown after the lines when set.
  double start_delay_s = 0;
  std::exception_ptr start_failure;
  // What steps_ahead() says.
  int window = sim_connection::DEFAULT_STEPS_AHEAD;

  // What make_in_process and make were given.
  struct Start {
    std::string path;
    int port = 0;
  };
  std::vector<Start> starts;
  std::vector<dataset_replay::ClientOptions> made;

  // Writes a line through the output callback of the started sim.
  void emit(const std::string& line);

  int get_free_port() override;
  bool port_in_use(int port) override;
  awaitable<std::unique_ptr<dataset_replay::SimProcess>> make_in_process(
      std::string path, int port, dataset_replay::OutputCallback on_output) override;
  std::unique_ptr<dataset_replay::SimClient> make(dataset_replay::ClientOptions options) override;
  int steps_ahead() const override { return window; }

 private:
  dataset_replay::OutputCallback on_output_;
};

// The host's sim module: a serving check that succeeds, fails, or waits out its time limit,
// and a tail that keeps the last `tail_lines` lines.
class FakeSimModule : public dataset_replay::SimModule {
 public:
  explicit FakeSimModule(std::shared_ptr<EventLog> log = std::make_shared<EventLog>());

  std::shared_ptr<EventLog> log;
  // False: check_serving waits its whole time limit, then fails with TimeoutError.
  bool serves = true;
  // Thrown at once by check_serving when set.
  std::exception_ptr failure;
  // Runs first in check_serving; what it returns, when not null, is thrown.
  std::function<std::exception_ptr(const std::string& address)> on_check;
  std::size_t tail_lines = 3;

  std::vector<std::pair<std::string, double>> checks;  // (address, timeout_s)
  std::vector<std::string> tailed;                     // texts given to output_tail

  awaitable<void> check_serving(std::string address, double timeout_s) override;
  std::string output_tail(const std::string& text) override;
  // "exited with status N" or "was ended by signal N", at once.
  awaitable<std::string> describe_end(std::string address, int returncode) override;
};

}  // namespace velko::testing
