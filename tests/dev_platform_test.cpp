// The stand-in platform as the report run and the guidance commands rely on it.
#include "dev/dev_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <CLI/CLI.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "tests/support/testing.h"

namespace velko::dev {
namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

const std::string kOrg = kOrganizationId;
const std::string kSha(64, 'a');

// A clock that only the test moves.
class ManualClock {
 public:
  std::function<Clock::time_point()> function() {
    return [this] { return start_ + std::chrono::milliseconds(offset_ms_.load()); };
  }
  void advance(double seconds) { offset_ms_ += std::llround(seconds * 1000); }

 private:
  Clock::time_point start_ = Clock::now();
  std::atomic<std::int64_t> offset_ms_{0};
};

struct Answer {
  int status = 0;
  json::value body;
  std::string text() const { return json_text::to_json(body); }
  std::string detail() const {
    const json::value* detail =
        body.is_object() ? body.get_object().if_contains("detail") : nullptr;
    return detail && detail->is_string() ? std::string(detail->get_string()) : "<no detail>";
  }
};

// A platform on a loopback port, a plain HTTP client, and the platform's log lines.
class PlatformTest : public ::testing::Test {
 protected:
  void start(PlatformOptions options = {}) {
    options.clock = clock_.function();
    options.log = [this](const std::string& line) {
      std::lock_guard lock(log_mutex_);
      log_.push_back(line);
    };
    platform_ = std::make_unique<DevPlatform>(std::move(options));
    int port = platform_->start("127.0.0.1", 0);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  }

  Answer send(const std::string& method, const std::string& path, const std::string& body = "",
              httplib::Headers headers = {}) {
    httplib::Result result =
        method == "GET"    ? client_->Get(path, headers)
        : method == "POST" ? client_->Post(path, headers, body, "application/json")
        : method == "PUT"  ? client_->Put(path, headers, body, "application/json")
                           : client_->Delete(path, headers);
    EXPECT_TRUE(result) << method << " " << path << " failed";
    if (!result) return {};
    Answer answer;
    answer.status = result->status;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << result->body;
    answer.body = json_text::parse(result->body);
    return answer;
  }
  Answer get(const std::string& path) { return send("GET", path); }
  Answer post(const std::string& path, const std::string& body) { return send("POST", path, body); }

  // Publishes a build of the sim `name`; yields the sim id and the build id.
  std::pair<std::string, std::string> publish(const std::string& name = "Pump model") {
    Answer answer = post("/v1/orgs/" + kOrg + "/sims",
                         R"({"name":")" + name + R"(","bundleSha256":")" + kSha + R"("})");
    EXPECT_EQ(answer.status, 201) << answer.text();
    return {std::string(answer.body.at("simId").as_string()),
            std::string(answer.body.at("implementationId").as_string())};
  }
  static std::string jobs_path(const std::string& sim, const std::string& build) {
    return "/v1/orgs/" + kOrg + "/sims/" + sim + "/implementations/" + build + "/report-jobs";
  }
  Answer claim(const std::string& sim, const std::string& build) {
    return post(jobs_path(sim, build), R"({"datasetId":"ds-1"})");
  }
  std::string claimed(const std::string& sim, const std::string& build) {
    Answer answer = claim(sim, build);
    EXPECT_EQ(answer.status, 201) << answer.text();
    return std::string(answer.body.at("jobId").as_string());
  }
  static std::string analysis(const std::string& evaluation = R"({"score_percent":87.5})") {
    return R"({"simulatorValidation":{"evaluation":)" + evaluation +
           R"(},"dataset":{"contentMd5":"m","contentSha256":"s"},"warnings":["w"]})";
  }
  void link(const std::string& project, const std::string& sim) {
    Answer answer = post("/v1/orgs/" + kOrg + "/projects/" + project + "/simulators/" + sim, "{}");
    EXPECT_EQ(answer.status, 200) << answer.text();
  }
  // The log lines once there are `count` of them: a line is written after its answer is sent.
  std::vector<std::string> log(std::size_t count) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard lock(log_mutex_);
        if (log_.size() >= count) return log_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard lock(log_mutex_);
    return log_;
  }

