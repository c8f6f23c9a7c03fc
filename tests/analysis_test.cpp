// The analysis stage against a loopback compute node and a fake sim: what is asked and sent,
// in which order, what the user sees, and how the sim process is stopped on every way out.
#include "main/dataset_replay/analysis.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>

#include <boost/json.hpp>

#include "common/async.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/http.h"
#include "common/json_text.h"
#include "main/dataset_replay/episode_seed.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/run_context.h"
#include "spaces/core_library_impl.h"
#include "tests/support/captured_output.h"
#include "tests/support/fake_sim.h"
#include "tests/support/report_fakes.h"
#include "tests/support/servers.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using ::testing::ElementsAre;
using testing::EventLog;
using ::testing::HasSubstr;
using testing::kForever;
using Clock = std::chrono::steady_clock;
using Events = std::vector<std::string>;

json::value J(const char* text) { return json::parse(text); }

// The node's recorded actions of three episodes of a sim with one pump and one level sensor.
constexpr const char* kActions = R"({
  "episodes": [
    {"episode": "ep-0", "n_rows": 3, "actions": {"a_pump": [0.0, 0.5, 0.25]}},
    {"episode": 17, "n_rows": 2, "actions": {"a_pump": [0.0, 1.0]}},
    {"episode": "ep-9", "n_rows": 1, "actions": {"a_pump": [0.0]}}],
  "sensor_variables": ["c_level", "c_other"],
  "action_variables": ["a_pump"],
  "raw_names": {"c_level": "Level", "c_other": "other", "a_pump": "pump"}})";

constexpr const char* kAnalysis =
    R"({"summary": {"score": 91.5}, "simulator_validation": {"version": "v2"},
        "dataset": {"content_md5": "m"}, "warnings": ["w"]})";

class AnalyzeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    node_.answer("analysis-actions", {200, kActions});
    node_.answer("sim-analyze-rollouts", {200, kAnalysis});
    node_.on_request([this](const std::string& path) { log_->add("node." + path); });
    dataset_->url = node_.url();
    dataset_->dataset.cycles = LocalDataset::Cycles{3};
    timings_.serve_timeout_s = 0.05;
    timings_.terminate_grace_s = 0.05;
    timings_.actions_timeout_s = 10;
    timings_.rollouts_timeout_s = 10;
    timings_.sim_end_settle_s = 0.02;

    auto& client = *sim_->client;
    client.mappings = J(R"({"sensor_space": {"mappings": [{"name": "['level']",
                                                            "name_mapped": "level"}]},
                            "action_space": {"mappings": [{"name": "['pump']",
                                                            "name_mapped": "Pump"}]}})");
    client.action_space = J(R"({"type": "dict", "spaces": {
                                  "pump": {"type": "box", "shape": [], "low": 0, "high": 1}}})");
    client.sensor_space = J(R"({"type": "dict", "spaces": {
                                  "level": {"type": "box", "shape": []}}})");
    // The level is the step number plus the pump's setting.
    client.observe = [](const json::value& action, int step) {
      double pump = action.is_null() ? 0 : action.at("pump").to_number<double>();
      return json::value{{"level", step + pump}};
    };
  }
  json::value analyze_now(json::value claim = J(kClaim), double call_timeout_s = 5,
                          int max_episodes = 20) {
    const ReportRun run{platform_, *dataset_,    *module_,      *sim_,
                        core_,     out_.console, out_.logger(), timings_};
    return async_to_sync([&]() -> awaitable<json::value> {
      ReplayOptions replay;
      replay.max_episodes = max_episodes;
      replay.env_init = env_init_;
      replay.call_timeout_s = call_timeout_s;
      replay.run_seed = run_seed_;
      co_return co_await analyze(run, "/sims/tank", claim, dataset_->dataset, kBundle,
                                 std::move(replay));
    })();
  }
  // The PublishReportError that the run ends with; its cause is kept in `cause_`.
  std::string refusal(double call_timeout_s = 5) {
    cause_ = nullptr;
    try {
      analyze_now(J(kClaim), call_timeout_s);
    } catch (const PublishReportError& error) {
      try {
        std::rethrow_if_nested(error);
      } catch (...) {
        cause_ = std::current_exception();
      }
      return error.what();
    }
    return "(no refusal)";
  }
  bool sim_started() const {
    for (const auto& event : log_->events()) {
      if (event.rfind("sim.", 0) == 0 || event.rfind("client.", 0) == 0) return true;
    }
    return false;
  }
  // The process was asked to end before the node was asked for the analysis, if it was.
  void expect_stopped_before_analysis() {
    int terminate = log_->index_of("process.terminate");
    EXPECT_GE(terminate, 0);
    int analysis = log_->index_of("node.sim-analyze-rollouts");
    if (analysis >= 0) {
      EXPECT_LT(terminate, analysis);
    }
  }

  static constexpr const char* kClaim =
      R"({"jobId": "job-1", "simulatorId": "sim-1", "simulatorImplementationId": 7,
          "validationRunId": "run-1", "maxLagSteps": 2})";
  static constexpr const char* kBundle = "ab12";
  static constexpr const char* kReplayPrefix = "The sim failed while replaying the dataset (";
  static constexpr const char* kReplaySuffix =
      "); validate it with `velko sim validate --steps 100`";

  std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
  testing::LoopbackNode node_;
  testing::FakeReportPlatform platform_;
  spaces::CoreLibraryImpl core_;
  testing::CapturedOutput out_;
  Timings timings_;
  std::shared_ptr<testing::FakeDatasetModule> dataset_ =
      std::make_shared<testing::FakeDatasetModule>();
  std::shared_ptr<testing::FakeSimConnection> sim_ =
      std::make_shared<testing::FakeSimConnection>(log_);
  std::shared_ptr<testing::FakeSimModule> module_ = std::make_shared<testing::FakeSimModule>(log_);
  json::object env_init_{{"seed", 7}, {"sim_address", "elsewhere:1"}};
  std::uint64_t run_seed_ = 0;
  std::string& printed_ = out_.printed;
  Events& statuses_ = out_.statuses;
  std::exception_ptr cause_;
};

TEST_F(AnalyzeTest, UnknownEpisodeCountFailsBeforeAnythingIsSentOrStarted) {
  dataset_->dataset.name = "tank runs";
  for (auto cycles : {std::optional<LocalDataset::Cycles>(),
                      std::optional<LocalDataset::Cycles>(LocalDataset::Cycles{}),
                      std::optional<LocalDataset::Cycles>(LocalDataset::Cycles{0})}) {
    dataset_->dataset.cycles = cycles;
    EXPECT_EQ(refusal(),
              "The episode count of 'tank runs' is unknown; run `velko data stats "
              "tank runs` first");
  }
  EXPECT_EQ(log_->events(), Events{});
  EXPECT_EQ(statuses_, Events{});
}

