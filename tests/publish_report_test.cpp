// Tests of the report run driver and the report wait: claim closing, reasons and bounds,
// the submission, polling and every printed outcome.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/api_status_error.h"
#include "common/async.h"
#include "common/console.h"
#include "common/errors.h"
#include "main/dataset_replay/analysis.h"
#include "main/dataset_replay/node_requests.h"
#include "main/dataset_replay/publish_report.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/report_wait.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sensor_results.h"
#include "spaces/core_library_impl.h"
#include "tests/support/captured_output.h"
#include "tests/support/fake_sim.h"
#include "tests/support/report_fakes.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

json::value J(const char* text) { return json::parse(text); }

// What analyze was given, for the checks on its arguments.
struct AnalyzeArgs {
  std::string path;
  json::value claim;
  std::string dataset_id;
  std::string bundle;
  int max_episodes = 0;
  json::object env_init;
  double call_timeout_s = 0;
  std::uint64_t seed = 99;
};

class ReportRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    timings.report_poll_s = 0.001;
    timings.report_timeout_s = 0.05;
    platform.statuses.push_back(J(
        R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "done",
            "run": {"status": "ready", "score": 87.46}, "projects": [{"projectName": "Plant"}]})"));
  }

  // The run as the tests make it: the fake platform and dataset module, the stand-in analysis
  // (none: the real one), the timings of the test.
  ReportRun report_run() {
    return ReportRun{platform,         dataset,           host_sim, sims,    core,
                     captured.console, captured.logger(), timings,  analysis};
  }

  // Makes the stand-in analysis answer `result`.
  void analysis_returns(json::value result) {
    analysis = [this, result](const ReportRun&, std::string path, json::value claim,
                              LocalDataset ds, std::string bundle,
                              ReplayOptions replay) -> awaitable<json::value> {
      seen = AnalyzeArgs{path,
                         claim,
                         ds.id,
                         bundle,
                         replay.max_episodes,
                         replay.env_init,
                         replay.call_timeout_s,
                         replay.run_seed};
      co_return result;
    };
  }

  void analysis_throws(std::function<void()> raise) {
    analysis = [raise](const ReportRun&, std::string, json::value, LocalDataset, std::string,
                       ReplayOptions) -> awaitable<json::value> {
      raise();
      co_return json::value();
    };
  }

  void run(PublishReportOptions options = {}) {
    const ReportRun run = report_run();
    async_to_sync([&]() -> awaitable<void> {
      co_await publish_report(run, "org-1", "sim-1", "Water tank", "impl-1", "/sims/tank", "abc123",
                              "water-tank-runs", options);
    })();
  }

  // Waits for the report as publish_report does, and yields the last status.
  json::value wait() {
    const ReportRun run = report_run();
    return async_to_sync([&]() -> awaitable<json::value> {
      // Named: GCC 12 destroys an aggregate made inside a co_await expression twice.
      ReportJob job{"o", "s", "i", "j"};
      co_return co_await wait_for_reports(run, std::move(job));
    })();
  }

  static json::value good_result(const char* score = "87.53333333333333") {
    std::string text = std::string(R"({"summary": {"rows": 10},
        "simulator_validation": {"schema": "simulator_validation/v2",
                                 "evaluation": {"score_percent": )") +
                       score + R"(},
                                 "dataset": {"selected_episodes": [0, 4, 9]}},
        "dataset": {"content_md5": "m", "content_sha256": "s"},
        "warnings": ["episode 4 ended early"]})";
    return json::parse(text);
  }

  testing::FakeReportPlatform platform;
  testing::FakeDatasetModule dataset;
  testing::FakeSimModule host_sim;
  testing::FakeSimConnection sims;
  spaces::CoreLibraryImpl core;
  testing::CapturedOutput captured;
  Timings timings;
  AnalyzeFn analysis;
  std::string& out = captured.printed;
  std::vector<std::string>& statuses = captured.statuses;
  AnalyzeArgs seen;
};

