// `velko sim validate`: the checks against fakes (seeded actions, episodes, time limits), each
// fault of the test sim failing the check that finds it, the mapping check, and the two ways
// the result is shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "cli/sim_commands/mapping_check.h"
#include "cli/sim_commands/sim_validate.h"
#include "cli/sim_commands/validation.h"
#include "common/async.h"
#include "common/errors.h"
#include "sim_connection/sim_connection_impl.h"
#include "sim_connection/sim_serving.h"
#include "spaces/spaces.h"
#include "tests/support/captured_output.h"
#include "tests/support/fake_sim.h"
#include "tests/support/sims.h"
#include "tests/support/testing.h"

namespace velko::sim_commands {
namespace {

namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

constexpr const char* kSensorSpace =
    R"({"type": "box", "shape": [2], "low": 0, "high": 100, "names": ["level", "flow"]})";
constexpr const char* kActionSpace = R"({"type": "dict", "spaces": {
  "valve": {"type": "box", "shape": [], "low": 0, "high": 1},
  "pump": {"type": "discrete", "n": 4}}})";
constexpr const char* kMappings = R"({
  "sensor_space": {"mappings": [{"name": "[0]", "name_mapped": "level"}, {"name": "[1]"}]},
  "action_space": {"mappings": [{"name": "['valve']"}, {"name": "['pump']"}]}})";

// The outcome of every check, in order.
std::vector<Outcome> outcomes(const Validation& validation) {
  std::vector<Outcome> out;
  for (const CheckResult& result : validation.checks) out.push_back(result.outcome);
  return out;
}

// The checks that did not pass, by name.
std::vector<std::string> failed(const Validation& validation) {
  std::vector<std::string> out;
  for (const CheckResult& result : validation.checks) {
    if (result.outcome == Outcome::kFailed) out.push_back(check_name(result.check));
  }
  return out;
}

class ValidateWithFakes : public ::testing::Test {
 protected:
  ValidateWithFakes() {
    client().sensor_space = json::parse(kSensorSpace);
    client().action_space = json::parse(kActionSpace);
    client().mappings = json::parse(kMappings);
    client().observe = [](const json::value&, int step) {
      return json::value(json::array{step % 100, 50});
    };
  }

  testing::FakeSimClient& client() { return *sims_.client; }

  Validation validate(ValidateOptions options = {}) {
    options.path = "/sims/tank";
    const SimValidation parts{sims_, host_sim_, out_.console, out_.logger(), timings_};
    return async_to_sync(validate_sim)(parts, options);
  }

  testing::FakeSimConnection sims_;
  testing::FakeSimModule host_sim_;
  testing::CapturedOutput out_;
  dataset_replay::Timings timings_;
};

TEST_F(ValidateWithFakes, AWellBehavedSimPassesEveryCheckAndEndedEpisodesAreReset) {
  client().terminate_at = 4;
  ValidateOptions options;
  options.steps = 10;
  options.env_init = json::object{{"seed", 3}};
  Validation validation = validate(options);
  EXPECT_TRUE(validation.passed()) << json::serialize(validation_json(validation));
  // The fake ends each episode at its fourth step: after steps 4 and 8 it is reset.
  EXPECT_EQ(validation.steps_done, 10);
  EXPECT_EQ(validation.episodes, 3);
  EXPECT_EQ(client().resets, 3);
  // Make gets the given settings and the sim's address, as in the report run.
  ASSERT_EQ(sims_.made.size(), 1u);
  EXPECT_EQ(sims_.made[0].env_init,
            (json::object{{"seed", 3}, {"sim_address", "localhost:45123"}}));
  EXPECT_EQ(sims_.process->terminates, 1);
  // Every call is timed.
  std::map<std::string, std::size_t> counts;
  for (const auto& call : validation.times.summaries()) counts[call.call] = call.count;
  EXPECT_EQ(counts["step()"], 10u);
  EXPECT_EQ(counts["reset()"], 3u);
  EXPECT_EQ(counts["close()"], 1u);
}

