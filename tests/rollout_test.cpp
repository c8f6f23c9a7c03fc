// Replaying one episode through a fake sim with the real core library: the rows reached,
// the actions sent, the values recorded, time limits and answers of the wrong shape.
#include "main/dataset_replay/rollout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include <boost/json.hpp>

#include "common/async.h"
#include "common/errors.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/recorded_actions.h"
#include "main/dataset_replay/run_context.h"
#include "sim_connection/steps_ahead.h"
#include "spaces/core_library_impl.h"
#include "tests/support/fake_sim.h"
#include "tests/support/node_answers.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using testing::FakeSimClient;
using ::testing::HasSubstr;
using testing::kForever;

json::value J(const char* text) { return json::parse(text); }

// The real core library, keeping the samples it draws.
class RecordingCore : public spaces::CoreLibraryImpl {
 public:
  std::vector<json::value> samples;

  std::unique_ptr<ComputeSpace> to_compute_space(const json::value& info) override {
    class Recording : public ComputeSpace {
     public:
      Recording(std::unique_ptr<ComputeSpace> space, std::vector<json::value>* out)
          : space_(std::move(space)), out_(out) {}
      json::value sample() override { return out_->emplace_back(space_->sample()); }

     private:
      std::unique_ptr<ComputeSpace> space_;
      std::vector<json::value>* out_;
    };
    return std::make_unique<Recording>(CoreLibraryImpl::to_compute_space(info), &samples);
  }
};

// An episode map with the recorded action columns.
json::value episode(std::int64_t n_rows, json::object actions) {
  return json::object{{"episode", "ep-1"}, {"n_rows", n_rows}, {"actions", std::move(actions)}};
}

json::array column(std::initializer_list<json::value> values) {
  return json::array(values.begin(), values.end());
}

class RolloutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A pump of two bounded floats and a gear from 0 to 4.
    client_.action_space = J(R"({"type": "dict", "spaces": {
        "pump": {"type": "box", "shape": [2], "low": -1, "high": 1},
        "gear": {"type": "discrete", "n": 5}}})");
    // The tank's level rises by the pump's first value each step; "seen" echoes the gear.
    client_.observe = [](const json::value& action, int step) {
      double gear = action.is_null() ? -1 : action.at("gear").to_number<double>();
      return json::value{{"tank", {step * 10.0, step + 0.5}}, {"seen", gear}};
    };
    plan_.sensors = {{"['tank'][0]", "c_level"}, {"['seen']", "c_gear"}};
    plan_.actions = {{"['pump'][0]", "a_pump"}, {"['gear']", "a_gear"}};
    plan_.core = {"level", "gear"};
  }
  // Replays `ep`, an entry of the node's "episodes", as the client reads it, with up to
  // `steps_ahead` steps sent ahead when the fake takes them.
  json::object run(const json::value& ep, double call_timeout_s = 5,
                   int steps_ahead = sim_connection::DEFAULT_STEPS_AHEAD) {
    RecordedActions actions = testing::recorded(testing::answer_of(ep));
    RecordedEpisode episode = actions.episode(0);
    return async_to_sync([&]() -> awaitable<json::object> {
      EpisodePredictions predictions =
          co_await rollout_episode(*core_, client_, plan_, episode, call_timeout_s, steps_ahead);
      co_return predictions.to_json();
    })();
  }
  // A fresh fake like the fixture's, taking steps sent ahead or not.
  void fresh_client(bool steps_ahead) {
    FakeSimClient fresh;
    fresh.action_space = client_.action_space;
    fresh.observe = client_.observe;
    fresh.terminate_at = client_.terminate_at;
    fresh.truncate_at = client_.truncate_at;
    fresh.steps_ahead = steps_ahead;
    client_ = std::move(fresh);
  }
  // The node's fault that replaying `ep` raises ("<cause type>: <text>").
  std::string fault(const json::value& ep) {
    return testing::node_fault([&] { run(ep); });
  }
  // The default episode: `rows` rows of a pump and a gear column.
  json::value rows(std::int64_t n) {
    json::array pump, gear;
    for (std::int64_t i = 0; i < n; ++i) {
      pump.emplace_back(0.125 * static_cast<double>(i));
      gear.emplace_back(i % 5);
    }
    return episode(n, {{"a_pump", pump}, {"a_gear", gear}});
  }

  std::shared_ptr<RecordingCore> core_ = std::make_shared<RecordingCore>();
  FakeSimClient client_;
  Plan plan_;
};

