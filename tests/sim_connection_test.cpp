// The sim connection against real sim processes over loopback: starting and stopping sims,
// their output, the client's calls and failures, and the host's serving check.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/json.hpp>

#include "common/async.h"
#include "common/errors.h"
#include "main/dataset_replay/episode_steps.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/sim_client.h"
#include "sim_connection/sim_connection_impl.h"
#include "sim_connection/sim_process.h"
#include "sim_connection/sim_serving.h"
#include "tests/support/sims.h"
#include "tests/support/testing.h"

namespace velko {
namespace {

namespace json = boost::json;
using sim_connection::LocalSimProcess;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::TempDir;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes an executable shell script and returns its path.
std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir / name;
  testing::write_file(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

// Collects a sim's output lines.
struct Output {
  std::vector<std::string> lines;
  dataset_replay::OutputCallback callback() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
  bool has(const std::string& text) const {
    for (const auto& line : lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

template <class T>
std::string error_of(const std::function<awaitable<T>()>& body) {
  std::string message;
  testing::run_async([&]() -> awaitable<void> {
    try {
      co_await body();
    } catch (const std::exception& error) {
      message = std::string(type_name(error)) + ": " + error.what();
    }
  });
  return message;
}

// The arguments of velko-test-sim for a fault. (Braced lists inside coroutines trip GCC 12.)
std::vector<std::string> fault(const std::string& kind, const std::string& n = "") {
  std::vector<std::string> args{"--fault", kind};
  if (!n.empty()) args.push_back(n);
  return args;
}

// The test sim's action: the valve opening.
json::value valve(double opening) { return json::array{opening}; }

dataset_replay::ClientOptions client_options(int port, json::object env_init) {
  env_init["sim_address"] = "localhost:" + std::to_string(port);
  return {"publish-report", "localhost:" + std::to_string(port), env_init};
}

// A started sim that serves, with a client connected to it and made with `settings`.
struct ServingSim {
  int port = sim_connection::free_port();
  json::object settings{{"seed", 7}};
  Output output;
  std::unique_ptr<LocalSimProcess> process;
  std::unique_ptr<sim_connection::GrpcSimClient> client;

  dataset_replay::ClientOptions options() const { return client_options(port, settings); }

  awaitable<void> start(const std::string& dir) {
    process = co_await sim_connection::start_sim(dir, "localhost", port, output.callback());
    co_await sim_connection::SimModuleImpl().check_serving("localhost:" + std::to_string(port), 30);
    client = std::make_unique<sim_connection::GrpcSimClient>(options());
    co_await client->init();
    co_await client->make();
  }
};

// --- Reading how a sim is started ---

TEST(SimCommand, DirectoryRunsItsCommandFromTheDirectory) {
  TempDir dir;
  std::string program = script(dir, "run-sim", "exit 0\n");
  testing::write_file(dir / "velko-sim.json", R"({"command": ["./run-sim", "--fast", "x y"]})");
  sim_connection::SimCommand command = sim_connection::resolve_sim_command(dir.path());
  EXPECT_EQ(command.argv, (std::vector<std::string>{program, "--fast", "x y"}));
  EXPECT_EQ(command.directory, dir.path());

  testing::write_file(dir / "velko-sim.json", R"({"command": ["sh", "sim.sh"]})");
  EXPECT_THAT(sim_connection::resolve_sim_command(dir.path()).argv[0], ::testing::EndsWith("/sh"));
}

TEST(SimCommand, ExecutableFileIsASim) {
  TempDir dir;
  std::string program = script(dir, "sim", "exit 0\n");
  sim_connection::SimCommand command = sim_connection::resolve_sim_command(program);
  EXPECT_EQ(command.argv, std::vector<std::string>{program});
  EXPECT_EQ(command.directory, dir.path());
}

TEST(SimCommand, PathThatIsNoSimIsRefusedClearly) {
  TempDir dir;
  auto refusal = [](const std::string& path) {
    try {
      sim_connection::resolve_sim_command(path);
    } catch (const sim_connection::SimStartError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refusal(dir.path()),
            dir.path() + " is not a sim: it holds no velko-sim.json and is not an executable");
  testing::write_file(dir / "notes.txt", "not a program");
  EXPECT_EQ(refusal(dir / "notes.txt"), dir / "notes.txt" +
                                            " is not a sim: it holds no velko-sim.json and is "
                                            "not an executable");
  EXPECT_EQ(refusal(dir / "missing"), dir / "missing" + " is not a sim: it does not exist");

  const std::string file = dir / "velko-sim.json";
  testing::write_file(file, R"({"command": ["./run-sim")");
  EXPECT_THAT(refusal(dir.path()), StartsWith(file + " is not valid JSON: "));
  testing::write_file(file, R"({"command": "./run-sim"})");
  EXPECT_THAT(refusal(dir.path()), HasSubstr("\"command\" must be a non-empty list of texts"));
  testing::write_file(file, R"({"command": []})");
  EXPECT_THAT(refusal(dir.path()), HasSubstr("\"command\" must be a non-empty list of texts"));
  testing::write_file(file, R"({"command": ["./run-sim"], "several_processes": "yes"})");
  EXPECT_EQ(refusal(dir.path()), file + ": \"several_processes\" must be true or false");
  testing::write_file(file, R"({"command": ["./run-sim"]})");
  EXPECT_EQ(refusal(dir.path()), file + ": the program " + dir.path() + "/run-sim does not exist");
  testing::write_file(dir / "run-sim", "");
  EXPECT_EQ(refusal(dir.path()),
            file + ": the program " + dir.path() + "/run-sim is not an executable file");
  testing::write_file(file, R"({"command": ["no-such-program-anywhere"]})");
  EXPECT_EQ(refusal(dir.path()),
            file + ": the program 'no-such-program-anywhere' was not found on PATH");
  testing::write_file(file, std::string(sim_connection::kMaxSimFileBytes + 1, ' '));
  EXPECT_EQ(refusal(dir.path()), file + " is larger than 64 KiB");
}

// --- Sim processes ---

TEST(SimProcess, RunsWithItsAddressInArgumentsAndEnvironmentAndPassesOutputLines) {
  TempDir dir;
  std::string program = script(dir, "sim",
                               "echo \"args: $*\"\n"
                               "echo \"env: $VELKO_SIM_HOST $VELKO_SIM_PORT "
                               "${VELKO_API_TOKEN-withheld}\"\n"
                               "echo \"cwd: $(pwd)\"\n"
                               "printf 'to stderr\\r\\n' >&2\n"
                               "printf 'no newline at the end'\n"
                               "exit 3\n");
  ::setenv("VELKO_API_TOKEN", "secret", 1);
  Output output;
  std::optional<int> code;
  testing::run_async([&]() -> awaitable<void> {
    auto process =
        co_await sim_connection::start_sim(program, "localhost", 4321, output.callback());
    code = co_await process->wait();
    EXPECT_EQ(process->returncode(), 3);
    co_await testing::eventually([&] { return output.lines.size() == 5; });
  });
  ::unsetenv("VELKO_API_TOKEN");
  EXPECT_EQ(code, 3);
  EXPECT_THAT(output.lines,
              ::testing::UnorderedElementsAre("args: --host localhost --port 4321",
                                              "env: localhost 4321 withheld", "cwd: " + dir.path(),
                                              "to stderr", "no newline at the end"));
}

TEST(SimProcess, OverlongLinesAreCutAndTheCutIsNoted) {
  TempDir dir;
  Output output;
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(
        testing::test_sim_dir(dir.path(), fault("long-line")), "localhost",
        sim_connection::free_port(), output.callback());
    co_await testing::eventually([&] { return output.has("after the long line"); });
  });
  ASSERT_GE(output.lines.size(), 2u);
  EXPECT_EQ(output.lines[0], std::string(sim_connection::kMaxOutputLineBytes, 'x') + " [... " +
                                 std::to_string(100000 - sim_connection::kMaxOutputLineBytes) +
                                 " more bytes]");
  EXPECT_EQ(output.lines[1], "after the long line");
}

TEST(SimProcess, ReturnCodeTellsASignalFromAnExitStatus) {
  TempDir dir;
  std::string program = script(dir, "sim", "exec sleep 30\n");
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(program, "localhost", 1, nullptr);
    EXPECT_EQ(process->returncode(), std::nullopt);
    process->terminate();
    int code = co_await process->wait();
    EXPECT_EQ(code, -SIGTERM);
    EXPECT_EQ(process->returncode(), -SIGTERM);
    EXPECT_EQ(sim_connection::describe_exit(-SIGTERM), "was ended by signal 15 (Terminated)");
    EXPECT_EQ(sim_connection::describe_exit(1), "exited with status 1");
  });
}

TEST(SimProcess, ProgramThatCannotRunIsAClearError) {
  TempDir dir;
  std::string program = script(dir, "sim", "");
  testing::write_file(program, "#!/no/such/interpreter\n");
  std::string message = error_of<std::unique_ptr<LocalSimProcess>>(
      [&] { return sim_connection::start_sim(program, "localhost", 1, nullptr); });
  EXPECT_EQ(message,
            "SimStartError: could not start the sim: " + program + ": No such file or directory");
}

TEST(SimProcess, WaitingIsCancelledAtOnceAndTheSimKeepsRunning) {
  TempDir dir;
  std::string program = script(dir, "sim", "exec sleep 30\n");
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(program, "localhost", 1, nullptr);
    auto start = Clock::now();
    std::string failure;
    try {
      co_await with_timeout(process->wait(), 0.05, "still running");
    } catch (const TimeoutError& error) {
      failure = error.what();
    }
    EXPECT_EQ(failure, "still running");
    EXPECT_LT(seconds_since(start), 2);
    EXPECT_EQ(process->returncode(), std::nullopt);
    process->kill();
    int code = co_await process->wait();
    EXPECT_EQ(code, -SIGKILL);
  });
}

TEST(SimProcess, EverythingTheSimStartedDiesWithIt) {
  TempDir dir;
  Output output;
  pid_t pgid = 0;
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(
        testing::test_sim_dir(dir.path(), fault("spawn-child")), "localhost",
        sim_connection::free_port(), output.callback());
    pgid = process->pid();
    bool started_child = co_await testing::eventually([&] { return output.has("child "); });
    EXPECT_TRUE(started_child);
    // The sim itself ends; its child, which ignores SIGTERM, stays.
    process->terminate();
    co_await process->wait();
    EXPECT_TRUE(testing::group_alive(pgid));
  });
  // The process object is gone, and with it the whole group.
  EXPECT_TRUE(testing::eventually_blocking([&] { return !testing::group_alive(pgid); }, 5));
}

