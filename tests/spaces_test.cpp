// Tests of the core library's spaces, slot paths, compute view, sensors and settings.
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/errors.h"
#include "common/json_text.h"
#include "host/settings.h"
#include "spaces/compute_view.h"
#include "spaces/core_library_impl.h"
#include "spaces/sensor.h"
#include "spaces/slot_path.h"
#include "spaces/spaces.h"

namespace velko::spaces {
namespace {

namespace json = boost::json;

json::value parse(const std::string& text) { return json_text::parse(text); }

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The message of the SpaceError that reading `description` raises, or "" when none.
std::string space_error(const json::value& description) {
  try {
    parse_space(description);
  } catch (const SpaceError& error) {
    return error.what();
  }
  return "";
}

// The message of the SensorError that making or using the sensor raises, or "" when none.
std::string sensor_error(const std::string& path, const json::value& observation) {
  try {
    Sensor(path, std::string(kSensorMappingPrefix) + path).sense(observation);
  } catch (const SensorError& error) {
    return error.what();
  }
  return "";
}

// Dicts nested `levels` deep around a discrete space.
json::value nested_dicts(int levels) {
  json::value space = parse(R"({"type": "discrete", "n": 2})");
  for (int i = 0; i < levels; ++i) {
    json::object dict{{"type", "dict"}, {"spaces", json::object{{"a", space}}}};
    space = std::move(dict);
  }
  return space;
}

const char* kMixedSpace = R"({"type": "dict", "spaces": {
  "tank": {"type": "box", "shape": [3], "low": [0, -1, -1e308], "high": [1, 1e308, 5],
           "dtype": "float32", "names": ["level", "inflow", null]},
  "grid": {"type": "box", "shape": [2, 2], "low": -5, "high": 5, "dtype": "int32"},
  "free": {"type": "box", "shape": [], "dtype": "float64"},
  "stage": {"type": "discrete", "n": 3, "start": -1, "name": "pump_stage"},
  "modes": {"type": "multi_discrete", "nvec": [2, 7]},
  "flags": {"type": "multi_binary", "n": 3, "names": ["a", "b", "c"]},
  "parts": {"type": "tuple", "spaces": [
    {"type": "discrete", "n": 1},
    {"type": "box", "shape": [1], "low": 2, "high": 2, "dtype": "int64"}]}}})";

TEST(SpaceDescription, RejectsFaultsNamingWhatAndWhere) {
  struct Case {
    const char* description;
    const char* message;
  };
  const Case cases[] = {
      {R"([1])", "Invalid space description: a space must be a map, not a list"},
      {R"({"type": "matrix"})", "unknown space type 'matrix'"},
      {R"({"type": "box", "low": 0})", "\"shape\" is missing"},
      {R"({"type": "box", "shape": [2], "dtype": "uint8"})", "\"dtype\" must be one of"},
      {R"({"type": "box", "shape": [-1]})", "\"shape\" must hold sizes"},
      {R"({"type": "box", "shape": [2], "low": [0, 1, 2]})",
       "\"low\" must be a number or nested lists of shape [2]; it has 3 elements"},
      {R"({"type": "box", "shape": [2, 2], "high": [[1, 2], [3, "x"]]})",
       "\"high\"[1][1] must be a number or null, not a text"},
      {R"({"type": "box", "shape": [], "low": [0]})", "must be a number for a box of shape []"},
      {R"({"type": "dict", "spaces": {"tank": {"type": "box", "shape": [2], "low": [0, 3],
          "high": 2}}})",
       "Invalid space description at ['tank'][1]: \"low\" is greater than \"high\""},
      {R"({"type": "box", "shape": [1], "low": 0.2, "high": 0.8, "dtype": "int32"})",
       "at [0]: no integer of the box's dtype lies between"},
      {R"({"type": "box", "shape": [1], "low": 3e9, "dtype": "int32"})", "no integer"},
      {R"({"type": "discrete", "n": 0})", "\"n\" must be an integer of at least 1, not 0"},
      {R"({"type": "discrete", "n": 2.5})", "\"n\" must be an integer of at least 1, not a number"},
      {R"({"type": "discrete", "n": 2, "start": 9223372036854775807})", "too large"},
      {R"({"type": "discrete", "n": 2, "name": 7})", "\"name\" must be a text, not a number"},
      {R"({"type": "multi_discrete", "nvec": [3, 0]})", "\"nvec\"[1] must be an integer"},
      {R"({"type": "multi_binary", "n": 3, "names": ["a", "b"]})",
       "\"names\" has 2 names where the space has 3 variables"},
      {R"({"type": "multi_binary", "n": 2, "names": ["a", 1]})", "\"names\"[1] must be a text"},
      {R"({"type": "dict", "spaces": [1]})", "\"spaces\" of a dict must be a map, not a list"},
      {R"({"type": "tuple", "spaces": [{"type": "discrete", "n": 2},
          {"type": "dict", "spaces": {"it's": {"type": "discrete"}}}]})",
       "Invalid space description at [1]['it\\'s']: \"n\" is missing"},
  };
  for (const Case& c : cases) {
    std::string message = space_error(parse(c.description));
    EXPECT_TRUE(has(message, c.message)) << c.description << "\n  gave: " << message;
  }

  json::value nan_low = parse(R"({"type": "box", "shape": [1]})");
  nan_low.as_object()["low"] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(has(space_error(nan_low), "\"low\" is not a number (NaN)"));
  json::value infinite_low = parse(R"({"type": "box", "shape": [1]})");
  infinite_low.as_object()["low"] = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(has(space_error(infinite_low), "+infinity"));
}

