// The report run's analysis end to end against real sim processes: a loopback compute node,
// the real sim connection, the host's serving check and the core library. What the node is
// sent, what the user is told when a sim misbehaves, and that no sim process outlives a run.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "common/async.h"
#include "common/errors.h"
#include "common/json_text.h"
#include "dev/node_actions.h"
#include "dev/node_catalog.h"
#include "main/dataset_replay/analysis.h"
#include "main/dataset_replay/episode_seed.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/run_context.h"
#include "sim_connection/sim_connection_impl.h"
#include "sim_connection/sim_process.h"
#include "sim_connection/sim_serving.h"
#include "spaces/core_library_impl.h"
#include "tests/support/captured_output.h"
#include "tests/support/report_fakes.h"
#include "tests/support/servers.h"
#include "tests/support/sims.h"
#include "tests/support/testing.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr const char* kValidate = "); validate it with `velko sim validate --steps 100`";

// The test sim's columns: one episode whose valve openings add up to the level.
constexpr const char* kTestSimColumns = R"({
  "episodes": [{"episode": 3, "n_rows": 4, "actions": {"a_valve": [null, 0.5, 0.25, 1.0]}}],
  "sensor_variables": ["s_level"], "action_variables": ["a_valve"],
  "raw_names": {"s_level": "level", "a_valve": "valve"}})";

// The water tank's columns: two episodes of six rows, of a dataset of eight.
constexpr const char* kWaterTankColumns = R"({
  "episodes": [
    {"episode": 0, "n_rows": 6, "actions": {"a_valve": [null, 0.5, 0.5, 0.5, 0.5, 0.5],
                                            "a_pump": [null, 2, 2, 2, 3, 3]}},
    {"episode": 7, "n_rows": 6, "actions": {"a_valve": [null, 1.0, 1.0, 1.0, 1.0, null],
                                            "a_pump": [null, 0, 0, 0, 0, 0]}}],
  "sensor_variables": ["s_level", "s_pressure"], "action_variables": ["a_valve", "a_pump"],
  "raw_names": {"s_level": "Tank Level", "s_pressure": "pressure", "a_valve": "valve_opening",
                "a_pump": "pump_stage"}})";

constexpr const char* kAnalysis = R"({"summary": "ok", "simulator_validation": null,
                                      "warnings": []})";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The rollouts body that the node was last sent.
json::value last_rollouts(testing::LoopbackNode& node) {
  std::vector<std::string> bodies = node.bodies("sim-analyze-rollouts");
  return bodies.empty() ? json::value() : json::parse(bodies.back());
}

// The real sim connection, noting the process group of the sim it starts and its output.
class WatchedConnection : public SimConnection {
 public:
  std::atomic<pid_t> pgid{0};
  // The process group of every sim started, in order.
  std::vector<pid_t> groups;
  std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::mutex> lines_mutex = std::make_shared<std::mutex>();

  // Ports handed out first, in turn, before real free ones.
  std::vector<int> next_ports;
  // What steps_ahead() says.
  int window = sim_connection::DEFAULT_STEPS_AHEAD;