  // The platform's threads use the clock and the log until the platform is gone.
  ManualClock clock_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
  std::unique_ptr<DevPlatform> platform_;
  std::unique_ptr<httplib::Client> client_;
};

std::vector<std::string> keys(const json::value& value) {
  std::vector<std::string> out;
  for (const auto& member : value.as_object()) out.emplace_back(member.key());
  return out;
}

// --- Claims ---

TEST_F(PlatformTest, ClaimHandsOutTheIdsTheAnalysisNeeds) {
  PlatformOptions options;
  options.max_lag_steps = 5;
  start(options);
  auto [sim, build] = publish();
  Answer answer = claim(sim, build);
  ASSERT_EQ(answer.status, 201) << answer.text();
  std::string job(answer.body.at("jobId").as_string());
  std::string run(answer.body.at("validationRunId").as_string());
  EXPECT_EQ(answer.text(), R"({"jobId":")" + job + R"(","simulatorId":")" + sim +
                               R"(","simulatorImplementationId":")" + build +
                               R"(","validationRunId":")" + run +
                               R"(","maxLagSteps":5,"datasetId":"ds-1"})");
}

TEST_F(PlatformTest, ASimWithAnOpenClaimCannotBeClaimedAgainUntilTheJobCloses) {
  start();
  auto [sim, build] = publish();
  std::string job = claimed(sim, build);
  Answer again = claim(sim, build);
  EXPECT_EQ(again.status, 409);
  EXPECT_NE(again.detail().find(job), std::string::npos) << again.detail();

  ASSERT_EQ(post(jobs_path(sim, build) + "/" + job, R"({"failure":"no sim"})").status, 200);
  EXPECT_EQ(claim(sim, build).status, 201);
}

TEST_F(PlatformTest, ClaimsForUnknownSimsBuildsOrOrganisationsAreRefused) {
  start();
  auto [sim, build] = publish();
  Answer unknown_sim = claim("nope", build);
  EXPECT_EQ(unknown_sim.status, 409);
  EXPECT_NE(unknown_sim.detail().find("publish it"), std::string::npos) << unknown_sim.detail();
  EXPECT_EQ(claim(sim, "nope").status, 409);
  EXPECT_EQ(post("/v1/orgs/other/sims/" + sim + "/implementations/" + build + "/report-jobs",
                 R"({"datasetId":"ds-1"})")
                .status,
            404);
  EXPECT_EQ(post(jobs_path(sim, build), "{}").status, 422);
  EXPECT_EQ(post(jobs_path(sim, build), "{").status, 400);
  EXPECT_EQ(platform_->state().at("claims").as_array().size(), 0u);

  // A job is found under its own build only.
  auto [other_sim, other_build] = publish("Other");
  std::string job = claimed(sim, build);
  EXPECT_EQ(get(jobs_path(other_sim, other_build) + "/" + job).status, 404);
  EXPECT_EQ(post(jobs_path(sim, other_build) + "/" + job, analysis()).status, 404);
}

// --- The report timeline ---

TEST_F(PlatformTest, ReportIsWrittenReportSecondsAfterTheBuildLands) {
  start();  // build 3 s, report 1 s
  auto [sim, build] = publish();
  link(kWaterPlantProjectId, sim);
  std::string job = claimed(sim, build);
  std::string path = jobs_path(sim, build) + "/" + job;
  std::string projects = std::string(R"("projects":[{"projectId":")") + kWaterPlantProjectId +
                         R"(","projectName":"Water plant"}])";

  EXPECT_EQ(get(path).text(), R"({"buildStatus":"BUILDING","buildMapped":false,)"
                              R"("eventStatus":"pending","run":null,)" +
                                  projects + "}");
  clock_.advance(0.5);
  ASSERT_EQ(post(path, analysis()).text(), "{}");
  clock_.advance(2.4);
  EXPECT_EQ(get(path).body.at("eventStatus"), json::value("pending"));
  clock_.advance(0.1);  // the build lands at 3 s
  EXPECT_EQ(get(path).text(), R"({"buildStatus":"READY","buildMapped":true,)"
                              R"("eventStatus":"running","run":{"status":"writing",)"
                              R"("failureCode":null,"score":null},)" +
                                  projects + "}");
  clock_.advance(0.99);
  EXPECT_EQ(get(path).body.at("eventStatus"), json::value("running"));
  clock_.advance(0.01);
  EXPECT_EQ(get(path).text(), R"({"buildStatus":"READY","buildMapped":true,)"
                              R"("eventStatus":"done","run":{"status":"ready",)"
                              R"("failureCode":null,"score":87.5},)" +
                                  projects + "}");
  EXPECT_EQ(platform_->state().at("claims").at(0).at("statusRequests"), json::value(5));
}