TEST(ReportRunConstants, ProductionValuesStayAsTheyAre) {
  // Every time limit of a real run: changing one is a decision, not an accident.
  const Timings production;
  EXPECT_EQ(production.report_timeout_s, 120);
  EXPECT_EQ(production.report_poll_s, 5);
  EXPECT_EQ(production.serve_timeout_s, 60);
  EXPECT_EQ(production.terminate_grace_s, 10);
  EXPECT_EQ(production.actions_timeout_s, 120);
  EXPECT_EQ(production.rollouts_timeout_s, 600);
  EXPECT_EQ(production.sim_end_settle_s, 0.3);
  EXPECT_EQ(REPORT_TIMEOUT_S, 120);
  EXPECT_EQ(REPORT_POLL_S, 5);
  EXPECT_EQ(DEFAULT_MAX_EPISODES, 20);
  const PublishReportOptions options;
  EXPECT_EQ(options.max_episodes, 20);
  EXPECT_EQ(options.call_timeout_s, 300);
  EXPECT_EQ(options.project_id, std::nullopt);
  EXPECT_EQ(options.env_init, std::nullopt);
  EXPECT_EQ(NODE_REQUEST_DEADLINE_FACTOR, 3);
  EXPECT_EQ(MAX_NODE_ANSWER_BYTES, std::size_t{512} << 20);
}

TEST(FailureReason, FirstTrimmedLineCutTo500CharactersOrTheTypeName) {
  // The whole message is trimmed, then its first line is taken as it stands.
  EXPECT_EQ(failure_reason(std::make_exception_ptr(std::runtime_error("  \n first line \nsecond"))),
            "first line ");
  EXPECT_EQ(failure_reason(std::make_exception_ptr(std::runtime_error(" \t\n "))), "runtime_error");
  EXPECT_EQ(failure_reason(std::make_exception_ptr(Interrupted{})), "Interrupted");
  EXPECT_EQ(failure_reason(std::make_exception_ptr(TimeoutError(""))), "TimeoutError");
  EXPECT_EQ(failure_reason(std::make_exception_ptr(std::runtime_error(std::string(800, 'x')))),
            std::string(500, 'x'));
  std::string wide;
  for (int i = 0; i < 600; ++i) wide += "\xc3\xa9";  // 600 two-byte characters
  EXPECT_EQ(failure_reason(std::make_exception_ptr(std::runtime_error(wide))),
            wide.substr(0, 1000));
  EXPECT_EQ(failure_reason(std::make_exception_ptr(std::runtime_error("a\r\nb"))), "a");
}

TEST_F(ReportRunTest, SuccessSubmitsTheArtifactWaitsAndPrintsTheReport) {
  analysis_returns(good_result());
  PublishReportOptions options;
  options.project_id = "proj-1";
  run(options);
  EXPECT_THAT(platform.names(), ElementsAre("link", "start", "submit", "status"));
  EXPECT_EQ(platform.calls[0].args, (std::vector<std::string>{"org-1", "proj-1", "sim-1"}));
  EXPECT_EQ(platform.calls[1].args, (std::vector<std::string>{"org-1", "sim-1", "impl-1", "ds-1"}));
  EXPECT_EQ(platform.calls[2].args,
            (std::vector<std::string>{"org-1", "sim-1", "impl-1", "job-1"}));
  EXPECT_EQ(platform.calls[2].body,
            J(R"({"simulatorValidation": {"schema": "simulator_validation/v2",
                    "evaluation": {"score_percent": 87.53333333333333},
                    "dataset": {"selected_episodes": [0, 4, 9]}},
                  "dataset": {"contentMd5": "m", "contentSha256": "s"},
                  "warnings": ["episode 4 ended early"]})"));
  EXPECT_EQ(out,
            "✓ Added the sim to the use case\n"
            "warning: episode 4 ended early\n"
            "✓ Analyzed 3 episodes: score 87.53333333333333\n"
            "Simulation report\n"
            "┏━━━━━━━━┳━━━━━━━┳━━━━━━━━━━━┓\n"
            "┃ Report ┃ Score ┃ Use cases ┃\n"
            "┡━━━━━━━━╇━━━━━━━╇━━━━━━━━━━━┩\n"
            "│ ready  │ 87.5  │ Plant     │\n"
            "└────────┴───────┴───────────┘\n");
  EXPECT_EQ(seen.path, "/sims/tank");
  EXPECT_EQ(seen.claim, platform.claim);
  EXPECT_EQ(seen.dataset_id, "ds-1");
  EXPECT_EQ(seen.bundle, "abc123");
  EXPECT_EQ(seen.max_episodes, DEFAULT_MAX_EPISODES);
  EXPECT_EQ(seen.call_timeout_s, 300);
  EXPECT_EQ(seen.seed, 0u);
  EXPECT_THAT(dataset.resolved, ElementsAre("water-tank-runs"));
}