TEST_F(ValidateWithFakes, ActionsAreSampledFromTheActionSpaceByTheSeed) {
  ValidateOptions options;
  options.steps = 8;
  options.seed = 5;
  validate(options);
  std::vector<json::value> first = client().actions;
  client().actions.clear();
  validate(options);
  EXPECT_EQ(client().actions, first);
  client().actions.clear();
  options.seed = 6;
  validate(options);
  EXPECT_NE(client().actions, first);

  spaces::Space space = spaces::parse_space(json::parse(kActionSpace));
  ASSERT_EQ(first.size(), 8u);
  for (const json::value& action : first) EXPECT_TRUE(spaces::contains(space, action)) << action;
}

TEST_F(ValidateWithFakes, ACallOverTheTimeLimitFailsTheCallTimesAndTheSimIsStopped) {
  client().delays["step 3"] = testing::kForever;
  ValidateOptions options;
  options.steps = 10;
  options.call_timeout_s = 0.05;
  Validation validation = validate(options);
  EXPECT_THAT(failed(validation), ElementsAre("call_times"));
  EXPECT_THAT(validation.result(Check::kCallTimes).summary,
              MatchesRegex("step 3 of 10 \\(action \\{\"valve\":.*,\"pump\":[0-3]\\}\\): the "
                           "sim's step\\(\\) did not answer within 0.05 s"));
  EXPECT_EQ(validation.result(Check::kSteps).outcome, Outcome::kNotChecked);
  EXPECT_EQ(validation.result(Check::kSteps).summary,
            "not finished: a call did not answer in time");
  EXPECT_EQ(validation.result(Check::kClose).outcome, Outcome::kNotChecked);
  EXPECT_THAT(client().cancelled, ElementsAre("step"));
  EXPECT_EQ(sims_.process->terminates, 1);
}

TEST_F(ValidateWithFakes, ASimWithoutMappingsIsMappedFromItsSpaces) {
  client().mappings.reset();
  Validation validation = validate();
  EXPECT_TRUE(validation.passed());
  EXPECT_THAT(validation.result(Check::kMappings).summary,
              HasSubstr("2 sensors and 2 actions, each at one variable of its space (GetMappings "
                        "failed (the sim does not offer get_mappings), so they come from the "
                        "spaces)"));
}

TEST_F(ValidateWithFakes, AnObservationOutsideItsSpaceIsToldAndTheChecksGoOn) {
  client().observe = [](const json::value&, int step) {
    return json::value(json::array{step == 0 ? -1 : 1, 50});
  };
  Validation outside = validate();
  EXPECT_THAT(failed(outside), ElementsAre("reset"));
  EXPECT_EQ(outside.result(Check::kReset).summary,
            "the observation is not in the sensor space, at [0]: -1 is below the lower bound 0.0");
  EXPECT_EQ(outside.steps_done, 100);
}

TEST_F(ValidateWithFakes, ACallThatFailsEndsTheChecksThere) {
  client().failures["reset"] = std::make_exception_ptr(std::runtime_error("no tank"));
  Validation broken = validate();
  EXPECT_THAT(outcomes(broken),
              ElementsAre(Outcome::kPassed, Outcome::kPassed, Outcome::kPassed, Outcome::kPassed,
                          Outcome::kFailed, Outcome::kNotChecked, Outcome::kNotChecked,
                          Outcome::kNotChecked, Outcome::kNotChecked));
  EXPECT_EQ(broken.result(Check::kReset).summary, "no tank");
  EXPECT_EQ(sims_.process->terminates, 1);
}

// The test sim, started for real, for each of its faults.
class ValidateFaultSims : public ::testing::Test {
 protected:
  Validation validate(const std::vector<std::string>& args, std::int64_t steps = 5,
                      double call_timeout_s = 20) {
    std::string path = dir_ / ("sim-" + std::to_string(++sims_made_));
    std::filesystem::create_directories(path);
    testing::test_sim_dir(path, args);
    dataset_replay::Timings timings;
    timings.serve_timeout_s = 20;
    timings.terminate_grace_s = 0.5;
    const SimValidation parts{connection_, host_sim_, out_.console, out_.logger(), timings};
    ValidateOptions options;
    options.path = path;
    options.steps = steps;
    options.call_timeout_s = call_timeout_s;
    Validation validation = async_to_sync(validate_sim)(parts, options);
    // Nothing of the sim is left, whatever it did.
    EXPECT_TRUE(testing::eventually_blocking([&] { return testing::processes_in(path).empty(); }))
        << path;
    return validation;
  }

