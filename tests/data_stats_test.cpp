// Counting a dataset: the compute node's "dataset-stats" request, after which it tells the
// dataset's episode count, and the client's reading and table of the figures.
#include <filesystem>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <boost/json.hpp>

#include "cli/data_commands/data_stats.h"
#include "common/errors.h"
#include "common/json_text.h"
#include "compute_node/dataset_stats.h"
#include "dev/dev_node.h"
#include "tests/support/captured_output.h"
#include "tests/support/testing.h"

namespace velko {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;

const std::string kRunsId = "5b7e0c1a-0000-4000-8000-00000000aa02";

// Two episodes; the valve was not recorded in the first row of each, the flow never.
constexpr const char* kRunsCsv =
    "episode,level,flow,valve\n"
    "1,0.5,,\n"
    "1,1.5,,0.25\n"
    "1,4,,0.75\n"
    "2,-1,,\n"
    "2,0,,1\n";

class NodeStats : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(data_ / "runs");
    testing::write_file(data_ / "runs/runs.csv", kRunsCsv);
    testing::write_file(data_ / "runs/dataset.json",
                        R"({"id": ")" + kRunsId + R"(", "name": "runs", "csv": "runs.csv",
                            "episode_column": "episode", "stats": false, "columns": [
                              {"header": "level", "id": "lvl", "role": "sensor"},
                              {"header": "flow", "id": "flw", "role": "sensor"},
                              {"header": "valve", "id": "vlv", "role": "action"}]})");
    node_ =
        std::make_unique<dev::DevNode>(dev::DatasetCatalog::load(data_.path()), dev::NodeOptions{});
    port_ = node_->start("127.0.0.1", 0);
  }

  std::pair<int, json::value> call(const std::string& method, const std::string& path,
                                   const std::string& body = "") {
    httplib::Client client("127.0.0.1", port_);
    httplib::Result result =
        method == "GET" ? client.Get(path) : client.Post(path, body, "application/json");
    if (!result) return {0, nullptr};
    return {result->status, json_text::parse(result->body)};
  }

  testing::TempDir data_;
  std::unique_ptr<dev::DevNode> node_;
  int port_ = 0;
};

TEST_F(NodeStats, CountingADatasetMakesItsEpisodeCountKnownFromThenOn) {
  EXPECT_EQ(call("GET", "/datasets/runs").second.at("cycles"), json::value(nullptr));
  auto [status, figures] =
      call("POST", "/ml/dataset-stats", R"({"dataset_uuid": ")" + kRunsId + "\"}");
  ASSERT_EQ(status, 200) << figures;
  EXPECT_EQ(figures, json::parse(R"({"dataset_id": ")" + kRunsId + R"(", "name": "runs",
      "episodes": 2, "rows": 5, "columns": [
        {"id": "lvl", "name": "level", "role": "sensor", "count": 5, "nulls": 0,
         "min": -1.0, "max": 4.0, "mean": 1.0},
        {"id": "flw", "name": "flow", "role": "sensor", "count": 0, "nulls": 5,
         "min": null, "max": null, "mean": null},
        {"id": "vlv", "name": "valve", "role": "action", "count": 3, "nulls": 2,
         "min": 0.25, "max": 1.0, "mean": 0.6666666666666666}]})"));
  EXPECT_EQ(call("GET", "/datasets/runs").second.at("cycles"), json::parse(R"({"count": 2})"));
  EXPECT_EQ(call("GET", "/datasets").second.at(0).at("cycles"), json::parse(R"({"count": 2})"));
}

TEST_F(NodeStats, RefusesWhatItCannotCount) {
  auto [unknown, unknown_body] = call("POST", "/ml/dataset-stats", R"({"dataset_uuid": "nope"})");
  EXPECT_EQ(unknown, 404);
  EXPECT_EQ(unknown_body.at("detail"),
            json::value("There is no dataset with the id 'nope' on this node"));
  auto [malformed, malformed_body] = call("POST", "/ml/dataset-stats", R"({"dataset": "runs"})");
  EXPECT_EQ(malformed, 422);
  EXPECT_THAT(std::string(malformed_body.at("detail").as_string()),
              HasSubstr("\"dataset_uuid\" is missing"));
  EXPECT_EQ(call("GET", "/ml/dataset-stats").first, 405);
  // A refused request counts nothing.
  EXPECT_EQ(call("GET", "/datasets/runs").second.at("cycles"), json::value(nullptr));
}

constexpr const char* kFigures = R"({"dataset_id": "d-1", "name": "runs", "episodes": 2,
  "rows": 5, "columns": [
    {"id": "lvl", "name": "level", "role": "sensor", "count": 5, "nulls": 0,
     "min": -1.0, "max": 4.0, "mean": 1.0000001},
    {"id": "flw", "name": "flow [m3/s]", "role": "sensor", "count": 0, "nulls": 5,
     "min": null, "max": null, "mean": null}]})";

TEST(DatasetFigures, TheNodesFiguresAreReadAndShownAsATable) {
  compute_node::DatasetFigures figures = compute_node::figures_from_json(json::parse(kFigures));
  testing::CapturedOutput out;
  out.console.print_table(data_commands::figures_table(figures));
  EXPECT_EQ(out.printed,
            "Dataset 'runs'\n"
            "┏━━━━━━━━━━━━━┳━━━━━━━━┳━━━━━━━┳━━━━━━━┳━━━━━━┳━━━━━┳━━━━━━┓\n"
            "┃ Column      ┃ Role   ┃ Count ┃ Nulls ┃ Min  ┃ Max ┃ Mean ┃\n"
            "┡━━━━━━━━━━━━━╇━━━━━━━━╇━━━━━━━╇━━━━━━━╇━━━━━━╇━━━━━╇━━━━━━┩\n"
            "│ level       │ sensor │ 5     │ 0     │ -1.0 │ 4.0 │ 1    │\n"
            "│ flow [m3/s] │ sensor │ 0     │ 5     │ -    │ -   │ -    │\n"
            "└─────────────┴────────┴───────┴───────┴──────┴─────┴──────┘\n");
}

TEST(DatasetFigures, AnAnswerOfTheWrongShapeIsTheNodesFault) {
  auto problem = [](const std::string& member, const char* value) {
    json::value answer = json::parse(kFigures);
    answer.as_object()["columns"].as_array()[0].as_object()[member] = json::parse(value);
    try {
      compute_node::figures_from_json(answer);
    } catch (const BadAnswer& error) {
      return std::string(error.what());
    }
    return std::string("<read>");
  };
  EXPECT_THAT(problem("count", "-1"), HasSubstr("\"count\""));
  EXPECT_THAT(problem("count", "1.5"), HasSubstr("a whole number of at least 0"));
  EXPECT_THAT(problem("min", "\"low\""), HasSubstr("a number or null"));
  EXPECT_THAT(problem("name", "7"), HasSubstr("\"name\""));
  EXPECT_THROW(compute_node::figures_from_json(json::parse(R"({"dataset_id": "d", "name": "n",
                                                        "episodes": 1, "rows": 1})")),
               std::out_of_range);
}

}  // namespace
}  // namespace velko