TEST_F(RolloutTest, ResetGivesRowZeroAndEachStepOneMoreRow) {
  EXPECT_EQ(run(rows(4)), J(R"({"c_level": [0.0, 10.0, 20.0, 30.0],
                                "c_gear": [-1.0, 1.0, 2.0, 3.0]})"));
  EXPECT_EQ(client_.log->events(),
            (std::vector<std::string>{"client.action_space_info", "client.reset", "client.step",
                                      "client.step", "client.step"}));
  // Only the reset for an episode of one row or none.
  for (std::int64_t n : {1, 0, -3}) {
    client_.log = std::make_shared<testing::EventLog>();
    EXPECT_EQ(run(rows(n)), J(R"({"c_level": [0.0], "c_gear": [-1.0]})")) << n;
    EXPECT_EQ(client_.log->count("client.step"), 0) << n;
    EXPECT_EQ(client_.log->count("client.reset"), 1) << n;
  }
}

TEST_F(RolloutTest, ActionsAreCastToTheSlotsKindAndANullKeepsThePreviousValue) {
  run(episode(6, {{"a_pump", column({0.9, 0.5, nullptr, -0.25, nullptr, 1})},
                  {"a_gear", column({4, 2.6, nullptr, 1.5, 2.5, nullptr})}}));
  ASSERT_EQ(client_.actions.size(), 5u);
  ASSERT_EQ(core_->samples.size(), 1u);
  const json::value& sample = core_->samples[0];
  std::vector<json::value> pumps, gears;
  for (const auto& action : client_.actions) {
    pumps.push_back(action.at("pump").at(0));
    gears.push_back(action.at("gear"));
    // The slot that no plan action addresses keeps the sampled value.
    EXPECT_EQ(action.at("pump").at(1), sample.at("pump").at(1));
  }
  // Row 0's values are never sent; an integer slot takes the value rounded half to even.
  EXPECT_EQ(pumps, (std::vector<json::value>{0.5, 0.5, -0.25, -0.25, 1.0}));
  EXPECT_TRUE(pumps[4].is_double());
  EXPECT_EQ(gears, (std::vector<json::value>{3, 3, 2, 2, 2}));
  for (const auto& gear : gears) EXPECT_TRUE(gear.is_int64());
}

TEST_F(RolloutTest, AColumnThatIsNullThroughoutSendsTheTemplatesSample) {
  run(episode(4, {{"a_pump", column({nullptr, nullptr, nullptr, nullptr})},
                  {"a_gear", column({0, 1, 2, 3})}}));
  ASSERT_EQ(core_->samples.size(), 1u);
  const json::value sampled = core_->samples[0].at("pump");
  ASSERT_EQ(client_.actions.size(), 3u);
  for (const auto& action : client_.actions) EXPECT_EQ(action.at("pump"), sampled);
  double first = sampled.at(0).to_number<double>();
  EXPECT_TRUE(first >= -1 && first <= 1) << first;
}

TEST_F(RolloutTest, StopsAfterTheRowWhereTheSimEndsTheEpisode) {
  client_.terminate_at = 3;
  EXPECT_EQ(run(rows(10)).at("c_level"), J("[0.0, 10.0, 20.0, 30.0]"));
  EXPECT_EQ(client_.steps, 3);

  client_.terminate_at = 0;
  client_.truncate_at = 1;
  EXPECT_EQ(run(rows(10)).at("c_level"), J("[0.0, 10.0]"));
  EXPECT_EQ(client_.steps, 1);
}

