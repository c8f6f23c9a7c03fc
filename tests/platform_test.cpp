// The platform client against the stand-in platform and against scripted loopback servers.
#include "platform/client.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/api_status_error.h"
#include "common/async.h"
#include "common/errors.h"
#include "common/http.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "dev/dev_platform.h"
#include "tests/support/testing.h"

namespace velko::platform {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;

const std::string kOrg = dev::kOrganizationId;
const std::string kWater = dev::kWaterPlantProjectId;
const std::string kPump = dev::kPumpStationProjectId;

// Runs one of the client's operations to its end.
template <class Fn>
auto sync(Fn fn) {
  return async_to_sync(std::move(fn))();
}

// A loopback server that records every request and answers with a scripted reply.
class Recorder {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::string authorization;
    std::string content_type;
    std::string body;
  };

  Recorder() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      requests_.push_back({req.method, req.target, req.get_header_value("Authorization"),
                           req.get_header_value("Content-Type"), req.body});
      res.status = status_;
      if (trickle_) {
        // A byte every 20 ms until the client goes: each within any idle limit, never done.
        res.set_chunked_content_provider(
            "application/json", [this](std::size_t, httplib::DataSink& sink) {
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
              return sink.write(" ", 1);
            });
      } else if (huge_bytes_ > 0) {
        res.set_content_provider(huge_bytes_, "application/json",
                                 [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                   static const std::string chunk(1 << 16, ' ');
                                   return sink.write(chunk.data(), std::min(length, chunk.size()));
                                 });
      } else {
        res.set_content(body_, content_type_);
      }
    };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    server_.Put(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Recorder() {
    server_.stop();
    thread_.join();
  }

  void answer(int status, std::string body, std::string content_type = "application/json") {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    content_type_ = std::move(content_type);
  }
  void answer_huge(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    huge_bytes_ = bytes;
  }
  void answer_trickling() {
    std::lock_guard lock(mutex_);
    trickle_ = true;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Request> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  Request last() {
    std::lock_guard lock(mutex_);
    return requests_.empty() ? Request{} : requests_.back();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<Request> requests_;
  int status_ = 200;
  std::string body_ = "{}";
  std::string content_type_ = "application/json";
  std::size_t huge_bytes_ = 0;
  bool trickle_ = false;
};

// Expects `body` to throw APIStatusError with this status; yields its detail.
template <class Fn>
std::string refusal(Fn fn, long status) {
  try {
    sync(std::move(fn));
  } catch (const APIStatusError& error) {
    EXPECT_EQ(error.status(), status) << error.detail();
    return error.detail();
  }
  ADD_FAILURE() << "no APIStatusError";
  return "";
}

// Expects `fn` to throw E; yields its message.
template <class E, class Fn>
std::string failure(Fn fn) {
  try {
    sync(std::move(fn));
  } catch (const E& error) {
    return error.what();
  }
  ADD_FAILURE() << "no error of the expected type";
  return "";
}

class ClientTest : public ::testing::Test {
 protected:
  // A client of a stand-in platform whose builds land and whose reports are written at once;
  // `project` is the project that cli_select picks without asking (VELKO_PROJECT).
  Client platform_client(dev::PlatformOptions options = {}, std::string project = "") {
    options.build_seconds = 0;
    options.report_seconds = 0;
    platform_ = std::make_unique<dev::DevPlatform>(std::move(options));
    int port = platform_->start("127.0.0.1", 0);
    return Client("http://127.0.0.1:" + std::to_string(port) + "/", std::nullopt,
                  std::move(project));
  }

  // Prompts with no one to answer them.
  guidance_commands::Prompts no_terminal() { return {input_, output_, errors_, false}; }

  std::unique_ptr<dev::DevPlatform> platform_;
  std::istringstream input_;
  std::ostringstream output_;
  std::ostringstream errors_;
};

// --- Projects ---

TEST_F(ClientTest, VelkoProjectPicksAProjectByIdOrName) {
  {
    Client client = platform_client({}, kPump);
    EXPECT_EQ(sync([&] { return client.cli_select(no_terminal()); }).name, "Pump station");
  }
  Client client = platform_client({}, "Water plant");
  guidance_commands::Project project = sync([&] { return client.cli_select(no_terminal()); });
  EXPECT_EQ(project.id, kWater);
  EXPECT_EQ(project.organization_id, kOrg);
  EXPECT_EQ(project.name, "Water plant");
}

TEST_F(ClientTest, UnknownVelkoProjectIsAnErrorListingTheProjects) {
  Client client = platform_client({}, "Boiler");
  std::string message =
      failure<std::runtime_error>([&] { return client.cli_select(no_terminal()); });
  EXPECT_THAT(message, HasSubstr("VELKO_PROJECT 'Boiler'"));
  EXPECT_THAT(message, HasSubstr("'Water plant' (" + kWater + ")"));
  EXPECT_THAT(message, HasSubstr("'Pump station' (" + kPump + ")"));
}

TEST_F(ClientTest, SeveralProjectsWithoutATerminalAskForVelkoProject) {
  Client client = platform_client();
  std::string message =
      failure<std::runtime_error>([&] { return client.cli_select(no_terminal()); });
  EXPECT_THAT(message, HasSubstr("no terminal"));
  EXPECT_THAT(message, HasSubstr("set VELKO_PROJECT"));
}

TEST_F(ClientTest, TheOnlyProjectIsTakenAndNoProjectIsAnError) {
  Recorder server;
  Client client(server.url());
  server.answer(200, R"([{"id":"p1","organizationId":"o1","name":"Solo","extra":1}])");
  guidance_commands::Project project = sync([&] { return client.cli_select(no_terminal()); });
  EXPECT_EQ(project.id, "p1");
  EXPECT_EQ(project.organization_id, "o1");
  server.answer(200, "[]");
  EXPECT_THAT(failure<std::runtime_error>([&] { return client.cli_select(no_terminal()); }),
              HasSubstr("no projects"));
}

TEST_F(ClientTest, TheProjectPromptAsksThroughTheStreamsItIsGiven) {
  Recorder server;
  Client client(server.url());
  server.answer(200, R"([{"id":"p1","organizationId":"o1","name":"Solo"},
                         {"id":"p2","organizationId":"o1","name":"Two\u001b[2J"}])");
  input_.str("7\x1b\n2\n");
  const guidance_commands::Prompts terminal{input_, output_, errors_, true};
  EXPECT_EQ(sync([&] { return client.cli_select(terminal); }).id, "p2");
  // The platform's names and the refused answer are shown escaped.
  EXPECT_EQ(output_.str(),
            "Projects:\n  1. Solo (p1)\n  2. Two\\x1b[2J (p2)\nProject [1]: Project [1]: ");
  EXPECT_EQ(errors_.str(), "Error: 7\\x1b is not a number from 1 to 2\n");
  // The end of the input aborts the choice.
  failure<guidance_commands::PromptAborted>([&] { return client.cli_select(terminal); });
}

// --- Guidance ---

TEST_F(ClientTest, GuidanceItemsRoundTripThroughThePlatform) {
  Client client = platform_client();
  json::value conditions = json_text::parse(R"({"z":1,"a":[2]})");
  guidance::GuidanceItem goal =
      sync([&] { return client.create(kOrg, kWater, "goal", "Level", conditions, std::nullopt); });
  EXPECT_EQ(goal.type.value, "goal");
  sync([&] { return client.create(kOrg, kWater, "reward", "Level", std::nullopt, "u"); });

  std::optional<guidance::GuidanceItem> found =
      sync([&] { return client.get_by_name(kOrg, kWater, "Level", "goal"); });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, goal.id);
  EXPECT_FALSE(sync([&] { return client.get_by_name(kOrg, kWater, "Level", "constraint"); }));

  sync([&] { return client.update(kOrg, kWater, goal.id, json::value(json::array{1}), "d"); });
  std::vector<guidance::GuidanceItem> items =
      sync([&] { return client.list_guidance(kOrg, kWater); });
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].id, goal.id);  // creation order
  EXPECT_EQ(items[1].type.value, "reward");
  EXPECT_EQ(json_text::to_json(platform_->state().at("guidance").at(0).at("conditions")), "[1]");

  std::string detail = refusal(
      [&] { return client.create(kOrg, kWater, "goal", "Level", std::nullopt, std::nullopt); },
      409);
  EXPECT_THAT(detail, HasSubstr("named 'Level' already"));
}

