// The replay's compact predictions and the "sim-analyze-rollouts" body written from them: the
// body's text is the one the general JSON writer makes of the same body built as JSON values,
// whatever the values and however it is read, and a body over its bound is refused whole.
#include "main/dataset_replay/rollouts_body.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "main/dataset_replay/predictions.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;

// A run's predictions, kept both ways: compact, and as the JSON values that were sent before.
struct TwoWays {
  explicit TwoWays(std::vector<std::string> columns) : compact(columns), columns(columns) {}

  void add(const json::value& id, const EpisodePredictions& predictions) {
    compact.add(id, predictions);
    episodes.emplace_back(json::object{{"episode", id}, {"predictions", predictions.to_json()}});
  }
  // The body of `head` and these episodes, as the general writer writes it.
  std::string expected(const json::object& head) const {
    json::object body = head;
    body["episodes"] = episodes;
    return json_text::to_json(body);
  }

  RunPredictions compact;
  std::vector<std::string> columns;
  json::array episodes;
};

json::object claim_head() {
  return json::object{{"dataset_uuid", "ds-1"},
                      {"simulator_id", "sim-1"},
                      {"simulator_implementation_id", 7},
                      {"validation_run_id", std::numeric_limits<std::uint64_t>::max()},
                      {"bundle_content_hash", std::string(64, 'a')},
                      {"core_sensor_variables", json::array{"Tank \"Level\"", "p\u00e9\n"}},
                      {"sensor_variables", json::array{"c_level", "c_level", "c/2"}},
                      {"action_variables", json::array{"a_pump"}},
                      {"max_lag_steps", 2.5}};
}

// Reads a body through its pieces, `n` bytes at a time.
std::string read_in_pieces(const RolloutsBody& body, std::size_t n) {
  http::BodyPieces pieces = body.pieces();
  std::string out;
  std::string buffer(n, '\0');
  for (std::size_t got; (got = pieces(buffer.data(), n)) > 0;) out.append(buffer, 0, got);
  return out;
}

// The identity in every way the body is read (the run's compact predictions go into the body).
void expect_identical(TwoWays& run, const json::object& head) {
  const std::string expected = run.expected(head);
  auto shared = std::make_shared<const RunPredictions>(std::move(run.compact));
  RolloutsBody body(head, shared);
  EXPECT_EQ(body.size(), expected.size());
  EXPECT_TRUE(body.text() == expected) << "the texts differ";
  for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{(64 << 10) + 3}}) {
    EXPECT_TRUE(read_in_pieces(body, n) == expected) << "read " << n << " bytes at a time";
  }
  http::BodySource source = body.source();
  EXPECT_EQ(source.size, expected.size());
  // Opened again, the source starts over.
  std::string start(5, '\0');
  source.open()(start.data(), start.size());
  EXPECT_EQ(start, expected.substr(0, 5));
  source.open()(start.data(), start.size());
  EXPECT_EQ(start, expected.substr(0, 5));
}

TEST(RolloutsBody, IsWhatTheGeneralWriterMakesOfTheSameValues) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  TwoWays run({"c_level", "c/2", "\u00e9t\u00e9 \"x\""});
  // Numbers whose shortest form is awkward: integral ones, exponents either side of the
  // switch to scientific form, the extremes, negative zero.
  std::vector<std::optional<double>> awkward = {0.0,
                                                -0.0,
                                                1.0,
                                                -3.0,
                                                100.0,
                                                1e15,
                                                1e16,
                                                1e17,
                                                1e21,
                                                1e22,
                                                1e23,
                                                123456789012345680.0,
                                                0.1,
                                                0.3,
                                                1.0 / 3,
                                                -1.5e-7,
                                                1e-5,
                                                1e-4,
                                                5e-324,
                                                tiny,
                                                huge,
                                                -huge,
                                                2.2250738585072014e-308,
                                                9007199254740993.0,
                                                std::nullopt,
                                                4.35,
                                                0.000123456789};
  EpisodePredictions first(run.columns);
  for (const auto& value : awkward) {
    first.append(0, value);
    first.append(1, value ? std::optional<double>(-*value) : std::nullopt);
    first.append(1, std::nullopt);
  }
  run.add(json::value("ep-0"), first);
  // An episode that ended early: one row, some columns without a value.
  EpisodePredictions early(run.columns);
  early.append(0, 1.0);
  early.append(1, std::nullopt);
  run.add(json::value(17), early);
  // Identifiers of every kind the node may give.
  for (json::value id :
       {json::value(std::numeric_limits<std::uint64_t>::max()), json::value(-4.5),
        json::value(nullptr), json::parse(R"({"a":[1,"\u0001"]})"), json::value("\u2028")}) {
    run.add(id, EpisodePredictions(run.columns));
  }
  expect_identical(run, claim_head());
}