TEST_F(RolloutTest, UnreadableSensorStopsTheReplayExceptAtRowZero) {
  // Row 5 has no finite level: it is recorded as null beside the readable gear, then the
  // replay stops.
  client_.observe = [](const json::value& action, int step) {
    double level = step == 5 ? std::numeric_limits<double>::quiet_NaN() : step * 10.0;
    json::value gear = action.is_null() ? json::value(nullptr) : action.at("gear");
    return json::value{{"tank", {level}}, {"seen", gear}};
  };
  json::object predictions = run(rows(9));
  EXPECT_EQ(predictions.at("c_level"), J("[0.0, 10.0, 20.0, 30.0, 40.0, null]"));
  // Row 0 could not be read (a null gear), yet the replay went on.
  EXPECT_EQ(predictions.at("c_gear"), J("[null, 1.0, 2.0, 3.0, 4.0, 0.0]"));
  EXPECT_EQ(client_.steps, 5);
}

TEST_F(RolloutTest, TwoSensorPairsOnOneColumnAddTwoValuesPerRowInPairOrder) {
  plan_.sensors = {{"['tank'][1]", "c_level"}, {"['seen']", "c_gear"}, {"['tank'][0]", "c_level"}};
  json::object predictions = run(rows(3));
  EXPECT_EQ(predictions, J(R"({"c_level": [0.5, 0.0, 1.5, 10.0, 2.5, 20.0],
                               "c_gear": [-1.0, 1.0, 2.0]})"));
}

TEST_F(RolloutTest, CallOverItsTimeLimitFailsWithTimeoutAndIsCancelled) {
  using Clock = std::chrono::steady_clock;
  for (std::string call : {"action_space_info", "reset", "step 2"}) {
    FakeSimClient fresh;
    fresh.action_space = client_.action_space;
    fresh.observe = client_.observe;
    fresh.delays[call] = kForever;
    client_ = std::move(fresh);
    auto start = Clock::now();
    try {
      run(rows(5), 0.05);
      ADD_FAILURE() << call;
    } catch (const TimeoutError& error) {
      std::string name = call == "step 2" ? "step" : call;
      EXPECT_EQ(error.what(), "the sim's " + name + "() did not answer within 0.05 s");
      // The pending call was cancelled, not left to run out.
      EXPECT_EQ(client_.cancelled, std::vector<std::string>{name});
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << call;
    EXPECT_EQ(client_.log->count("client." + std::string("step")), call == "step 2" ? 2 : 0);
  }
  // A slow call within its limit is waited for.
  client_ = FakeSimClient();
  client_.action_space = J(R"({"type": "dict", "spaces": {"pump": {"type": "box", "shape": [2]},
                                "gear": {"type": "discrete", "n": 5}}})");
  client_.observe = [](const json::value&, int) { return J(R"({"tank": [1], "seen": 2})"); };
  client_.delays["step"] = 0.01;
  EXPECT_EQ(run(rows(3), 5).at("c_level"), J("[1.0, 1.0, 1.0]"));
}

TEST_F(RolloutTest, FailingCallRaisesItsOwnErrorAtOnce) {
  client_.failures["step 2"] = std::make_exception_ptr(std::runtime_error("valve stuck"));
  auto start = std::chrono::steady_clock::now();
  try {
    run(rows(5), 30);
    ADD_FAILURE();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "valve stuck");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(client_.cancelled, std::vector<std::string>{});
}

TEST_F(RolloutTest, ResetAndStepAnswersOfTheWrongSizeAreErrors) {
  client_.reset_parts = 1;
  try {
    run(rows(3));
    ADD_FAILURE();
  } catch (const BadAnswer& error) {
    EXPECT_THAT(error.what(), HasSubstr("reset() answered 1 values instead of 2"));
  }
  client_.reset_parts = 2;
  client_.step_parts = 4;
  try {
    run(rows(3));
    ADD_FAILURE();
  } catch (const BadAnswer& error) {
    EXPECT_THAT(error.what(), HasSubstr("step() answered 4 values instead of 5"));
  }
  EXPECT_EQ(client_.steps, 1);
}