TEST_F(PlatformTest, SubmissionAfterTheBuildLandedIsWrittenReportSecondsLater) {
  start();
  auto [sim, build] = publish();
  clock_.advance(10);
  std::string job = claimed(sim, build);
  std::string path = jobs_path(sim, build) + "/" + job;
  EXPECT_EQ(get(path).body.at("eventStatus"), json::value("pending"));
  ASSERT_EQ(post(path, analysis("{}")).status, 200);
  clock_.advance(0.9);
  EXPECT_EQ(get(path).body.at("eventStatus"), json::value("running"));
  clock_.advance(0.1);
  Answer done = get(path);
  EXPECT_EQ(done.body.at("eventStatus"), json::value("done"));
  EXPECT_EQ(done.body.at("run").at("score"), json::value(nullptr));  // no score_percent
  EXPECT_EQ(done.body.at("projects"), json::value(json::array()));
}

TEST_F(PlatformTest, FailedBuildHasNoMappingsAndFailsTheReport) {
  PlatformOptions options;
  options.fail_build = true;
  start(options);
  auto [sim, build] = publish();
  std::string job = claimed(sim, build);
  std::string path = jobs_path(sim, build) + "/" + job;
  ASSERT_EQ(post(path, analysis()).status, 200);
  EXPECT_EQ(get(path).body.at("buildStatus"), json::value("BUILDING"));
  clock_.advance(3);
  EXPECT_EQ(get(path).text(), R"({"buildStatus":"ERROR","buildMapped":false,)"
                              R"("eventStatus":"failed","run":{"status":"failed",)"
                              R"("failureCode":"BUILD_FAILED","score":null},"projects":[]})");
}

TEST_F(PlatformTest, StalledReportStaysWritingForever) {
  PlatformOptions options;
  options.stall_report = true;
  start(options);
  auto [sim, build] = publish();
  std::string path = jobs_path(sim, build) + "/" + claimed(sim, build);
  ASSERT_EQ(post(path, analysis()).status, 200);
  clock_.advance(100000);
  Answer status = get(path);
  EXPECT_EQ(status.body.at("buildMapped"), json::value(true));
  EXPECT_EQ(status.body.at("eventStatus"), json::value("running"));
  EXPECT_EQ(status.body.at("run").at("status"), json::value("writing"));
}

// --- Submissions ---

TEST_F(PlatformTest, FailureClosesTheJobAndKeepsTheReason) {
  start();
  auto [sim, build] = publish();
  std::string job = claimed(sim, build);
  std::string path = jobs_path(sim, build) + "/" + job;
  ASSERT_EQ(post(path, R"({"failure":"The sim crashed"})").text(), "{}");
  EXPECT_EQ(get(path).text(), R"({"buildStatus":"BUILDING","buildMapped":false,)"
                              R"("eventStatus":"failed","run":{"status":"failed",)"
                              R"("failureCode":"ANALYSIS_FAILED","score":null},"projects":[]})");
  json::value entry = platform_->state().at("claims").at(0);
  EXPECT_EQ(entry.at("open"), json::value(false));
  EXPECT_EQ(json_text::to_json(entry.at("submitted")), R"({"failure":"The sim crashed"})");

  Answer again = post(path, analysis());
  EXPECT_EQ(again.status, 409);
  EXPECT_NE(again.detail().find("closed"), std::string::npos) << again.detail();
}