TEST_F(ClientTest, RequestBodiesKeepTheirMemberOrderAndSendEmptyValuesAsNull) {
  Recorder server;
  Client client(server.url());
  server.answer(200, R"({"id":"i","name":"R","type":"reward"})");
  sync([&] {
    return client.create("o", "p", "reward", "R", json_text::parse(R"({"z":1,"a":2})"), "u");
  });
  EXPECT_EQ(server.last().body,
            R"({"type":"reward","name":"R","conditions":{"z":1,"a":2},"dataUrl":"u"})");
  EXPECT_EQ(server.last().content_type, "application/json");
  sync([&] { return client.create("o", "p", "goal", "G", json::value(json::object()), ""); });
  // An empty list or map of conditions is the item's own value; only none is null.
  EXPECT_EQ(server.last().body, R"({"type":"goal","name":"G","conditions":{},"dataUrl":null})");
  sync([&] { return client.update("o", "p", "i", json::value(json::array()), std::nullopt); });
  EXPECT_EQ(server.last().method, "PUT");
  EXPECT_EQ(server.last().body, R"({"conditions":[],"dataUrl":null})");
  sync([&] { return client.update("o", "p", "i", std::nullopt, "u"); });
  EXPECT_EQ(server.last().body, R"({"conditions":null,"dataUrl":"u"})");

  sync([&] { return client.publish_report_start("o", "s", "b", "d"); });
  EXPECT_EQ(server.last().body, R"({"datasetId":"d"})");
  json::value body = json_text::parse(R"({"simulatorValidation":{"b":1,"a":0.5},"warnings":[]})");
  sync([&] { return client.publish_report_submit({"o", "s", "b", "j"}, body); });
  EXPECT_EQ(server.last().body, R"({"simulatorValidation":{"b":1,"a":0.5},"warnings":[]})");
  sync([&] { return client.link_simulator("o", "p", "s"); });
  EXPECT_EQ(server.last().target, "/v1/orgs/o/projects/p/simulators/s");
  EXPECT_EQ(server.last().body, "{}");
}