  int get_free_port() override {
    if (!next_ports.empty()) {
      int next = next_ports.front();
      next_ports.erase(next_ports.begin());
      return next;
    }
    return real_.get_free_port();
  }
  bool port_in_use(int port) override { return real_.port_in_use(port); }
  int steps_ahead() const override { return window; }
  awaitable<std::unique_ptr<SimProcess>> make_in_process(std::string path, int port,
                                                         OutputCallback on_output) override {
    auto seen = lines;
    auto mutex = lines_mutex;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    OutputCallback watched = [seen, mutex, on_output](const std::string& line) {
      {
        std::lock_guard lock(*mutex);
        seen->push_back(line);
      }
      on_output(line);
    };
    std::unique_ptr<SimProcess> process =
        co_await real_.make_in_process(std::move(path), port, std::move(watched));
    pgid = static_cast<sim_connection::LocalSimProcess&>(*process).pid();
    groups.push_back(pgid);
    co_return process;
  }
  std::unique_ptr<SimClient> make(ClientOptions options) override {
    return real_.make(std::move(options));
  }
  std::shared_ptr<sim_connection::StartedSims> started() const { return real_.started(); }
  bool said(const std::string& text) {
    std::lock_guard lock(*lines_mutex);
    for (const auto& line : *lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  sim_connection::SimConnectionImpl real_;
};

class SimReplay : public ::testing::Test {
 protected:
  // Serves `columns` as the recorded actions of a dataset of `episodes` episodes (the client
  // asks for no more than that).
  void start(const std::string& columns, std::int64_t episodes = 1) {
    auto node = std::make_unique<testing::LoopbackNode>();
    node->answer("analysis-actions", {200, columns});
    start(std::move(node), episodes);
  }
  // Serves what `node` answers for "analysis-actions" as the recorded actions.
  void start(std::unique_ptr<testing::LoopbackNode> node, std::int64_t episodes) {
    node_ = std::move(node);
    node_->answer("sim-analyze-rollouts", {200, kAnalysis});
    episodes_ = episodes;
    datasets_.url = node_->url();
    datasets_.dataset = LocalDataset{"ds-1", "tank-runs", LocalDataset::Cycles{episodes}};
    timings_.serve_timeout_s = 20;
    timings_.terminate_grace_s = 0.3;
  }

  // Runs the analysis of the sim at `path`; yields the node's answer.
  json::value analyze_sim(const std::string& path, double call_timeout_s = 20,
                          json::object env_init = json::object{{"seed", 11}}) {
    json::value claim = json::parse(
        R"({"simulatorId": "sim-1", "simulatorImplementationId": "impl-1",
            "validationRunId": "run-1", "maxLagSteps": 2})");
    LocalDataset dataset{"ds-1", "tank-runs", LocalDataset::Cycles{episodes_}};
    const ReportRun run{platform_, datasets_,    host_sim_,     *connection_,
                        core_,     out_.console, out_.logger(), timings_};
    ReplayOptions replay;
    replay.env_init = std::move(env_init);
    replay.call_timeout_s = call_timeout_s;
    replay.sims = sims_;
    return async_to_sync(analyze)(run, path, claim, dataset, std::string(64, 'a'),
                                  std::move(replay));
  }

  // The analysis's failure message for the sim at `path`.
  std::string failure(const std::string& path, double call_timeout_s = 20) {
    try {
      analyze_sim(path, call_timeout_s);
    } catch (const PublishReportError& error) {
      return error.what();
    }
    return "no failure";
  }

  // The sim process group is gone: nothing of it runs any more.
  void expect_sim_gone() {
    ASSERT_NE(connection_->pgid.load(), 0);
    EXPECT_TRUE(
        testing::eventually_blocking([&] { return !testing::group_alive(connection_->pgid); }, 5));
  }

  std::string test_sim(const std::vector<std::string>& args = {}) {
    return testing::test_sim_dir(dir_.path(), args);
  }

  testing::TempDir dir_;
  std::unique_ptr<testing::LoopbackNode> node_;
  testing::FakeReportPlatform platform_;
  testing::FakeDatasetModule datasets_;
  std::shared_ptr<WatchedConnection> connection_ = std::make_shared<WatchedConnection>();
  sim_connection::SimModuleImpl host_sim_{connection_->started()};
  spaces::CoreLibraryImpl core_;
  testing::CapturedOutput out_;
  Timings timings_;
  std::int64_t episodes_ = 1;
  // Processes of the sim that the analysis replays over.
  int sims_ = 1;
};

TEST_F(SimReplay, WaterTankReplaysEveryEpisodeAndIsStoppedBeforeTheAnalysis) {
  start(kWaterTankColumns, 8);
  json::value answer = analyze_sim(testing::water_tank_dir(dir_.path()));
  EXPECT_EQ(answer, json::parse(kAnalysis));
  EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions", "sim-analyze-rollouts"));
  expect_sim_gone();

  json::value body = last_rollouts(*node_);
  EXPECT_EQ(body.at("sensor_variables"), json::parse(R"(["s_level", "s_pressure"])"));
  EXPECT_EQ(body.at("action_variables"), json::parse(R"(["a_valve", "a_pump"])"));
  const json::array& episodes = body.at("episodes").as_array();
  ASSERT_EQ(episodes.size(), 2u);
  EXPECT_EQ(episodes[0].at("episode"), 0);
  EXPECT_EQ(episodes[1].at("episode"), 7);
  // Pumping at stage 2 and 3 fills the tank from its initial 1 m; draining empties it.
  const json::array& filling = episodes[0].at("predictions").at("s_level").as_array();
  const json::array& draining = episodes[1].at("predictions").at("s_level").as_array();
  ASSERT_EQ(filling.size(), 6u);
  ASSERT_EQ(draining.size(), 6u);
  EXPECT_EQ(filling[0], 1.0);
  for (std::size_t row = 1; row < 6; ++row) {
    EXPECT_GT(filling[row].as_double(), filling[row - 1].as_double()) << row;
    EXPECT_LT(draining[row].as_double(), draining[row - 1].as_double()) << row;
  }
  const json::array& pressure = episodes[0].at("predictions").at("s_pressure").as_array();
  EXPECT_NEAR(pressure[0].as_double(), 9.81, 1e-9);
}

TEST_F(SimReplay, WaterTankGivesTheSameNoisyReplayForTheSameSeed) {
  start(kWaterTankColumns, 8);
  std::string sim = testing::water_tank_dir(dir_.path());
  json::object noisy{{"seed", 11}, {"inflow_noise", 0.002}, {"sensor_noise", 0.01}};
  analyze_sim(sim, 20, noisy);
  json::value first = last_rollouts(*node_);
  analyze_sim(sim, 20, noisy);
  EXPECT_EQ(last_rollouts(*node_), first);
  noisy["seed"] = 12;
  analyze_sim(sim, 20, noisy);
  EXPECT_NE(last_rollouts(*node_), first);
}

TEST_F(SimReplay, TestSimPredictionsFollowTheRecordedActions) {
  start(kTestSimColumns);
  analyze_sim(test_sim());
  EXPECT_EQ(last_rollouts(*node_).at("episodes"),
            json::parse(R"([{"episode": 3, "predictions": {"s_level": [0.0, 0.5, 0.75, 1.75]}}])"));
  expect_sim_gone();
}

TEST_F(SimReplay, MisbehavingSimsAreReportedAndStopped) {
  struct Case {
    std::vector<std::string> args;
    std::string starts;
    std::string ends;
  };
  const std::string failed = "The sim failed while replaying the dataset (";
  const std::vector<Case> cases = {
      // A sim that dies is told by its end and its last lines, not by the lost connection.
      {{"--fault", "crash-at-step", "2"},
       "The sim was ended by signal 6 (Aborted) while replaying the dataset; validate it with "
       "`velko sim validate --steps 100`\n\n",
       "\nfatal: simulated crash at step 2"},
      {{"--fault", "error-in-step", "3"},
       failed + "SimError: the sim's step() failed: the valve is stuck\\x1b[2J" + kValidate,
       ""},
      {{"--fault", "malformed-json"},
       failed + "BadAnswer: the sim's step() answered malformed JSON",
       kValidate},
      {{"--fault", "four-parts"},
       failed +
           "BadAnswer: the sim's step() answered 4 values instead of 5 (observation, "
           "reward, terminated, truncated, info)" +
           kValidate,
       ""},
      {{"--fault", "fail-before-serve"},
       "The sim did not start:\n\nTraceback (most recent call last):\n"
       "  File \"sim.py\", line 3, in <module>\n    import tank_model\n"
       "ModuleNotFoundError: No module named 'tank_model'",
       ""},
  };
  // The same with steps sent ahead and with a sim that takes them one at a time.
  for (bool ahead : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[1] + (ahead ? ", sent ahead" : ", one at a time"));
      start(kTestSimColumns);
      std::vector<std::string> args = c.args;
      if (!ahead) args.insert(args.end(), {"--fault", "one-at-a-time"});
      std::string message = failure(test_sim(args));
      if (c.ends.empty()) {
        EXPECT_EQ(message, c.starts);
      } else {
        EXPECT_THAT(message, StartsWith(c.starts));
        EXPECT_THAT(message, EndsWith(c.ends));
      }
      EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions"));
      expect_sim_gone();
      connection_->pgid = 0;
    }
  }
}