TEST_F(ReportRunTest, EmptyProjectIdLinksNothingAndAbsentEnvInitIsAnEmptyMap) {
  analysis_returns(good_result());
  PublishReportOptions options;
  options.project_id = "";
  options.max_episodes = 3;
  options.env_init = json::object();
  options.call_timeout_s = 2.5;
  options.seed = 41;
  run(options);
  EXPECT_THAT(platform.names(), ElementsAre("start", "submit", "status"));
  EXPECT_THAT(out, ::testing::Not(HasSubstr("Added the sim")));
  EXPECT_TRUE(seen.env_init.empty());
  EXPECT_EQ(seen.max_episodes, 3);
  EXPECT_EQ(seen.call_timeout_s, 2.5);
  EXPECT_EQ(seen.seed, 41u);
  json::object env;
  env["seed"] = 7;
  options.env_init = env;
  run(options);
  EXPECT_EQ(seen.env_init, env);
}

TEST_F(ReportRunTest, OptionsTheAnalysisCannotRunWithAreRefusedBeforeAnythingIsAsked) {
  analysis_returns(good_result());
  auto refusal = [this](PublishReportOptions options) {
    try {
      run(options);
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("(no refusal)");
  };
  PublishReportOptions none;
  none.max_episodes = 0;
  EXPECT_EQ(refusal(none), "The most episodes to replay must be at least 1, not 0");
  for (double seconds : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    PublishReportOptions timeout;
    timeout.call_timeout_s = seconds;
    EXPECT_THAT(refusal(timeout),
                ::testing::StartsWith("The time limit of a sim call must be a number of seconds "
                                      "greater than 0, not "));
  }
  PublishReportOptions infinite;
  infinite.env_init =
      json::object{{"nested", json::array{1, std::numeric_limits<double>::infinity()}}};
  EXPECT_EQ(refusal(infinite),
            "The sim's initial settings hold a number that is not finite, which JSON cannot carry");
  EXPECT_TRUE(platform.calls.empty());
  EXPECT_TRUE(dataset.resolved.empty());
}

TEST_F(ReportRunTest, ScoreIsPrintedInItsShortestFormOrAsADash) {
  for (auto [score, shown] : {std::pair{"null", "-"}, {"90.0", "90.0"}, {"90", "90"}}) {
    out.clear();
    analysis_returns(good_result(score));
    run();
    EXPECT_THAT(out, HasSubstr(std::string("✓ Analyzed 3 episodes: score ") + shown + "\n"));
  }
}

TEST_F(ReportRunTest, AnalysisErrorClosesTheClaimWithItsFirstLineAndGoesOnUnchanged) {
  analysis_throws([] { throw std::runtime_error("  The sim did not start:\n\ntraceback..."); });
  try {
    run();
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "  The sim did not start:\n\ntraceback...");
  }
  EXPECT_THAT(platform.names(), ElementsAre("start", "submit"));
  EXPECT_EQ(platform.submissions()[0], J(R"({"failure": "The sim did not start:"})"));
  EXPECT_EQ(platform.calls[1].args[3], "job-1");
}

