// The stand-in compute node: its dataset folders, its two analysis requests and their
// refusals, against the in-process node on loopback.
#include "dev/dev_node.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "dev/node_actions.h"
#include "dev/node_catalog.h"
#include "tests/support/testing.h"

namespace velko::dev {
namespace {

namespace json = boost::json;

const std::string kTankId = "0b6f2c1e-1111-4a2b-9c3d-4e5f60718293";
const std::string kQuietId = "0b6f2c1e-2222-4a2b-9c3d-4e5f60718293";
const std::string kHash(64, 'c');

// Three episodes (runs 7, 8, 9). The level of run 7 swings between 0 and 2 (mean 1,
// standard deviation 1); that of run 9 climbs 1..5. Sensor values carry a 7 in their
// fraction so that a leak into an answer would show.
const char* kTankCsv =
    "run,level,\"flow, m3/s\",valve,pump,note\n"
    "7,0,10.7,0.5,1,a\n"
    "7,2,10.7,,2,\"b, c\"\n"
    "7,0,10.7,0.25,0,\n"
    "7,2,10.7,0.25,0,\n"
    "7,0,10.7,0.25,0,\n"
    "7,2,,0.25,0,\n"
    "8,1.5,0.75,1,3,\n"
    "8,1.5,0.75,1,3,\n"
    "8,1.5,0.75,1,3,\n"
    "8,1.5,0.75,1,3,\n"
    "9,1,20.7,0,0,\n"
    "9,2,20.7,0,0,\n"
    "9,3,20.7,0,0,\n"
    "9,4,20.7,0,0,\n"
    "9,5,20.7,0,0,\n";

std::string tank_descriptor(const std::string& id, const std::string& name, bool stats) {
  return "{\"id\": \"" + id + "\", \"name\": \"" + name + "\", \"csv\": \"rows.csv\", " +
         "\"episode_column\": \"run\", \"stats\": " + (stats ? "true" : "false") +
         ", \"columns\": [" + "{\"header\": \"level\", \"id\": \"lvl\", \"role\": \"sensor\"}," +
         "{\"header\": \"flow, m3/s\", \"id\": \"flw\", \"role\": \"sensor\"}," +
         "{\"header\": \"valve\", \"id\": \"vlv\", \"role\": \"action\"}," +
         "{\"header\": \"pump\", \"id\": \"pmp\", \"role\": \"action\"}]}";
}

// Writes a dataset folder.
void write_dataset(const std::string& folder, const std::string& descriptor,
                   const std::string& csv) {
  std::filesystem::create_directories(folder);
  testing::write_file(folder + "/dataset.json", descriptor);
  testing::write_file(folder + "/rows.csv", csv);
}

// The message with which a dataset folder fails to load.
std::string load_error(const std::string& descriptor, const std::string& csv) {
  testing::TempDir dir;
  write_dataset(dir / "set", descriptor, csv);
  try {
    load_dataset(dir / "set");
  } catch (const DatasetError& error) {
    return error.what();
  }
  return "<loaded>";
}

struct Answer {
  int status = 0;
  json::value body;
  std::string raw;
  std::string detail() const {
    const json::value* detail =
        body.is_object() ? body.get_object().if_contains("detail") : nullptr;
    return detail && detail->is_string() ? std::string(detail->get_string()) : "<no detail>";
  }
  const json::value& at(std::string_view key) const { return body.as_object().at(key); }
};

// A request for the analysis of run 7 (and more episodes when added) of the tank dataset.
json::object rollouts(int max_lag_steps = 0) {
  json::object body;
  body["dataset_uuid"] = kTankId;
  body["simulator_id"] = "sim-1";
  body["simulator_implementation_id"] = "impl-1";
  body["validation_run_id"] = 42;
  body["bundle_content_hash"] = kHash;
  body["core_sensor_variables"] = json::array{"level"};
  body["sensor_variables"] = json::array{"lvl"};
  body["action_variables"] = json::array{"vlv", "pmp"};
  body["max_lag_steps"] = max_lag_steps;
  body["episodes"] = json::array{};
  return body;
}

void add_episode(json::object& body, json::value episode, json::object predictions) {
  json::object entry;
  entry["episode"] = std::move(episode);
  entry["predictions"] = std::move(predictions);
  body["episodes"].as_array().push_back(std::move(entry));
}

class DevNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_dataset(data_ / "tank", tank_descriptor(kTankId, "Tank runs", true), kTankCsv);
    write_dataset(data_ / "quiet", tank_descriptor(kQuietId, "quiet", false), kTankCsv);
  }