TEST_F(SimReplay, SimsThatMisbehaveWithStepsSentAheadOrInBatchesAreCaughtAndStopped) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string failed = "The sim failed while replaying the dataset (";
  // The episode has three steps, all sent at once.
  const std::vector<Case> cases = {
      {{"--fault", "steps-after-end", "--end-at", "2"},
       "BadAnswer: the sim's step() answered step 3 after step 2 ended the episode"},
      {{"--fault", "out-of-order", "2"},
       "BadAnswer: the sim's step() answered step 3 where step 2 was due"},
      {{"--fault", "stall-after-end", "--end-at", "2"},
       "TimeoutError: the sim's step() stream did not end within 0.3 s of the answer to step "
       "2, the episode's last"},
      {{"--fault", "hang-in-step", "3"},
       "TimeoutError: the sim's step() did not answer within 0.3 s"},
  };
  // Each one sent ahead one to a message, in one batch, and in one batch that carries the
  // reset on a stream kept across episodes (where a sim that keeps the stream open after the
  // last episode does no harm).
  for (const Case& c : cases) {
    for (int way : {0, 1, 2}) {
      if (way == 2 && c.args[1] == "stall-after-end") continue;
      SCOPED_TRACE(c.args[1] + (way == 1 ? " in batches" : way == 2 ? " with resets" : ""));
      std::vector<std::string> args = c.args;
      if (way > 0) args.insert(args.end(), {"--batches", "4"});
      if (way == 2) args.push_back("--batch-resets");
      start(kTestSimColumns);
      auto begin = Clock::now();
      std::string message = c.message;
      // The reset's answer comes with those of the batch's steps, where step 3 hangs.
      if (way == 2 && c.args[1] == "hang-in-step")
        message.replace(message.find("step()"), 6, "reset()");
      EXPECT_EQ(failure(test_sim(args), 0.3), failed + message + kValidate);
      EXPECT_LT(seconds_since(begin), 10);
      EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions"));
      expect_sim_gone();
      connection_->pgid = 0;
    }
  }
  // A well-behaved sim that ends the episode early is recorded up to its ending answer.
  start(kTestSimColumns);
  analyze_sim(test_sim({"--end-at", "2"}));
  EXPECT_EQ(last_rollouts(*node_).at("episodes"),
            json::parse(R"([{"episode": 3, "predictions": {"s_level": [0.0, 0.5, 0.75]}}])"));
}