TEST(SimProcess, FreePortCanBeListenedOn) {
  int port = sim_connection::free_port();
  EXPECT_GT(port, 0);
  EXPECT_LT(port, 65536);
}

// --- The client ---

TEST(SimClient, CarriesACompleteSession) {
  TempDir dir;
  const std::vector<json::value> expected_reset{valve(0.0), json::object()};
  const std::vector<json::value> expected_step{valve(0.75), 0.0, false, false, json::object()};
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path()));
    json::value mappings = co_await sim.client->get_mappings();
    EXPECT_EQ(mappings.at("action_space").at("mappings").at(0).at("name_mapped"), "valve");
    json::value sensors = co_await sim.client->sensor_space_info();
    EXPECT_EQ(sensors.at("names").at(0), "level");
    json::value actions = co_await sim.client->action_space_info();
    EXPECT_EQ(actions.at("type"), "box");
    std::vector<json::value> reset = co_await sim.client->reset();
    EXPECT_EQ(reset, expected_reset);
    // A seed and options reach the sim's reset; a reset without them carries neither.
    dataset_replay::ResetArgs seeded;
    seeded.seed = 18446744073709551615u;
    seeded.options = json::object{{"level", 1}};
    reset = co_await sim.client->reset(std::move(seeded));
    EXPECT_EQ(reset, expected_reset);
    co_await sim.client->step(valve(0.25));
    std::vector<json::value> step = co_await sim.client->step(valve(0.5));
    EXPECT_EQ(step, expected_step);
    co_await sim.client->close();
    // make() gave the sim the run's identifiers and settings.
    const std::string made =
        "make publish-report publish-report publish-report "
        "{\"seed\":7,\"sim_address\":\"localhost:" +
        std::to_string(sim.port) + "\"}";
    bool shown = co_await testing::eventually([&] { return sim.output.has(made); });
    EXPECT_TRUE(shown) << made;
    const std::string seeded_line = "reset seed 18446744073709551615 {\"level\":1}";
    shown = co_await testing::eventually([&] { return sim.output.has(seeded_line); });
    EXPECT_TRUE(shown) << seeded_line;
    EXPECT_FALSE(sim.output.has("reset seed 18446744073709551615 -"));
  });
}