TEST_F(PlatformTest, SubmissionsOfTheWrongShapeAreRefusedAndLeaveTheJobOpen) {
  start();
  auto [sim, build] = publish();
  std::string job = claimed(sim, build);
  std::string path = jobs_path(sim, build) + "/" + job;
  std::string warnings51 = "[";
  for (int i = 0; i < 51; ++i) warnings51 += std::string(i ? "," : "") + "\"w\"";
  warnings51 += "]";
  const std::string ds = R"("dataset":{"contentMd5":"m","contentSha256":"s"})";
  const std::pair<std::string, int> cases[] = {
      {"not json", 400},
      {"[]", 422},
      {R"({"simulatorValidation":[],)" + ds + "}", 422},
      {R"({"simulatorValidation":{}})", 422},
      {R"({"simulatorValidation":{},"dataset":{"contentMd5":"m"}})", 422},
      {R"({"simulatorValidation":{},)" + ds + R"(,"warnings":)" + warnings51 + "}", 422},
      {R"({"simulatorValidation":{},)" + ds + R"(,"warnings":[")" + std::string(501, 'x') +
           R"("]})",
       422},
      {R"({"simulatorValidation":{},)" + ds + R"(,"warnings":[1]})", 422},
      {R"({"failure":""})", 422},
      {R"({"failure":")" + std::string(501, 'x') + R"("})", 422},
      {R"({"failure":"x","simulatorValidation":{}})", 422},
  };
  for (const auto& [body, status] : cases) {
    Answer answer = post(path, body);
    EXPECT_EQ(answer.status, status) << body.substr(0, 120);
    EXPECT_NE(answer.detail(), "<no detail>") << body.substr(0, 120);
  }
  EXPECT_EQ(platform_->state().at("claims").at(0).at("open"), json::value(true));

  // 500 characters of two bytes each are within bounds.
  std::string long_warning;
  for (int i = 0; i < 500; ++i) long_warning += "\xC3\xA9";
  EXPECT_EQ(post(path, R"({"simulatorValidation":{},)" + ds + R"(,"warnings":[")" + long_warning +
                           R"("]})")
                .status,
            200);
}

// --- Sims, links, guidance ---

TEST_F(PlatformTest, RepublishingAddsABuildAndLinksAreKeptOnce) {
  start();
  auto [sim, build] = publish("Pump model");
  auto [again, second_build] = publish("Pump model");
  EXPECT_EQ(again, sim);
  EXPECT_NE(second_build, build);
  EXPECT_EQ(post("/v1/orgs/" + kOrg + "/sims", R"({"name":"x","bundleSha256":"abc"})").status, 422);

  std::string projects = "/v1/orgs/" + kOrg + "/projects/";
  EXPECT_EQ(post(projects + "nope/simulators/" + sim, "{}").status, 404);
  EXPECT_EQ(post(projects + kPumpStationProjectId + "/simulators/nope", "{}").status, 404);
  link(kPumpStationProjectId, sim);
  link(kPumpStationProjectId, sim);
  EXPECT_EQ(json_text::to_json(platform_->state().at("links")),
            R"([{"organizationId":")" + kOrg + R"(","projectId":")" + kPumpStationProjectId +
                R"(","simId":")" + sim + R"("}])");
}

TEST_F(PlatformTest, GuidanceIsFilteredByNameAndTypeAndDuplicatesAreRefused) {
  start();
  std::string base = "/v1/orgs/" + kOrg + "/projects/" + kWaterPlantProjectId + "/guidance";
  ASSERT_EQ(post(base, R"({"type":"goal","name":"Level"})").status, 201);
  ASSERT_EQ(post(base, R"({"type":"constraint","name":"Level"})").status, 201);
  Answer duplicate = post(base, R"({"type":"goal","name":"Level","conditions":null})");
  EXPECT_EQ(duplicate.status, 409);
  EXPECT_NE(duplicate.detail().find("update it"), std::string::npos) << duplicate.detail();

  Answer found = get(base + "?name=Level&type=constraint");
  ASSERT_EQ(found.body.as_array().size(), 1u);
  EXPECT_EQ(found.body.at(0).at("type"), json::value("constraint"));
  EXPECT_EQ(get(base + "?name=Other&type=goal").text(), "[]");
  EXPECT_EQ(get(base + "?name=Level&type=rule").status, 422);
  EXPECT_EQ(get("/v1/orgs/" + kOrg + "/projects/" + kPumpStationProjectId + "/guidance").text(),
            "[]");
  EXPECT_EQ(send("PUT", base + "/nope", "{}").status, 404);
}