TEST_F(ClientTest, IdsAndQueriesArePercentEncoded) {
  Recorder server;
  Client client(server.url());
  server.answer(200, "[]");
  sync([&] { return client.get_by_name("org/1", "p q", "a&b=c/\xC3\xBC", "successCriteria"); });
  EXPECT_EQ(server.last().target,
            "/v1/orgs/org%2F1/projects/p%20q/guidance"
            "?name=a%26b%3Dc%2F%C3%BC&type=successCriteria");
  server.answer(200, "{}");
  sync([&] { return client.publish_report_status({"o", "s?x", "i#1", "j%2"}); });
  EXPECT_EQ(server.last().target, "/v1/orgs/o/sims/s%3Fx/implementations/i%231/report-jobs/j%252");
  // Dot segments would be resolved away on the way.
  sync([&] { return client.publish_report_status({"..", ".", "..", "."}); });
  EXPECT_EQ(server.last().target,
            "/v1/orgs/%2E%2E/sims/%2E/implementations/%2E%2E/report-jobs/%2E");
}

TEST_F(ClientTest, DotIdsReachTheirOwnRouteOnThePlatform) {
  Client client = platform_client();
  for (std::string id : {".", ".."}) {
    EXPECT_EQ(
        refusal([&] { return client.update(kOrg, kPump, id, json::array(), std::nullopt); }, 404),
        "There is no guidance item " + quoted(id) + " in the project");
  }
}

TEST_F(ClientTest, NamesWithReservedCharactersAreFoundOnThePlatform) {
  Client client = platform_client();
  const std::string name = "a&b=c/\xC3\xBC?#%+ x";
  sync([&] { return client.create(kOrg, kPump, "constraint", name, std::nullopt, std::nullopt); });
  std::optional<guidance::GuidanceItem> found =
      sync([&] { return client.get_by_name(kOrg, kPump, name, "constraint"); });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, name);
}