TEST_F(AnalyzeTest, ReplaysTheChosenEpisodesInOrderAndReturnsTheNodesAnswerUnchanged) {
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  // Fewer episodes than the bound: all of them.
  EXPECT_THAT(node_.bodies("analysis-actions"),
              ElementsAre(R"({"dataset_uuid":"ds-1","episodes":[0,1,2]})"));
  EXPECT_EQ(log_->events(), (Events{"node.analysis-actions",
                                    "sim.get_free_port",
                                    "sim.make_in_process",
                                    "module.check_serving",
                                    "sim.make",
                                    "client.init",
                                    "client.make",
                                    "client.get_mappings",
                                    "client.sensor_space_info",
                                    "client.bound_observations 1",
                                    "client.action_space_info",
                                    "client.reset",
                                    "client.step",
                                    "client.step",
                                    "client.action_space_info",
                                    "client.reset",
                                    "client.step",
                                    "client.action_space_info",
                                    "client.reset",
                                    "client.close",
                                    "process.terminate",
                                    "process.wait",
                                    "node.sim-analyze-rollouts"}));
  ASSERT_EQ(sim_->starts.size(), 1u);
  EXPECT_EQ(sim_->starts[0].path, "/sims/tank");
  EXPECT_EQ(sim_->starts[0].port, 45123);
  EXPECT_EQ(module_->checks,
            (std::vector<std::pair<std::string, double>>{{"localhost:45123", 0.05}}));
  EXPECT_EQ(printed_, "");

  // The ten members in order, with the claim's values as received.
  EXPECT_THAT(node_.bodies("sim-analyze-rollouts"),
              ElementsAre(R"({"dataset_uuid":"ds-1","simulator_id":"sim-1",)"
                          R"("simulator_implementation_id":7,"validation_run_id":"run-1",)"
                          R"("bundle_content_hash":"ab12","core_sensor_variables":["Level"],)"
                          R"("sensor_variables":["c_level"],"action_variables":["a_pump"],)"
                          R"("max_lag_steps":2,"episodes":[)"
                          R"({"episode":"ep-0","predictions":{"c_level":[0.0,1.5,2.25]}},)"
                          R"({"episode":17,"predictions":{"c_level":[0.0,2.0]}},)"
                          R"({"episode":"ep-9","predictions":{"c_level":[0.0]}}]})"));

  // Each stage shows its own status line, gone at its end.
  EXPECT_EQ(statuses_,
            (Events{"Starting the sim...", "", "Replaying the dataset through the sim...",
                    "Replaying episode ep-0 (1 of 3, 3 rows) through the sim...",
                    "Replaying episode 17 (2 of 3, 2 rows) through the sim...",
                    "Replaying episode ep-9 (3 of 3, 1 rows) through the sim...", "",
                    "Analyzing the sim against the dataset on the compute node...", ""}));
}

// The seed of episode "ep-0" with run seed 0: seeds published with datasets must not change.
constexpr std::uint64_t kEpisodeSeedOfEp0 = 1062267111;

TEST_F(AnalyzeTest, EachEpisodesResetIsSeededFromTheRunSeedAndItsIdentifierAlone) {
  using Seeds = std::vector<std::optional<std::uint64_t>>;
  const json::value ids[] = {"ep-0", 17, "ep-9"};
  auto seeds_of = [&](std::uint64_t run_seed, std::initializer_list<std::size_t> which) {
    Seeds seeds;
    for (std::size_t i : which) seeds.push_back(episode_seed(run_seed, ids[i]));
    return seeds;
  };
  analyze_now();
  EXPECT_EQ(sim_->client->reset_seeds, seeds_of(0, {0, 1, 2}));
  // Another run seed seeds every episode otherwise.
  sim_->client->reset_seeds.clear();
  run_seed_ = 5;
  analyze_now();
  EXPECT_EQ(sim_->client->reset_seeds, seeds_of(5, {0, 1, 2}));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NE(episode_seed(5, ids[i]), episode_seed(0, ids[i])) << i;
  }

  // The seed is a fixed function of the two, below 2^31, and tells 17 from "17".
  EXPECT_EQ(episode_seed(0, 17), episode_seed(0, 17));
  EXPECT_NE(episode_seed(0, 17), episode_seed(0, "17"));
  EXPECT_EQ(episode_seed(0, "ep-0"), kEpisodeSeedOfEp0);
  for (std::uint64_t run_seed : {0ull, 1ull, 18446744073709551615ull}) {
    EXPECT_LT(episode_seed(run_seed, "ep-0"), kEpisodeSeedLimit);
  }
}

TEST_F(AnalyzeTest, ClientGetsACopyOfEnvInitWithTheSimsAddress) {
  const json::object before = env_init_;
  analyze_now();
  EXPECT_EQ(env_init_, before);
  ASSERT_EQ(sim_->made.size(), 1u);
  const ClientOptions& options = sim_->made[0];
  EXPECT_EQ(options.run_id, "publish-report");
  EXPECT_EQ(options.address, "localhost:45123");
  EXPECT_EQ(options.env_init, (json::object{{"seed", 7}, {"sim_address", "localhost:45123"}}));
}