  void start(NodeOptions options = {}) {
    node_ = std::make_unique<DevNode>(DatasetCatalog::load(data_.path()), std::move(options));
    port_ = node_->start("127.0.0.1", 0);
  }

  Answer call(const std::string& method, const std::string& path, const std::string& body = "",
              std::optional<std::string> token = std::nullopt) {
    httplib::Client client("127.0.0.1", port_);
    httplib::Headers headers;
    if (token) headers.emplace("Authorization", "Bearer " + *token);
    httplib::Result result = method == "GET" ? client.Get(path, headers)
                                             : client.Post(path, headers, body, "application/json");
    EXPECT_TRUE(result) << "no answer to " << method << " " << path;
    Answer answer;
    if (!result) return answer;
    answer.status = result->status;
    answer.raw = result->body;
    answer.body = json_text::parse(result->body);
    return answer;
  }
  Answer actions(const std::string& body) { return call("POST", "/ml/analysis-actions", body); }
  Answer analyze(const json::object& body) {
    return call("POST", "/ml/sim-analyze-rollouts", json_text::to_json(body));
  }

  testing::TempDir data_;
  std::unique_ptr<DevNode> node_;
  int port_ = 0;
};

TEST(DatasetFolderTest, ReadsColumnsEpisodesAndGaps) {
  testing::TempDir dir;
  write_dataset(dir / "set", tank_descriptor(kTankId, "Tank runs", true), kTankCsv);
  NodeDataset dataset = load_dataset(dir / "set");
  EXPECT_EQ(dataset.rows, 15u);
  ASSERT_EQ(dataset.episodes.size(), 3u);
  EXPECT_EQ(dataset.episodes[1].label, "8");
  EXPECT_EQ(dataset.episodes[1].first_row, 6u);
  EXPECT_EQ(dataset.episodes[1].rows, 4u);
  EXPECT_TRUE(dataset.integer_labels);
  EXPECT_EQ(dataset.episode_identifier(2), json::value(9));
  EXPECT_EQ(dataset.episode_index(json::value("9")), 2u);
  EXPECT_EQ(dataset.column("flw")->raw_name, "flow, m3/s");
  std::span<const double> flow = dataset.values(*dataset.column("flw"), 0);
  EXPECT_TRUE(std::isnan(flow[5]));  // an empty cell is not recorded
  EXPECT_TRUE(std::isnan(dataset.values(*dataset.column("vlv"), 0)[1]));
}

TEST(DatasetFolderTest, LabelsThatAreNotAllIntegersIdentifyEpisodesAsTexts) {
  testing::TempDir dir;
  write_dataset(dir / "set", tank_descriptor(kTankId, "t", true),
                "run,level,\"flow, m3/s\",valve,pump\r\n007,1,2,3,4\r\nb,1,2,3,4\r\n");
  NodeDataset dataset = load_dataset(dir / "set");
  EXPECT_FALSE(dataset.integer_labels);
  EXPECT_EQ(dataset.episode_identifier(0), json::value("007"));
  EXPECT_FALSE(dataset.episode_index(json::value(7)));
}

TEST(DatasetFolderTest, RefusesBadFilesNamingWhereAndWhy) {
  std::string good = tank_descriptor(kTankId, "t", true);
  const std::string header = "run,level,\"flow, m3/s\",valve,pump\n";
  EXPECT_NE(load_error(good, header + "1,1,2,3,4\n1,abc,2,3,4\n")
                .find("rows.csv, line 3: the cell 'abc' of column 'level' is not a finite number"),
            std::string::npos);
  EXPECT_NE(load_error(good, header + "1,1,2,3\n").find("line 2: 4 cells, but the header has 5"),
            std::string::npos);
  EXPECT_NE(load_error(good, header + "1,1,2,3,4\n2,1,2,3,4\n1,1,2,3,4\n")
                .find("line 4: episode '1' appears again after other episodes"),
            std::string::npos);
  EXPECT_NE(load_error(good, "run,level,valve,pump\n1,1,3,4\n")
                .find("line 1: there is no column 'flow, m3/s'"),
            std::string::npos);
  EXPECT_NE(load_error(good, header + "1,inf,2,3,4\n").find("not a finite number"),
            std::string::npos);
  EXPECT_NE(
      load_error(good, header + "1,\"1,2,3,4\n").find("line 2: a quoted field is never closed"),
      std::string::npos);
  EXPECT_NE(load_error(good, header).find("no rows after the header"), std::string::npos);
  std::string misspelt = good;
  misspelt.replace(misspelt.find("\"stats\""), 7, "\"statz\"");
  EXPECT_NE(
      load_error(misspelt, header + "1,1,2,3,4\n").find("dataset.json: unknown member 'statz'"),
      std::string::npos);
  std::string no_sensor = good;
  for (std::size_t at; (at = no_sensor.find("\"sensor\"")) != std::string::npos;) {
    no_sensor.replace(at, 8, "\"action\"");
  }
  EXPECT_NE(load_error(no_sensor, header + "1,1,2,3,4\n").find("no column has the role \"sensor\""),
            std::string::npos);
  EXPECT_NE(load_error("{\"id\": 1}", "").find("dataset.json: \"id\" must be a non-empty text"),
            std::string::npos);
}