TEST_F(PlatformTest, GuidanceFieldsAreValidated) {
  start();
  std::string base = "/v1/orgs/" + kOrg + "/projects/" + kWaterPlantProjectId + "/guidance";
  for (const char* body :
       {R"({"type":"rule","name":"n"})", R"({"name":"n"})", R"({"type":"goal","name":""})",
        R"({"type":"goal","name":"  "})", R"({"type":"goal","name":7})",
        R"({"type":"goal","name":"n","conditions":"x"})",
        R"({"type":"goal","name":"n","dataUrl":5})", R"([])"}) {
    Answer answer = post(base, body);
    EXPECT_EQ(answer.status, 422) << body;
    EXPECT_NE(answer.detail(), "<no detail>") << body;
  }
  EXPECT_EQ(platform_->state().at("guidance").as_array().size(), 0u);
}

TEST_F(PlatformTest, UploadsNeedABaseName) {
  start();
  std::string files = "/v1/orgs/" + kOrg + "/projects/" + kWaterPlantProjectId + "/guidance/files";
  for (const char* bad : {"", "?filename=", "?filename=..%2Fx.py", "?filename=.."}) {
    auto refused = client_->Post(files + bad, "x", "application/octet-stream");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 422) << bad;
  }
  EXPECT_EQ(platform_->state().at("files").as_array().size(), 0u);
}

// --- HTTP ---

TEST_F(PlatformTest, UnknownRoutesAndMethodsAnswerWithADetail) {
  start();
  Answer missing = get("/nope");
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.detail(), "<no detail>");
  EXPECT_EQ(get("/v1/projects/").status, 404);
  Answer wrong = send("DELETE", "/v1/projects");
  EXPECT_EQ(wrong.status, 405);
  EXPECT_EQ(wrong.detail(), "DELETE is not served on this path; use GET");
  Answer unserved = send("DELETE", "/v1/orgs/" + kOrg + "/sims");
  EXPECT_EQ(unserved.status, 405);
  EXPECT_EQ(unserved.detail(), "DELETE is not served on this path; use POST or GET");
}

TEST_F(PlatformTest, PathSegmentsArePercentDecodedOneByOne) {
  start();
  Answer answer = get("/v1/orgs/a%2Fb/projects/p/guidance");
  EXPECT_EQ(answer.status, 404);
  EXPECT_NE(answer.detail().find("'a/b'"), std::string::npos) << answer.detail();
  EXPECT_EQ(get("/v1/orgs/a%zz/projects/p/guidance").status, 400);
  EXPECT_EQ(get("/v1/orgs/a%FF/projects/p/guidance").status, 400);
  EXPECT_EQ(get("/v1/orgs/" + std::string(3000, 'x') + "/projects/p/guidance").status, 414);
}

TEST_F(PlatformTest, OversizedBodiesAreRefusedWhetherSizedOrChunked) {
  PlatformOptions options;
  options.max_body_bytes = 1024;
  start(options);
  std::string big = R"({"name":")" + std::string(2000, 'x') + R"("})";
  Answer sized = post("/v1/orgs/" + kOrg + "/sims", big);
  EXPECT_EQ(sized.status, 413);
  EXPECT_EQ(sized.detail(), "The request body is larger than 1024 bytes");

  auto chunked = client_->Post(
      "/v1/orgs/" + kOrg + "/sims",
      [&](std::size_t offset, httplib::DataSink& sink) {
        if (offset < big.size()) {
          sink.write(big.data() + offset, std::min<std::size_t>(100, big.size() - offset));
        } else {
          sink.done();
        }
        return true;
      },
      "application/json");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->status, 413);
  EXPECT_EQ(platform_->state().at("sims").as_array().size(), 0u);
}