TEST(SpaceDescription, BoundsVariablesAndDepth) {
  EXPECT_EQ(space_error(parse(R"({"type": "box", "shape": [1000, 1000]})")), "");
  EXPECT_TRUE(has(space_error(parse(R"({"type": "box", "shape": [1001, 1000]})")),
                  "more than 1000000 variables"));
  EXPECT_TRUE(
      has(space_error(parse(R"({"type": "box", "shape": [1000000000000000000, 0]})")), "beyond"));
  EXPECT_TRUE(has(space_error(parse(R"({"type": "multi_binary", "n": 4000000000})")), "more than"));
  // The limit is on the whole space, not on each member.
  EXPECT_TRUE(has(space_error(parse(R"({"type": "tuple", "spaces": [
      {"type": "box", "shape": [600000]}, {"type": "multi_binary", "n": 400001}]})")),
                  "at [1]: the space has more than"));

  EXPECT_EQ(space_error(nested_dicts(32)), "");
  EXPECT_TRUE(has(space_error(nested_dicts(33)), "nest deeper than 32"));
  // Box dimensions nest the value too.
  json::value deep_box = nested_dicts(31);
  json::value* inner = &deep_box;
  for (int i = 0; i < 31; ++i) inner = &inner->as_object()["spaces"].as_object()["a"];
  *inner = parse(R"({"type": "box", "shape": [1, 1]})");
  EXPECT_TRUE(has(space_error(deep_box), "nest deeper"));
}

TEST(SpaceMappings, OneEntryPerVariableWithSlotPathAndName) {
  json::array mappings = convert_space_to_json(parse(kMixedSpace));
  EXPECT_EQ(json_text::to_json(mappings),
            R"([{"name":"['tank'][0]","name_mapped":"level"},)"
            R"({"name":"['tank'][1]","name_mapped":"inflow"},{"name":"['tank'][2]"},)"
            R"({"name":"['grid'][0][0]"},{"name":"['grid'][0][1]"},)"
            R"({"name":"['grid'][1][0]"},{"name":"['grid'][1][1]"},{"name":"['free']"},)"
            R"({"name":"['stage']","name_mapped":"pump_stage"},)"
            R"({"name":"['modes'][0]"},{"name":"['modes'][1]"},)"
            R"({"name":"['flags'][0]","name_mapped":"a"},)"
            R"({"name":"['flags'][1]","name_mapped":"b"},)"
            R"({"name":"['flags'][2]","name_mapped":"c"},)"
            R"({"name":"['parts'][0]"},{"name":"['parts'][1][0]"}])");

  EXPECT_EQ(json_text::to_json(
                convert_space_to_json(parse(R"({"type": "discrete", "n": 4, "name": "gear"})"))),
            R"([{"name":"","name_mapped":"gear"}])");
  EXPECT_EQ(json_text::to_json(convert_space_to_json(
                parse(R"({"type": "box", "shape": [2], "names": ["speed", ""]})"))),
            R"([{"name":"[0]","name_mapped":"speed"},{"name":"[1]"}])");
}

