// The compute-node requests against a loopback node, and the episode choice.
#include "main/dataset_replay/node_requests.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <boost/json/parse.hpp>

#include "common/http.h"
#include "common/json_text.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/run_context.h"
#include "tests/support/node_answers.h"
#include "tests/support/servers.h"
#include "tests/support/testing.h"

namespace velko::dataset_replay {
namespace {

using testing::LoopbackNode;

using Clock = std::chrono::steady_clock;

// A dataset module whose headers change on every call.
class FreshHeaders : public DatasetModule {
 public:
  std::string url;
  awaitable<LocalDataset> resolve_local_dataset(std::string) override { co_return LocalDataset{}; }
  std::string compute_url() override { return url; }
  http::Headers auth_headers() override {
    return {{"Authorization", "Bearer token-" + std::to_string(++calls_)}};
  }

 private:
  int calls_ = 0;
};

class NodePostTest : public ::testing::Test {
 protected:
  void use_node(const std::string& url) { datasets_.url = url; }
  boost::json::value post(double timeout = 5) {
    boost::json::object body;
    body["dataset_uuid"] = "ds-1";
    body["episodes"] = boost::json::array{0, 3};
    body["a_last"] = 1.5;
    return node_post_blocking(compute_node(datasets_), "analysis-actions", body, timeout);
  }
  // The refusal message of one answer.
  std::string refusal(int status, const std::string& body) {
    LoopbackNode node;
    node.answer("*", {status, body, "text/plain"});
    use_node(node.url());
    try {
      post();
    } catch (const PublishReportError& error) {
      return error.what();
    }
    return "(no refusal)";
  }
  // A node that answers every request with `status` and `body`.
  static std::unique_ptr<LoopbackNode> node_answering(int status, const std::string& body,
                                                      const std::string& type = "text/plain") {
    auto node = std::make_unique<LoopbackNode>();
    node->answer("*", {status, body, type});
    return node;
  }
  static std::unique_ptr<LoopbackNode> node_responding(LoopbackNode::Respond respond) {
    auto node = std::make_unique<LoopbackNode>();
    node->respond("*", std::move(respond));
    return node;
  }