TEST(DatasetFolderTest, CatalogRefusesFoldersWithoutDescriptorAndSharedIds) {
  testing::TempDir dir;
  write_dataset(dir / "a", tank_descriptor(kTankId, "first", true), kTankCsv);
  write_dataset(dir / "b", tank_descriptor(kTankId, "second", true), kTankCsv);
  EXPECT_THROW(DatasetCatalog::load(dir.path()), DatasetError);
  testing::TempDir other;
  std::filesystem::create_directories(other / "empty");
  std::filesystem::create_directories(other / ".hidden");
  try {
    DatasetCatalog::load(other.path());
    ADD_FAILURE() << "loaded a folder without a descriptor";
  } catch (const DatasetError& error) {
    EXPECT_NE(std::string(error.what()).find("empty: this folder has no dataset.json"),
              std::string::npos);
  }
}

TEST_F(DevNodeTest, FindsDatasetsByIdAndByName) {
  start();
  Answer by_id = call("GET", "/datasets/" + kTankId);
  EXPECT_EQ(by_id.status, 200);
  EXPECT_EQ(
      json_text::to_json(by_id.body),
      "{\"id\":\"" + kTankId + "\",\"name\":\"Tank runs\",\"cycles\":{\"count\":3},\"rows\":15}");
  Answer by_name = call("GET", "/datasets/Tank%20runs");
  EXPECT_EQ(by_name.status, 200);
  EXPECT_EQ(by_name.at("id"), json::value(kTankId));
  Answer unknown = call("GET", "/datasets/Tank%20run");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.detail(), "There is no dataset with the id or name 'Tank run' on this node");
}

TEST_F(DevNodeTest, EncodedDotNamesAreDecodedBackToTheName) {
  write_dataset(data_ / "dot", tank_descriptor("dot-id", ".", true), kTankCsv);
  write_dataset(data_ / "dots", tank_descriptor("dots-id", "..", true), kTankCsv);
  start();
  EXPECT_EQ(call("GET", "/datasets/%2E").at("id"), json::value("dot-id"));
  EXPECT_EQ(call("GET", "/datasets/%2E%2E").at("id"), json::value("dots-id"));
  EXPECT_EQ(call("GET", "/datasets/%2e%2E").at("id"), json::value("dots-id"));
}

TEST_F(DevNodeTest, DatasetWithoutStatisticsHasNoCycles) {
  start();
  Answer quiet = call("GET", "/datasets/quiet");
  EXPECT_EQ(quiet.status, 200);
  EXPECT_TRUE(quiet.at("cycles").is_null());
  EXPECT_EQ(quiet.at("rows"), json::value(15));
}

TEST_F(DevNodeTest, ActionsComeInTheRequestedOrderWithoutSensorValues) {
  start();
  Answer answer = actions("{\"dataset_uuid\": \"" + kTankId + "\", \"episodes\": [2, 0]}");
  ASSERT_EQ(answer.status, 200) << answer.raw;
  EXPECT_EQ(answer.raw,
            "{\"episodes\":["
            "{\"episode\":9,\"n_rows\":5,\"actions\":{\"vlv\":[0.0,0.0,0.0,0.0,0.0],"
            "\"pmp\":[0.0,0.0,0.0,0.0,0.0]}},"
            "{\"episode\":7,\"n_rows\":6,\"actions\":{\"vlv\":[0.5,null,0.25,0.25,0.25,0.25],"
            "\"pmp\":[1.0,2.0,0.0,0.0,0.0,0.0]}}],"
            "\"sensor_variables\":[\"lvl\",\"flw\"],\"action_variables\":[\"vlv\",\"pmp\"],"
            "\"raw_names\":{\"lvl\":\"level\",\"flw\":\"flow, m3/s\",\"vlv\":\"valve\","
            "\"pmp\":\"pump\"}}");
  EXPECT_EQ(answer.raw.find(".7"), std::string::npos);
  Answer none = actions("{\"dataset_uuid\": \"" + kTankId + "\", \"episodes\": []}");
  EXPECT_EQ(none.status, 200);
  EXPECT_TRUE(none.at("episodes").as_array().empty());
}