TEST_F(ClientTest, RewardFileIsUploadedAsItsBytes) {
  const std::string bytes("print(1)\0\x01\xFF", 11);
  Recorder server;
  Client client(server.url());
  server.answer(201, R"({"dataUrl":"files/1"})");
  std::string url =
      sync([&] { return client.upload_reward_file("o", "p", "my reward.py", bytes); });
  EXPECT_EQ(url, "files/1");
  Recorder::Request request = server.last();
  EXPECT_EQ(request.target, "/v1/orgs/o/projects/p/guidance/files?filename=my%20reward.py");
  EXPECT_EQ(request.content_type, "application/octet-stream");
  EXPECT_EQ(request.body, bytes);

  Client real = platform_client();
  std::string data_url =
      sync([&] { return real.upload_reward_file(kOrg, kWater, "my reward.py", bytes); });
  json::value file = platform_->state().at("files").at(0);
  EXPECT_EQ(file.at("dataUrl"), json::value(data_url));
  EXPECT_EQ(file.at("filename"), json::value("my reward.py"));
  EXPECT_EQ(file.at("bytes"), json::value(11));
}

// --- Report jobs ---

TEST_F(ClientTest, ReportJobRunsFromClaimToWrittenReport) {
  Client client = platform_client();
  PublishedSim sim =
      sync([&] { return client.publish_sim(kOrg, "Pump model", std::string(64, 'c')); });
  EXPECT_EQ(sim.name, "Pump model");
  sync([&] { return client.link_simulator(kOrg, kWater, sim.sim_id); });

  json::value claim = sync(
      [&] { return client.publish_report_start(kOrg, sim.sim_id, sim.implementation_id, "ds"); });
  EXPECT_EQ(claim.at("simulatorId"), json::value(sim.sim_id));
  EXPECT_EQ(claim.at("maxLagSteps"), json::value(2));
  std::string job(claim.at("jobId").as_string());

  json::value body =
      json_text::parse(R"({"simulatorValidation":{"evaluation":{"score_percent":90}},)"
                       R"("dataset":{"contentMd5":"m","contentSha256":"s"},"warnings":["w1"]})");
  sync([&] {
    return client.publish_report_submit({kOrg, sim.sim_id, sim.implementation_id, job}, body);
  });
  json::value status = sync([&] {
    return client.publish_report_status({kOrg, sim.sim_id, sim.implementation_id, job});
  });
  EXPECT_EQ(json_text::to_json(status),
            R"({"buildStatus":"READY","buildMapped":true,"eventStatus":"done",)"
            R"("run":{"status":"ready","failureCode":null,"score":90},)"
            R"("projects":[{"projectId":")" +
                kWater + R"(","projectName":"Water plant"}]})");
  EXPECT_EQ(json_text::to_json(platform_->state().at("claims").at(0).at("submitted")),
            json_text::to_json(body));
}

TEST_F(ClientTest, RefusalsCarryTheStatusAndTheDetail) {
  dev::PlatformOptions options;
  options.refuse_claims = "Analyses are paused";
  Client client = platform_client(options);
  PublishedSim sim = sync([&] { return client.publish_sim(kOrg, "S", std::string(64, 'c')); });
  auto claim = [&] {
    return client.publish_report_start(kOrg, sim.sim_id, sim.implementation_id, "d");
  };
  EXPECT_EQ(refusal(claim, 409), "Analyses are paused");
  EXPECT_THAT(refusal([&] { return client.link_simulator(kOrg, "nope", sim.sim_id); }, 404),
              HasSubstr("no project 'nope'"));
}

// --- Errors and bounds ---