TEST_F(RolloutTest, MalformedEpisodesAreTheNodesFaultsWhereTheReplayReachesThem) {
  const std::string kEpisode = "the compute node's episode";
  EXPECT_EQ(fault(J(R"({"episode": 1, "actions": {}})")),
            "KeyError: " + kEpisode + " has no member 'n_rows'");
  EXPECT_EQ(fault(J(R"({"episode": 1, "n_rows": 3})")),
            "KeyError: " + kEpisode + " has no member 'actions'");
  EXPECT_EQ(fault(J(R"({"episode": 1, "n_rows": 2.0, "actions": {}})")),
            "BadAnswer: " + kEpisode +
                " has \"n_rows\" of the wrong type (expected an integer, got 2.0)");
  EXPECT_EQ(fault(J(R"(["episode", 1])")), "BadAnswer: " + kEpisode + " is not a map (got a list)");
  EXPECT_EQ(fault(J(R"({"n_rows": 3, "actions": [1]})")),
            "BadAnswer: the episode's \"actions\" is not a map (got a list)");
  EXPECT_EQ(fault(episode(3, {{"a_pump", column({0, 0, 0})}})),
            "KeyError: the episode's \"actions\" has no member 'a_gear'");
  EXPECT_EQ(fault(episode(3, {{"a_pump", column({0, 0, 0})}, {"a_gear", "3"}})),
            "BadAnswer: the episode's \"actions\" has \"a_gear\" of the wrong type (expected "
            "a list of numbers, got '3')");
  // A column shorter than the rows replayed fails at the first row it lacks.
  EXPECT_EQ(fault(episode(4, {{"a_pump", column({0, 0})}, {"a_gear", column({0, 0})}})),
            "KeyError: the recorded actions of column 'a_pump' (2 rows) has no member 'row 2'");
  EXPECT_EQ(client_.steps, 1);
  // A value that is not a number fails at its row, shown in full.
  EXPECT_EQ(fault(episode(3, {{"a_pump", column({0, 0.5, {{"v", json::array{1, "x"}}}})},
                              {"a_gear", column({0, 0, "x"})}})),
            "BadAnswer: the recorded action of column 'a_pump' at row 2 is not a number "
            "({'v': [1, 'x']})");
  EXPECT_EQ(client_.steps, 1);
  // Row 0 is never read, and the replay may end before a bad value or a missing row.
  client_.terminate_at = 1;
  EXPECT_EQ(fault(episode(
                9, {{"a_pump", column({"x", 0, true, false})}, {"a_gear", column({false, 0})}})),
            "(no fault)");
}

TEST_F(RolloutTest, SlotsThatCannotBeAddressedAreTheSimsFaults) {
  auto failure = [&] {
    try {
      run(rows(3));
    } catch (const std::exception& error) {
      return type_name(error) + ": " + error.what();
    }
    return std::string("(none)");
  };
  // A slot that is not a slot path, and an action mapping without a slot.
  plan_.actions = {{"pump[0]", "a_pump"}};
  EXPECT_EQ(failure(), "PublishReportError: Can't address the sim's slot 'pump[0]'");
  plan_.actions = {{std::nullopt, "a_pump"}};
  EXPECT_THAT(failure(), HasSubstr("PublishReportError: Can't address the sim's action for "
                                   "column 'a_pump': its mapping has no slot path"));
  // A slot that the action does not have.
  plan_.actions = {{"['pump'][7]", "a_pump"}};
  EXPECT_EQ(failure(),
            "out_of_range: the list position 7 is out of range for a list of 2 "
            "elements");
}