  FreshHeaders datasets_;
};

TEST_F(NodePostTest, PostsTheBodyInMemberOrderWithFreshHeadersToTheUrlAsGiven) {
  auto node = node_answering(200, R"({"raw_names": {"c": "Speed"}})");
  use_node(node->url() + "/");
  EXPECT_EQ(post(), boost::json::parse(R"({"raw_names": {"c": "Speed"}})"));
  post();
  std::vector<LoopbackNode::Seen> seen = node->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "//ml/analysis-actions");
  EXPECT_EQ(seen[0].body, R"({"dataset_uuid":"ds-1","episodes":[0,3],"a_last":1.5})");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer token-1");
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer token-2");
}

TEST_F(NodePostTest, RefusalsCarryTheDetailAsText) {
  const std::string prefix = "The compute node refused the analysis: ";
  EXPECT_EQ(refusal(422, R"({"detail": "no actions"})"), prefix + "no actions");
  EXPECT_EQ(refusal(422, R"({"detail": {"loc": ["body", 1], "ok": false, "n": null}})"),
            prefix + "{'loc': ['body', 1], 'ok': False, 'n': None}");
  EXPECT_EQ(refusal(404, "no such dataset"), prefix + "no such dataset");
  EXPECT_EQ(refusal(409, R"({"error": "busy"})"), prefix + R"({"error": "busy"})");
  EXPECT_EQ(refusal(401, ""), prefix);
  // JSON that is not an object: the raw body as well.
  EXPECT_EQ(refusal(422, R"(["a", 2])"), prefix + R"(["a", 2])");
  EXPECT_EQ(refusal(404, R"("gone")"), prefix + R"("gone")");
}

TEST_F(NodePostTest, OtherFailuresNameTheUrl) {
  auto failing = node_answering(500, R"({"detail": "boom"})");
  use_node(failing->url());
  try {
    post();
    ADD_FAILURE();
  } catch (const http::HTTPStatusError& error) {
    EXPECT_EQ(error.status(), 500);
    EXPECT_EQ(error.url(), failing->url() + "/ml/analysis-actions");
  }
  auto proxy = node_answering(200, "<html>proxy</html>");
  use_node(proxy->url());
  try {
    post();
    ADD_FAILURE();
  } catch (const json_text::JsonError& error) {
    EXPECT_NE(std::string(error.what()).find("/ml/analysis-actions is not JSON"),
              std::string::npos);
  }
}

TEST_F(NodePostTest, UnreachableOrSilentNodeIsATransportError) {
  std::string base;
  {
    auto gone = node_answering(200, "{}");
    base = gone->url();  // nothing listens there once it has stopped
  }
  use_node(base);
  try {
    post();
    ADD_FAILURE();
  } catch (const http::TransportError& error) {
    EXPECT_EQ(
        std::string(error.what())
            .rfind("Could not reach the compute node at " + base + "/ml/analysis-actions: ", 0),
        0u)
        << error.what();
  }

  std::atomic<bool> done = false;
  auto node = node_responding([&](const httplib::Request&, httplib::Response& out) {
    for (int i = 0; i < 2000 && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out.set_content("{}", "application/json");
  });
  use_node(node->url());
  auto start = Clock::now();
  EXPECT_THROW(post(0.3), http::TransportError);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  done = true;
}

TEST_F(NodePostTest, AnswerOfAGigabyteIsRefusedAsTooLarge) {
  std::string piece(std::size_t{1} << 20, ' ');
  auto node = node_responding([&](const httplib::Request&, httplib::Response& out) {
    out.set_content_provider(std::size_t{1} << 30, "application/json",
                             [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
                               return sink.write(piece.data(), std::min(length, piece.size()));
                             });
  });
  use_node(node->url());
  try {
    post();
    ADD_FAILURE();
  } catch (const http::ResponseTooLarge& error) {
    EXPECT_NE(std::string(error.what()).find("was too large"), std::string::npos);
  }
}

// The "analysis-actions" answer read as it arrives.
class FetchActionsTest : public NodePostTest {
 protected:
  RecordedActions fetch(std::vector<std::int64_t> episodes = {0, 3}) {
    return fetch_recorded_actions(compute_node(datasets_), "ds-1", episodes, 5);
  }
};

TEST_F(FetchActionsTest, ReadsTheAnswerSentInPiecesAndAsksForTheEpisodes) {
  const std::string text =
      R"({"episodes": [{"episode": "e-7", "n_rows": 3, "actions": {"a": [null, 0.1, -25]}}],)"
      R"( "sensor_variables": ["c"], "action_variables": ["a"], "raw_names": {"a": "A", "c": "C"},)"
      R"( "summary": {"rows": [1, 2, 3]}})";
  auto node = node_responding([&](const httplib::Request&, httplib::Response& out) {
    out.set_chunked_content_provider(
        "application/json", [&](std::size_t offset, httplib::DataSink& sink) {
          if (offset < text.size()) {
            sink.write(text.data() + offset, std::min<std::size_t>(7, text.size() - offset));
          } else {
            sink.done();
          }
          return true;
        });
  });
  use_node(node->url());
  RecordedActions actions = fetch();
  std::vector<LoopbackNode::Seen> seen = node->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/ml/analysis-actions");
  EXPECT_EQ(seen[0].body, R"({"dataset_uuid":"ds-1","episodes":[0,3]})");
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer token-1");

  ASSERT_EQ(actions.episode_count(), 1u);
  EXPECT_EQ(actions.episode(0).id(), boost::json::value("e-7"));
  EXPECT_EQ(actions.episode(0).row_count(), 3);
  std::vector<ActionColumn> columns = actions.episode(0).columns({"a"});
  EXPECT_EQ(columns[0].at(1), 0.1);
  EXPECT_EQ(columns[0].at(2), -25.0);
  EXPECT_EQ(actions.columns().action_variables.ids, std::vector<std::string>{"a"});
  EXPECT_EQ(actions.columns().raw_names.names.at("c"), "C");
}

TEST_F(FetchActionsTest, FailsAsEveryNodeRequestFails) {
  {
    auto node = node_answering(422, R"({"detail": "episode 3 is out of range"})");
    use_node(node->url());
    try {
      fetch();
      ADD_FAILURE();
    } catch (const PublishReportError& error) {
      EXPECT_STREQ(error.what(),
                   "The compute node refused the analysis: episode 3 is out of range");
    }
  }
  {
    auto node = node_answering(503, "busy");
    use_node(node->url());
    EXPECT_THROW(fetch(), http::HTTPStatusError);
  }
  {
    auto node = node_answering(200, R"({"episodes": [)");
    use_node(node->url());
    try {
      fetch();
      ADD_FAILURE();
    } catch (const json_text::JsonError& error) {
      EXPECT_EQ(error.what(), "The compute node's answer from " + node->url() +
                                  "/ml/analysis-actions is not JSON: unexpected end of the text "
                                  "at line 1 column 15 (char 14)");
    }
  }
  std::string gone;
  {
    auto node = node_answering(200, "{}");
    gone = node->url();
  }
  use_node(gone);
  try {
    fetch();
    ADD_FAILURE();
  } catch (const http::TransportError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Could not reach the compute node at " + gone, 0),
              0u);
  }
}

TEST_F(FetchActionsTest, AnAnswerThatHoldsMoreThanWasAskedForEndsTheTransfer) {
  std::string episodes;
  for (int i = 0; i < 3; ++i) {
    episodes += (i ? "," : "") + std::string(R"({"episode": )") + std::to_string(i) + "}";
  }
  auto node = node_answering(200, R"({"episodes": [)" + episodes + "]}", "application/json");
  use_node(node->url());
  EXPECT_EQ(testing::node_fault([&] {
              fetch({0, 3});
            }),
            "BadAnswer: the answer has more episodes than the 2 that were asked for");
}

TEST_F(FetchActionsTest, ARefusalIsKeptUpToItsBound) {
  std::string detail(3 << 20, 'x');
  auto node = node_answering(404, detail);
  use_node(node->url());
  try {
    fetch();
    ADD_FAILURE();
  } catch (const PublishReportError& error) {
    EXPECT_EQ(std::string(error.what()),
              "The compute node refused the analysis: " + detail.substr(0, 1 << 20));
  }
}

TEST_F(FetchActionsTest, AnAnswerOverTheLimitIsRefusedAsTooLarge) {
  auto node = node_responding([&](const httplib::Request&, httplib::Response& out) {
    out.set_content_provider(MAX_NODE_ANSWER_BYTES + 1, "application/json",
                             [&](std::size_t, std::size_t, httplib::DataSink& sink) {
                               sink.write(" ", 1);
                               return true;
                             });
  });
  use_node(node->url());
  try {
    fetch();
    ADD_FAILURE();
  } catch (const http::ResponseTooLarge& error) {
    EXPECT_EQ(error.what(), "The compute node's answer from " + node->url() +
                                "/ml/analysis-actions was too large: it is larger than 512 MiB "
                                "and was not read");
  }
}

TEST(PickEpisodes, SpreadsEvenlyRoundingHalfToEven) {
  using V = std::vector<std::int64_t>;
  V first_ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  V without_ten = first_ten;
  for (std::int64_t i = 11; i <= 20; ++i) without_ten.push_back(i);
  EXPECT_EQ(pick_episodes(10, 20), first_ten);
  EXPECT_EQ(pick_episodes(21, 20), without_ten);
  EXPECT_EQ(pick_episodes(100, 20),
            (V{0, 5, 10, 16, 21, 26, 31, 36, 42, 47, 52, 57, 63, 68, 73, 78, 83, 89, 94, 99}));
  EXPECT_EQ(pick_episodes(10, 4), (V{0, 3, 6, 9}));
  EXPECT_EQ(pick_episodes(10, 3), (V{0, 4, 9}));
  EXPECT_EQ(pick_episodes(6, 4), (V{0, 2, 3, 5}));
  for (auto [n, max] : {std::pair<int, int>{10, 1}, {1, 1}, {2, 1}}) {
    EXPECT_EQ(pick_episodes(n, max), V{0});
  }
  EXPECT_EQ(pick_episodes(0, 20), V{});
  EXPECT_EQ(pick_episodes(5, 0), V{});
  constexpr std::int64_t kTop = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(pick_episodes(kTop, 2), (V{0, kTop - 1}));
}

}  // namespace
}  // namespace velko::dataset_replay