TEST_F(ReportRunTest, InterruptDuringTheAnalysisClosesTheClaimThenGoesOn) {
  analysis_throws([] { throw Interrupted{}; });
  EXPECT_THROW(run(), Interrupted);
  EXPECT_EQ(platform.submissions(), std::vector<json::value>{J(R"({"failure": "Interrupted"})")});
}

TEST_F(ReportRunTest, SigintWhileAnalyzingClosesTheClaimBeforeTheInterruptLeaves) {
  analysis = [](const ReportRun&, std::string, json::value, LocalDataset, std::string,
                ReplayOptions) -> awaitable<json::value> {
    std::thread([] {
      std::this_thread::sleep_for(30ms);
      ::kill(::getpid(), SIGINT);
    }).detach();
    co_await sleep_for(10s);
    co_return json::value();
  };
  bool close_awaited = false;
  platform.on_submit = [&](const json::value&) -> awaitable<void> {
    co_await sleep_for(1ms);  // the close really awaits after the interrupt
    close_awaited = true;
  };
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run(), Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(close_awaited);
  EXPECT_EQ(platform.submissions(), std::vector<json::value>{J(R"({"failure": "Interrupted"})")});
}

TEST_F(ReportRunTest, SecondInterruptDuringTheCloseGoesOnOutward) {
  analysis_throws([] { throw std::runtime_error("replay failed"); });
  platform.on_submit = [](const json::value&) -> awaitable<void> {
    std::thread([] {
      std::this_thread::sleep_for(30ms);
      ::kill(::getpid(), SIGINT);
    }).detach();
    co_await sleep_for(10s);
  };
  EXPECT_THROW(run(), Interrupted);
  // The user is told that the claim may have stayed open, and which one.
  EXPECT_THAT(out, HasSubstr("Interrupted while closing the report claim job-1: it may "
                             "still be open on the platform"));
}

TEST_F(ReportRunTest, FailingCloseOnlyWritesTheDebugLine) {
  analysis_throws([] { throw TimeoutError("slow sim"); });
  platform.on_submit = [](const json::value&) -> awaitable<void> {
    throw std::runtime_error("platform down");
    co_return;
  };
  EXPECT_THROW(run(), TimeoutError);
  EXPECT_THAT(captured.log(), HasSubstr("Could not close the report claim job-1: platform down"));
  EXPECT_EQ(out, "");
}

TEST_F(ReportRunTest, NoArtifactClosesWithTheJoinedWarningsAndFails) {
  analysis_returns(
      J(R"({"simulator_validation": null, "warnings": ["no rows", "sensor x empty"]})"));
  try {
    run();
    FAIL();
  } catch (const PublishReportError& error) {
    EXPECT_STREQ(error.what(), "no rows; sensor x empty");
  }
  EXPECT_EQ(out, "warning: no rows\nwarning: sensor x empty\n");
  EXPECT_EQ(platform.submissions(),
            std::vector<json::value>{J(R"({"failure": "no rows; sensor x empty"})")});
}

TEST_F(ReportRunTest, NoArtifactNorWarningsUsesTheFixedReason) {
  analysis_returns(J(R"({"summary": {}})"));
  try {
    run();
    FAIL();
  } catch (const PublishReportError& error) {
    EXPECT_STREQ(error.what(), "The analysis could not be reported to the platform");
  }
  EXPECT_EQ(platform.submissions()[0],
            J(R"({"failure": "The analysis could not be reported to the platform"})"));
}