  testing::TempDir dir_;
  int sims_made_ = 0;
  sim_connection::SimConnectionImpl connection_;
  sim_connection::SimModuleImpl host_sim_{connection_.started()};
  testing::CapturedOutput out_;
};

TEST_F(ValidateFaultSims, EachFaultFailsTheCheckThatFindsIt) {
  struct Case {
    std::vector<std::string> args;
    const char* check;  // the one check that fails
    std::string says;   // part of its summary
  };
  std::vector<Case> cases = {
      {{"--fault", "fail-before-serve"}, "start", "the sim exited with status 1 before it served"},
      {{"--fault", "fail-make"}, "set_up", "the sim's make() failed: no tank model named 'big'"},
      {{"--fault", "bad-mappings"},
       "mappings",
       "sensor '[3]': the space has no position 3 (it has 1 element); action mapping 1 "
       "('valve') has no \"name\", so it has no slot; give the slot path"},
      {{"--fault", "fail-make"}, "set_up", "while making the environment: the sim's make()"},
      {{"--fault", "bad-space"},
       "spaces",
       "the sensor space: Invalid space description: \"shape\""},
      {{"--fault", "reset-outside"}, "reset", "at [0]: -1.0 is below the lower bound 0.0"},
      {{"--fault", "outside-at-step", "3"}, "steps", "the observation of step 3 of 5 is not in"},
      {{"--fault", "text-reward"},
       "steps",
       "the reward of step 1 of 5 is a text, not a number (and 4 steps more)"},
      {{"--fault", "four-parts"}, "steps", "step 1 of 5 answered 4 values instead of 5"},
      {{"--fault", "malformed-json"}, "steps", "the sim's step() answered malformed JSON"},
      {{"--fault", "error-in-step", "2"}, "steps", "the sim's step() failed: the valve is stuck"},
      {{"--fault", "crash-at-step", "2"}, "steps", "the sim was ended by signal 6"},
      {{"--fault", "answer-twice"},
       "steps",
       "the sim's step() sent an answer that no step asked for, after its answer to step "},
      {{"--fault", "fail-close"}, "close", "Close failed: the sim's close() failed: the log file"},
      {{"--fault", "ignore-sigterm"}, "close", "the sim did not end within 0.5 s of SIGTERM"},
      {{"--fault", "spawn-child"}, "close", "1 process of its group still ran after it ended: "},
  };
  for (const Case& c : cases) {
    Validation validation = validate(c.args);
    std::string which = ::testing::PrintToString(c.args);
    EXPECT_THAT(failed(validation), ElementsAre(c.check)) << which;
    bool found = false;
    for (const CheckResult& result : validation.checks) {
      if (check_name(result.check) != std::string(c.check)) continue;
      found = true;
      EXPECT_THAT(result.summary, HasSubstr(c.says)) << which;
      EXPECT_FALSE(result.advice.empty()) << which;
    }
    EXPECT_TRUE(found) << which;
  }
}

TEST_F(ValidateFaultSims, ASensorWithoutAValueIsAWarningNamingTheSensorAndTheStep) {
  Validation validation = validate({"--fault", "null-at-step", "3"});
  EXPECT_TRUE(validation.passed()) << json::serialize(validation_json(validation));
  const CheckResult& steps = validation.result(Check::kSteps);
  EXPECT_EQ(steps.outcome, Outcome::kWarning);
  EXPECT_THAT(steps.summary, HasSubstr(": the observation of step 3 of 5 has no value for the "
                                       "sensor 'level' ([0])"));
  EXPECT_THAT(steps.advice, HasSubstr("a report run ends an episode's replay"));
}