TEST_F(SimReplay, EpisodesCutShortLeaveTheNextOneSentBehindThemWhole) {
  // Two episodes, of 39 steps and of three. To a sim that takes episodes ahead the second
  // episode's reset and steps go out behind the first's before its answers are in, whatever
  // ends the first early: the sim (an ending answer, after which it drops the rest) or the
  // replay (an observation without a value, while most of the sim's answers to the later steps
  // are still to come). The predictions are those of the other ways.
  std::string valve = "null";
  for (int row = 1; row < 40; ++row) valve += ", 0.5";
  const std::string columns = R"({
    "episodes": [{"episode": 3, "n_rows": 40, "actions": {"a_valve": [)" +
                              valve + R"(]}},
                 {"episode": 5, "n_rows": 4, "actions": {"a_valve": [null, 1.0, 1.0, 1.0]}}],
    "sensor_variables": ["s_level"], "action_variables": ["a_valve"],
    "raw_names": {"s_level": "level", "a_valve": "valve"}})";
  struct Case {
    std::vector<std::string> args;
    std::string episodes;
  };
  const std::vector<Case> cases = {
      {{"--end-at", "2"},
       R"([{"episode": 3, "predictions": {"s_level": [0.0, 0.5, 1.0]}},
           {"episode": 5, "predictions": {"s_level": [0.0, 1.0, 2.0]}}])"},
      {{"--fault", "null-at-step", "1"},
       R"([{"episode": 3, "predictions": {"s_level": [0.0, null]}},
           {"episode": 5, "predictions": {"s_level": [0.0, 1.0, 2.0, 3.0]}}])"},
  };
  const std::vector<std::vector<std::string>> ways = {
      {"--fault", "one-at-a-time"},
      {"--batches", "4", "--batch-resets"},
      {"--batches", "4", "--batch-resets", "--episodes-ahead"}};
  for (const Case& c : cases) {
    for (const std::vector<std::string>& way : ways) {
      SCOPED_TRACE(c.args[1] + " " + way.back());
      std::vector<std::string> args = c.args;
      args.insert(args.end(), way.begin(), way.end());
      start(columns, 2);
      analyze_sim(test_sim(args));
      EXPECT_EQ(last_rollouts(*node_).at("episodes"), json::parse(c.episodes));
      expect_sim_gone();
    }
  }
  // A sim that answers steps after its ending answer is caught at the next episode's reset.
  start(columns, 2);
  EXPECT_EQ(failure(test_sim({"--fault", "steps-after-end", "--end-at", "2", "--batches", "4",
                              "--batch-resets", "--episodes-ahead"})),
            "The sim failed while replaying the dataset (BadAnswer: the sim's step() answered "
            "step 3 after step 2 ended the episode" +
                std::string(kValidate));
}