TEST_F(ReportRunTest, SubmissionCarriesAtMostFiftyWarningsOf500Characters) {
  json::value result = good_result();
  json::array warnings;
  for (int i = 0; i < 60; ++i)
    warnings.emplace_back("w" + std::to_string(i) + std::string(600, '.'));
  result.as_object()["warnings"] = warnings;
  analysis_returns(result);
  run();
  // 60 warning lines, the analysis line and the six lines of the table.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 60 + 1 + 6);
  json::value body = platform.submissions()[0];
  const json::array& sent = body.at("warnings").as_array();
  ASSERT_EQ(sent.size(), 50u);
  EXPECT_EQ(sent[49].as_string().size(), 500u);
  EXPECT_EQ(std::string(sent[49].as_string()).substr(0, 3), "w49");
}

TEST_F(ReportRunTest, RefusedClaimBecomesPublishReportErrorWithTheDetailAndNoClose) {
  platform.refuse_claim = [] {
    throw APIStatusError(409, "This sim already has an open report job");
  };
  analysis_returns(good_result());
  try {
    run();
    FAIL();
  } catch (const PublishReportError& error) {
    EXPECT_STREQ(error.what(), "This sim already has an open report job");
    EXPECT_EQ(type_name(std::current_exception()), "PublishReportError");
    try {
      std::rethrow_if_nested(error);
      FAIL() << "no cause attached";
    } catch (const APIStatusError& cause) {
      EXPECT_EQ(cause.status(), 409);
    }
  }
  EXPECT_THAT(platform.names(), ElementsAre("start"));
}

TEST_F(ReportRunTest, UntrustedClaimAndResultGiveClearErrorsWithoutClosing) {
  analysis_returns(good_result());
  platform.claim = J(R"({"simulatorId": "s"})");
  try {
    run();
    FAIL();
  } catch (const KeyError& error) {
    EXPECT_STREQ(error.what(), "the platform's claim has no member 'jobId'");
  }
  platform.claim = J(R"([1, 2])");
  EXPECT_THROW(run(), BadAnswer);
  platform.claim = J(R"({"jobId": {"x": 1}})");
  EXPECT_THROW(run(), BadAnswer);
  EXPECT_THAT(platform.names(), ElementsAre("start", "start", "start"));

  platform.claim = J(R"({"jobId": "job-1"})");
  platform.calls.clear();
  analysis_returns(J(R"({"simulator_validation": {"dataset": {"selected_episodes": []}}})"));
  EXPECT_THROW(run(), KeyError);  // no "evaluation": not closed, not submitted
  analysis_returns(
      J(R"({"simulator_validation": {"evaluation": {}, "dataset": {"selected_episodes": []}}})"));
  EXPECT_THROW(run(), KeyError);  // no result "dataset": not closed, not submitted
  analysis_returns(J(R"({"warnings": "not a list"})"));
  EXPECT_THROW(run(), BadAnswer);
  EXPECT_THAT(platform.names(), ElementsAre("start", "start", "start"));
}

TEST_F(ReportRunTest, ReportWaitReturnsAtOnceWhenTheBuildFailed) {
  platform.statuses = {
      J(R"({"buildStatus": "ERROR", "buildMapped": true, "eventStatus": "pending"})")};
  json::value status = wait();
  EXPECT_EQ(platform.status_calls(), 1);
  render_reports(captured.console, status, "Water tank");
  EXPECT_EQ(out,
            "The platform could not build 'Water tank', so no report will be written. Check it "
            "with `velko sim list` and `velko sim validate`.\n");
  EXPECT_EQ(statuses.front(), "Writing the simulation report...");
  EXPECT_EQ(statuses.back(), "");
}

TEST_F(ReportRunTest, ReportWaitReturnsAtOnceWhileTheBuildIsNotMapped) {
  for (const char* status_text :
       {R"({"buildStatus": "BUILDING", "buildMapped": false})", R"({"buildStatus": "BUILDING"})"}) {
    out.clear();
    platform.calls.clear();
    platform.statuses = {J(status_text)};
    json::value status = wait();
    EXPECT_EQ(platform.status_calls(), 1);
    render_reports(captured.console, status, "Water tank");
    EXPECT_EQ(out,
              "✓ Submitted. The platform is still building 'Water tank'; its simulation report "
              "appears under the Reports of every use case using it once the build is done.\n");
  }
}