TEST_F(PlatformTest, TokenIsRequiredOnTheApiAndNeverLogged) {
  PlatformOptions options;
  options.token = "s3cret-token";
  start(options);
  Answer missing = get("/v1/projects");
  EXPECT_EQ(missing.status, 401);
  EXPECT_NE(missing.detail().find("VELKO_API_TOKEN"), std::string::npos);
  EXPECT_EQ(send("GET", "/v1/projects", "", {{"Authorization", "Bearer wrong"}}).status, 401);
  EXPECT_EQ(send("GET", "/%761/projects").status, 401);  // an escaped "v1" is still the API
  EXPECT_EQ(send("GET", "/v1/projects", "", {{"Authorization", "Bearer s3cret-token"}}).status,
            200);
  EXPECT_EQ(get("/debug/state").status, 200);

  // The server logs a request after answering it, on one of its threads, so the lines may
  // come in another order than the requests.
  std::vector<std::string> lines = log(5);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /v1/projects 401"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /v1/projects 200"), 1);
  for (const auto& line : lines) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

TEST_F(PlatformTest, StateRouteServesTheSnapshot) {
  start();
  auto [sim, build] = publish();
  link(kWaterPlantProjectId, sim);
  std::string job = claimed(sim, build);
  ASSERT_EQ(post(jobs_path(sim, build) + "/" + job, analysis()).status, 200);
  Answer state = get("/debug/state");
  EXPECT_EQ(state.body, platform_->state());
  json::value claim = state.body.at("claims").at(0);
  EXPECT_EQ(keys(claim),
            (std::vector<std::string>{"jobId", "simId", "implementationId", "datasetId", "open",
                                      "submitted", "statusRequests"}));
  EXPECT_EQ(json_text::to_json(claim.at("submitted")), analysis());  // as sent, in order
}

TEST(DevPlatformOptions, NonsenseOptionsAreRefused) {
  auto with = [](auto change) {
    PlatformOptions options;
    change(options);
    return options;
  };
  EXPECT_THROW(DevPlatform{with([](auto& o) { o.build_seconds = -1; })}, std::invalid_argument);
  EXPECT_THROW(DevPlatform{with([](auto& o) { o.report_seconds = NAN; })}, std::invalid_argument);
  EXPECT_THROW(DevPlatform{with([](auto& o) { o.token = ""; })}, std::invalid_argument);
  EXPECT_THROW(DevPlatform{with([](auto& o) { o.refuse_claims = ""; })}, std::invalid_argument);
}

TEST(DevPlatformServing, BusyPortIsAClearErrorAndStopIsRepeatable) {
  DevPlatform first{PlatformOptions{}};
  int port = first.start("127.0.0.1", 0);
  DevPlatform second{PlatformOptions{}};
  try {
    second.start("127.0.0.1", port);
    FAIL() << "a busy port was bound";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(std::to_string(port)), std::string::npos);
  }
  first.stop();
  first.stop();
}

// --- The executable ---