TEST(SpaceMappings, KeysAreQuotedSoThatTheyReadBack) {
  const std::string keys[] = {"it's", "back\\slash", "a[1]", "line\nbreak", "\"q\"", "caf\xc3\xa9"};
  json::object spaces;
  for (const std::string& key : keys) spaces[key] = parse(R"({"type": "discrete", "n": 2})");
  json::array mappings =
      convert_space_to_json(json::value(json::object{{"type", "dict"}, {"spaces", spaces}}));
  ASSERT_EQ(mappings.size(), std::size(keys));
  EXPECT_EQ(mappings[0].at("name"), "['it\\'s']");
  EXPECT_EQ(mappings[1].at("name"), "['back\\\\slash']");
  EXPECT_EQ(mappings[2].at("name"), "['a\\x5b1\\x5d']");
  EXPECT_EQ(mappings[3].at("name"), "['line\\x0abreak']");
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    SlotKeys parsed = parse_slot_path(mappings[i].at("name").as_string());
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_TRUE(parsed[0].is_text);
    EXPECT_EQ(parsed[0].text, keys[i]);
  }
}

TEST(SpaceSampling, SamplesAreValuesOfTheSpaceWithIntegerKindsAsIntegers) {
  ComputeSpace space(parse_space(parse(kMixedSpace)), 7);
  for (int i = 0; i < 1000; ++i) {
    json::value sample = space.sample();
    ASSERT_TRUE(space.contains(sample)) << json_text::to_json(sample);
    const json::object& obj = sample.as_object();
    for (const json::value& x : obj.at("tank").as_array()) ASSERT_TRUE(x.is_double());
    for (const json::value& row : obj.at("grid").as_array()) {
      for (const json::value& x : row.as_array()) ASSERT_TRUE(x.is_int64());
    }
    ASSERT_TRUE(obj.at("free").is_double());
    ASSERT_TRUE(obj.at("stage").is_int64());
    for (const json::value& x : obj.at("modes").as_array()) ASSERT_TRUE(x.is_int64());
    for (const json::value& x : obj.at("flags").as_array()) ASSERT_TRUE(x.is_int64());
    ASSERT_EQ(obj.at("parts").as_array()[1].as_array()[0], 2);
    // Unbounded sides are drawn near the finite side or 0, never across the whole range.
    ASSERT_LE(obj.at("tank").as_array()[1].as_double(), 1 + 4.0);
    ASSERT_GE(obj.at("tank").as_array()[2].as_double(), 5 - 4.0);
    ASSERT_LE(std::fabs(obj.at("free").as_double()), 4.0);
  }
}

TEST(SpaceSampling, ReachesEveryValueOfSmallIntegerSpacesAndStaysInWideOnes) {
  ComputeSpace discrete(parse_space(parse(R"({"type": "discrete", "n": 3, "start": 5})")), 1);
  std::set<std::int64_t> seen;
  for (int i = 0; i < 300; ++i) seen.insert(discrete.sample().as_int64());
  EXPECT_EQ(seen, (std::set<std::int64_t>{5, 6, 7}));

  ComputeSpace wide(parse_space(parse(R"({"type": "tuple", "spaces": [
      {"type": "box", "shape": [2], "dtype": "int64", "low": -9.3e18, "high": 9.3e18},
      {"type": "box", "shape": [], "dtype": "int32", "low": 2147483640},
      {"type": "box", "shape": [], "dtype": "float32", "low": -3.4028234663852886e38}]})")),
                    2);
  for (int i = 0; i < 1000; ++i) {
    json::value sample = wide.sample();
    ASSERT_TRUE(wide.contains(sample)) << json_text::to_json(sample);
    ASSERT_LE(std::fabs(sample.as_array()[2].as_double()), 4.0);  // float32 extremes: unbounded
  }
}

