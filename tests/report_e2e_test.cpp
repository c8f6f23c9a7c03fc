// The report run through the built executables: `velko sim publish` against the local
// platform and compute node, with the example sim and fault sims as real processes.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <boost/json.hpp>

#include "common/http.h"
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
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kDemoProject = "Water plant";

class ReportEndToEnd : public EndToEnd {
 protected:
  void start(std::vector<std::string> platform_args = {}) {
    // The example dataset and a small one that matches the fault sims.
    std::filesystem::copy(source("examples/datasets/water-tank-runs"), data / "water-tank-runs");
    write_valve_runs(data.path(), 4, 12, "5b7e0c1a-0000-4000-8000-00000000aa01");
    start_services(platform_args);
    compute_url = services->node_url();
  }

  // The fixture's options, with velko pointed at the compute node this test chose.
  RunOptions options() const {
    RunOptions run_options = EndToEnd::options();
    run_options.env["VELKO_COMPUTE_URL"] = compute_url;
    return run_options;
  }

  std::vector<std::string> publish_args(const std::string& sim_path,
                                        std::vector<std::string> extra = {}) {
    // The fault sims replay the dataset made for them.
    std::string dataset = sim_path == dir / "water-tank" ? "water-tank-runs" : "valve-runs";
    std::vector<std::string> argv{bin("velko"), "sim",   "publish",        sim_path,
                                  "--dataset",  dataset, "--max-episodes", "3"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  // A well-behaved sim that adds a line to `marker` each time it is started: `sim publish`
  // starts it once for its checks before anything is published, and once more for the replay.
  std::string counted_sim(const std::string& marker) {
    return sim(
        "counted",
        {"/bin/sh", "-c",
         "echo started >> '" + marker + "'; exec '" + bin("velko-test-sim") + "' \"$@\"", "sh"});
  }

  RunResult publish(const std::string& sim_path, std::vector<std::string> extra = {}) {
    return run(publish_args(sim_path, std::move(extra)), options());
  }

  json::value state() { return services->state(); }
  std::string project_id(const std::string& name) {
    http::Request request;
    request.url = services->platform_url() + "/v1/projects";
    json::value projects = json_text::parse(http::perform(request).body);
    for (const auto& project : projects.as_array()) {
      if (project.at("name") == json::value(name)) return std::string(project.at("id").as_string());
    }
    return "";
  }

  std::string compute_url;
};

TEST_F(ReportEndToEnd, PublishedSimIsReplayedSubmittedAndReported) {
  start();
  std::string project = project_id(kDemoProject);
  RunResult result = publish(water_tank(), {"--project", project});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  EXPECT_THAT(result.out, MatchesRegex("(.|\n)*✓ Added the sim to the use case\n(.|\n)*"));
  EXPECT_THAT(result.out, MatchesRegex("(.|\n)*✓ Analyzed 3 episodes: score [0-9.]+\n(.|\n)*"));
  EXPECT_THAT(result.out, HasSubstr("Simulation report\n"));
  EXPECT_THAT(result.out,
              MatchesRegex("(.|\n)*│ ready +│ [0-9]+\\.[0-9] +│ Water plant +│(.|\n)*"));
  json::value claim = services->closed_claim();
  const json::value& body = claim.at("submitted");
  EXPECT_EQ(body.at("simulatorValidation").at("schema"), json::value("simulator_validation/v2"));
  EXPECT_EQ(body.at("simulatorValidation").at("dataset").at("selected_episodes").as_array().size(),
            3u);
  EXPECT_TRUE(body.at("dataset").at("contentSha256").is_string());
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());

  // For a pipeline: one object on standard output, and a score gate with a status of its own
  // once everything else has run (the build published, the report made).
  for (const char* min_score : {"0", "100"}) {
    const bool passes = std::string(min_score) == "0";
    RunResult gated =
        publish(water_tank(), {"--project", project, "--json", "--min-score", min_score});
    EXPECT_EQ(gated.status, passes ? 0 : 3) << gated.err;
    json::value out = json::parse(gated.out);
    EXPECT_EQ(out.at("sim").at("name"), "water-tank");
    EXPECT_EQ(out.at("dataset").at("name"), "water-tank-runs");
    EXPECT_EQ(out.at("episodes"), 3);
    EXPECT_EQ(out.at("rows_reached"), out.at("rows_recorded"));
    EXPECT_GT(out.at("score").as_double(), 50);
    EXPECT_EQ(out.at("sensors").as_array().size(), 4u);
    EXPECT_EQ(out.at("report").at("status"), "ready");
    EXPECT_EQ(out.at("report").at("use_cases"), json::parse(R"(["Water plant"])"));
    EXPECT_EQ(out.at("passed"), passes);
    EXPECT_EQ(out.at("error"), nullptr);
    EXPECT_EQ(out.at("claimed"), true);
    EXPECT_EQ(out.at("claim_closed"), false);
    EXPECT_THAT(gated.err, HasSubstr("✓ Analyzed 3 episodes"));
    if (!passes) {
      EXPECT_THAT(gated.err, MatchesRegex("(.|\n)*✗ The score [0-9.]+ is below --min-score "
                                          "100.0\n$"));
    }
    EXPECT_EQ(state().at("claims").as_array().back().at("open"), false);
  }
}

TEST_F(ReportEndToEnd, RefusedClaimShowsTheDetailAndStartsNothing) {
  start({"--refuse-claims", "Report jobs are paused for maintenance"});
  std::string marker = dir / "started";
  RunResult result = publish(counted_sim(marker));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Report jobs are paused for maintenance\n");
  EXPECT_EQ(read_file(marker), "started\n");  // by the checks alone
}

TEST_F(ReportEndToEnd, BadLocalInputsAreRefusedBeforeAnythingIsPublishedOrSent) {
  start();
  // A node that counts what reaches it.
  httplib::Server fake_node;
  std::atomic<int> node_requests = 0;
  auto count = [&](const httplib::Request&, httplib::Response& res) {
    ++node_requests;
    res.status = 500;
  };
  fake_node.Get(".*", count);
  fake_node.Post(".*", count);
  int port = fake_node.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { fake_node.listen_after_bind(); });
  compute_url = "http://127.0.0.1:" + std::to_string(port);