TEST_F(ClientTest, RefusalWithoutATextDetailCarriesTheRawBody) {
  Recorder server;
  Client client(server.url());
  server.answer(500, "plain failure", "text/plain");
  EXPECT_EQ(refusal([&] { return client.list_projects(); }, 500), "plain failure");
  server.answer(422, R"({"detail":[{"msg":"bad"}]})");
  EXPECT_EQ(refusal([&] { return client.list_projects(); }, 422), R"({"detail":[{"msg":"bad"}]})");
  server.answer(503, "");
  try {
    sync([&] { return client.list_projects(); });
    ADD_FAILURE() << "no error";
  } catch (const APIStatusError& error) {
    EXPECT_STREQ(error.what(), "the platform answered with status 503");
  }
}

TEST_F(ClientTest, TokenIsSentAsABearerHeaderWhenSet) {
  Recorder server;
  server.answer(200, "[]");
  auto authorization = [&](Client client) {
    sync([&] { return client.list_projects(); });
    return server.last().authorization;
  };
  EXPECT_EQ(authorization(Client(server.url())), "");
  EXPECT_EQ(authorization(Client(server.url(), "t0k")), "Bearer t0k");
  EXPECT_EQ(authorization(Client(server.url(), "")), "");
  EXPECT_THROW(Client(server.url(), "t0k\r\nX-Other: 1"), std::invalid_argument);

  dev::PlatformOptions options;
  options.token = "secret";
  Client anonymous = platform_client(options);
  EXPECT_THAT(refusal([&] { return anonymous.list_projects(); }, 401),
              HasSubstr("VELKO_API_TOKEN"));
  Client trusted(anonymous.base_url(), "secret");
  EXPECT_EQ(sync([&] { return trusted.list_projects(); }).size(), 2u);
}

TEST_F(ClientTest, AnswersBeyondTheBoundAreNotRead) {
  Recorder server;
  server.answer_huge(std::size_t{100} << 20);
  Client client(server.url());
  EXPECT_THAT(failure<http::ResponseTooLarge>([&] { return client.list_projects(); }),
              HasSubstr("larger than 64 MiB"));
}

TEST_F(ClientTest, AnswersOfTheWrongShapeAreClearErrors) {
  Recorder server;
  Client client(server.url());
  server.answer(200, "<html>ok</html>", "text/html");
  EXPECT_THAT(failure<BadAnswer>([&] { return client.list_projects(); }),
              HasSubstr("answer to GET /v1/projects is not JSON"));
  server.answer(201, "[]");
  EXPECT_THAT(failure<BadAnswer>([&] { return client.publish_report_start("o", "s", "i", "d"); }),
              HasSubstr("report claim is not an object"));
  server.answer(200, R"([{"id":"i","type":"goal"}])");
  EXPECT_THAT(failure<BadAnswer>([&] { return client.list_guidance("o", "p"); }),
              HasSubstr("has no \"name\""));
  // An answer without content is fine where the client reads nothing from it.
  server.answer(204, "");
  sync([&] { return client.publish_report_submit({"o", "s", "i", "j"}, json::object()); });
}

TEST_F(ClientTest, UnreachablePlatformIsATransportErrorWithAHint) {
  std::string url;
  {
    Client client = platform_client();
    url = client.base_url();
    platform_->stop();
  }
  Client client(url);
  EXPECT_THAT(failure<http::TransportError>([&] { return client.list_projects(); }),
              HasSubstr("is the platform running? VELKO_API_URL sets its address"));
}

TEST_F(ClientTest, TricklingPlatformAnsweredTooSlowlyAndMayHaveMadeWhatWasAsked) {
  Recorder server;
  server.answer_trickling();
  Client client(server.url());
  client.set_total_timeout(0.3);
  EXPECT_EQ(
      failure<http::AnswerTooSlow>([&] { return client.publish_report_start("o", "s", "i", "d"); }),
      "The platform answered too slowly (POST " + server.url() +
          "/v1/orgs/o/sims/s/implementations/i/report-jobs: no complete answer within "
          "0.3 s); the report claim may have been opened all the same");
  EXPECT_THAT(failure<http::AnswerTooSlow>([&] { return client.publish_sim("o", "n", "h"); }),
              ::testing::EndsWith("; the sim's build may have been published all the same"));
}

}  // namespace
}  // namespace velko::platform