TEST_F(SimReplay, ASimThatAnswersEachStepTwiceIsRefusedHoweverItIsStepped) {
  // Sent ahead, the second answer to step 1 comes where step 2's is due. One at a time it
  // may be taken for the next step's answer, but the stream ends one answer too long.
  const std::string failed = "The sim failed while replaying the dataset (BadAnswer: the sim's ";
  for (bool ahead : {true, false}) {
    SCOPED_TRACE(ahead ? "sent ahead" : "one at a time");
    start(kTestSimColumns);
    std::vector<std::string> args = {"--fault", "answer-twice"};
    if (!ahead) args.insert(args.end(), {"--fault", "one-at-a-time"});
    const std::string message = failure(test_sim(args));
    if (ahead) {
      EXPECT_EQ(message, failed + "step() answered step 1 again, where step 2 was due" + kValidate);
    } else {
      EXPECT_THAT(message, StartsWith(failed + "step() sent an answer that no step asked for, "
                                               "after its answer to step "));
      EXPECT_THAT(message, EndsWith(kValidate));
    }
    // Nothing of the shifted answers reaches the node.
    EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions"));
    expect_sim_gone();
    connection_->pgid = 0;
  }
}

TEST_F(SimReplay, StepsAheadOrInBatchesGiveTheNodeTheSameRolloutsByteForByte) {
  // The example dataset, as the development node answers for it.
  auto catalog = std::make_shared<dev::DatasetCatalog>(
      dev::DatasetCatalog::load(velko::testing::source("examples/datasets")));
  const std::int64_t count =
      static_cast<std::int64_t>(catalog->find("water-tank-runs")->episodes.size());
  const std::string tank = testing::water_tank_dir(dir_.path());
  // Every episode replayed to its end, and every episode cut short by the sim.
  for (std::int64_t max_steps : {0, 150}) {
    SCOPED_TRACE("max_steps " + std::to_string(max_steps));
    // One at a time, sent ahead one to a message, and in batches of the default size and of
    // one whose boundaries fall anywhere in an episode; in one process of the sim and spread
    // over two and three.
    struct Way {
      int steps_ahead;
      StepBatching batching;
      int sims = 1;
    };
    const Way ways[] = {{1, {}},
                        {sim_connection::DEFAULT_STEPS_AHEAD, {0, 0}},
                        {sim_connection::DEFAULT_STEPS_AHEAD, {}},
                        {sim_connection::DEFAULT_STEPS_AHEAD, {7, 16}},
                        {sim_connection::DEFAULT_STEPS_AHEAD, {}, 2},
                        {1, {}, 3}};
    std::vector<std::string> bodies;
    for (const Way& way : ways) {
      // The run asks for dataset "ds-1".
      auto node = std::make_unique<testing::LoopbackNode>();
      node->respond("analysis-actions",
                    [catalog](const httplib::Request& request, httplib::Response& out) {
                      json::value asked = json::parse(request.body);
                      asked.as_object()["dataset_uuid"] = catalog->find("water-tank-runs")->id;
                      out.set_content(dev::analysis_actions(*catalog, json::serialize(asked)),
                                      "application/json");
                    });
      start(std::move(node), count);
      connection_->window = way.steps_ahead;
      timings_.batching = way.batching;
      sims_ = way.sims;
      analyze_sim(tank, 20, json::object{{"seed", 11}, {"max_steps", max_steps}});
      bodies.push_back(node_->bodies("sim-analyze-rollouts").back());
    }
    EXPECT_FALSE(bodies[0].empty());
    for (std::size_t i = 1; i < bodies.size(); ++i) {
      EXPECT_TRUE(bodies[0] == bodies[i]) << "the bodies differ, way " << i;
    }
    // Written from the compact predictions as it is sent, the body is still what the general
    // writer makes of its values (which read back exactly): the text the run always sent.
    EXPECT_TRUE(json_text::to_json(json_text::parse(bodies[1])) == bodies[1])
        << "the body is not the general writer's text";
    const json::value body = json::parse(bodies[1]);
    const json::array& episodes = body.at("episodes").as_array();
    EXPECT_EQ(episodes.size(), 20u);
    for (const json::value& episode : episodes) {
      const std::size_t rows = episode.at("predictions").at("tank-level").as_array().size();
      if (max_steps > 0) {
        EXPECT_EQ(rows, 151u);
      } else {
        EXPECT_GE(rows, 200u);
      }
    }
  }
}