TEST_F(AnalyzeTest, SimWithoutGetMappingsIsPlannedFromItsSpaces) {
  auto& client = *sim_->client;
  client.mappings.reset();
  client.sensor_space = J(R"({"type": "dict", "spaces": {
      "level": {"type": "box", "shape": [], "names": ["level"]}}})");
  client.action_space = J(R"({"type": "dict", "spaces": {
      "pump": {"type": "box", "shape": [], "low": 0, "high": 1, "names": ["pump"]}}})");
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_LT(log_->index_of("client.get_mappings"), log_->index_of("client.sensor_space_info"));
  EXPECT_LT(log_->index_of("client.sensor_space_info"), log_->index_of("client.reset"));
  EXPECT_THAT(node_.bodies("sim-analyze-rollouts")[0],
              HasSubstr(R"("sensor_variables":["c_level"],"action_variables":["a_pump"])"));
}

TEST_F(AnalyzeTest, ObservationsAreBoundedByASensorSpaceThatCanBeRead) {
  auto& client = *sim_->client;
  const json::value box = J(R"({"type": "box", "shape": [2, 3]})");
  // A sim whose space cannot be had or read runs as it did before, unbounded.
  client.failures["sensor_space_info"] = std::make_exception_ptr(BadAnswer("no space"));
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  client.failures.clear();
  client.sensor_space = J(R"({"type": "box"})");
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_EQ(log_->count("client.sensor_space_info"), 2);
  for (const std::string& event : log_->events()) {
    EXPECT_FALSE(event.starts_with("client.bound_observations")) << event;
  }
  log_->clear();
  client.sensor_space = box;
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_GE(log_->index_of("client.bound_observations 6"), 0);
  EXPECT_LT(log_->index_of("client.bound_observations 6"), log_->index_of("client.reset"));
}

TEST_F(AnalyzeTest, SpreadsTheBoundedEpisodesOverTheDataset) {
  dataset_->dataset.cycles = LocalDataset::Cycles{10};
  analyze_now(J(kClaim), 5, 4);
  EXPECT_THAT(node_.bodies("analysis-actions"),
              ElementsAre(R"({"dataset_uuid":"ds-1","episodes":[0,3,6,9]})"));
}

TEST_F(AnalyzeTest, NodeFailingTheActionsRequestStartsNoSim) {
  node_.answer("analysis-actions", {404, R"({"detail": "no such dataset"})"});
  EXPECT_EQ(refusal(), "The compute node refused the analysis: no such dataset");
  EXPECT_FALSE(sim_started());

  node_.answer("analysis-actions", {500, R"({"detail": "boom"})"});
  EXPECT_THROW(analyze_now(), http::HTTPStatusError);
  EXPECT_FALSE(sim_started());

  // No free port: that error, unchanged, and no sim.
  node_.answer("analysis-actions", {200, kActions});
  sim_->port_failure = std::make_exception_ptr(
      std::system_error(std::make_error_code(std::errc::address_in_use), "no free port"));
  EXPECT_THROW(analyze_now(), std::system_error);
  EXPECT_EQ(log_->index_of("sim.make_in_process"), -1);
  EXPECT_EQ(statuses_, Events{});
}

