// The name identity, the join of the sim's mappings with the node's columns, and the reading of
// the sim's mappings.
#include "main/dataset_replay/plan.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "common/errors.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sim_connection.h"
#include "tests/support/captured_output.h"
#include "tests/support/fake_sim.h"
#include "tests/support/node_answers.h"
#include "tests/support/report_fakes.h"

namespace velko::dataset_replay {
namespace {

using boost::json::parse;
using boost::json::value;
using Names = std::vector<std::string>;
using Pairs = std::vector<SlotColumn>;

value mapping(std::string name, std::string mapped = "") {
  boost::json::object m{{"name", name}};
  if (!mapped.empty()) m["name_mapped"] = mapped;
  return m;
}

value mappings(std::vector<value> sensors, std::vector<value> actions) {
  return boost::json::object{{"sensors", boost::json::array(sensors.begin(), sensors.end())},
                             {"actions", boost::json::array(actions.begin(), actions.end())}};
}

// The node's columns of an answer, as the client reads them.
NodeColumns read_columns(const value& answer) { return testing::recorded(answer).columns(); }

// Node columns c0, c1, ... with the given sensor raw names, then a0, a1, ... for the actions.
NodeColumns columns(Names sensors, Names actions) {
  boost::json::object node{{"raw_names", boost::json::object{}},
                           {"sensor_variables", boost::json::array{}},
                           {"action_variables", boost::json::array{}}};
  for (auto [role, prefix, raws] : {std::tuple{"sensor_variables", "c", &sensors},
                                    std::tuple{"action_variables", "a", &actions}}) {
    for (std::size_t i = 0; i < raws->size(); ++i) {
      std::string id = prefix + std::to_string(i);
      node["raw_names"].as_object()[id] = (*raws)[i];
      node[role].as_array().emplace_back(id);
    }
  }
  return read_columns(node);
}

std::string refusal(const value& sim, const NodeColumns& node) {
  try {
    plan_analysis(sim, node);
  } catch (const PublishReportError& error) {
    return error.what();
  }
  return "(no refusal)";
}

TEST(Normalized, TrimsLowersAndJoinsWhiteSpaceRuns) {
  EXPECT_EQ(normalized(" Wheel  Speed "), "wheel_speed");
  EXPECT_EQ(normalized("wheel-speed"), "wheel-speed");
  EXPECT_EQ(normalized("\u00a0\u00d6l\t\u2003 Stand\u3000"), "\u00f6l_stand");
}

TEST(MappingNames, PlatformNameComesFirstAndOnlyNonEmptyTextsCount) {
  EXPECT_EQ(mapping_names(mapping("[0]", "speed")), (Names{"speed", "[0]"}));
  EXPECT_EQ(mapping_names(mapping("[0]")), (Names{"[0]"}));
  EXPECT_EQ(mapping_names(mapping("[0][1]", "speed")), (Names{"[0][1]", "speed"}));
  EXPECT_EQ(mapping_names(mapping("speed", "Speed")), (Names{"speed", "Speed"}));
  EXPECT_EQ(mapping_names(mapping("speed", "speed")), (Names{"speed"}));
  EXPECT_EQ(mapping_names(parse(R"({"name": "", "name_mapped": "x"})")), Names{"x"});
  EXPECT_EQ(mapping_names(parse(R"({"name": 3, "name_mapped": "  "})")), Names{"  "});
  EXPECT_EQ(mapping_names(parse(R"(["name", "x"])")), Names{});
}

TEST(PlanAnalysis, JoinsByNameIdentityInTheSimsOrder) {
  NodeColumns node = columns({"[0]", "wheel_speed", "Temp"}, {"Throttle", "steer"});
  value sim = mappings({mapping("[0]", "Wheel Speed"), mapping("[1]", "pressure"),
                        mapping("['t']", "temp"), parse(R"({"name": "", "name_mapped": "temp"})")},
                       {mapping("['steer']", "Steer"), mapping("[2]", " THROTTLE")});
  Plan plan = plan_analysis(sim, node);
  // The platform's name wins over an earlier column that matches the other name; a sensor
  // without a column is left out; two sensors may join one column.
  EXPECT_EQ(plan.sensors, (Pairs{{"[0]", "c1"}, {"['t']", "c2"}, {std::nullopt, "c2"}}));
  EXPECT_EQ(plan.core, (Names{"wheel_speed", "Temp", "Temp"}));
  EXPECT_EQ(plan.actions, (Pairs{{"['steer']", "a1"}, {"[2]", "a0"}}));
}

TEST(PlanAnalysis, RefusesMissingActionsBeforeMissingSensors) {
  NodeColumns node = columns({"speed"}, {"brake"});
  EXPECT_EQ(refusal(mappings({mapping("nothing")}, {mapping("speed")}), node),
            "The dataset on this node has no action column for the sim's action 'speed'; "
            "every action is replayed from the dataset");
  EXPECT_EQ(refusal(mappings({mapping("speed")}, {mapping("[2]", "Throttle"), mapping("brake"),
                                                  mapping("it's"), parse("{}")}),
                    node),
            "The dataset on this node has no action column for the sim's actions 'Throttle', "
            "\"it's\", <unnamed>; every action is replayed from the dataset");

  std::vector<value> sensors;
  for (int i = 0; i < 12; ++i) sensors.push_back(mapping("[" + std::to_string(i) + "]"));
  sensors[1] = mapping("[1]", "Depth");
  sensors[2] = parse(R"({"name": 7})");
  EXPECT_EQ(refusal(mappings(sensors, {}), node),
            "None of the sim's sensors ('[0]', 'Depth', <unnamed>, '[3]', '[4]', '[5]', '[6]', "
            "'[7]', '[8]', '[9]') is a sensor column of the dataset");
}

TEST(PlanAnalysis, MalformedColumnsAreTheNodesLookupOrShapeFaults) {
  value sim = mappings({mapping("c")}, {mapping("a")});
  auto fault = [&](const char* node) {
    return testing::node_fault([&] { plan_analysis(sim, read_columns(parse(node))); });
  };
  EXPECT_EQ(fault(R"({"sensor_variables": [], "action_variables": []})"),
            "KeyError: missing member 'raw_names'");
  EXPECT_EQ(fault(R"({"raw_names": {}, "action_variables": []})"),
            "KeyError: missing member 'sensor_variables'");
  EXPECT_EQ(fault(R"({"raw_names": {}, "sensor_variables": ["c9"]})"),
            "KeyError: missing member 'c9'");
  EXPECT_EQ(fault(R"({"raw_names": {"c": "c"}, "sensor_variables": ["c"]})"),
            "KeyError: missing member 'action_variables'");
  EXPECT_EQ(fault("[]"), "BadAnswer: The compute node's columns is not a map");
  EXPECT_EQ(fault(R"({"raw_names": [], "sensor_variables": []})"),
            "BadAnswer: The compute node's \"raw_names\" is not a map");
  EXPECT_EQ(fault(R"({"raw_names": {}, "sensor_variables": {"c": 1}})"),
            "BadAnswer: The compute node's \"sensor_variables\" is not a list");
  EXPECT_EQ(fault(R"({"raw_names": {}, "sensor_variables": [[1, "x"]]})"),
            "BadAnswer: The compute node's column identifier [1, 'x'] is not a text");
  EXPECT_EQ(fault(R"({"raw_names": {"c": 1}, "sensor_variables": ["c"]})"),
            "BadAnswer: The compute node's raw name of the column 'c' is not a text");
  // An identifier that is not a text counts only where the join reaches it.
  EXPECT_EQ(plan_analysis(sim, read_columns(parse(R"({
                "raw_names": {"c": "C", "a": "A"}, "sensor_variables": ["c", 7, "d"],
                "action_variables": ["a"]})")))
                .sensors,
            (Pairs{{"c", "c"}}));
}

TEST(PlanAnalysis, FaultsOfTheSimsMappingsAreNotTheNodes) {
  NodeColumns node = columns({"c"}, {"a"});
  EXPECT_THROW(plan_analysis(parse(R"({"actions": []})"), node), KeyError);
  EXPECT_THROW(plan_analysis(parse(R"({"sensors": {}, "actions": []})"), node), BadAnswer);
  EXPECT_THROW(plan_analysis(parse("[]"), node), BadAnswer);
}

// A sim client whose get_mappings() answer (or failure) is set by the test.
class FakeSimClient : public SimClient {
 public:
  awaitable<void> init() override { co_return; }
  awaitable<void> make() override { co_return; }
  awaitable<void> close() override { co_return; }
  awaitable<value> get_mappings() override {
    calls.push_back("get_mappings");
    if (interrupt) throw Interrupted{};
    if (!answer) throw std::runtime_error("not implemented by the sim");
    co_return *answer;
  }
  awaitable<value> sensor_space_info() override {
    calls.push_back("sensor_space_info");
    co_return value("s");
  }
  awaitable<value> action_space_info() override {
    calls.push_back("action_space_info");
    co_return value("a");
  }
  awaitable<std::vector<value>> reset(dataset_replay::ResetArgs = {}) override {
    co_return std::vector<value>{};
  }
  awaitable<std::vector<value>> step(value) override { co_return std::vector<value>{}; }
  std::unique_ptr<EpisodeSteps> episode_steps(int, double call_timeout_s) override {
    return one_step_at_a_time(*this, call_timeout_s);
  }

  std::optional<value> answer;
  bool interrupt = false;
  Names calls;
};

// Each space becomes one mapping named after it.
class FakeCoreLibrary : public CoreLibrary {
 public:
  boost::json::array convert_space_to_json(const value& info) override {
    return {mapping("[0]", std::string(info.as_string()))};
  }
  std::unique_ptr<ComputeSpace> to_compute_space(const value&) override { return nullptr; }
  value as_compute_sees(const value& v) override { return v; }
  std::unique_ptr<Sensor> make_sensor(const std::string&, const std::string&) override {
    return nullptr;
  }
};

class SimMappingsTest : public ::testing::Test {
 protected:
  value read() {
    const ReportRun run{platform_, datasets_, host_sim_, sims_, core_, out_.console, out_.logger()};
    return async_to_sync([&]() { return sim_mappings(run, client_, 5); })();
  }

  FakeSimClient client_;
  FakeCoreLibrary core_;
  testing::CapturedOutput out_;
  testing::FakeReportPlatform platform_;
  testing::FakeDatasetModule datasets_;
  testing::FakeSimModule host_sim_;
  testing::FakeSimConnection sims_;
  const value from_spaces_ = mappings({mapping("[0]", "s")}, {mapping("[0]", "a")});
};

TEST_F(SimMappingsTest, TakesTheSimsOwnMappings) {
  client_.answer = parse(R"({"sensor_space": {"mappings": [{"name": "[0]"}]},
                             "action_space": {"mappings": [{"name": "['a']"}, 3]}})");
  EXPECT_EQ(read(), parse(R"({"sensors": [{"name": "[0]"}], "actions": [{"name": "['a']"}, 3]})"));
  EXPECT_EQ(client_.calls, Names{"get_mappings"});
  EXPECT_EQ(out_.log(), "");
}

TEST_F(SimMappingsTest, ReadsTheSpacesWhenGetMappingsFailsOrLacksAList) {
  EXPECT_EQ(read(), from_spaces_);
  EXPECT_EQ(client_.calls, (Names{"get_mappings", "sensor_space_info", "action_space_info"}));
  EXPECT_EQ(out_.log(),
            "debug get_mappings() failed (not implemented by the sim); reading the spaces\n");
  for (const char* answer : {R"({"sensor_space": {"mappings": []}})",
                             R"({"sensor_space": {"mappings": {}}, "action_space": {}})", "[]"}) {
    client_.answer = parse(answer);
    EXPECT_EQ(read(), from_spaces_) << answer;
  }
  EXPECT_NE(out_.log().find("(missing member 'action_space'); reading"), std::string::npos);
}

TEST_F(SimMappingsTest, InterruptIsNotTakenForAFailure) {
  client_.interrupt = true;
  EXPECT_THROW(read(), Interrupted);
  EXPECT_EQ(client_.calls, Names{"get_mappings"});
}

}  // namespace
}  // namespace velko::dataset_replay