TEST(SpaceSampling, SameSeedGivesSameSamples) {
  Space description = parse_space(parse(kMixedSpace));
  ComputeSpace first(description, 42);
  ComputeSpace second(description, 42);
  ComputeSpace other(description, 43);
  bool differs = false;
  for (int i = 0; i < 20; ++i) {
    json::value a = first.sample();
    EXPECT_EQ(a, second.sample());
    differs = differs || a != other.sample();
  }
  EXPECT_TRUE(differs);
}

TEST(SpaceContains, RejectsValuesOfTheWrongShapeKindOrRange) {
  Space space = parse_space(parse(R"({"type": "dict", "spaces": {
      "x": {"type": "box", "shape": [2], "low": 0, "high": 1},
      "n": {"type": "discrete", "n": 2, "start": -9223372036854775807},
      "b": {"type": "multi_binary", "n": 2}}})"));
  EXPECT_TRUE(contains(space, parse(R"({"b": [1, 0], "n": -9223372036854775806, "x": [0, 1]})")));
  const char* outside[] = {
      R"({"x": [0, 1.5], "n": -9223372036854775807, "b": [1, 0]})",
      R"({"x": [0], "n": -9223372036854775807, "b": [1, 0]})",
      R"({"x": [0, 1], "n": 9223372036854775807, "b": [1, 0]})",
      R"({"x": [0, 1], "n": -9223372036854775807, "b": [1, 2]})",
      R"({"x": [0, 1], "n": -9223372036854775807, "b": [true, 0]})",
      R"({"x": [0, 1], "n": -9223372036854775807})",
      R"({"x": [0, 1], "n": -9223372036854775807, "b": [1, 0], "extra": 1})",
      R"([[0, 1], -9223372036854775807, [1, 0]])",
  };
  for (const char* value : outside) EXPECT_FALSE(contains(space, parse(value))) << value;
  // Integer kinds take integers only.
  EXPECT_FALSE(contains(parse_space(parse(R"({"type": "discrete", "n": 3})")), parse("1.0")));
}

TEST(ComputeView, CopyIsIndependentAndKeepsKinds) {
  json::value original = parse(R"({"b": [1, 2.5, -3, true, null, "t"], "a": {"k": [[0]]}})");
  original.as_object()["big"] = std::uint64_t{1} << 63;
  original.as_object()["small"] = std::uint64_t{5};
  original.as_object()["nan"] = std::numeric_limits<double>::quiet_NaN();
  original.as_object()["inf"] = -std::numeric_limits<double>::infinity();
  json::value copy = as_compute_sees(original);

  const json::object& seen = copy.as_object();
  EXPECT_EQ(seen.begin()->key(), "b");  // member order kept
  EXPECT_TRUE(seen.at("b").as_array()[0].is_int64());
  EXPECT_TRUE(seen.at("b").as_array()[1].is_double());
  EXPECT_TRUE(seen.at("small").is_int64());
  EXPECT_EQ(seen.at("big").as_uint64(), std::uint64_t{1} << 63);
  EXPECT_TRUE(std::isnan(seen.at("nan").as_double()));
  EXPECT_EQ(seen.at("inf").as_double(), -std::numeric_limits<double>::infinity());

  copy.as_object()["b"].as_array()[0] = 99;
  copy.as_object()["a"].as_object()["k"].as_array()[0].as_array().push_back(1);
  EXPECT_EQ(original.at("b").as_array()[0], 1);
  EXPECT_EQ(json_text::to_json(original.at("a")), R"({"k":[[0]]})");
}

TEST(ComputeView, CopyOutlivesTheSourcesMemoryAndRefusesDeepValues) {
  json::value copy;
  {
    json::monotonic_resource resource;
    json::value source =
        json::parse(R"(["a long text that needs its own storage", [1.5]])", &resource);
    copy = as_compute_sees(source);
  }
  EXPECT_EQ(copy.as_array()[0], "a long text that needs its own storage");
  EXPECT_EQ(copy.as_array()[1].as_array()[0], 1.5);

  json::value deep = 1;
  for (std::size_t i = 0; i < kMaxViewDepth + 1; ++i) deep = json::array{std::move(deep)};
  EXPECT_THROW(as_compute_sees(deep), BadAnswer);
}