TEST_F(DevNodeTest, ActionsRefuseMalformedRequests) {
  start();
  const std::string uuid = "\"dataset_uuid\": \"" + kTankId + "\"";
  struct Case {
    std::string body;
    int status;
    std::string detail;
  } cases[] = {
      {"{" + uuid + ", \"episodes\": [0,", 422, "The request body is not valid JSON"},
      {"[]", 422, "The request body must be a JSON object, not a list"},
      {"{" + uuid + "}", 422, "\"episodes\" is missing; it must be a list"},
      {"{\"dataset_uuid\": 5, \"episodes\": []}", 422, "\"dataset_uuid\" must be a text, not 5"},
      {"{" + uuid + ", \"episodes\": [\"1\"]}", 422,
       "Each entry of \"episodes\" must be an integer"},
      {"{" + uuid + ", \"episodes\": [1.0]}", 422,
       "Each entry of \"episodes\" must be an integer index, not 1.0"},
      {"{" + uuid + ", \"episodes\": [3]}", 422,
       "Episode index 3 is out of range: 'Tank runs' has 3"},
      {"{" + uuid + ", \"episodes\": [-1]}", 422, "Episode index -1 is out of range"},
      {"{" + uuid + ", \"episodes\": [1, 1]}", 422, "Episode index 1 is asked for twice"},
      {"{\"dataset_uuid\": \"nope\", \"episodes\": [0]}", 404,
       "There is no dataset with the id 'nope'"},
  };
  for (const Case& c : cases) {
    Answer answer = actions(c.body);
    EXPECT_EQ(answer.status, c.status) << c.body;
    EXPECT_EQ(answer.detail().find(c.detail), 0u) << c.body << " -> " << answer.detail();
  }
}

TEST_F(DevNodeTest, TokenIsRequiredOnEveryRoute) {
  NodeOptions options;
  options.token = "s3cret";
  start(options);
  Answer missing = call("GET", "/datasets/quiet");
  EXPECT_EQ(missing.status, 401);
  EXPECT_EQ(missing.detail(), "This compute node needs a token: set VELKO_NODE_TOKEN");
  Answer wrong = call("POST", "/ml/analysis-actions", "{}", "s3creT");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.detail(), "The compute node did not accept the token; check VELKO_NODE_TOKEN");
  EXPECT_EQ(call("GET", "/datasets/quiet", "", "s3cret").status, 200);
}

TEST_F(DevNodeTest, BodiesLargerThanTheirRouteTakesAreRefused) {
  NodeOptions options;
  options.max_actions_body_bytes = 64;
  start(options);
  std::string body = "{\"dataset_uuid\": \"" + kTankId + "\", \"episodes\": [0, 1, 2]}   ";
  body.append(100, ' ');
  Answer answer = actions(body);
  EXPECT_EQ(answer.status, 413);
  EXPECT_EQ(answer.detail(), "The request body is larger than 64 bytes");
  EXPECT_EQ(call("GET", "/datasets/quiet").status, 200);
}