  struct Case {
    std::string sim;
    std::vector<std::string> extra;
    std::map<std::string, std::optional<std::string>> env;
    int status;
    std::string error;  // the start of standard error
  };
  std::string broken = sim("broken", {});
  std::string missing_program = sim("missing-program", {"./no-such-sim"});
  std::string tank = water_tank();
  const std::string kSecret = "s3cret\r\nX-Injected: 1";
  std::vector<Case> cases = {
      {broken,
       {},
       {},
       1,
       "Error: " + broken + "/velko-sim.json: \"command\" must be a non-empty list of texts"},
      {missing_program,
       {},
       {},
       1,
       "Error: " + missing_program + "/velko-sim.json: the program " + missing_program +
           "/no-such-sim does not exist\n"},
      {tank,
       {"--dataset", ""},
       {},
       2,
       "--dataset: is empty; give the id or name of a dataset on the compute node\n"},
      {tank,
       {"--env-init", R"({"seed": 1e999})"},
       {},
       2,
       "--env-init: is not valid JSON: number out of range (1e999; "},
      {tank, {"--env-init", "[7]"}, {}, 2, "--env-init: must be a JSON object"},
      {tank,
       {"--call-timeout", "nan"},
       {},
       2,
       "--call-timeout: must be a number of seconds greater than 0, such as 30; got nan\n"},
      {tank, {"--call-timeout", "inf"}, {}, 2, "--call-timeout: must be a number of seconds"},
      {tank, {"--call-timeout", "0"}, {}, 2, "--call-timeout: must be a number of seconds"},
      {tank, {"--call-timeout", "-1"}, {}, 2, "--call-timeout: must be a number of seconds"},
      {tank,
       {"--max-episodes", "0"},
       {},
       2,
       "--max-episodes: must be a whole number greater than 0, such as 20; got 0\n"},
      {tank,
       {},
       {{"VELKO_NODE_TOKEN", kSecret}},
       1,
       "Error: The compute node token (VELKO_NODE_TOKEN) holds a control character; set it to "
       "the token text alone\n"},
      {tank,
       {},
       {{"VELKO_API_TOKEN", kSecret}},
       1,
       "Error: The platform token (VELKO_API_TOKEN) holds a control character"},
      {tank,
       {},
       {{"VELKO_STEPS_AHEAD", "many"}},
       1,
       "Error: VELKO_STEPS_AHEAD must be a whole number from 0 to 1024 (the most steps sent to "
       "a sim ahead of their answers; 0 or 1: one at a time), not 'many'\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = publish_args(c.sim);
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    RunOptions run_options = options();
    for (const auto& [name, value] : c.env) run_options.env[name] = value;
    RunResult result = run(argv, run_options);
    std::string which = ::testing::PrintToString(c.extra) + " " + c.sim;
    EXPECT_EQ(result.status, c.status) << which << "\n" << result.err;
    EXPECT_THAT(result.err, StartsWith(c.error)) << which;
    EXPECT_THAT(result.err + result.out, Not(HasSubstr("s3cret"))) << which;
  }
  // Help and the version need no setting.
  RunOptions bad_setting = options();
  bad_setting.env["VELKO_STEPS_AHEAD"] = "many";
  for (auto [flag, shown] : {std::pair{"--version", "velko "}, {"--help", "VELKO_STEPS_AHEAD"}}) {
    RunResult result = run({bin("velko"), flag}, bad_setting);
    EXPECT_EQ(result.status, 0) << flag << "\n" << result.err;
    EXPECT_THAT(result.out, HasSubstr(shown)) << flag;
  }
  fake_node.stop();
  serving.join();
  json::value held = state();
  EXPECT_THAT(held.at("sims").as_array(), IsEmpty());
  EXPECT_THAT(held.at("claims").as_array(), IsEmpty());
  EXPECT_EQ(node_requests.load(), 0);
}

TEST_F(ReportEndToEnd, DatasetWithoutEpisodeCountPublishesNothingAndStartsNothing) {
  start();
  json::value parsed = json_text::parse(read_file(data / "valve-runs/dataset.json"));
  parsed.as_object()["stats"] = false;
  write_file(data / "valve-runs/dataset.json", json_text::to_json(parsed));
  // A node started anew, which reads the changed descriptor.
  ServerProcess node(std::vector<std::string>{bin("velko-dev-node"), "--host", "127.0.0.1",
                                              "--port", "0", "--data", data.path()});
  compute_url = node.url();
  std::string marker = dir / "started";
  RunResult result = publish(counted_sim(marker));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error: The episode count of 'valve-runs' is unknown; run `velko data stats "
            "valve-runs` first\n");
  json::value held = state();
  EXPECT_THAT(held.at("sims").as_array(), IsEmpty());
  EXPECT_THAT(held.at("claims").as_array(), IsEmpty());
  EXPECT_EQ(read_file(marker), "started\n");  // by the checks alone
}

TEST_F(ReportEndToEnd, NodeRefusingTheActionsStartsNoSim) {
  start();
  httplib::Server fake_node;
  fake_node.Get("/datasets/valve-runs", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"id": "d-1", "name": "valve-runs", "cycles": {"count": 5}})",
                    "application/json");
  });
  fake_node.Post("/ml/analysis-actions", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(R"({"detail": "This node holds no dataset d-1"})", "application/json");
  });
  int port = fake_node.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { fake_node.listen_after_bind(); });
  compute_url = "http://127.0.0.1:" + std::to_string(port);
  std::string marker = dir / "started";
  RunResult result = publish(counted_sim(marker));
  fake_node.stop();
  serving.join();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error: The compute node refused the analysis: This node holds no dataset d-1\n");
  EXPECT_EQ(
      services->closed_claim().at("submitted"),
      json::parse(
          R"({"failure": "The compute node refused the analysis: This node holds no dataset d-1"})"));
  EXPECT_EQ(read_file(marker), "started\n");  // by the checks alone
}