TEST_F(ValidateFaultSims, StepsSentAheadAreComparedWithTheSameStepsOneAtATime) {
  Validation same = validate({"--end-at", "3"}, 10);
  EXPECT_EQ(same.result(Check::kStepsAhead).outcome, Outcome::kPassed);
  EXPECT_EQ(same.result(Check::kStepsAhead).summary,
            "3 steps after a fresh Reset with seed 0, up to 64 sent ahead, answered as the same "
            "steps one at a time");

  // A sim that takes batches is stepped in them too, after another Reset.
  Validation batches = validate({"--end-at", "3", "--batches", "2"}, 10);
  EXPECT_EQ(batches.result(Check::kStepsAhead).summary,
            "3 steps after a fresh Reset with seed 0, up to 64 sent ahead and in batches of up "
            "to 128, 512 in flight, answered as the same steps one at a time");

  // A sim that answers otherwise on the stream may just not be deterministic: a warning.
  Validation differs = validate({"--fault", "differs-ahead"});
  EXPECT_TRUE(differs.passed());
  EXPECT_EQ(differs.result(Check::kStepsAhead).outcome, Outcome::kWarning)
      << json::serialize(validation_json(differs));
  EXPECT_THAT(
      differs.result(Check::kStepsAhead).summary,
      HasSubstr("5 steps after a fresh Reset with seed 0, up to 64 sent ahead: step 1 sent ahead "
                "answered the observation [0.6597933633704608] instead of [0.1597933633704608]"));

  // One that breaks the rules of the stream fails.
  Validation after_end = validate({"--fault", "steps-after-end", "--end-at", "3"}, 10);
  EXPECT_THAT(failed(after_end), ElementsAre("steps_ahead"));
  EXPECT_FALSE(after_end.result(Check::kStepsAhead).advice.empty());
  Validation out_of_order = validate({"--fault", "out-of-order", "12"});
  EXPECT_THAT(failed(out_of_order), ElementsAre("steps_ahead"));
  EXPECT_THAT(out_of_order.result(Check::kStepsAhead).summary,
              HasSubstr("step 2 sent ahead: the sim's step() answered step 3 where step 2 was "
                        "due"));

  // A sim written before steps sent ahead has nothing to compare.
  Validation before = validate({"--fault", "one-at-a-time"});
  EXPECT_TRUE(before.passed());
  EXPECT_EQ(before.result(Check::kStepsAhead).outcome, Outcome::kSkipped);
}

TEST_F(ValidateFaultSims, ASimThatFailsShowsItsLastLines) {
  Validation never = validate({"--fault", "fail-before-serve"});
  EXPECT_THAT(never.result(Check::kStart).output, HasSubstr("No module named 'tank_model'"));
  Validation crashed = validate({"--fault", "crash-at-step", "2"});
  EXPECT_THAT(crashed.result(Check::kSteps).output, HasSubstr("fatal: simulated crash at step 2"));
}

TEST_F(ValidateFaultSims, AHangingStepFailsTheCallTimes) {
  Validation validation = validate({"--fault", "hang-in-step", "2"}, 5, 0.3);
  EXPECT_THAT(failed(validation), ElementsAre("call_times"));
  EXPECT_THAT(validation.result(Check::kCallTimes).summary,
              HasSubstr("the sim's step() did not answer within 0.3 s"));
}

TEST_F(ValidateFaultSims, AWellBehavedSimPassesOverSeveralEpisodes) {
  Validation validation = validate({"--end-at", "3"}, 10);
  EXPECT_TRUE(validation.passed()) << json::serialize(validation_json(validation));
  EXPECT_EQ(validation.episodes, 4);
}