TEST_F(DevNodeTest, PerfectPredictionsScoreOneHundred) {
  start();
  json::object body = rollouts();
  add_episode(body, 7, {{"lvl", json::array{0, 2, 0, 2, 0, 2}}});
  add_episode(body, "8", {{"lvl", json::array{1.5, 1.5, 1.5, 1.5}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  const json::object& artifact = answer.at("simulator_validation").as_object();
  EXPECT_EQ(artifact.at("schema"), json::value("simulator_validation/v2"));
  EXPECT_EQ(artifact.at("simulator_id"), json::value("sim-1"));
  EXPECT_EQ(artifact.at("simulator_implementation_id"), json::value("impl-1"));
  EXPECT_EQ(artifact.at("validation_run_id"), json::value(42));
  EXPECT_EQ(artifact.at("bundle_content_hash"), json::value(kHash));
  const json::object& evaluation = artifact.at("evaluation").as_object();
  EXPECT_EQ(evaluation.at("score_percent"), json::value(100.0));
  EXPECT_EQ(evaluation.at("sensors").at("lvl").at("accuracy_percent"), json::value(100.0));
  EXPECT_EQ(evaluation.at("sensors").at("lvl").at("compared_rows"), json::value(10));
  EXPECT_EQ(artifact.at("dataset").at("selected_episodes"), (json::array{7, 8}));
  EXPECT_TRUE(answer.at("warnings").as_array().empty());
  EXPECT_EQ(answer.at("summary").at("score_percent"), json::value(100.0));
}

TEST_F(DevNodeTest, ConstantOffsetCostsItsShareOfTheSpread) {
  start();
  json::object body = rollouts();
  // Run 7's level has a standard deviation of 1: an error of 0.25 leaves 75 %.
  add_episode(body, 7, {{"lvl", json::array{0.25, 2.25, 0.25, 2.25, 0.25, 2.25}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  const json::value& level =
      answer.at("simulator_validation").at("evaluation").at("sensors").at("lvl");
  EXPECT_NEAR(level.at("accuracy_percent").as_double(), 75.0, 1e-9);
  EXPECT_NEAR(level.at("rmse").as_double(), 0.25, 1e-12);
  EXPECT_NEAR(level.at("scale").as_double(), 1.0, 1e-12);
  // Two sensors: the score is their mean.
  body["core_sensor_variables"] = json::array{"level", "flow, m3/s"};
  body["sensor_variables"] = json::array{"lvl", "flw"};
  body["episodes"].as_array()[0].as_object()["predictions"].as_object()["flw"] =
      json::array{10.7, 10.7, 10.7, 10.7, 10.7, 99};
  body["episodes"].as_array().push_back(json::object{
      {"episode", 9},
      {"predictions",
       {{"lvl", json::array{1, 2, 3, 4, 5}}, {"flw", json::array{20.7, 20.7, 20.7, 20.7, 20.7}}}}});
  answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  const json::value& evaluation = answer.at("simulator_validation").at("evaluation");
  double lvl = evaluation.at("sensors").at("lvl").at("accuracy_percent").as_double();
  double flw = evaluation.at("sensors").at("flw").at("accuracy_percent").as_double();
  EXPECT_DOUBLE_EQ(flw, 100.0);  // the unrecorded last row of run 7 is not compared
  EXPECT_NEAR(evaluation.at("score_percent").as_double(), (lvl + flw) / 2, 1e-12);
}

TEST_F(DevNodeTest, LaggedCopyWithinTheLagLimitScoresOneHundred) {
  start();
  json::object body = rollouts(2);
  // The recording trails the sim by two rows: prediction r is recorded at row r + 2.
  add_episode(body, 9, {{"lvl", json::array{3, 4, 5, 6, 7}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  const json::value& level =
      answer.at("simulator_validation").at("evaluation").at("sensors").at("lvl");
  EXPECT_EQ(level.at("accuracy_percent"), json::value(100.0));
  EXPECT_EQ(level.at("lag_steps"), json::value(2));
  EXPECT_EQ(level.at("compared_rows"), json::value(3));
  // One lag step short: the best is lag 1 with an error of 1 against a spread of sqrt(2).
  body["max_lag_steps"] = 1;
  answer = analyze(body);
  const json::value& near =
      answer.at("simulator_validation").at("evaluation").at("sensors").at("lvl");
  EXPECT_EQ(near.at("lag_steps"), json::value(1));
  EXPECT_NEAR(near.at("accuracy_percent").as_double(), 100 * (1 - 1 / std::sqrt(2.0)), 1e-9);
}

TEST_F(DevNodeTest, SeveralSlotsOnOneColumnAreInterleavedByRow) {
  start();
  json::object body = rollouts();
  body["core_sensor_variables"] = json::array{"level", "level"};
  body["sensor_variables"] = json::array{"lvl", "lvl"};
  add_episode(body, 8, {{"lvl", json::array{1.5, 1.5, 1.5, 1.5, 1.5, 1.5}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  const json::value& level =
      answer.at("simulator_validation").at("evaluation").at("sensors").at("lvl");
  EXPECT_EQ(level.at("slots"), json::value(2));
  EXPECT_EQ(level.at("compared_rows"), json::value(6));
  EXPECT_EQ(answer.at("summary").at("rows_reached"), json::value(3));
  body["episodes"].as_array()[0].as_object()["predictions"] =
      json::object{{"lvl", json::array{1.5, 1.5, 1.5}}};
  EXPECT_EQ(analyze(body).status, 409);
}

TEST_F(DevNodeTest, WarnsOfEpisodesEndedEarlyAndPredictionsWithoutValue) {
  start();
  json::object body = rollouts();
  body["core_sensor_variables"] = json::array{"level", "flow, m3/s"};
  body["sensor_variables"] = json::array{"lvl", "flw"};
  add_episode(body, 7,
              {{"lvl", json::array{0, 2, 0, 2}}, {"flw", json::array{10.7, nullptr, 10.7, 10.7}}});
  add_episode(
      body, 9,
      {{"lvl", json::array{1, 2, 3, 4, 5}}, {"flw", json::array{20.7, 20.7, 20.7, 20.7, 20.7}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  EXPECT_EQ(answer.at("warnings"),
            (json::array{"1 of 2 episodes ended early: 9 of 11 recorded rows replayed",
                         "Episode 7 ended early: the sim reached 4 of 6 recorded rows",
                         "Sensor 'flow, m3/s': the sim gave no value at 1 of 9 predictions"}));
  EXPECT_EQ(answer.at("summary").at("episodes_ended_early"), json::value(1));
  // Exact predictions of the rows reached still miss the two recorded rows not reached.
  const json::value& sensors = answer.at("simulator_validation").at("evaluation").at("sensors");
  EXPECT_NEAR(sensors.at("lvl").at("accuracy_percent").as_double(), 100.0 * 9 / 11, 1e-9);
  EXPECT_NEAR(sensors.at("flw").at("accuracy_percent").as_double(), 100.0 * 9 / 10, 1e-9);

  // A replay that ended at a row where a sensor had no value names the sensor and the row.
  body["episodes"].as_array()[0].as_object()["predictions"].as_object()["flw"] =
      json::array{10.7, 10.7, 10.7, nullptr};
  answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  EXPECT_EQ(answer.at("warnings").at(1),
            json::value("Episode 7 ended early: the sim reached 4 of 6 recorded rows; at row 4, "
                        "the last it reached, sensor 'flow, m3/s' has no value, which ends a "
                        "replay (the sim sent null)"));
}

TEST_F(DevNodeTest, NothingScoredGivesNoArtifactAndSaysWhyFirst) {
  start();
  json::object body = rollouts();
  add_episode(body, 8, {{"lvl", json::array{nullptr, nullptr}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  EXPECT_TRUE(answer.at("simulator_validation").is_null());
  const json::array& warnings = answer.at("warnings").as_array();
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings[0], json::value("Nothing could be scored: no sensor has a row with both a "
                                     "recorded value and a prediction of the sim"));
  EXPECT_TRUE(answer.at("summary").at("score_percent").is_null());

  json::object empty = rollouts();
  add_episode(empty, 8, {{"lvl", json::array{}}});
  answer = analyze(empty);
  EXPECT_TRUE(answer.at("simulator_validation").is_null());
  EXPECT_EQ(answer.at("warnings").as_array()[0],
            json::value("Nothing could be scored: the sim reached no rows in any episode"));
  answer = analyze(rollouts());
  EXPECT_EQ(answer.at("warnings").as_array()[0],
            json::value("Nothing could be scored: no episode was replayed"));
}

TEST_F(DevNodeTest, AnswerCarriesTheDigestsOfTheCsvFile) {
  write_dataset(data_ / "tiny",
                "{\"id\": \"tiny-1\", \"name\": \"tiny\", \"csv\": \"rows.csv\", "
                "\"episode_column\": \"run\", \"columns\": ["
                "{\"header\": \"level\", \"id\": \"lvl\", \"role\": \"sensor\"}]}",
                "run,level,flow,valve,pump\r\n7,0,10,0.5,1\r\n");
  start();
  json::object body = rollouts();
  body["dataset_uuid"] = "tiny-1";
  body["action_variables"] = json::array{};
  add_episode(body, 7, {{"lvl", json::array{0}}});
  Answer answer = analyze(body);
  ASSERT_EQ(answer.status, 200) << answer.raw;
  EXPECT_EQ(answer.at("dataset").at("content_md5"),
            json::value("157c6de812ffa10269ecc7579d7bccfa"));
  EXPECT_EQ(answer.at("dataset").at("content_sha256"),
            json::value("78aa985ddc5515e2a65561d6ae82cb8df3a8126033b05c8234a5a102cfa5e35a"));
  // A sensor that never changes is measured against its value (here 0, so against 1).
  EXPECT_EQ(answer.at("simulator_validation").at("evaluation").at("sensors").at("lvl").at("scale"),
            json::value(1.0));
}

TEST_F(DevNodeTest, RolloutsRefuseMalformedOrMismatchedPredictions) {
  start();
  struct Case {
    std::string what;
    std::function<void(json::object&)> change;
    int status;
    std::string detail;
  };
  auto episode7 = [](json::array lvl) {
    return [lvl](json::object& body) { add_episode(body, 7, {{"lvl", lvl}}); };
  };
  std::vector<Case> cases = {
      {"unknown dataset", [](json::object& b) { b["dataset_uuid"] = "nope"; }, 404,
       "There is no dataset with the id 'nope'"},
      {"missing member", [](json::object& b) { b.erase("max_lag_steps"); }, 422,
       "\"max_lag_steps\" is missing"},
      {"lag too large", [](json::object& b) { b["max_lag_steps"] = 1001; }, 422,
       "\"max_lag_steps\" must be from 0 to 1000"},
      {"wrong type", [](json::object& b) { b["sensor_variables"] = "lvl"; }, 422,
       "\"sensor_variables\" must be a list of texts, not a text"},
      {"bad hash", [](json::object& b) { b["bundle_content_hash"] = std::string(64, 'C'); }, 422,
       "\"bundle_content_hash\" must be a SHA-256 digest"},
      {"text value",
       [](json::object& b) {
         add_episode(b, 7, {{"lvl", json::array{0, "2"}}});
       },
       422, "Each value of episodes[0].predictions['lvl'] must be a number or null, not a text"},
      {"unknown episode",
       [](json::object& b) {
         add_episode(b, 10, {{"lvl", json::array{}}});
       },
       422, "The dataset 'Tank runs' has no episode 10"},
      {"episode sent twice",
       [](json::object& b) {
         add_episode(b, 7, {{"lvl", json::array{0}}});
         add_episode(b, "7", {{"lvl", json::array{0}}});
       },
       422, "Episode 7 is sent twice"},
      {"sensor column unknown",
       [](json::object& b) { b["sensor_variables"] = json::array{"nope"}; }, 409,
       "The dataset 'Tank runs' has no column 'nope' (named as a sensor column)"},
      {"action column as sensor",
       [](json::object& b) {
         b["sensor_variables"] = json::array{"vlv"};
         b["core_sensor_variables"] = json::array{"valve"};
       },
       409, "The column 'vlv' of 'Tank runs' is not a sensor column"},
      {"raw name mismatch",
       [](json::object& b) { b["core_sensor_variables"] = json::array{"Level"}; }, 409,
       "\"core_sensor_variables\" names 'Level' for the column 'lvl'"},
      {"more rows than recorded", episode7({0, 2, 0, 2, 0, 2, 0}), 409,
       "Episode 7 has predictions for 7 rows, but only 6 were recorded"},
      {"predictions for an unrequested column",
       [](json::object& b) {
         add_episode(b, 7, {{"lvl", json::array{0}}, {"flw", json::array{1}}});
       },
       409, "Episode 7 has predictions for 'flw', which is not one of the request's"},
      {"lengths differ",
       [](json::object& b) {
         b["core_sensor_variables"] = json::array{"level", "flow, m3/s"};
         b["sensor_variables"] = json::array{"lvl", "flw"};
         add_episode(b, 7, {{"lvl", json::array{0, 2}}, {"flw", json::array{1}}});
       },
       409, "Episode 7: the predictions for 'flw' cover 1 rows, those for 'lvl' 2"},
      {"missing sensor predictions", [](json::object& b) { add_episode(b, 7, {}); }, 409,
       "Episode 7 has no predictions for the sensor column 'lvl'"},
  };
  for (const Case& c : cases) {
    json::object body = rollouts();
    c.change(body);
    Answer answer = analyze(body);
    EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.raw;
    EXPECT_EQ(answer.detail().find(c.detail), 0u) << c.what << " -> " << answer.detail();
  }
  std::string infinite = json_text::to_json(rollouts());
  infinite.replace(infinite.find("\"episodes\":[]"), 13,
                   "\"episodes\":[{\"episode\":7,\"predictions\":{\"lvl\":[1e400]}}]");
  Answer overflow = call("POST", "/ml/sim-analyze-rollouts", infinite);
  // A number beyond the range of a double is malformed JSON, refused where it is read.
  EXPECT_EQ(overflow.status, 422);
  EXPECT_EQ(overflow.detail().find("The request body is not valid JSON: number out of range "
                                   "(1e400; a number must be smaller than 1.8e308 in size) at "
                                   "line 1 column "),
            0u)
      << overflow.detail();
  Answer not_json = call("POST", "/ml/sim-analyze-rollouts",
                         "{\"episodes\": [[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]}");
  EXPECT_EQ(not_json.status, 422);
  EXPECT_NE(not_json.detail().find("nesting deeper than 16 levels"), std::string::npos);
}

TEST_F(DevNodeTest, ServesBetweenStartAndStopAndSaysWhyItCannotStart) {
  start();
  EXPECT_EQ(call("GET", "/datasets").status, 200);
  try {
    node_->start("127.0.0.1", 0);
    ADD_FAILURE() << "started twice";
  } catch (const std::logic_error& error) {
    EXPECT_EQ(std::string(error.what()), "The compute node is serving already");
  }
  // A second server cannot share the port of the first (no SO_REUSEPORT).
  DevNode other(DatasetCatalog::load(data_.path()), {});
  try {
    other.start("127.0.0.1", port_);
    ADD_FAILURE() << "bound a port in use";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot listen on 127.0.0.1:" + std::to_string(port_) +
                  ": the address is not available or the port is in use");
  }
  EXPECT_THROW(other.start("127.0.0.1", 65536), std::invalid_argument);
  EXPECT_THROW(other.start("127.0.0.1", -1), std::invalid_argument);
  // Stopped (twice is harmless), it answers no more, and it can start again.
  node_->stop();
  node_->stop();
  httplib::Client client("127.0.0.1", port_);
  EXPECT_FALSE(client.Get("/datasets"));
  port_ = node_->start("127.0.0.1", 0);
  EXPECT_EQ(call("GET", "/datasets").status, 200);
}

TEST(DevNodeActionsTest, LargeAnswersAreWrittenQuickly) {
  // 20 episodes of 50,000 rows with 8 actions: about 100 MB of JSON.
  constexpr std::size_t kEpisodes = 20;
  constexpr std::size_t kRows = 50'000;
  NodeDataset dataset;
  dataset.id = "big";
  dataset.name = "big";
  dataset.rows = kEpisodes * kRows;
  for (std::size_t e = 0; e < kEpisodes; ++e) {
    dataset.episodes.push_back({std::to_string(e), e * kRows, kRows});
    dataset.episode_by_label.emplace(std::to_string(e), e);
  }
  dataset.integer_labels = true;
  for (int c = 0; c < 8; ++c) {
    NodeColumn column;
    column.id = "action-" + std::to_string(c);
    column.raw_name = column.id;
    column.role = ColumnRole::kAction;
    column.values.resize(dataset.rows);
    for (std::size_t r = 0; r < dataset.rows; ++r)
      column.values[r] = 0.001 * static_cast<double>(r % 100'000) + c;
    dataset.columns.push_back(std::move(column));
  }
  std::vector<NodeDataset> datasets;
  datasets.push_back(std::move(dataset));
  DatasetCatalog catalog(std::move(datasets));
  std::string body = "{\"dataset_uuid\": \"big\", \"episodes\": [";
  for (std::size_t e = 0; e < kEpisodes; ++e) body += (e ? "," : "") + std::to_string(e);
  body += "]}";
  auto started = std::chrono::steady_clock::now();
  std::string answer = analysis_actions(catalog, body);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(answer.size(), 60'000'000u);
  // About a second in the release build and 7 s under the sanitizers; the bound is there to
  // catch a writer that grows with the square of the answer, not to time it.
  EXPECT_LT(seconds, 60.0) << "writing " << answer.size() << " bytes";
  EXPECT_EQ(answer.substr(0, 36), "{\"episodes\":[{\"episode\":0,\"n_rows\":5");
}

}  // namespace
}  // namespace velko::dev