TEST_F(SimReplay, AFailureInOneOfSeveralProcessesStopsThemAllAndTellsOfThatOne) {
  // Two episodes over two processes: the one that resets with episode 4's seed crashes at its
  // first step while the other hangs in its own until it is stopped.
  start(R"({"episodes": [
      {"episode": 3, "n_rows": 3, "actions": {"a_valve": [null, 0.5, 0.25]}},
      {"episode": 4, "n_rows": 3, "actions": {"a_valve": [null, 0.5, 0.25]}}],
    "sensor_variables": ["s_level"], "action_variables": ["a_valve"],
    "raw_names": {"s_level": "level", "a_valve": "valve"}})",
        2);
  sims_ = 2;
  const std::uint64_t seed = episode_seed(0, json::value(4));
  auto begin = Clock::now();
  const std::string message =
      failure(test_sim({"--fault", "crash-or-hang", std::to_string(seed)}), 20);
  EXPECT_LT(seconds_since(begin), 10) << "the hanging process was not stopped";
  EXPECT_THAT(message, StartsWith("The sim was ended by signal 6 (Aborted) while replaying the "
                                  "dataset; validate it with `velko sim validate --steps 100`"));
  EXPECT_THAT(message, EndsWith("fatal: simulated crash after reset seed " + std::to_string(seed)));
  EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions"));
  ASSERT_EQ(connection_->groups.size(), 2u);
  for (pid_t group : connection_->groups) {
    EXPECT_TRUE(testing::eventually_blocking([&] { return !testing::group_alive(group); }, 5));
  }
}