TEST_F(AnalyzeTest, SimThatDoesNotStartShowsTheTailOfItsOutputOrTheFailure) {
  // Silent and not serving: the serving check's failure, and the process is stopped.
  module_->serves = false;
  EXPECT_EQ(refusal(),
            "The sim did not start:\n\nthe sim at localhost:45123 did not serve "
            "within 0.05 s");
  EXPECT_THROW(std::rethrow_exception(cause_), TimeoutError);
  EXPECT_EQ(module_->tailed, Events{""});
  expect_stopped_before_analysis();
  EXPECT_EQ(statuses_, (Events{"Starting the sim...", ""}));
  EXPECT_EQ(log_->index_of("sim.make"), -1);

  // With output: its tail instead.
  sim_->output = {"loading", "Traceback:", "  tank.py line 3", "ValueError: bad tank"};
  EXPECT_EQ(refusal(),
            "The sim did not start:\n\nTraceback:\n  tank.py line 3\n"
            "ValueError: bad tank");
  EXPECT_EQ(module_->tailed.back(), "loading\nTraceback:\n  tank.py line 3\nValueError: bad tank");

  // The sim server fails: there is no process to stop.
  log_->clear();
  sim_->output = {};
  sim_->start_failure = std::make_exception_ptr(std::runtime_error("no velko-sim.json"));
  EXPECT_EQ(refusal(), "The sim did not start:\n\nno velko-sim.json");
  EXPECT_THROW(std::rethrow_exception(cause_), std::runtime_error);
  EXPECT_EQ(log_->index_of("process.terminate"), -1);
  EXPECT_EQ(log_->index_of("node.sim-analyze-rollouts"), -1);
}

TEST_F(AnalyzeTest, SimThatLostItsPortToAnotherProcessIsStartedAgainOnANewPort) {
  // The sims on 45123 and 45200 end before serving because something else holds the port.
  sim_->next_ports = {45123, 45200, 45300};
  sim_->ports_in_use = {45123, 45200};
  module_->on_check = [this](const std::string& address) -> std::exception_ptr {
    if (address == "localhost:45300") {
      *sim_->process = testing::FakeSimProcess(log_);  // this one serves
      return nullptr;
    }
    sim_->process->exit(1);
    return std::make_exception_ptr(std::runtime_error("the sim exited with status 1"));
  };
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  ASSERT_EQ(sim_->starts.size(), 3u);
  EXPECT_EQ(sim_->starts[2].port, 45300);
  ASSERT_EQ(sim_->made.size(), 1u);
  EXPECT_EQ(sim_->made[0].address, "localhost:45300");

  // Bounded: after three starts the last failure is the run's.
  sim_->starts.clear();
  sim_->next_ports = {45123, 45200, 45300, 45400};
  sim_->ports_in_use = {45123, 45200, 45300, 45400};
  module_->on_check = [this](const std::string&) -> std::exception_ptr {
    sim_->process->exit(1);
    return std::make_exception_ptr(std::runtime_error("the sim exited with status 1"));
  };
  EXPECT_EQ(refusal(), "The sim did not start:\n\nthe sim exited with status 1");
  EXPECT_EQ(sim_->starts.size(), 3u);

  // A sim that ended on a port nobody else holds failed by itself: no second start.
  sim_->starts.clear();
  sim_->ports_in_use.clear();
  EXPECT_EQ(refusal(), "The sim did not start:\n\nthe sim exited with status 1");
  EXPECT_EQ(sim_->starts.size(), 1u);
}

TEST_F(AnalyzeTest, ReplayFailuresBecomeTheValidateMessageWithTheCauseKept) {
  auto& client = *sim_->client;
  client.failures["step 1"] = std::make_exception_ptr(std::runtime_error("tank overflow"));
  EXPECT_EQ(refusal(), std::string(kReplayPrefix) + "runtime_error: tank overflow" + kReplaySuffix);
  EXPECT_THROW(std::rethrow_exception(cause_), std::runtime_error);
  // The client is left unclosed; the process is stopped; the node is not asked.
  EXPECT_EQ(log_->index_of("client.close"), -1);
  expect_stopped_before_analysis();
  EXPECT_EQ(log_->index_of("node.sim-analyze-rollouts"), -1);
  EXPECT_EQ(statuses_.back(), "");

  // An error without text leaves nothing between ": " and ")".
  *sim_->process = testing::FakeSimProcess(log_);
  client.failures.clear();
  client.failures["init"] = std::make_exception_ptr(std::runtime_error(""));
  EXPECT_EQ(refusal(), std::string(kReplayPrefix) + "runtime_error: " + kReplaySuffix);

  // A sim call over its time limit, which is cancelled.
  client.failures.clear();
  client.delays["step 1"] = kForever;
  EXPECT_EQ(refusal(0.05), std::string(kReplayPrefix) +
                               "TimeoutError: the sim's step() did not answer within 0.05 s" +
                               kReplaySuffix);
  EXPECT_EQ(client.cancelled, Events{"step"});
}