TEST(SensorPath, FollowsKeysAndPositionsFromEitherEnd) {
  json::value obs = parse(R"({"tank": [1.5, 2.5, 3.5], "it's": {"a]": 7}, "m": {"x y": [[4]]},
                              "7": "seven"})");
  auto sense = [&](const std::string& path) {
    return Sensor(path, std::string(kSensorMappingPrefix) + path).sense(obs);
  };
  EXPECT_EQ(sense("['tank'][0]"), 1.5);
  EXPECT_EQ(sense("['tank'][-1]"), 3.5);
  EXPECT_EQ(sense("['tank'][-3]"), 1.5);
  EXPECT_EQ(sense("[\"tank\"][ 1 ]"), 2.5);
  EXPECT_EQ(sense(" ['tank'][\t+1 ] \n"), 2.5);
  EXPECT_EQ(sense("['it\\'s']['a\\x5d']"), 7);
  EXPECT_EQ(sense("[\"it's\"]['a\\u005d']"), 7);
  EXPECT_EQ(sense("['m']['x\\x20y'][0]"), json::array{4});
  EXPECT_EQ(sense("['7']"), "seven");
  EXPECT_EQ(sense(""), obs);

  Sensor sensor("level", "lambda sensors: sensors['tank'][1]");
  EXPECT_EQ(&sensor.find(obs), &obs.at("tank").as_array()[1]);  // parsed once, reads in place
  EXPECT_EQ(sensor.sense(parse(R"({"tank": [0, 9]})")), 9);
}

TEST(SensorPath, RefusesMappingsThatAreNotASlotPath) {
  const char* mappings[] = {
      "sensors[0]",
      "lambda s: s[0]",
      "lambda sensors: sensors.tank",
      "lambda sensors: sensors[0].x",
      "lambda sensors: sensors[0] [1]",
      "lambda sensors: sensors['a'",
      "lambda sensors: sensors[01]",
      "lambda sensors: sensors[abc]",
      "lambda sensors: sensors[]",
      "lambda sensors: sensors['a'b]",
      "lambda sensors: sensors['a\\x4']",
      "lambda sensors: sensors[[0]]",
      "lambda sensors: sensors[99999999999999999999]",
  };
  for (const char* mapping : mappings) {
    EXPECT_THROW(Sensor("s", mapping), SensorError) << mapping;
  }
  try {
    Sensor("speed", "lambda sensors: sensors[0].x");
    FAIL();
  } catch (const SensorError& error) {
    EXPECT_EQ(std::string(error.what()),
              "sensor 'speed': its mapping 'lambda sensors: sensors[0].x' does not end in a "
              "slot path such as ['tank'][0]: '.' stands where a key group \"[...]\" must begin");
  }
}

TEST(SensorPath, ReadsWhatTheReportRunReadsAndSaysWhatIsWrongWithAPath) {
  json::value obs = parse(R"({"\ud83d\ude00": [1, 2], "tank": [3]})");
  auto sense = [&](const std::string& path) {
    return Sensor(path, std::string(kSensorMappingPrefix) + path).sense(obs);
  };
  // A surrogate pair escapes one character; Unicode white space may surround the path.
  EXPECT_EQ(sense(R"(['\ud83d\ude00'][-1])"), 2);
  EXPECT_EQ(sense("\xe3\x80\x80['tank'][0]\xc2\xa0"), 3);
  auto refusal = [](const std::string& path) {
    try {
      Sensor("s", std::string(kSensorMappingPrefix) + path);
    } catch (const SensorError& error) {
      std::string what = error.what();
      return what.substr(what.find("['tank'][0]: ") + 13);
    }
    return std::string("<accepted>");
  };
  EXPECT_EQ(refusal(R"(['\ud83d'])"),
            R"(the key ['\ud83d'] escapes a lone surrogate, which is not a Unicode character )"
            "on its own");
  EXPECT_EQ(refusal(R"(['\U00110000'])"),
            R"(the key ['\U00110000'] escapes a value that is not a Unicode character)");
  EXPECT_EQ(refusal("[01]"), "the key [01] is a number with a leading zero");
  EXPECT_EQ(refusal("[ ]"), "the key [ ] is empty");
  EXPECT_EQ(refusal("['a"), "a key group \"[\" is not closed by \"]\"");
  // A stray character is named whole, not by its first byte.
  EXPECT_EQ(refusal("[0]\xc3\xa9"), "'\xc3\xa9' stands where a key group \"[...]\" must begin");
}