TEST_F(ReportRunTest, ReportWaitPollsUntilSettled) {
  platform.statuses = {
      J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "running", "run": null})"),
      J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "running", "run": {"status": "writing"}})"),
      J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "done", "run": null})")};
  timings.report_timeout_s = 10;
  json::value status = wait();
  EXPECT_EQ(platform.status_calls(), 3);
  render_reports(captured.console, status, "Water tank");
  EXPECT_EQ(out, "");  // settled without a run: nothing to show
}

TEST_F(ReportRunTest, ReportWaitStopsAtTheDeadlineWithBoundedPolls) {
  platform.statuses = {J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "done",
                            "run": {"status": "writing", "score": null}})")};
  timings.report_poll_s = 0.01;
  timings.report_timeout_s = 0.1;
  auto start = std::chrono::steady_clock::now();
  json::value status = wait();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LE(platform.status_calls(), 12);  // one at once, then one per poll interval
  EXPECT_GE(platform.status_calls(), 2);
  render_reports(captured.console, status, "Water tank");
  EXPECT_EQ(out,
            "The platform is still writing the report; it appears under the Reports of every "
            "use case using the sim when it is done.\n"
            "Simulation report\n"
            "┏━━━━━━━━━┳━━━━━━━┳━━━━━━━━━━━┓\n"
            "┃ Report  ┃ Score ┃ Use cases ┃\n"
            "┡━━━━━━━━━╇━━━━━━━╇━━━━━━━━━━━┩\n"
            "│ writing │ -     │ -         │\n"
            "└─────────┴───────┴───────────┘\n"
            "No use case uses 'Water tank' yet. The report appears in any use case you add it "
            "to (or pass --project).\n");
}

TEST_F(ReportRunTest, StatusLineIsRemovedWhenAPollFails) {
  platform.on_status = [] { throw std::runtime_error("platform down"); };
  EXPECT_THROW(wait(), std::runtime_error);
  EXPECT_EQ(statuses, (std::vector<std::string>{"Writing the simulation report...", ""}));
}

TEST_F(ReportRunTest, RenderShowsFailedRunsScoresAndUseCases) {
  render_reports(captured.console,
                 J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "failed",
                       "run": {"status": "failed"}, "projects": [{"projectName": "A"}, {"projectName": "B"}]})"),
                 "t");
  EXPECT_THAT(out, HasSubstr("│ failed (unknown) │ -     │ A, B      │"));
  EXPECT_THAT(out, ::testing::Not(HasSubstr("No use case")));
  out.clear();
  render_reports(captured.console,
                 J(R"({"buildStatus": "READY", "buildMapped": true, "eventStatus": "done",
                       "run": {"status": "failed", "failureCode": "ANALYSIS_FAILED", "score": 90}, "projects": []})"),
                 "t");
  EXPECT_THAT(out, HasSubstr("│ failed (ANALYSIS_FAILED) │ 90.0  │ -         │"));
  EXPECT_THAT(out, HasSubstr("No use case uses 't' yet."));
}