TEST_F(AnalyzeTest, FaultsOfTheNodesAnswerAreTheNodesNotTheSims) {
  const std::string kMalformed = "The compute node's \"analysis-actions\" answer is malformed (";
  // Found while replaying: the sim was started and is stopped; the cause is kept.
  node_.answer("analysis-actions", {200, R"({"episodes": [{"episode": 1}],
      "sensor_variables": ["c_level"], "action_variables": ["a_pump"],
      "raw_names": {"c_level": "level", "a_pump": "pump"}})"});
  EXPECT_EQ(refusal(), kMalformed +
                           "KeyError: the compute node's episode has no member "
                           "'n_rows')");
  EXPECT_THROW(std::rethrow_exception(cause_), KeyError);
  expect_stopped_before_analysis();
  EXPECT_EQ(log_->index_of("node.sim-analyze-rollouts"), -1);

  // Found while planning.
  log_->clear();
  *sim_->process = testing::FakeSimProcess(log_);
  node_.answer("analysis-actions", {200, R"({"episodes": [],
      "sensor_variables": ["c_level"], "action_variables": ["a_pump"], "raw_names": {}})"});
  EXPECT_EQ(refusal(), kMalformed + "KeyError: missing member 'c_level')");
  expect_stopped_before_analysis();

  // Found while reading the answer: no sim is started.
  log_->clear();
  node_.answer("analysis-actions", {200, R"({"episodes": [
      {"episode": 1, "n_rows": 1, "actions": {}}, {"episode": 2, "n_rows": 1, "actions": {}},
      {"episode": 3, "n_rows": 1, "actions": {}}, {"episode": 4, "n_rows": 1, "actions": {}}]})"});
  EXPECT_EQ(refusal(), kMalformed +
                           "BadAnswer: the answer has more episodes than the 3 that "
                           "were asked for)");
  EXPECT_FALSE(sim_started());
  node_.answer("analysis-actions", {200, R"({"episodes": [{"episode": "x"}, {"episode": "x"}]})"});
  EXPECT_EQ(refusal(), kMalformed + "BadAnswer: the answer has the episode 'x' twice)");
  EXPECT_FALSE(sim_started());
  node_.answer("analysis-actions", {200, R"({"episodes": [{"n_rows": 1e999}]})"});
  try {
    analyze_now();
    ADD_FAILURE();
  } catch (const json_text::JsonError& error) {
    EXPECT_THAT(error.what(), HasSubstr("/ml/analysis-actions is not JSON: number out of range "
                                        "at line 1 column 26 (char 25)"));
  }
  EXPECT_FALSE(sim_started());
}