TEST(SimClient, SimFailuresAreClearErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {fault("error-in-step", "1"),
       "SimError: the sim's step() failed: the valve is stuck\\x1b[2J"},
      {fault("crash-at-step", "1"), "SimError: the sim's step() failed: the sim cannot be reached"},
      {fault("malformed-json"), "BadAnswer: the sim's step() answered malformed JSON ("},
      {fault("deep-json"), "BadAnswer: the sim's step() answered malformed JSON ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    TempDir dir;
    std::string message;
    testing::run_async([&]() -> awaitable<void> {
      ServingSim sim;
      co_await sim.start(testing::test_sim_dir(dir.path(), c.args));
      co_await sim.client->reset();
      try {
        co_await sim.client->step(valve(0.5));
      } catch (const std::exception& error) {
        message = type_name(error) + ": " + error.what();
      }
    });
    EXPECT_THAT(message, StartsWith(c.message));
    EXPECT_LE(message.size(), 600u);
  }
}

TEST(SimClient, AnswersWithTheWrongNumberOfPartsReachTheCaller) {
  TempDir dir;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path(), fault("four-parts")));
    std::vector<json::value> parts = co_await sim.client->step(valve(1));
    EXPECT_EQ(parts.size(), 4u);
  });
}

TEST(SimClient, StepsGoOnAfterAFailedStepAndWithoutTheStepStream) {
  for (const std::vector<std::string>& args : {fault("error-in-step", "2"), fault("no-stream")}) {
    SCOPED_TRACE(args[1]);
    TempDir dir;
    std::vector<double> levels;
    testing::run_async([&]() -> awaitable<void> {
      ServingSim sim;
      co_await sim.start(testing::test_sim_dir(dir.path(), args));
      co_await sim.client->reset();
      for (int i = 0; i < 3; ++i) {
        try {
          std::vector<json::value> parts = co_await sim.client->step(valve(0.5));
          levels.push_back(parts.at(0).at(0).as_double());
        } catch (const sim_connection::SimError&) {
          levels.push_back(-1);
        }
      }
    });
    if (args[1] == "no-stream") {
      EXPECT_EQ(levels, (std::vector<double>{0.5, 1.0, 1.5}));
    } else {
      EXPECT_EQ(levels, (std::vector<double>{0.5, -1, 1.0}));
    }
  }
}