// Reads from `fd` until a newline or the deadline.
std::string read_line(int fd, double seconds) {
  std::string line;
  auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  char c = 0;
  while (Clock::now() < deadline) {
    pollfd poller{fd, POLLIN, 0};
    if (::poll(&poller, 1, 50) <= 0) continue;
    if (::read(fd, &c, 1) != 1 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

// A shell starts background jobs with SIGINT ignored; the server stops on it all the same.
TEST(DevPlatformExecutable, PrintsItsAddressServesAndStopsOnSigint) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  std::string exe = testing::bin("velko-dev-platform");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::signal(SIGINT, SIG_IGN);
    ::execl(exe.c_str(), exe.c_str(), "--port", "0", "--token", "t", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line = read_line(out[0], 20);
  const std::string prefix = "velko-dev-platform listening on http://127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  int port = std::stoi(line.substr(prefix.size()));
  httplib::Client client("127.0.0.1", port);
  auto result = client.Get("/v1/projects", {{"Authorization", "Bearer t"}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);

  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(out[0]);
}

TEST(DevPlatformExecutable, HelpNamesEveryOptionAndBadValuesAreUsageErrors) {
  testing::RunResult help = testing::run({testing::bin("velko-dev-platform"), "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--refuse-claims TEXT"), std::string::npos) << help.out;
  EXPECT_NE(testing::run({testing::bin("velko-dev-platform"), "--build-seconds", "-1"}).status, 0);
}

// A service whose start raises SIGTERM at the calling thread, so that the stop signal is
// pending when serve_until_stopped waits for one; `fail` makes start throw instead.
class PendingStopService : public Service {
 public:
  PendingStopService(std::vector<std::string>& calls, bool fail) : calls_(calls), fail_(fail) {}
  int start(const std::string& host, int port) override {
    calls_.push_back("start " + host + ":" + std::to_string(port));
    if (fail_) throw std::runtime_error("no room on the port");
    ::pthread_kill(::pthread_self(), SIGTERM);
    return 4242;
  }
  void stop() override { calls_.push_back("stop"); }

 private:
  std::vector<std::string>& calls_;
  bool fail_;
};

// Runs serve_until_stopped for "velko-dev-x" on 127.0.0.9:17 and restores this thread's
// signal mask afterwards.
struct ServeRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> calls;

  explicit ServeRun(std::function<std::unique_ptr<Service>(std::vector<std::string>&)> make) {
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    ServiceCommandLine line;
    line.host = "127.0.0.9";
    line.port = 17;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    status = serve_until_stopped("velko-dev-x", line, [&] { return make(calls); });
    out = ::testing::internal::GetCapturedStdout();
    err = ::testing::internal::GetCapturedStderr();
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  }
};

TEST(ServeUntilStopped, PrintsTheAddressServesUntilAStopSignalAndStops) {
  ServeRun run([](std::vector<std::string>& calls) {
    return std::make_unique<PendingStopService>(calls, false);
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "velko-dev-x listening on http://127.0.0.9:4242\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.calls, (std::vector<std::string>{"start 127.0.0.9:17", "stop"}));
}

TEST(ServeUntilStopped, AServiceThatCannotBeMadeOrStartedEndsWithStatusOne) {
  ServeRun unmade([](std::vector<std::string>&) -> std::unique_ptr<Service> {
    throw std::runtime_error("the data directory is empty");
  });
  EXPECT_EQ(unmade.status, 1);
  EXPECT_EQ(unmade.out, "");
  EXPECT_EQ(unmade.err, "velko-dev-x: the data directory is empty\n");

  ServeRun unstarted([](std::vector<std::string>& calls) {
    return std::make_unique<PendingStopService>(calls, true);
  });
  EXPECT_EQ(unstarted.status, 1);
  EXPECT_EQ(unstarted.out, "");
  EXPECT_EQ(unstarted.err, "velko-dev-x: no room on the port\n");
  EXPECT_EQ(unstarted.calls, std::vector<std::string>{"start 127.0.0.9:17"});
}

TEST(ServiceCommandLine, ReadsTheAddressTokenAndVerbosity) {
  auto parse = [](std::vector<std::string> args, ServiceCommandLine& line) {
    CLI::App app("test", "velko-dev-x");
    line.port = 8799;
    line.add_address_options(app);
    line.add_access_options(app, "Require a token");
    std::reverse(args.begin(), args.end());
    app.parse(args);
    return app.help();
  };
  ServiceCommandLine defaults;
  std::string help = parse({}, defaults);
  EXPECT_EQ(defaults.host, "127.0.0.1");
  EXPECT_EQ(defaults.port, 8799);
  EXPECT_EQ(defaults.given_token(), std::nullopt);
  EXPECT_FALSE(defaults.log());
  for (const char* shown : {"--host TEXT=127.0.0.1", "--port INT:INT in [0 - 65535]=8799",
                            "--token TEXT", "Require a token", "--verbose"}) {
    EXPECT_NE(help.find(shown), std::string::npos) << shown << " in " << help;
  }

  ServiceCommandLine given;
  parse({"--host", "0.0.0.0", "--port", "0", "--token", "t", "--verbose"}, given);
  EXPECT_EQ(given.host, "0.0.0.0");
  EXPECT_EQ(given.port, 0);
  EXPECT_EQ(given.given_token(), "t");
  EXPECT_TRUE(given.log());

  ServiceCommandLine refused;
  EXPECT_THROW(parse({"--token", ""}, refused), CLI::ValidationError);
  EXPECT_THROW(parse({"--port", "65536"}, refused), CLI::ValidationError);
}

}  // namespace
}  // namespace velko::dev