TEST_F(AnalyzeTest, TheRunsNodeTimeLimitsReachBothRequests) {
  // A node that stays silent for longer than the run's limit of each request.
  // Shared with the handlers, which outlive this body until the node stops.
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto silent = [done](const httplib::Request&, httplib::Response& out) {
    for (int i = 0; i < 600 && !*done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    out.set_content("{}", "application/json");
  };
  node_.respond("analysis-actions", silent);
  timings_.actions_timeout_s = 0.2;
  try {
    analyze_now();
    ADD_FAILURE() << "no failure";
  } catch (const http::TransportError& error) {
    EXPECT_THAT(error.what(), HasSubstr("/ml/analysis-actions: no answer within 0.2 s"));
  }
  node_.answer("analysis-actions", {200, kActions});
  node_.respond("sim-analyze-rollouts", silent);
  timings_.rollouts_timeout_s = 0.3;
  try {
    analyze_now();
    ADD_FAILURE() << "no failure";
  } catch (const http::TransportError& error) {
    EXPECT_THAT(error.what(), HasSubstr("/ml/sim-analyze-rollouts: no answer within 0.3 s"));
  }
  *done = true;
}

TEST_F(AnalyzeTest, SetUpCallsThatHangAreBoundedByTheCallTimeLimit) {
  auto& client = *sim_->client;
  for (const char* call : {"init", "make"}) {
    client.delays.clear();
    client.delays[call] = kForever;
    // Make's failure is told as such.
    std::string prefix = call == std::string("make")
                             ? "The sim failed while making the environment ("
                             : kReplayPrefix;
    EXPECT_EQ(refusal(0.05), prefix + "TimeoutError: the sim's " + call +
                                 "() did not answer within 0.05 s" + kReplaySuffix);
    expect_stopped_before_analysis();
  }
  // A get_mappings() that hangs is a stuck sim, not one without mappings: the run ends, and
  // the spaces are not read.
  client.delays.clear();
  client.delays["get_mappings"] = kForever;
  client.cancelled.clear();
  log_->clear();
  *sim_->process = testing::FakeSimProcess(log_);
  EXPECT_EQ(refusal(0.05), std::string(kReplayPrefix) +
                               "TimeoutError: the sim's get_mappings() did not answer within "
                               "0.05 s" +
                               kReplaySuffix);
  EXPECT_EQ(client.cancelled, Events{"get_mappings"});
  EXPECT_EQ(log_->index_of("client.sensor_space_info"), -1);
  // One that fails is read from the spaces, whose calls are bounded too.
  client.delays.clear();
  client.mappings.reset();
  client.sensor_space = J(R"({"type": "dict", "spaces": {"level": {
      "type": "box", "shape": [], "low": 0, "high": 9, "names": ["level"]}}})");
  client.action_space = J(R"({"type": "dict", "spaces": {"pump": {
      "type": "box", "shape": [], "low": 0, "high": 1, "names": ["pump"]}}})");
  EXPECT_EQ(analyze_now(J(kClaim), 0.05), J(kAnalysis));
  client.delays["sensor_space_info"] = kForever;
  EXPECT_EQ(refusal(0.05), std::string(kReplayPrefix) +
                               "TimeoutError: the sim's sensor_space_info() did not answer "
                               "within 0.05 s" +
                               kReplaySuffix);
  // A close() that hangs after a complete replay is given up, and the sim is still stopped.
  client.delays.clear();
  client.delays["close"] = kForever;
  client.cancelled.clear();
  EXPECT_EQ(analyze_now(J(kClaim), 0.05), J(kAnalysis));
  EXPECT_EQ(client.cancelled, Events{"close"});
  expect_stopped_before_analysis();
}

TEST_F(AnalyzeTest, PublishReportErrorsOfThePlanOrTheSlotsPassUnchanged) {
  node_.answer("analysis-actions", {200, R"({"episodes": [],
      "sensor_variables": ["c_level"], "action_variables": ["a_speed"],
      "raw_names": {"c_level": "level", "a_speed": "speed"}})"});
  EXPECT_EQ(refusal(),
            "The dataset on this node has no action column for the sim's action "
            "\"['pump']\"; every action is replayed from the dataset");
  expect_stopped_before_analysis();

  sim_->client->mappings = J(R"({"sensor_space": {"mappings": [{"name": "['level']",
                                                                 "name_mapped": "level"}]},
                                 "action_space": {"mappings": [{"name": "pump",
                                                                "name_mapped": "Pump"}]}})");
  node_.answer("analysis-actions", {200, kActions});
  EXPECT_EQ(refusal(), "Can't address the sim's slot 'pump'");
  EXPECT_EQ(cause_, nullptr);
}