TEST(SimClient, TimeLimitCancelsTheCallAtOnce) {
  TempDir dir;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path(), fault("hang-in-step", "1")));
    auto start = Clock::now();
    std::string failure;
    try {
      co_await with_timeout(sim.client->step(valve(1)), 0.1, "the step did not answer");
    } catch (const TimeoutError& error) {
      failure = error.what();
    }
    EXPECT_EQ(failure, "the step did not answer");
    EXPECT_LT(seconds_since(start), 2);
  });
}

// What a step answers: its observation's size, or the type and message of its failure.
awaitable<std::string> step_outcome(dataset_replay::SimClient& client, double opening) {
  std::string outcome;
  try {
    std::vector<json::value> parts = co_await client.step(valve(opening));
    outcome = std::to_string(parts.at(0).as_array().size()) + " values";
  } catch (const std::exception& error) {
    outcome = type_name(error) + ": " + error.what();
  }
  co_return outcome;
}

TEST(SimClient, LargeAnswersAreRefusedBySizeOrByTheSensorSpaceBeforeTheyAreRead) {
  TempDir dir;
  std::vector<std::string> outcomes;
  std::string ahead;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    // Its observation after a step holds valve x 1,000,000 zeros, two bytes each.
    co_await sim.start(testing::test_sim_dir(dir.path(), fault("big-observation", "1000000")));
    // 1.2 MB: within the default bound, read in two passes.
    outcomes.push_back(co_await step_outcome(*sim.client, 0.6));
    // Beyond a bound of 1 MiB, and the client goes on.
    dataset_replay::ClientOptions options = sim.options();
    options.max_answer_bytes = std::size_t{1} << 20;
    sim_connection::GrpcSimClient small(options);
    outcomes.push_back(co_await step_outcome(small, 0.6));
    outcomes.push_back(co_await step_outcome(small, 0.001));
    // Far beyond a sensor space of one variable: refused whether read in two passes or one,
    // one at a time or sent ahead.
    sim.client->bound_observations(1);
    const std::vector<double> openings{0.6, 0.005, 0.004};
    for (double opening : openings) {
      outcomes.push_back(co_await step_outcome(*sim.client, opening));
    }
    std::unique_ptr<dataset_replay::EpisodeSteps> steps = sim.client->episode_steps(8, 30);
    steps->send(valve(0.6));
    try {
      co_await steps->next();
    } catch (const BadAnswer& error) {
      ahead = error.what();
    }
  });
  const std::string far_more =
      "BadAnswer: the sim's step() answered an observation of 600000 values, far more than "
      "the 1 variable of its sensor space (velko takes at most 4100): make its observations "
      "values of that space";
  EXPECT_EQ(outcomes,
            (std::vector<std::string>{
                "600000 values",
                "SimError: the sim's step() failed: its answer of 1.1 MiB is larger than the 1 "
                "MiB that velko takes; make it smaller, or allow more with --max-answer-size (in "
                "MiB, at most 256)",
                "1000 values", far_more,
                "BadAnswer: the sim's step() answered an observation of 5000 values, far more "
                "than the 1 variable of its sensor space (velko takes at most 4100): make its "
                "observations values of that space",
                "4000 values"}));
  EXPECT_EQ("BadAnswer: " + ahead, far_more);
}