TEST(SensorPath, SaysWhereThePathLeadsNowhere) {
  json::value obs = parse(R"({"tank": [1, 2, 3], "stage": 2, "m": {"a": 1}})");
  EXPECT_EQ(sensor_error("['pump']", obs),
            "sensor \"['pump']\": the observation has no entry 'pump'");
  EXPECT_EQ(sensor_error("['tank'][3]", obs),
            "sensor \"['tank'][3]\": the value at ['tank'] is a list of 3 elements, without "
            "position 3");
  EXPECT_TRUE(has(sensor_error("['tank'][-4]", obs), "without position -4"));
  EXPECT_TRUE(has(sensor_error("['stage'][0]", obs), "at ['stage'] is a number, not a list"));
  EXPECT_TRUE(has(sensor_error("['tank']['a']", obs), "is a list, not a map with the entry 'a'"));
  EXPECT_TRUE(has(sensor_error("['m'][0]", obs), "['m'] is a map, not a list"));
  EXPECT_TRUE(has(sensor_error("[0]", parse("null")), "the observation is null"));
}

TEST(CoreLibrary, EveryMappedSlotOfASampleReadsAScalar) {
  CoreLibraryImpl core;
  json::value description = parse(kMixedSpace);
  json::array mappings = core.convert_space_to_json(description);
  std::unique_ptr<dataset_replay::ComputeSpace> space = core.to_compute_space(description);
  for (int i = 0; i < 50; ++i) {
    json::value sample = core.as_compute_sees(space->sample());
    for (const json::value& mapping : mappings) {
      std::string name(mapping.at("name").as_string());
      json::value value =
          core.make_sensor(name, std::string(kSensorMappingPrefix) + name)->sense(sample);
      ASSERT_TRUE(value.is_number()) << name << " in " << json_text::to_json(sample);
    }
  }
  EXPECT_THROW(core.to_compute_space(parse(R"({"type": "discrete"})")), SpaceError);
  EXPECT_THROW(core.convert_space_to_json(parse("{}")), SpaceError);
  EXPECT_THROW(core.make_sensor("x", "lambda sensors: x"), SensorError);
}