TEST_F(ReportEndToEnd, SimThatCannotWorkIsNotPublishedAndSaysWhy) {
  start();
  // One that does not start shows its output; nothing is published or claimed.
  RunResult result = publish(fault_sim("broken", {"fail-before-serve"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, StartsWith("Error: The sim was not published: Start: the sim did not "
                                     "start: the sim exited with status 1 before it served"));
  EXPECT_THAT(result.err, HasSubstr("\n\n"));
  // One whose make() fails, or that has a mapping without a slot, is refused alike.
  result = publish(fault_sim("no-make", {"fail-make"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Init and Make: while making the environment: the sim's "
                                    "make() failed: no tank model named 'big'"));
  result = publish(fault_sim("unmapped", {"bad-mappings"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Mappings: sensor '[3]': the space has no position 3"));
  EXPECT_THAT(result.err, HasSubstr("action mapping 1 ('valve') has no \"name\", so it has no "
                                    "slot; give the slot path"));
  EXPECT_EQ(state().at("claims"), json::array());
  EXPECT_EQ(state().at("sims"), json::array());
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

TEST_F(ReportEndToEnd, SimCrashingMidReplayIsToldByItsEndAndClosesTheClaim) {
  start();
  RunResult result = publish(fault_sim("crashing", {"crash-at-step", "5"}));
  EXPECT_EQ(result.status, 1);
  const std::string ended =
      "The sim was ended by signal 6 (Aborted) while replaying the "
      "dataset; validate it with `velko sim validate --steps 100`";
  // Its last lines follow; the claim's reason is the first line alone.
  EXPECT_THAT(result.err, StartsWith("Error: " + ended + "\n\n"));
  EXPECT_THAT(result.err, HasSubstr("\nfatal: simulated crash at step 5\n"));
  EXPECT_EQ(services->closed_claim().at("submitted").at("failure"), json::value(ended));
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
  // With --json, the failure is in the object too, with the claim it closed.
  RunResult as_json = publish(fault_sim("crashing-json", {"crash-at-step", "5"}), {"--json"});
  EXPECT_EQ(as_json.status, 1);
  json::value out = json::parse(as_json.out);
  EXPECT_EQ(out.at("error"), json::value(ended));
  EXPECT_EQ(out.at("claimed"), true);
  EXPECT_EQ(out.at("claim_closed"), true);
  EXPECT_EQ(out.at("passed"), false);
  EXPECT_EQ(out.at("score"), nullptr);
}

TEST_F(ReportEndToEnd, StepsAheadSettingDecidesHowTheSimIsStepped) {
  // The sim misnumbers its answer to its second step, which only steps sent ahead check.
  start();
  std::string sim_path = fault_sim("misnumbering", {"out-of-order", "2"});
  RunResult ahead = publish(sim_path);
  EXPECT_EQ(ahead.status, 1);
  EXPECT_THAT(ahead.err, HasSubstr("(BadAnswer: the sim's step() answered step 3 where step 2 "
                                   "was due)"));
  for (const char* one_at_a_time : {"1", "0"}) {
    RunOptions run_options = options();
    run_options.env["VELKO_STEPS_AHEAD"] = one_at_a_time;
    RunResult result = run(publish_args(sim_path), run_options);
    EXPECT_EQ(result.status, 0) << one_at_a_time << "\n" << result.err;
    EXPECT_THAT(result.out, HasSubstr("✓ Analyzed 3 episodes"));
  }
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

TEST_F(ReportEndToEnd, SimProcessesComeFromTheOptionTheSettingOrTheSimsDescription) {
  start();
  const std::string tank = water_tank();
  const std::string command = R"({"command": [")" + bin("velko-water-tank-sim") + R"("])";
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  struct Case {
    // The tank's description says that several of its processes may run at once.
    bool several;
    std::vector<std::string> extra;
    std::optional<std::string> setting;
    int processes;
  };
  const std::vector<Case> cases = {
      {false, {}, std::nullopt, 1},
      {false, {"--sims", "2"}, std::nullopt, 2},
      {false, {}, "2", 2},
      {false, {"--sims", "1"}, "auto", 1},
      // One a core, at most one an episode (3).
      {true, {}, std::nullopt, std::min(cores, 3)},
      {true, {"--sims", "1"}, std::nullopt, 1},
      {false, {"--sims", "auto"}, std::nullopt, std::min(cores, 3)},
  };
  for (const Case& c : cases) {
    write_file(tank + "/velko-sim.json",
               command + (c.several ? R"(, "several_processes": true})" : "}"));
    std::vector<std::string> argv = publish_args(tank);
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    RunOptions run_options = options();
    run_options.env["VELKO_LOG_LEVEL"] = "debug";
    run_options.env["VELKO_SIMS"] = c.setting;
    RunResult result = run(argv, run_options);
    const std::string which = ::testing::PrintToString(c.extra) + (c.several ? " several " : " ") +
                              c.setting.value_or("-");
    EXPECT_EQ(result.status, 0) << which << "\n" << result.err;
    EXPECT_THAT(result.out, HasSubstr("✓ Analyzed 3 episodes")) << which;
    EXPECT_THAT(result.err, HasSubstr(" with " + std::to_string(c.processes) + " sim process" +
                                      (c.processes == 1 ? ", " : "es, ")))
        << which;
  }
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
  // A count that no run could use is refused before anything is published.
  for (const auto& [extra, setting, error] :
       std::vector<std::tuple<std::vector<std::string>, std::optional<std::string>, std::string>>{
           {{"--sims", "0"},
            std::nullopt,
            "--sims: must be auto (one process a core) or a whole "
            "number from 1 to 64, not '0'\n"},
           {{},
            "65",
            "Error: VELKO_SIMS must be auto (one process a core) or a whole number "
            "from 1 to 64, not '65'\n"}}) {
    std::vector<std::string> argv = publish_args(tank);
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunOptions run_options = options();
    run_options.env["VELKO_SIMS"] = setting;
    RunResult result = run(argv, run_options);
    EXPECT_EQ(result.status, extra.empty() ? 1 : 2) << result.err;
    EXPECT_THAT(result.err, StartsWith(error));
  }
}

TEST_F(ReportEndToEnd, StepSlowerThanTheCallTimeout) {
  start();
  auto started = std::chrono::steady_clock::now();
  RunResult result = publish(fault_sim("slow", {"hang-in-step", "2"}), {"--call-timeout", "0.5"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err,
              StartsWith("Error: The sim failed while replaying the dataset (TimeoutError: "));
  services->closed_claim();
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

TEST_F(ReportEndToEnd, InterruptsDuringTheReplayCloseTheClaimAndLeaveNoProcess) {
  // Ctrl-C, and a closed terminal, while the sim (which has a child of its own) hangs in a
  // step: the claim is closed with the interrupt as its reason and the sim's whole group goes.
  // The closed terminal comes while two processes of the sim hang, and both groups go.
  start();
  for (auto [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGHUP, 129}}) {
    const std::size_t sims = signal == SIGHUP ? 2 : 1;
    std::string sim_path = fault_sim("hanging-" + std::to_string(signal),
                                     {"hang-in-step", "1", "--fault", "spawn-child"});
    const std::size_t claims_before = state().at("claims").as_array().size();
    std::promise<int> pid_promise;
    RunOptions run_options = options();
    run_options.on_start = [&](int pid) { pid_promise.set_value(pid); };
    auto finished = std::async(std::launch::async, [&] {
      return run(publish_args(sim_path, {"--sims", std::to_string(sims)}), run_options);
    });
    int pid = pid_promise.get_future().get();
    // Interrupt once the sim hangs in its first step (it says so on its output, which is
    // read into the run's log only when it fails; its process and its child are seen here,
    // after the claim: the sim started for the checks before it has a child too).
    auto replaying = [&] {
      return state().at("claims").as_array().size() > claims_before &&
             processes_in(sim_path).size() >= 2 * sims;
    };
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!replaying() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);
    ::kill(pid, signal);
    RunResult result = finished.get();
    EXPECT_EQ(result.status, status) << result.err << result.out;
    json::value held = state();
    const json::array& claims = held.at("claims").as_array();
    ASSERT_FALSE(claims.empty()) << result.err << result.out;
    EXPECT_EQ(claims.back().at("submitted"), json::parse(R"({"failure": "Interrupted"})"));
    EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
  }
}

TEST_F(ReportEndToEnd, KillingVelkoTakesTheSimAndWhatItStartedWithIt) {
  start();
  std::string sim_path = fault_sim("orphaned", {"hang-in-step", "1", "--fault", "spawn-child"});
  std::promise<int> pid_promise;
  RunOptions run_options = options();
  run_options.on_start = [&](int pid) { pid_promise.set_value(pid); };
  auto finished =
      std::async(std::launch::async, [&] { return run(publish_args(sim_path), run_options); });
  int pid = pid_promise.get_future().get();
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (processes_in(sim_path).size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(processes_in(sim_path).size(), 2u);
  ::kill(pid, SIGKILL);
  finished.get();
  // Nothing can close the claim, but nothing of the sim's group outlives velko either.
  deadline = std::chrono::steady_clock::now() + 30s;
  while (!processes_in(dir.path()).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

}  // namespace
}  // namespace velko::testing