// --- Steps sent ahead of their answers ---

// The test sim's level from a step's answer.
double level_of(const std::vector<json::value>& parts) { return parts.at(0).at(0).as_double(); }

TEST(SimClient, StepsSentAheadAreAnsweredInOrderOnAStreamThatEndsWithTheEpisode) {
  TempDir dir;
  std::vector<double> levels;
  std::vector<bool> ended;
  const std::vector<std::string> ends_at_3{"--end-at", "3"};
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path(), ends_at_3));
    EXPECT_TRUE(sim.client->takes_steps_ahead());
    // The sim ends the episode at its third step; two more were sent ahead.
    co_await sim.client->reset();
    std::unique_ptr<dataset_replay::EpisodeSteps> steps = sim.client->episode_steps(8, 5);
    EXPECT_EQ(steps->window(), 8);
    for (int i = 0; i < 5; ++i) steps->send(valve(0.5));
    for (int i = 0; i < 3; ++i) {
      std::vector<json::value> parts = co_await steps->next();
      levels.push_back(level_of(parts));
      ended.push_back(parts.at(2).as_bool());
    }
    co_await steps->finish(true);
    // An episode whose rows run out first, and one that the replay stops early.
    co_await sim.client->reset();
    steps = sim.client->episode_steps(8, 5);
    steps->send(valve(0.25));
    levels.push_back(level_of(co_await steps->next()));
    co_await steps->finish(false);
    co_await sim.client->reset();
    steps = sim.client->episode_steps(8, 5);
    for (int i = 0; i < 2; ++i) steps->send(valve(1));
    levels.push_back(level_of(co_await steps->next()));
    co_await steps->finish(false);
    // The sim goes on, stepped one at a time as well.
    co_await sim.client->reset();
    levels.push_back(level_of(co_await sim.client->step(valve(2))));
    co_await sim.client->close();
  });
  EXPECT_EQ(levels, (std::vector<double>{0.5, 1.0, 1.5, 0.25, 1.0, 2.0}));
  EXPECT_EQ(ended, (std::vector<bool>{false, false, true}));
}

TEST(SimClient, SimWrittenBeforeStepsAheadIsSteppedOneAtATime) {
  TempDir dir;
  std::vector<double> levels;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path(), fault("one-at-a-time")));
    EXPECT_FALSE(sim.client->takes_steps_ahead());
    co_await sim.client->reset();
    std::unique_ptr<dataset_replay::EpisodeSteps> steps = sim.client->episode_steps(64, 5);
    EXPECT_EQ(steps->window(), 1);
    for (int i = 0; i < 3; ++i) {
      steps->send(valve(0.5));
      levels.push_back(level_of(co_await steps->next()));
    }
    co_await steps->finish(false);
    // The end of the steps reads their stream to its end; a step after it opens another.
    co_await sim.client->end_steps();
    levels.push_back(level_of(co_await sim.client->step(valve(0.5))));
    co_await sim.client->end_steps();
    co_await sim.client->close();
  });
  EXPECT_EQ(levels, (std::vector<double>{0.5, 1.0, 1.5, 2.0}));
}