TEST(RolloutsBody, RandomNumbersOverManyPiecesAreWrittenAlike) {
  std::mt19937_64 random(7);
  TwoWays run({"a", "b", "c", "d"});
  for (int e = 0; e < 40; ++e) {
    EpisodePredictions episode(run.columns);
    const int rows = static_cast<int>(random() % 600);
    for (int row = 0; row < rows; ++row) {
      for (std::size_t c = 0; c < run.columns.size(); ++c) {
        // Any finite bit pattern, numbers of a sim's usual size, and nulls.
        std::uint64_t bits = random();
        double value = std::bit_cast<double>(bits);
        if (row % 3 == 0) value = std::ldexp(static_cast<double>(bits >> 11), -50) - 4096;
        if (!std::isfinite(value) || bits % 97 == 0) {
          episode.append(c, std::nullopt);
        } else {
          episode.append(c, value);
        }
      }
    }
    run.add(json::value(e * 3), episode);
  }
  const std::string expected = run.expected(claim_head());
  EXPECT_GT(expected.size(), std::size_t{5} << 16);  // several pieces
  expect_identical(run, claim_head());
}

TEST(RolloutsBody, RunsWithoutEpisodesColumnsOrHeadAreStillWhole) {
  TwoWays none({"c"});
  expect_identical(none, claim_head());
  TwoWays no_columns({});
  no_columns.add(json::value(1), EpisodePredictions({}));
  no_columns.add(json::value(2), EpisodePredictions({}));
  expect_identical(no_columns, claim_head());
  TwoWays bare({"c"});
  EpisodePredictions one({"c"});
  one.append(0, 2.0);
  bare.add(json::value(1), one);
  expect_identical(bare, json::object());
}

TEST(RolloutsBody, OverItsBoundIsRefusedBeforeAnythingIsSent) {
  RunPredictions run({"c"});
  EpisodePredictions episode({"c"});
  for (int i = 0; i < 100000; ++i) episode.append(0, 0.5);
  run.add(json::value(1), episode);
  auto shared = std::make_shared<const RunPredictions>(std::move(run));
  const json::object head = claim_head();
  const std::uint64_t size = RolloutsBody(head, shared).size();
  EXPECT_EQ(RolloutsBody(head, shared, size).size(), size);
  try {
    RolloutsBody(head, shared, size - 1);
    FAIL() << "a body over its bound was made";
  } catch (const PublishReportError& error) {
    EXPECT_THAT(error.what(), HasSubstr("The predictions of 1 episodes make a request of more "
                                        "than 1 MiB, which the compute node does not take; "
                                        "replay fewer episodes with --max-episodes"));
  }
  EXPECT_THROW(RolloutsBody(json::object{{"episodes", 1}}, shared), std::invalid_argument);
}

TEST(Predictions, KeepEightBytesAValueAndRefuseWhatJsonCannotCarry) {
  EpisodePredictions episode({"a", "b"});
  EXPECT_THROW(episode.append(0, std::numeric_limits<double>::infinity()), std::domain_error);
  EXPECT_THROW(episode.append(0, std::numeric_limits<double>::quiet_NaN()), std::domain_error);
  EXPECT_EQ(episode.size(0), 0u);
  episode.append(0, std::nullopt);
  episode.append(0, -0.0);
  EXPECT_EQ(episode.at(0, 0), std::nullopt);
  EXPECT_EQ(episode.at(0, 1), 0.0);
  EXPECT_TRUE(std::signbit(*episode.at(0, 1)));

  RunPredictions run({"a", "b"});
  EXPECT_THROW(run.add(json::value(1), EpisodePredictions({"b", "a"})), std::invalid_argument);
  EXPECT_EQ(run.episode_count(), 0u);
  EpisodePredictions big({"a", "b"});
  constexpr std::size_t kValues = 200000;
  for (std::size_t i = 0; i < kValues / 2; ++i) {
    big.append(0, static_cast<double>(i));
    big.append(1, std::nullopt);
  }
  for (int e = 0; e < 10; ++e) run.add(json::value(e), big);
  // 8 bytes a value, and what the log's last block leaves empty.
  EXPECT_LE(run.memory_bytes(), 10 * kValues * 8 + 10 * 64 + (std::size_t{64} << 10) + 1024);

  RunPredictions::Reader reader(run);
  std::string id;
  ASSERT_TRUE(reader.next_episode(id));
  EXPECT_EQ(id, "0");
  EXPECT_EQ(reader.next_column(), kValues / 2);
  EXPECT_EQ(reader.next_value(), 0.0);
  EXPECT_EQ(reader.next_value(), 1.0);
  // An episode left half read does not shift the next one.
  ASSERT_TRUE(reader.next_episode(id));
  EXPECT_EQ(id, "1");
}

}  // namespace
}  // namespace velko::dataset_replay
