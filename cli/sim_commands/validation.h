// What `velko sim validate` found: one result per check, how long the sim's calls took, and
// the two ways of showing it (lines and a table for people, one JSON object for CI).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/object.hpp>

namespace velko {
class Console;
}

namespace velko::sim_commands {

// The checks, in the order they run.
enum class Check {
  kStart,       // the sim starts and serves within the start limit
  kSetUp,       // Init and Make answer
  kMappings,    // the mappings' shape and slot paths
  kSpaces,      // the sensor and action spaces parse
  kReset,       // Reset answers [observation, info] inside the sensor space
  kSteps,       // steps with sampled actions answer well-formed values inside the space
  kCallTimes,   // every call answers within the time limit
  kStepsAhead,  // steps sent ahead answer as the same steps one at a time
  kClose,       // Close answers, the process ends when asked and leaves nothing behind
};
inline constexpr std::size_t kCheckCount = 9;

// kWarning: something to look at that need not be wrong (it does not fail the validation);
// kSkipped: the check does not apply to this sim.
enum class Outcome { kPassed, kFailed, kNotChecked, kWarning, kSkipped };

// The result of one check.
struct CheckResult {
  Check check = Check::kStart;
  Outcome outcome = Outcome::kNotChecked;
  // What passed, or what was wrong; for a check not finished, why.
  std::string summary;
  // What to do about a failure.
  std::string advice;
  // Lines that the sim wrote, shown under a failure; may be empty.
  std::string output;
};

// How long each kind of call took, kinds in the order of their first call.
class CallTimes {
 public:
  struct Summary {
    std::string call;
    std::size_t count = 0;
    double median_s = 0;
    double slowest_s = 0;
  };

  void add(const std::string& call, double seconds);
  std::vector<Summary> summaries() const;

 private:
  std::vector<std::pair<std::string, std::vector<double>>> calls_;
};

// A whole validation.
struct Validation {
  std::string path;
  std::int64_t steps_asked = 0;
  std::uint64_t seed = 0;
  double call_timeout_s = 0;
  // Steps made and episodes begun (the first reset begins one).
  std::int64_t steps_done = 0;
  std::int64_t episodes = 0;
  // One per check, in order; all not checked at first.
  std::vector<CheckResult> checks;
  CallTimes times;

  Validation();
  CheckResult& result(Check check) { return checks[static_cast<std::size_t>(check)]; }
  const CheckResult& result(Check check) const { return checks[static_cast<std::size_t>(check)]; }
  // True when every check passed, was skipped, or only warned.
  bool passed() const;
};

// The check's name in JSON ("start", "set_up", ...) and its title in lines ("Start").
const char* check_name(Check check);
const char* check_title(Check check);

// A duration as the table shows it: "0.19 ms", "12.5 ms", "1.25 s".
std::string duration_text(double seconds);

// Prints one line per check (✓, ✗, ! for a warning, or a dim dash for a check that was not
// reached or does not apply), the sim's output under a failure, then the table of call times.
void print_validation(Console& console, const Validation& validation);

// The validation as one JSON object: {"path", "passed", "seed", "steps", "episodes",
// "checks": [{"check", "title", "status", "summary", "advice", "output"}], "calls": [{"call",
// "count", "median_s", "slowest_s"}]}.
boost::json::object validation_json(const Validation& validation);

// The failed checks of a validation as one text, "Title: summary (advice)" each; empty when
// none failed.
std::string failed_checks_text(const Validation& validation);

}  // namespace velko::sim_commands