// Steps in batches: answered in order across batches of at most what the sim announced, a
// partial batch flushed when the sim would otherwise wait, and its faults refused.
TEST(SimClient, StepsInBatchesKeepTheRulesOfStepsSentAhead) {
  struct Case {
    std::vector<std::string> args;
    int sent;
    int taken;
    bool sim_ended;
    std::string failure;
  };
  const std::vector<Case> cases = {
      // Batches of 2 (the sim's bound, below velko's 4); the end drops steps 4 to 7.
      {{"--batches", "2", "--end-at", "3"}, 7, 3, true, ""},
      // Rows running out in the middle of a batch: the partial one goes out.
      {{"--batches", "4"}, 3, 3, false, ""},
      // The replay stopping after step 1, the answers to 2 and 3 came with it: not wanted.
      {{"--batches", "4"}, 3, 1, false, ""},
      {{"--batches", "4", "--fault", "out-of-order", "2"},
       4,
       2,
       false,
       "BadAnswer: the sim's step() answered step 3 where step 2 was due"},
      {{"--batches", "4", "--fault", "steps-after-end", "--end-at", "2"},
       4,
       2,
       true,
       "BadAnswer: the sim's step() answered step 3 after step 2 ended the episode"},
  };
  // Each with a stream per episode, and with the resets in the batches on one stream (where
  // steps after the end are seen at the next episode's reset).
  for (const Case& c : cases)
    for (bool kept : {false, true}) {
      SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : "") +
                   (kept ? " with resets" : ""));
      std::vector<std::string> args = c.args;
      if (kept) args.push_back("--batch-resets");
      TempDir dir;
      std::vector<double> levels;
      std::string failure = error_of<void>([&]() -> awaitable<void> {
        ServingSim sim;
        co_await sim.start(testing::test_sim_dir(dir.path(), args));
        const dataset_replay::StepBatching batching{4, 8};
        std::unique_ptr<dataset_replay::EpisodeSteps> steps;
        if (kept) {
          steps = sim.client->episode_with_reset(batching, 5, {});
        } else {
          co_await sim.client->reset();
          steps = sim.client->episode_batches(batching, 5);
        }
        EXPECT_EQ(steps->window(), 8);
        for (int i = 0; i < c.sent; ++i) steps->send(valve(0.5));
        if (kept) (void)co_await steps->reset_answer();
        for (int i = 0; i < c.taken; ++i) levels.push_back(level_of(co_await steps->next()));
        co_await steps->finish(c.sim_ended);
        // The sim goes on with the next episode.
        if (kept) {
          steps = sim.client->episode_with_reset(batching, 5, {});
          steps->send(valve(2));
          EXPECT_EQ(level_of(co_await steps->reset_answer()), 0);
          levels.push_back(level_of(co_await steps->next()));
          co_await steps->finish(false);
          co_await sim.client->end_steps();
        } else {
          co_await sim.client->reset();
          levels.push_back(level_of(co_await sim.client->step(valve(2))));
        }
      });
      EXPECT_EQ(failure, c.failure);
      if (c.failure.empty()) {
        std::vector<double> expected;
        for (int i = 1; i <= c.taken; ++i) expected.push_back(0.5 * i);
        expected.push_back(2);
        EXPECT_EQ(levels, expected);
      }
    }
  // A sim that announces no batches gets none.
  TempDir dir;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::test_sim_dir(dir.path()));
    EXPECT_EQ(sim.client->episode_batches(dataset_replay::StepBatching{}, 5), nullptr);
  });
}

// --- Sims written with the author library: the water tank ---

TEST(SimAuthor, WaterTankServesItsSpacesAndEndsCleanlyOnTermination) {
  TempDir dir;
  std::optional<int> code;
  json::value mappings;
  std::vector<json::value> reset;
  std::vector<json::value> step;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(testing::water_tank_dir(dir.path()));
    mappings = co_await sim.client->get_mappings();
    reset = co_await sim.client->reset();
    json::value action = json::parse(R"({"valve_opening": 0.0, "pump_stage": 3})");
    step = co_await sim.client->step(action);
    sim.process->terminate();
    code = co_await sim.process->wait();
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(mappings.at("sensor_space").at("mappings"), json::parse(R"([
      {"name": "[0]", "name_mapped": "tank_level"}, {"name": "[1]", "name_mapped": "inflow"},
      {"name": "[2]", "name_mapped": "outflow"}, {"name": "[3]", "name_mapped": "pressure"}])"));
  EXPECT_EQ(mappings.at("action_space").at("mappings"), json::parse(R"([
      {"name": "['valve_opening']", "name_mapped": "valve_opening"},
      {"name": "['pump_stage']", "name_mapped": "pump_stage"}])"));
  ASSERT_EQ(reset.size(), 2u);
  EXPECT_EQ(reset[0].at(0), 1.0);
  ASSERT_EQ(step.size(), 5u);
  // Three stages for a second into a closed tank of 2 m²: 0.024 m³ more, 12 mm higher.
  EXPECT_NEAR(step[0].at(0).as_double(), 1.012, 1e-9);
  EXPECT_NEAR(step[0].at(1).as_double(), 0.024, 1e-12);
  EXPECT_EQ(step[0].at(2), 0.0);
  EXPECT_NEAR(step[1].as_double(), -0.988, 1e-9);
}