TEST_F(ReportRunTest, StatusFieldsOfTheWrongTypeAreClearErrors) {
  auto render = [&](const char* text) { render_reports(captured.console, J(text), "t"); };
  try {
    render(R"({"buildStatus": "READY", "buildMapped": "yes", "eventStatus": 3})");
    FAIL();
  } catch (const BadAnswer& error) {
    EXPECT_STREQ(error.what(),
                 "the platform's report status has \"eventStatus\" of the wrong type (expected a "
                 "text, got 3)");
  }
  EXPECT_THROW(
      render(
          R"({"buildMapped": true, "eventStatus": "done", "run": {"status": "ready", "score": "90"}})"),
      BadAnswer);
  EXPECT_THROW(render(R"({"buildMapped": true, "eventStatus": "done", "run": {"score": 1}})"),
               KeyError);
  EXPECT_THROW(
      render(
          R"({"buildMapped": true, "eventStatus": "done", "run": {"status": "ready"}, "projects": [{}]})"),
      KeyError);
  EXPECT_THROW(render(R"({"buildMapped": 1})"), BadAnswer);
  EXPECT_THROW(render("[]"), BadAnswer);
}

TEST(SensorTable, ShowsTheNodesFiguresWorstFirstAndNothingForAnotherShape) {
  // The usual shape: sorted by accuracy, those not scored last, notes from the figures.
  const json::value usual = json::parse(R"({"evaluation": {"sensors": {
      "s_level": {"name": "level", "accuracy_percent": 98.75, "lag_steps": 0,
                  "compared_rows": 6158, "predicted_nulls": 0, "constant": false},
      "s_flow": {"name": "flow\u001b[2J", "accuracy_percent": 41.2, "lag_steps": 2,
                 "compared_rows": 6100, "predicted_nulls": 3},
      "s_temp": {"name": "temp", "accuracy_percent": null, "lag_steps": null,
                 "compared_rows": 0},
      "s_set": {"name": "setpoint", "accuracy_percent": 100, "lag_steps": 0,
                "compared_rows": 10, "constant": true}}}})");
  std::optional<std::vector<SensorResult>> results = sensor_results(usual);
  ASSERT_TRUE(results);
  const std::string table = render_table(sensor_table(*results), /*color=*/false);
  const std::vector<std::string> expected_rows = {
      "│ flow\\x1b[2J │ 41.2     │ ████████▎            │ 2   │ 6100 │ 3 predictions without a "
      "value │",
      "│ level       │ 98.8     │ ███████████████████▊ │ 0   │ 6158 │                              "
      " │",
      "│ setpoint    │ 100.0    │ ████████████████████ │ 0   │ 10   │ never changes                "
      " │",
      "│ temp        │ -        │                      │ -   │ 0    │ not scored                   "
      " │",
  };
  std::size_t at = 0;
  for (const std::string& row : expected_rows) {
    const std::size_t found = table.find(row, at);
    EXPECT_NE(found, std::string::npos) << row << "\nin\n" << table;
    at = found == std::string::npos ? at : found;
  }
  EXPECT_EQ(table.rfind("Sensors, worst first\n", 0), 0u) << table;
  // A long list keeps the worst and counts the rest.
  std::vector<SensorResult> many(5, results->front());
  EXPECT_THAT(render_table(sensor_table(many, 3), false), HasSubstr("│ 2 more sensors "));

  // Shapes of another node: no table (and no error).
  for (const char* other : {
           R"(null)",
           R"({})",
           R"({"evaluation": {}})",
           R"({"evaluation": {"sensors": {}}})",
           R"({"evaluation": {"sensors": []}})",
           R"({"evaluation": {"sensors": {"a": {"accuracy_percent": "high"}}}})",
           R"({"evaluation": {"sensors": {"a": {"accuracy_percent": 140}}}})",
           R"({"evaluation": {"sensors": {"a": {"accuracy_percent": 50, "lag_steps": -1}}}})",
           R"({"evaluation": {"sensors": {"a": {"name": 7, "accuracy_percent": 50}}}})",
       }) {
    EXPECT_FALSE(sensor_results(json::parse(other))) << other;
  }
  EXPECT_EQ(accuracy_bar(0), "");
  EXPECT_EQ(accuracy_bar(50, 4), "██");
  EXPECT_EQ(accuracy_bar(60, 4), "██▍");
}

}  // namespace
}  // namespace velko::dataset_replay