TEST_F(ValidateFaultSims, AnInterruptStopsTheSimAndWhatItStarted) {
  std::string path = dir_ / "hanging";
  std::filesystem::create_directories(path);
  testing::test_sim_dir(path, {"--fault", "hang-in-step", "1", "--fault", "spawn-child"});
  dataset_replay::Timings timings;
  timings.terminate_grace_s = 0.5;
  const SimValidation parts{connection_, host_sim_, out_.console, out_.logger(), timings};
  ValidateOptions options;
  options.path = path;
  // The time limit around the validation cancels it as Ctrl-C does.
  auto interrupted = [&]() -> awaitable<void> {
    std::exception_ptr error;
    try {
      co_await with_timeout(validate_sim(parts, options), 1.5, "interrupted");
    } catch (...) {
      error = std::current_exception();
    }
    EXPECT_TRUE(error);
  };
  testing::run_async(interrupted);
  EXPECT_TRUE(testing::eventually_blocking([&] { return testing::processes_in(path).empty(); }));
}

TEST(CheckMappings, RefusesWhatAReplayCouldNotUse) {
  spaces::Space sensors = spaces::parse_space(json::parse(kSensorSpace));
  spaces::Space actions = spaces::parse_space(json::parse(kActionSpace));
  auto problems = [&](const char* answer) {
    return check_mappings(json::parse(answer), &sensors, &actions).problems;
  };
  EXPECT_THAT(problems(kMappings), IsEmpty());
  EXPECT_THAT(problems("[]"), ElementsAre("the answer must be a map {\"sensor_space\": ..., "
                                          "\"action_space\": ...}, not a list"));
  EXPECT_THAT(problems(R"({"sensor_space": {"mappings": [{"name": "[0]"}]}})"),
              ElementsAre("the answer has no \"action_space\""));
  EXPECT_THAT(problems(R"({"sensor_space": {"mappings": {}}, "action_space": {"mappings": []}})"),
              ElementsAre("\"sensor_space\"'s \"mappings\" must be a list, not a map"));
  EXPECT_THAT(problems(R"({"sensor_space": {"mappings": []}, "action_space": {"mappings": []}})"),
              ElementsAre(HasSubstr("there is no sensor mapping")));
  EXPECT_THAT(
      problems(R"({"sensor_space": {"mappings": [{"name": ""}, {"name": "[0]", "name_mapped": 3},
                                                  {"name": "[0"}, "[1]"]},
                   "action_space": {"mappings": [{"name": "['valve'] x"}, {"name": "['flow']"}]}})"),
      ElementsAre("sensor mapping 1 has the empty text as \"name\", so it has no slot; give the "
                  "slot path of its variable as \"name\", or \" \" (a path of blanks, the "
                  "whole value) for a space that is one value, such as {\"name\": \" \", "
                  "\"name_mapped\": \"push\"} for a discrete action (docs/spaces.md)",
                  "sensor '[0]': \"name_mapped\" must be a text, not a number",
                  HasSubstr("sensor '[0' is not a slot path"),
                  "sensor mapping 4 must be a map {\"name\": slot path}, not a text",
                  HasSubstr("action \"['valve'] x\" is not a slot path")));
  // A mapping without a slot is named by its other name; the whole value of a space that is
  // one value is a slot of its own.
  spaces::Space discrete = spaces::parse_space(json::parse(R"({"type": "discrete", "n": 2})"));
  MappingCheck whole =
      check_mappings(json::parse(R"({"sensor_space": {"mappings": [{"name": "[0]"}]},
                      "action_space": {"mappings": [{"name": " ", "name_mapped": "push"},
                                                    {"name_mapped": "pull"}]}})"),
                     &sensors, &discrete);
  EXPECT_THAT(whole.problems, ElementsAre(HasSubstr("action mapping 2 ('pull') has no \"name\", "
                                                    "so it has no slot; give the slot path")));
  MappingCheck many =
      check_mappings(json::parse(R"({"sensor_space": {"mappings": [{"name": "[5]"}, {"name": "[6]"},
          {"name": "[7]"}, {"name": "[8]"}, {"name": "[9]"}, {"name": "[10]"}]},
          "action_space": {"mappings": []}})"),
                     &sensors, &actions);
  EXPECT_EQ(many.problems.size(), kMaxMappingProblems);
  EXPECT_EQ(many.problem_count, 6u);
  // Without the spaces, the paths are only read.
  EXPECT_TRUE(check_mappings(json::parse(R"({"sensor_space": {"mappings": [{"name": "[5]"}]},
                                             "action_space": {"mappings": []}})"),
                             nullptr, nullptr)
                  .passed());
}