TEST(SimAuthor, TakesStepsSentAheadAndAppliesNoneAfterTheEpisodeEnds) {
  namespace pb = velko::sim::v1;
  TempDir dir;
  std::vector<std::uint64_t> numbers;
  std::vector<bool> truncated;
  grpc::Status ended;
  int unnumbered_answers = 0;
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    sim.settings = json::object{{"max_steps", 3}};
    co_await sim.start(testing::water_tank_dir(dir.path()));
    EXPECT_TRUE(sim.client->takes_steps_ahead());
    co_await sim.client->reset();
    // Six numbered steps at once on a bare stream: the fourth to sixth are never applied.
    auto channel = grpc::CreateChannel("localhost:" + std::to_string(sim.port),
                                       grpc::InsecureChannelCredentials());
    auto stub = pb::Sim::NewStub(channel);
    {
      grpc::ClientContext context;
      auto stream = stub->StepStream(&context);
      pb::StepRequest request;
      request.set_action_json(R"({"valve_opening": 0.0, "pump_stage": 3})");
      for (std::uint64_t n = 1; n <= 6; ++n) {
        request.set_step(n);
        if (!stream->Write(request)) break;
      }
      pb::JsonReply reply;
      while (stream->Read(&reply)) {
        numbers.push_back(reply.step());
        truncated.push_back(json::parse(reply.json()).at(3).as_bool());
      }
      ended = stream->Finish();
    }
    // Unnumbered steps come one at a time over a stream that outlives the episode's end.
    co_await sim.client->reset();
    {
      grpc::ClientContext context;
      auto stream = stub->StepStream(&context);
      pb::StepRequest request;
      request.set_action_json(R"({"valve_opening": 0.0, "pump_stage": 3})");
      pb::JsonReply reply;
      for (int i = 0; i < 5 && stream->Write(request) && stream->Read(&reply); ++i) {
        ++unnumbered_answers;
      }
      stream->WritesDone();
      stream->Finish();
    }
    // The next episode starts from the reset alone.
    co_await sim.client->reset();
    std::vector<json::value> step =
        co_await sim.client->step(json::parse(R"({"valve_opening": 0.0, "pump_stage": 3})"));
    EXPECT_NEAR(step[0].at(0).as_double(), 1.012, 1e-9);
  });
  EXPECT_EQ(numbers, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(truncated, (std::vector<bool>{false, false, true}));
  EXPECT_TRUE(ended.ok()) << ended.error_message();
  EXPECT_EQ(unnumbered_answers, 5);
}

TEST(SimAuthor, BadSettingsAndActionsAreRefusedWithTheirReason) {
  TempDir dir;
  std::vector<std::string> messages;
  const std::vector<json::value> actions{
      json::parse("[1]"), json::parse(R"({"valve_opening": "open", "pump_stage": 1})")};
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    sim.settings = json::object{{"tank_area", -1}};
    try {
      co_await sim.start(testing::water_tank_dir(dir.path()));
    } catch (const sim_connection::SimError& error) {
      messages.push_back(error.what());
    }
    sim.settings = json::object{{"seed", 1}};
    sim.client = std::make_unique<sim_connection::GrpcSimClient>(sim.options());
    co_await sim.client->make();
    co_await sim.client->reset();
    for (const json::value& action : actions) {
      try {
        co_await sim.client->step(action);
      } catch (const sim_connection::SimError& error) {
        messages.push_back(error.what());
      }
    }
  });
  EXPECT_THAT(messages, ::testing::ElementsAre(
                            "the sim's make() failed: the setting \"tank_area\" must be above 0",
                            "the sim's step() failed: the action must be a map",
                            "the sim's step() failed: the action's \"valve_opening\" is not a "
                            "number"));
}