TEST(Settings, EveryVariableIsReadInOnePlaceWithItsDefault) {
  std::map<std::string, std::string> env;
  auto lookup = [&env](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  host::Settings defaults = host::read_settings(lookup);
  EXPECT_EQ(defaults.url_api, "http://127.0.0.1:8700");
  EXPECT_EQ(defaults.compute_url, "http://127.0.0.1:8710");
  EXPECT_EQ(defaults.api_token, std::nullopt);
  EXPECT_EQ(defaults.node_token, std::nullopt);
  EXPECT_EQ(defaults.project, "");
  EXPECT_TRUE(defaults.color);
  EXPECT_EQ(defaults.steps_ahead, 64);

  env = {{"VELKO_API_URL", "http://p:1"},    {"VELKO_API_TOKEN", "a"},
         {"VELKO_COMPUTE_URL", "http://n/"}, {"VELKO_NODE_TOKEN", "n"},
         {"VELKO_PROJECT", "Water plant"},   {"VELKO_ORG", "org-1"},
         {"VELKO_LOG_LEVEL", "debug"},       {"NO_COLOR", "1"},
         {"VELKO_STEPS_AHEAD", "8"}};
  host::Settings given = host::read_settings(lookup);
  EXPECT_EQ(given.url_api, "http://p:1");
  EXPECT_EQ(given.api_token, "a");
  EXPECT_EQ(given.compute_url, "http://n/");  // used as given
  EXPECT_EQ(given.node_token, "n");
  EXPECT_EQ(given.project, "Water plant");
  EXPECT_EQ(given.org, "org-1");
  EXPECT_EQ(given.log_level, "debug");
  EXPECT_FALSE(given.color);
  EXPECT_EQ(given.steps_ahead, 8);

  // An empty variable is an unset one; a dumb terminal gets no colours either.
  env = {{"VELKO_API_URL", ""},
         {"VELKO_API_TOKEN", ""},
         {"NO_COLOR", ""},
         {"TERM", "dumb"},
         {"VELKO_STEPS_AHEAD", ""}};
  host::Settings empty = host::read_settings(lookup);
  EXPECT_EQ(empty.url_api, "http://127.0.0.1:8700");
  EXPECT_EQ(empty.api_token, std::nullopt);
  EXPECT_FALSE(empty.color);
  EXPECT_EQ(empty.steps_ahead, 64);

  // --help names every variable that is read.
  std::string help = host::settings_help();
  for (const char* name :
       {"VELKO_API_URL", "VELKO_API_TOKEN", "VELKO_COMPUTE_URL", "VELKO_NODE_TOKEN",
        "VELKO_PROJECT", "VELKO_ORG", "VELKO_LOG_LEVEL", "NO_COLOR", "VELKO_STEPS_AHEAD",
        "VELKO_STEP_BATCH", "VELKO_BATCH_WINDOW"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

TEST(Settings, StepsAheadIsAWholeNumberWithinItsBounds) {
  std::optional<std::string> text;
  auto lookup = [&text](const char* name) -> const char* {
    return std::string_view(name) == "VELKO_STEPS_AHEAD" && text ? text->c_str() : nullptr;
  };
  for (const auto& [given, value] : std::vector<std::pair<const char*, int>>{
           {"0", 0}, {"1", 1}, {"8", 8}, {"0064", 64}, {"1024", 1024}}) {
    text = given;
    EXPECT_EQ(host::read_settings(lookup).steps_ahead, value) << given;
  }
  for (const char* bad : {"1025", "-1", "+8", "8.0", " 8", "8 ", "0x10", "eight", "99999999999"}) {
    text = bad;
    try {
      host::read_settings(lookup);
      ADD_FAILURE() << bad;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()),
                "VELKO_STEPS_AHEAD must be a whole number from 0 to 1024 (the most steps sent to "
                "a sim ahead of their answers; 0 or 1: one at a time), not '" +
                    std::string(bad) + "'");
    }
  }
}

TEST(Settings, BatchSizeAndWindowAreCheckedTogether) {
  std::map<std::string, std::string> env;
  auto lookup = [&env](const char* name) -> const char* {
    auto found = env.find(name);
    return found == env.end() ? nullptr : found->second.c_str();
  };
  // (batch, window) given, and what is read: the default window grows to a larger batch.
  const std::vector<std::tuple<const char*, const char*, int, int>> good = {
      {"", "", 128, 512},
      {"0", "", 0, 512},
      {"8", "8", 8, 8},
      {"1024", "", 1024, 1024},
      {"", "16384", 128, 16384}};
  for (const auto& [batch, window, steps, in_flight] : good) {
    env = {{"VELKO_STEP_BATCH", batch}, {"VELKO_BATCH_WINDOW", window}};
    host::Settings settings = host::read_settings(lookup);
    EXPECT_EQ(settings.batching.steps, steps) << batch << " " << window;
    EXPECT_EQ(settings.batching.window, in_flight) << batch << " " << window;
  }
  const std::vector<std::tuple<const char*, const char*, std::string>> bad = {
      {"1025", "",
       "VELKO_STEP_BATCH must be a whole number from 0 to 1024 (the most steps in "
       "one message to a sim that takes batches; 0 or 1: no batches), not '1025'"},
      {"64", "32",
       "VELKO_BATCH_WINDOW must be a whole number from 64 to 16384 (the most steps "
       "in flight in batches, at least VELKO_STEP_BATCH), not '32'"},
      {"", "many",
       "VELKO_BATCH_WINDOW must be a whole number from 128 to 16384 (the most steps "
       "in flight in batches, at least VELKO_STEP_BATCH), not 'many'"},
  };
  for (const auto& [batch, window, message] : bad) {
    env = {{"VELKO_STEP_BATCH", batch}, {"VELKO_BATCH_WINDOW", window}};
    try {
      host::read_settings(lookup);
      ADD_FAILURE() << batch << " " << window;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

}  // namespace
}  // namespace velko::spaces