TEST(ValidationOutput, LinesForEachCheckThenTheTableOfCallTimes) {
  Validation validation;
  validation.path = "sims/tank";
  validation.steps_asked = 3;
  validation.result(Check::kStart) = {Check::kStart, Outcome::kPassed, "it served", "", ""};
  validation.result(Check::kSetUp) = {Check::kSetUp, Outcome::kFailed,
                                      "the sim's make() failed: no [red]tank\x1b[2J",
                                      "make Make answer", "line 1\nline 2"};
  validation.result(Check::kStepsAhead) = {Check::kStepsAhead, Outcome::kWarning,
                                           "step 2 sent ahead answered the reward 1 instead of 0",
                                           "it may differ", ""};
  validation.times.add("init()", 0.002);
  validation.times.add("make()", 0.5);
  validation.times.add("make()", 1.5);
  validation.times.add("make()", 0.1);
  testing::CapturedOutput out;
  print_validation(out.console, validation);
  EXPECT_EQ(out.printed,
            "✓ Start: it served\n"
            "✗ Init and Make: the sim's make() failed: no [red]tank\\x1b[2J; make Make answer\n"
            "    line 1\n"
            "    line 2\n"
            "- Mappings: not checked\n"
            "- Spaces: not checked\n"
            "- Reset: not checked\n"
            "- Steps: not checked\n"
            "- Call times: not checked\n"
            "! Steps sent ahead: step 2 sent ahead answered the reward 1 instead of 0; it may "
            "differ\n"
            "- Close: not checked\n"
            "Call times\n"
            "┏━━━━━━━━┳━━━━━━━┳━━━━━━━━━━┳━━━━━━━━━┓\n"
            "┃ Call   ┃ Calls ┃ Median   ┃ Slowest ┃\n"
            "┡━━━━━━━━╇━━━━━━━╇━━━━━━━━━━╇━━━━━━━━━┩\n"
            "│ init() │ 1     │ 2.00 ms  │ 2.00 ms │\n"
            "│ make() │ 3     │ 500.0 ms │ 1.50 s  │\n"
            "└────────┴───────┴──────────┴─────────┘\n");

  json::object object = validation_json(validation);
  EXPECT_EQ(object.at("passed"), json::value(false));
  EXPECT_EQ(object.at("checks").as_array()[1],
            json::parse(R"({"check": "set_up", "title": "Init and Make", "status": "failed",
                            "summary": "the sim's make() failed: no [red]tank\u001b[2J",
                            "advice": "make Make answer", "output": "line 1\nline 2"})"));
  EXPECT_EQ(object.at("checks").as_array()[2].at("status"), json::value("not_checked"));
  EXPECT_EQ(object.at("checks").as_array()[7].at("status"), json::value("warning"));

  // A warning or a check that does not apply leaves the validation passed.
  for (CheckResult& result : validation.checks) result.outcome = Outcome::kPassed;
  validation.result(Check::kSteps).outcome = Outcome::kWarning;
  validation.result(Check::kStepsAhead).outcome = Outcome::kSkipped;
  EXPECT_TRUE(validation.passed());
  EXPECT_EQ(object.at("calls").as_array()[1],
            json::parse(R"j({"call": "make()", "count": 3, "median_s": 0.5, "slowest_s": 1.5})j"));
}

TEST(CallTimes, MedianOfAnEvenCountIsTheMeanOfTheMiddleTwo) {
  CallTimes times;
  for (double seconds : {4.0, 1.0, 3.0, 2.0}) times.add("step()", seconds);
  std::vector<CallTimes::Summary> summaries = times.summaries();
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_EQ(summaries[0].median_s, 2.5);
  EXPECT_EQ(summaries[0].slowest_s, 4.0);
}

}  // namespace
}  // namespace velko::sim_commands