TEST_F(AnalyzeTest, FailingCloseAfterACompleteReplayIsIgnored) {
  sim_->client->failures["close"] = std::make_exception_ptr(std::runtime_error("closed twice"));
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_EQ(log_->count("client.close"), 1);
}

TEST_F(AnalyzeTest, NoEpisodesStillStartsConnectsAndPlans) {
  node_.answer("analysis-actions", {200, R"({"episodes": [],
      "sensor_variables": ["c_level"], "action_variables": ["a_pump"],
      "raw_names": {"c_level": "level", "a_pump": "pump"}})"});
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_GE(log_->index_of("client.get_mappings"), 0);
  EXPECT_EQ(log_->index_of("client.reset"), -1);
  EXPECT_EQ(statuses_,
            (Events{"Starting the sim...", "", "Replaying the dataset through the sim...", "",
                    "Analyzing the sim against the dataset on the compute node...", ""}));
  ASSERT_EQ(node_.bodies("sim-analyze-rollouts").size(), 1u);
  EXPECT_THAT(node_.bodies("sim-analyze-rollouts")[0], HasSubstr(R"("episodes":[]})"));
}

TEST_F(AnalyzeTest, ProcessThatEndedByItselfIsNotSignalled) {
  sim_->client->on_call = [this](const std::string& call) {
    if (call == "close") sim_->process->exit(0);
  };
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_EQ(sim_->process->terminates, 0);
  EXPECT_EQ(sim_->process->kills, 0);
}

TEST_F(AnalyzeTest, ProcessIgnoringTerminateIsKilledAfterTheGracePeriod) {
  sim_->process->ignores_terminate = true;
  auto start = Clock::now();
  EXPECT_EQ(analyze_now(), J(kAnalysis));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  // Killed once, after a wait that the grace period cut short, and not waited for again.
  EXPECT_EQ(sim_->process->terminates, 1);
  EXPECT_EQ(sim_->process->kills, 1);
  EXPECT_EQ(sim_->process->cancelled_waits, 1);
  EXPECT_EQ(log_->count("process.wait"), 1);
  EXPECT_LT(log_->index_of("process.kill"), log_->index_of("node.sim-analyze-rollouts"));

  // One that takes a while within the grace period is waited for, not killed.
  *sim_->process = testing::FakeSimProcess(log_);
  sim_->process->terminate_delay_s = 0.01;
  analyze_now();
  EXPECT_EQ(sim_->process->kills, 0);
}

TEST_F(AnalyzeTest, FailuresOfTheFinalRequestComeAfterTheSimIsStopped) {
  // A claim without one of its members: the lookup failure, unchanged, and no request.
  EXPECT_THROW(analyze_now(J(R"({"simulatorId": "s", "simulatorImplementationId": "i",
                                 "validationRunId": "r"})")),
               KeyError);
  expect_stopped_before_analysis();
  EXPECT_EQ(log_->index_of("node.sim-analyze-rollouts"), -1);
  EXPECT_EQ(statuses_.back(), "");

  node_.answer("sim-analyze-rollouts", {422, R"({"detail": "episodes too short"})"});
  EXPECT_EQ(refusal(), "The compute node refused the analysis: episodes too short");
  node_.answer("sim-analyze-rollouts", {503, "busy"});
  EXPECT_THROW(analyze_now(), http::HTTPStatusError);
  expect_stopped_before_analysis();
}

TEST_F(AnalyzeTest, InterruptDuringTheReplayPassesThroughAndStillStopsTheSim) {
  auto& client = *sim_->client;
  client.delays["step 1"] = kForever;
  client.on_call = [](const std::string& call) {
    if (call == "step") ::raise(SIGINT);
  };
  EXPECT_THROW(analyze_now(), Interrupted);
  EXPECT_EQ(client.cancelled, Events{"step"});
  expect_stopped_before_analysis();
  EXPECT_EQ(log_->index_of("node.sim-analyze-rollouts"), -1);
  EXPECT_EQ(statuses_.back(), "");
}

}  // namespace
}  // namespace velko::dataset_replay