TEST_F(SimReplay, SimWhosePortIsTakenIsStartedAgainOnAnotherPort) {
  // Another server holds the port as gRPC servers do by default, willing to share it.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(holder, 4), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int taken = ntohs(address.sin_port);
  // And on the IPv6 loopback where there is one, as a server on "localhost" does.
  int holder6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (holder6 >= 0) {
    ::setsockopt(holder6, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = htons(static_cast<std::uint16_t>(taken));
    if (::bind(holder6, reinterpret_cast<sockaddr*>(&address6), sizeof address6) != 0 ||
        ::listen(holder6, 4) != 0) {
      ::close(holder6);
      holder6 = -1;
    }
  }
  EXPECT_TRUE(sim_connection::port_in_use(taken));

  // The sims refuse to share the port; the run notices and moves on to a free one.
  start(kWaterTankColumns, 8);
  connection_->next_ports = {taken};
  EXPECT_EQ(analyze_sim(testing::water_tank_dir(dir_.path())), json::parse(kAnalysis));
  EXPECT_TRUE(connection_->said("cannot serve on localhost:" + std::to_string(taken)));
  ::close(holder);
  if (holder6 >= 0) ::close(holder6);
  EXPECT_FALSE(sim_connection::port_in_use(taken));
}

TEST_F(SimReplay, StepThatHangsFailsAtTheCallTimeLimit) {
  for (bool ahead : {true, false}) {
    SCOPED_TRACE(ahead ? "sent ahead" : "one at a time");
    start(kTestSimColumns);
    std::vector<std::string> args{"--fault", "hang-in-step", "1"};
    if (!ahead) args.insert(args.end(), {"--fault", "one-at-a-time"});
    auto begin = Clock::now();
    EXPECT_EQ(failure(test_sim(args), 0.2),
              "The sim failed while replaying the dataset (TimeoutError: the sim's step() did "
              "not answer within 0.2 s" +
                  std::string(kValidate));
    expect_sim_gone();
    EXPECT_LT(seconds_since(begin), 5);
    connection_->pgid = 0;
  }
}

TEST_F(SimReplay, SimThatNeverServesFailsAtTheServeTimeLimit) {
  start(kTestSimColumns);
  timings_.serve_timeout_s = 0.3;
  std::string message = failure(test_sim({"--fault", "never-serve"}));
  EXPECT_THAT(message, StartsWith("The sim did not start:\n\nthe sim at localhost:"));
  EXPECT_THAT(message, EndsWith(" did not serve within 0.3 s"));
  expect_sim_gone();
}

TEST_F(SimReplay, PathThatIsNoSimFailsBeforeAnythingStarts) {
  start(kTestSimColumns);
  EXPECT_EQ(failure(dir_.path()),
            "The sim did not start:\n\n" + dir_.path() +
                " is not a sim: it holds no velko-sim.json and is not an executable");
  EXPECT_EQ(connection_->pgid.load(), 0);
}

TEST_F(SimReplay, SimThatIgnoresTerminationIsKilledAfterTheGracePeriod) {
  start(kTestSimColumns);
  auto begin = Clock::now();
  analyze_sim(test_sim({"--fault", "ignore-sigterm"}));
  EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions", "sim-analyze-rollouts"));
  expect_sim_gone();
  EXPECT_LT(seconds_since(begin), 5);
}

TEST_F(SimReplay, WhatTheSimStartedIsStoppedWithIt) {
  start(kTestSimColumns);
  analyze_sim(test_sim({"--fault", "spawn-child"}));
  EXPECT_TRUE(connection_->said("child "));
  expect_sim_gone();
}

TEST_F(SimReplay, InterruptDuringTheReplayStopsTheSim) {
  for (bool ahead : {true, false}) {
    SCOPED_TRACE(ahead ? "sent ahead" : "one at a time");
    start(kTestSimColumns);
    std::vector<std::string> args{"--fault", "hang-in-step", "2"};
    if (!ahead) args.insert(args.end(), {"--fault", "one-at-a-time"});
    std::string sim = test_sim(args);
    // Ctrl-C once the sim is inside its second step.
    std::thread interrupter([&] {
      if (testing::eventually_blocking([&] { return connection_->said("hanging in step"); }, 20)) {
        ::kill(::getpid(), SIGINT);
      }
    });
    bool interrupted = false;
    auto begin = Clock::now();
    try {
      analyze_sim(sim, 30);
    } catch (const Interrupted&) {
      interrupted = true;
    }
    interrupter.join();
    EXPECT_TRUE(interrupted);
    EXPECT_THAT(node_->paths(), ElementsAre("analysis-actions"));
    expect_sim_gone();
    EXPECT_LT(seconds_since(begin), 10);
    connection_->pgid = 0;
    std::lock_guard lock(*connection_->lines_mutex);
    connection_->lines->clear();
  }
}

}  // namespace
}  // namespace velko::dataset_replay