TEST_F(RolloutTest, UntrustedObservationsAreRecordedOrRefusedButNeverCrash) {
  const double inf = std::numeric_limits<double>::infinity();
  json::value deep = 1.0;
  for (int i = 0; i < 300; ++i) deep = json::array{deep};
  std::vector<json::value> observations = {
      json::value{{"tank", {inf}}, {"seen", 1}},
      json::value{{"tank", {1e308, -1e308}}, {"seen", std::numeric_limits<std::uint64_t>::max()}},
      json::value{{"tank", {std::numeric_limits<std::int64_t>::min()}}, {"seen", true}},
      json::value{{"tank", "12"}, {"seen", " 3.5 "}},
      json::value{{"tank", json::object{{"0", 1}}}, {"seen", json::array{1, 2}}},
      json::value{{"tank", json::array{}}, {"seen", json::array{json::array{4}}}},
      json::value("not an observation"),
      json::value(nullptr),
      json::array{1, 2, 3},
      deep,
      json::value{{"tank", deep}, {"seen", 1}},
  };
  for (const auto& observation : observations) {
    client_.observe = [&](const json::value&, int) { return observation; };
    try {
      json::object predictions = run(rows(3));
      // Every recorded value is a finite number or null.
      for (const auto& [column, values] : predictions) {
        for (const auto& value : values.as_array()) {
          EXPECT_TRUE(value.is_null() || (value.is_double() && std::isfinite(value.get_double())))
              << json::serialize(observation);
        }
      }
    } catch (const std::exception& error) {
      // Only an observation nested too deeply to be viewed is refused.
      EXPECT_THAT(error.what(), HasSubstr("deeper")) << json::serialize(observation);
    }
  }
  client_.observe = [&](const json::value&, int) { return observations[1]; };
  EXPECT_EQ(run(rows(2)), J("{\"c_level\": [1e308, 1e308], \"c_gear\": [1.8446744073709552e19, "
                            "1.8446744073709552e19]}"));
}

// --- Steps sent ahead of their answers ---

TEST_F(RolloutTest, StepsSentAheadRecordWhatStepsOneAtATimeRecord) {
  const auto unreadable_at_5 = [](const json::value& action, int step) {
    double level = step == 5 ? std::numeric_limits<double>::quiet_NaN() : step * 10.0;
    json::value gear = action.is_null() ? json::value(nullptr) : action.at("gear");
    return json::value{{"tank", {level, 0.5}}, {"seen", gear}};
  };
  struct Case {
    const char* name;
    int terminate_at = 0;
    int truncate_at = 0;
    bool unreadable = false;
  };
  const std::vector<Case> cases = {
      {"every row"}, {"terminated", 3}, {"truncated at once", 0, 1}, {"unreadable", 0, 0, true}};
  const json::value recorded =
      episode(9, {{"a_pump", column({0.9, 0.5, nullptr, -0.25, nullptr, 1, 0.75, nullptr, -1})},
                  {"a_gear", column({4, 2.6, nullptr, 1.5, 2.5, nullptr, 0, 1, 3})}});
  const auto observe = client_.observe;
  // The slots that the plan addresses in each action sent (the rest is a random sample).
  const auto addressed = [this] {
    std::vector<json::value> out;
    for (const auto& action : client_.actions) {
      out.push_back(json::array{action.at("pump").at(0), action.at("gear")});
    }
    return out;
  };
  for (const Case& c : cases) {
    for (int window : {2, 3, 64}) {
      SCOPED_TRACE(std::string(c.name) + ", window " + std::to_string(window));
      client_.observe = c.unreadable ? unreadable_at_5 : observe;
      client_.terminate_at = c.terminate_at;
      client_.truncate_at = c.truncate_at;
      fresh_client(false);
      const json::object one_at_a_time = run(recorded, 5, window);
      const std::vector<json::value> actions = addressed();
      const int steps = client_.steps;
      fresh_client(true);
      EXPECT_EQ(run(recorded, 5, window), one_at_a_time);
      EXPECT_EQ(addressed(), actions);
      EXPECT_EQ(client_.steps, steps);
      EXPECT_GT(client_.most_unanswered, 1);
    }
  }
}