// A sim on the C++ author library gets the seed and options of each Reset as sent (the largest
// seed and 0 included), and no seed when the Reset carries none.
TEST(SimAuthor, ResetGetsTheSeedAndOptionsAsSent) {
  TempDir dir;
  const std::vector<std::string> lines{"reset seed 18446744073709551615 {\"level\":1}",
                                       "reset seed 0 {}", "reset no seed {}"};
  const std::string sim_path =
      testing::sim_dir(dir.path(), {testing::bin("velko-author-seed-sim")});
  testing::run_async([&]() -> awaitable<void> {
    ServingSim sim;
    co_await sim.start(sim_path);
    dataset_replay::ResetArgs largest;
    largest.seed = 18446744073709551615u;
    largest.options = json::object{{"level", 1}};
    co_await sim.client->reset(std::move(largest));
    dataset_replay::ResetArgs zero;
    zero.seed = 0;
    co_await sim.client->reset(std::move(zero));
    co_await sim.client->reset();
    co_await sim.client->close();
    for (const std::string& line : lines) {
      bool shown = co_await testing::eventually([&] { return sim.output.has(line); });
      EXPECT_TRUE(shown) << line;
    }
  });
}

// --- The host's serving check and output tail ---

TEST(CheckServing, SimThatNeverAnswersFailsWhenTheTimeIsUp) {
  TempDir dir;
  int port = sim_connection::free_port();
  std::string message;
  auto start = Clock::now();
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(
        testing::test_sim_dir(dir.path(), fault("never-serve")), "localhost", port, nullptr);
    try {
      co_await sim_connection::SimModuleImpl().check_serving("localhost:" + std::to_string(port),
                                                             0.3);
    } catch (const TimeoutError& error) {
      message = error.what();
    }
  });
  EXPECT_EQ(message,
            "the sim at localhost:" + std::to_string(port) + " did not serve within 0.3 s");
  EXPECT_LT(seconds_since(start), 3);
}

TEST(CheckServing, SimThatEndsBeforeServingFailsAtOnceWithItsOutputRead) {
  TempDir dir;
  int port = sim_connection::free_port();
  Output output;
  std::string message;
  auto start = Clock::now();
  testing::run_async([&]() -> awaitable<void> {
    auto process = co_await sim_connection::start_sim(
        testing::test_sim_dir(dir.path(), fault("fail-before-serve")), "localhost", port,
        output.callback());
    auto started = std::make_shared<sim_connection::StartedSims>();
    started->add(port, *process);
    try {
      co_await sim_connection::SimModuleImpl(started).check_serving(
          "localhost:" + std::to_string(port), 60);
    } catch (const sim_connection::SimStartError& error) {
      message = error.what();
    }
  });
  EXPECT_EQ(message, "the sim exited with status 1 before it served");
  EXPECT_LT(seconds_since(start), 5);
  ASSERT_FALSE(output.lines.empty());
  EXPECT_EQ(output.lines.back(), "ModuleNotFoundError: No module named 'tank_model'");
}

TEST(Tail, KeepsTheLastFortyLinesWithinFourKibibytes) {
  sim_connection::SimModuleImpl module;
  EXPECT_EQ(module.output_tail(""), "");
  EXPECT_EQ(module.output_tail("one\ntwo\n\n"), "one\ntwo");

  std::string text;
  for (int i = 1; i <= 50; ++i) text += "line " + std::to_string(i) + "\n";
  std::string tail = module.output_tail(text);
  EXPECT_THAT(tail, StartsWith("line 11\n"));
  EXPECT_THAT(tail, ::testing::EndsWith("line 50"));

  std::string wide;
  for (int i = 0; i < 10; ++i) wide += std::string(1000, 'a' + i) + "\n";
  tail = module.output_tail(wide);
  EXPECT_LE(tail.size(), sim_connection::kTailBytes);
  EXPECT_EQ(tail, std::string(1000, 'g') + "\n" + std::string(1000, 'h') + "\n" +
                      std::string(1000, 'i') + "\n" + std::string(1000, 'j'));

  // One line beyond the limit keeps its end, never half a character.
  std::string single = "start" + std::string(5000, 'x') + "\xC3\xA9" + std::string(4095, 'y');
  tail = module.output_tail(single);
  EXPECT_EQ(tail, std::string(4095, 'y'));
}

}  // namespace
}  // namespace velko
