// What the whole report run shares: its constants, its error kind and its timings.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace velko::dataset_replay {

// Seconds that wait_for_reports waits at most for the written report.
inline constexpr double REPORT_TIMEOUT_S = 120;
// Seconds between two report status polls.
inline constexpr double REPORT_POLL_S = 5;
// Default of publish_report's max_episodes.
inline constexpr int DEFAULT_MAX_EPISODES = 20;
// Seconds that one call of a sim may take unless the user says otherwise (--call-timeout).
inline constexpr double DEFAULT_CALL_TIMEOUT_S = 300;
// Most processes of a sim that a report run replays over.
inline constexpr int MAX_SIM_PROCESSES = 64;
// Most steps in one message to a sim that takes batches, unless the run says otherwise.
inline constexpr int DEFAULT_STEP_BATCH = 128;
// Most steps in flight in batches unless the run says otherwise: several batches, so that the
// sim has the next one while velko reads the answers of the last.
inline constexpr int DEFAULT_BATCH_WINDOW = 512;

// How the steps of an episode go to a sim that takes them in batches.
struct StepBatching {
  // Most steps in one message (further bounded by what the sim announces); 0 or 1: no
  // batches, the steps go as the sim connection's steps_ahead() says.
  int steps = DEFAULT_STEP_BATCH;
  // Most steps sent and not yet answered, at least `steps`.
  int window = DEFAULT_BATCH_WINDOW;
};

// Most bytes of one answer of a sim unless the user allows more (--max-answer-size): far
// more than observations usually take, and far less than reading one may cost in memory.
inline constexpr std::size_t DEFAULT_MAX_ANSWER_BYTES = std::size_t{16} << 20;
// The most that the user may allow.
inline constexpr std::size_t MAX_ANSWER_BYTES_LIMIT = std::size_t{256} << 20;

// Why the report could not be made, as the user can act on it.
class PublishReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Timings of a run. Production uses the defaults; tests shorten them so that nothing sleeps
// for real seconds.
struct Timings {
  double report_timeout_s = REPORT_TIMEOUT_S;
  double report_poll_s = REPORT_POLL_S;
  double serve_timeout_s = 60;
  double terminate_grace_s = 10;
  double actions_timeout_s = 120;
  double rollouts_timeout_s = 600;
  // Seconds that a sim whose call failed has to be seen ending: a sim that crashed fails its
  // call as its connection drops, a moment before its end can be seen.
  double sim_end_settle_s = 0.3;
  // Most bytes of one answer of the sim (the host sets it from --max-answer-size).
  std::size_t max_answer_bytes = DEFAULT_MAX_ANSWER_BYTES;
  // Batches of steps to a sim that takes them (VELKO_STEP_BATCH, VELKO_BATCH_WINDOW).
  StepBatching batching;
};

}  // namespace velko::dataset_replay