TEST_F(RolloutTest, AtMostTheWindowIsUnansweredAndNoStepBeyondTheEpisodeIsSent) {
  // The window is filled again, at once, when half of it is answered.
  fresh_client(true);
  run(rows(6), 5, 3);
  EXPECT_EQ(
      client_.log->events(),
      (std::vector<std::string>{"client.action_space_info", "client.reset", "send 1", "send 2",
                                "send 3", "client.step", "client.step", "send 4", "send 5",
                                "client.step", "client.step", "client.step", "finish"}));
  EXPECT_EQ(client_.most_unanswered, 3);
  // A window wider than the episode sends its steps and no more.
  fresh_client(true);
  run(rows(4), 5, 64);
  EXPECT_EQ(client_.log->count("send 3"), 1);
  EXPECT_EQ(client_.log->count("send 4"), 0);
  EXPECT_EQ(client_.most_unanswered, 3);
  // A window of 1 (or 0) is one step at a time.
  for (int window : {1, 0}) {
    fresh_client(true);
    run(rows(4), 5, window);
    EXPECT_EQ(client_.most_unanswered, 0) << window;
    EXPECT_EQ(client_.log->count("client.step"), 3) << window;
  }
}

TEST_F(RolloutTest, SimsEndingAnswerIsTheLastAwaitedAndWhatWasSentBeyondIsLeft) {
  client_.terminate_at = 2;
  fresh_client(true);
  EXPECT_EQ(run(rows(10), 5, 4).at("c_level"), J("[0.0, 10.0, 20.0]"));
  EXPECT_EQ(
      client_.log->events(),
      (std::vector<std::string>{"client.action_space_info", "client.reset", "send 1", "send 2",
                                "send 3", "send 4", "client.step", "client.step", "finish ended"}));
  // The replay's own stop cancels the steps still unanswered.
  client_.terminate_at = 0;
  client_.observe = [](const json::value&, int step) {
    return json::value{{"tank", {step == 2 ? json::value(nullptr) : json::value(1.0)}},
                       {"seen", 1}};
  };
  fresh_client(true);
  EXPECT_EQ(run(rows(10), 5, 4).at("c_level"), J("[1.0, 1.0, null]"));
  EXPECT_EQ(client_.log->count("cancel 2 unanswered"), 1);
}

TEST_F(RolloutTest, TimeLimitAppliesToTheOldestUnansweredStep) {
  fresh_client(true);
  client_.delays["step 3"] = kForever;
  try {
    run(rows(8), 0.05, 4);
    ADD_FAILURE() << "no time-out";
  } catch (const TimeoutError& error) {
    EXPECT_STREQ(error.what(), "the sim's step() did not answer within 0.05 s");
  }
  EXPECT_EQ(client_.cancelled, std::vector<std::string>{"step"});
  EXPECT_EQ(client_.steps, 2);
}

TEST_F(RolloutTest, RowWhoseActionCannotBeMadeFailsOnlyWhenItIsDue) {
  // Row 3 is missing from the pump's column, and the gear's slot cannot be addressed from row
  // 4 on: sent ahead or not, the replay fails there only if the sim has not ended before.
  const json::value short_pump =
      episode(8, {{"a_pump", column({0, 0.5, 0.5})}, {"a_gear", column({0, 1, 2, 3, 4, 0, 1, 2})}});
  const json::value unaddressable =
      episode(8, {{"a_pump", column({0, 0, 0, 0, 0, 0, 0, 0})},
                  {"a_gear", column({nullptr, nullptr, nullptr, nullptr, 1, 1, 1, 1})}});
  for (bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "sent ahead" : "one at a time");
    client_.terminate_at = 0;
    fresh_client(ahead);
    EXPECT_EQ(fault(short_pump),
              "KeyError: the recorded actions of column 'a_pump' (3 rows) has no member 'row 3'");
    EXPECT_EQ(client_.steps, 2);
    plan_.actions = {{"['pump'][0]", "a_pump"}, {std::nullopt, "a_gear"}};
    fresh_client(ahead);
    EXPECT_THROW(run(unaddressable), PublishReportError);
    EXPECT_EQ(client_.steps, 3);
    // A sim that ends the episode before the row is never stepped into it.
    client_.terminate_at = 2;
    fresh_client(ahead);
    EXPECT_EQ(run(unaddressable).at("c_level"), J("[0.0, 10.0, 20.0]"));
    plan_.actions = {{"['pump'][0]", "a_pump"}, {"['gear']", "a_gear"}};
    fresh_client(ahead);
    EXPECT_EQ(fault(short_pump), "(no fault)");
  }
}

}  // namespace
}  // namespace velko::dataset_replay
