// The commands around a report run through the built executables: `velko sim validate` with
// the example sim and fault sims as real processes; `velko data stats` against the local
// compute node, after which `velko sim publish` takes a dataset whose count was unknown; and
// `velko sim list` against the local platform.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "tests/support/end_to_end.h"
#include "tests/support/servers.h"
#include "tests/support/sims.h"
#include "tests/support/testing.h"

namespace velko::testing {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

using SimCommandsEndToEnd = EndToEnd;

TEST_F(SimCommandsEndToEnd, TheExampleSimPassesEveryCheck) {
  RunResult result = velko({"sim", "validate", water_tank(), "--steps", "100"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_THAT(result.out, StartsWith("✓ Start: the sim served within "));
  EXPECT_THAT(result.out, HasSubstr("\n✓ Steps: 100 steps over 1 episode with actions sampled "
                                    "from the action space (seed 0), each answer well formed"));
  EXPECT_THAT(result.out, HasSubstr("\n✓ Close: it answered, and the sim ended when asked and left "
                                    "nothing behind\nCall times\n"));
  // The same actions again, one at a time and sent ahead, must answer alike.
  EXPECT_THAT(result.out, HasSubstr("\n✓ Steps sent ahead: 100 steps after a fresh Reset with "
                                    "seed 0, up to 64 sent ahead and in batches of up to 128, "
                                    "512 in flight, the reset in the first, answered as the same "
                                    "steps one at a time\n"));
  EXPECT_THAT(result.out, HasSubstr("│ step()              │ 200   │"));
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

TEST_F(SimCommandsEndToEnd, ValidateStepsAheadAndInBatchesAsTheSettingsSay) {
  const std::string tank = water_tank();
  struct Case {
    const char* steps_ahead;
    const char* step_batch;
    const char* batch_window;
    const char* status;
    const char* says;
  };
  const Case cases[] = {
      {"8", "4", "12", "passed",
       "20 steps after a fresh Reset with seed 0, up to 8 sent ahead and in batches of up to 4, "
       "12 in flight, the reset in the first, answered as"},
      {"8", "1", "", "passed",
       "20 steps after a fresh Reset with seed 0, up to 8 sent ahead, "
       "answered as"},
      {"1", "", "", "skipped", "VELKO_STEPS_AHEAD is 1, so steps go one at a time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.steps_ahead) + " " + c.step_batch + " " + c.batch_window);
    RunOptions run_options = options();
    run_options.env["VELKO_STEPS_AHEAD"] = std::string(c.steps_ahead);
    run_options.env["VELKO_STEP_BATCH"] = std::string(c.step_batch);
    run_options.env["VELKO_BATCH_WINDOW"] = std::string(c.batch_window);
    RunResult result = velko({"sim", "validate", tank, "--steps", "20", "--json"}, run_options);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const json::value check = json::parse(result.out).at("checks").at(7);
    EXPECT_EQ(check.at("check"), json::value("steps_ahead"));
    EXPECT_EQ(check.at("status"), json::value(c.status));
    EXPECT_THAT(std::string(check.at("summary").as_string()), HasSubstr(c.says));
  }

  // A window below the batch size is refused before the sim is started.
  RunOptions refused = options();
  refused.env["VELKO_STEP_BATCH"] = "16";
  refused.env["VELKO_BATCH_WINDOW"] = "8";
  RunResult result = velko({"sim", "validate", tank, "--steps", "20"}, refused);
  EXPECT_NE(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, StartsWith("Error: VELKO_BATCH_WINDOW must be a whole number from 16 "
                                     "to 16384"));
}

TEST_F(SimCommandsEndToEnd, ValidateTakesTheCurrentDirectoryAndAnswersInJsonForCi) {
  RunOptions run_options = options();
  run_options.cwd = fault_sim("no-make", {"fail-make"});
  RunResult result = velko({"sim", "validate", "--json", "--steps", "3"}, run_options);
  EXPECT_EQ(result.status, 1) << result.err;
  json::value answer = json::parse(result.out);
  EXPECT_EQ(answer.at("path"), json::value("."));
  EXPECT_EQ(answer.at("passed"), json::value(false));
  const json::array& checks = answer.at("checks").as_array();
  ASSERT_EQ(checks.size(), 9u);
  EXPECT_EQ(checks[0].at("status"), json::value("passed"));
  EXPECT_EQ(checks[1].at("status"), json::value("failed"));
  EXPECT_EQ(checks[1].at("summary"),
            json::value("while making the environment: the sim's make() failed: no tank "
                        "model named 'big'"));
  EXPECT_EQ(checks[2].at("status"), json::value("not_checked"));

  // On a terminal too, standard output holds the JSON alone: the status lines go to standard
  // error.
  run_options.on_terminals = true;
  RunResult shown = velko({"sim", "validate", "--json", "--steps", "3"}, run_options);
  EXPECT_EQ(shown.status, 1) << shown.err;
  EXPECT_EQ(shown.out.find('\x1b'), std::string::npos) << shown.out;
  EXPECT_EQ(json::parse(shown.out).at("checks").at(1).at("summary"), checks[1].at("summary"));
  EXPECT_THAT(shown.err, HasSubstr("Starting the sim..."));
}

TEST_F(SimCommandsEndToEnd, ValidateRefusesOptionsItCannotRunWith) {
  std::string tank = water_tank();
  struct Case {
    std::vector<std::string> extra;
    std::string error;
  };
  std::vector<Case> cases = {
      {{"--steps", "0"}, "--steps: must be a whole number greater than 0, such as 100; got 0\n"},
      {{"--steps", "x"}, "--steps: must be a whole number greater than 0, such as 100; got x\n"},
      {{"--seed", "-1"}, "--seed: must be a whole number of at least 0, such as 7; got -1\n"},
      {{"--env-init", "[1]"}, "--env-init: must be a JSON object"},
      {{"--call-timeout", "0"}, "--call-timeout: must be a number of seconds greater than 0"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"sim", "validate", tank};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult result = velko(args);
    EXPECT_EQ(result.status, 2) << ::testing::PrintToString(c.extra) << result.err;
    EXPECT_THAT(result.err, StartsWith(c.error)) << ::testing::PrintToString(c.extra);
  }
}

TEST_F(SimCommandsEndToEnd, CtrlCStopsTheSimAndWhatItStarted) {
  std::string path = fault_sim("hanging", {"hang-in-step", "1", "--fault", "spawn-child"});
  std::promise<int> pid_promise;
  RunOptions run_options = options();
  run_options.on_start = [&](int pid) { pid_promise.set_value(pid); };
  auto finished = std::async(std::launch::async, [&] {
    return velko({"sim", "validate", path}, run_options);
  });
  int pid = pid_promise.get_future().get();
  // The sim and its child run once it hangs in its first step.
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (processes_in(path).size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(processes_in(path).size(), 2u);
  ::kill(pid, SIGINT);
  RunResult result = finished.get();
  EXPECT_EQ(result.status, 130);
  EXPECT_EQ(result.err, "Interrupted\n");
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

// The local platform and a compute node holding a dataset for the test sim (one sensor "level",
// one action "valve") whose statistics were never computed.
class ServersEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    write_valve_runs(data.path(), 3, 6, "5b7e0c1a-0000-4000-8000-00000000aa03",
                     R"("stats": false)");
    start_services();
  }
};

TEST_F(ServersEndToEnd, ADatasetWithoutACountPublishesOnceItIsCounted) {
  std::string valve_sim = sim("valve", {bin("velko-test-sim")});
  std::vector<std::string> publish{"sim",        "publish",        valve_sim, "--dataset",
                                   "valve-runs", "--max-episodes", "2"};
  RunResult refused = velko(publish);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "Error: The episode count of 'valve-runs' is unknown; run `velko data stats "
            "valve-runs` first\n");

  RunResult counted = velko({"data", "stats", "valve-runs"});
  ASSERT_EQ(counted.status, 0) << counted.err;
  EXPECT_EQ(counted.out,
            "✓ Counted 'valve-runs': 3 episodes, 18 rows. The compute node knows its episode "
            "count from now on.\n"
            "Dataset 'valve-runs'\n"
            "┏━━━━━━━━┳━━━━━━━━┳━━━━━━━┳━━━━━━━┳━━━━━┳━━━━━┳━━━━━━┓\n"
            "┃ Column ┃ Role   ┃ Count ┃ Nulls ┃ Min ┃ Max ┃ Mean ┃\n"
            "┡━━━━━━━━╇━━━━━━━━╇━━━━━━━╇━━━━━━━╇━━━━━╇━━━━━╇━━━━━━┩\n"
            "│ level  │ sensor │ 18    │ 0     │ 0.0 │ 2.5 │ 1.25 │\n"
            "│ valve  │ action │ 15    │ 3     │ 0.5 │ 0.5 │ 0.5  │\n"
            "└────────┴────────┴───────┴───────┴─────┴─────┴──────┘\n");

  // For a program: the same figures as one object, the message on standard error.
  RunResult as_json = velko({"data", "stats", "valve-runs", "--json"});
  ASSERT_EQ(as_json.status, 0) << as_json.err;
  EXPECT_THAT(as_json.err, StartsWith("✓ Counted 'valve-runs': 3 episodes"));
  json::value figures = json::parse(as_json.out);
  EXPECT_EQ(figures.at("dataset").at("name"), "valve-runs");
  EXPECT_EQ(figures.at("episodes"), 3);
  EXPECT_EQ(figures.at("rows"), 18);
  EXPECT_EQ(figures.at("columns").at(1),
            json::parse(R"({"id": "valve", "name": "valve", "role": "action", "count": 15,
                            "nulls": 3, "min": 0.5, "max": 0.5, "mean": 0.5})"));

  RunResult published = velko(publish);
  EXPECT_EQ(published.status, 0) << published.err;
  EXPECT_THAT(published.out, MatchesRegex("(.|\n)*✓ Analyzed 2 episodes: score [0-9.]+\n(.|\n)*"));
}

TEST_F(ServersEndToEnd, AnUnknownDatasetOrAnUnreachableNodeSaysWhatToDoAndPublishesNothing) {
  const std::string kNoDataset = "Error: The compute node at " + services->node_url() +
                                 " has no dataset 'nope': There is no dataset with the id or "
                                 "name 'nope' on this node\n";
  const std::string kNodeDown = "(is the compute node running? VELKO_COMPUTE_URL sets its address)";
  RunResult unknown = velko({"data", "stats", "nope"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, kNoDataset);
  RefusingPort closed;
  RunOptions unreachable = options();
  unreachable.env["VELKO_COMPUTE_URL"] = closed.url();
  RunResult down = velko({"data", "stats", "valve-runs"}, unreachable);
  EXPECT_EQ(down.status, 1);
  EXPECT_THAT(down.err, HasSubstr(kNodeDown));
  // `sim publish` finds the same, and an unknown project, before it publishes the build.
  std::string valve_sim = sim("valve", {bin("velko-test-sim")});
  auto publish = [&](std::vector<std::string> args, const RunOptions& run_options) {
    args.insert(args.begin(), {"sim", "publish", valve_sim, "--dataset"});
    return velko(args, run_options).err;
  };
  EXPECT_EQ(publish({"nope"}, options()), kNoDataset);
  EXPECT_THAT(publish({"valve-runs"}, unreachable), HasSubstr(kNodeDown));
  EXPECT_THAT(publish({"valve-runs", "--project", "Nowhere"}, options()),
              StartsWith("Error: --project 'Nowhere' is neither the id nor the name"));
  json::value held = services->state();
  EXPECT_THAT(held.at("sims").as_array(), IsEmpty());
  EXPECT_THAT(held.at("claims").as_array(), IsEmpty());
  RunResult usage = velko({"data", "stats"});
  EXPECT_EQ(usage.status, 2);
}

TEST_F(ServersEndToEnd, SimListShowsThePublishedSimsWithTheirBuildAndUseCases) {
  RunResult empty = velko({"sim", "list"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out,
            "The organisation has no sims yet; publish one with `velko sim publish "
            "PATH --dataset REF`.\n");

  ASSERT_EQ(velko({"data", "stats", "valve-runs"}).status, 0);
  RunResult published = velko({"sim", "publish", sim("valve", {bin("velko-test-sim")}), "--dataset",
                               "valve-runs", "--project", "Water plant"});
  ASSERT_EQ(published.status, 0) << published.err;

  RunResult listed = velko({"sim", "list", "--org", "6f1d2c3b-4a59-4e68-9b7a-0c1d2e3f4a5b"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_THAT(listed.out, StartsWith("Sims\n┏"));
  EXPECT_THAT(listed.out,
              MatchesRegex("(.|\n)*│ valve │ 51a10001-[-0-9a-f]+ │ 51a10002-[-0-9a-f]+ +│ ready +│ "
                           "saved +│ Water plant │\n(.|\n)*"));
  RunResult as_json =
      velko({"sim", "list", "--org", "6f1d2c3b-4a59-4e68-9b7a-0c1d2e3f4a5b", "--json"});
  ASSERT_EQ(as_json.status, 0) << as_json.err;
  json::value sims = json::parse(as_json.out);
  EXPECT_EQ(sims.at("organisation"), "6f1d2c3b-4a59-4e68-9b7a-0c1d2e3f4a5b");
  const json::value& valve = sims.at("sims").at(0);
  EXPECT_EQ(valve.at("name"), "valve");
  EXPECT_EQ(valve.at("latest_build").at("status"), "READY");
  EXPECT_EQ(valve.at("latest_build").at("mappings_saved"), true);
  EXPECT_EQ(valve.at("use_cases"), json::parse(R"(["Water plant"])"));
  RunResult unknown = velko({"sim", "list", "--org", "nobody"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_THAT(unknown.err, StartsWith("Error: There is no organisation 'nobody'"));
}

}  // namespace
}  // namespace velko::testing
