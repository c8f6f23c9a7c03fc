// Checking values and slot paths against spaces, and the seeded sampling of actions that
// `velko sim validate` relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "spaces/slot_path.h"
#include "spaces/space_check.h"
#include "spaces/spaces.h"

namespace velko::spaces {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;
using ::testing::Optional;

// A space with a bit of every kind.
constexpr const char* kPlant = R"({"type": "dict", "spaces": {
  "tank": {"type": "box", "shape": [2], "dtype": "float32", "low": [0, -10], "high": [100, 10]},
  "grid": {"type": "box", "shape": [2, 3], "dtype": "int32", "low": -5, "high": 5},
  "pump": {"type": "discrete", "n": 3, "start": 1},
  "valves": {"type": "multi_binary", "n": 2},
  "modes": {"type": "multi_discrete", "nvec": [2, 4]},
  "pair": {"type": "tuple", "spaces": [{"type": "discrete", "n": 2},
                                        {"type": "box", "shape": [], "low": null}]}}})";

constexpr const char* kPlantValue = R"({"tank": [42.5, -1.25], "grid": [[0, 1, 2], [-5, 5, 0]],
  "pump": 3, "valves": [1, 0], "modes": [1, 3], "pair": [0, -1e9]})";

Space plant() { return parse_space(json::parse(kPlant)); }

// kPlantValue with one member replaced.
json::value plant_with(const std::string& key, const char* member) {
  json::value value = json::parse(kPlantValue);
  value.as_object()[key] = json::parse(member);
  return value;
}

std::optional<std::string> slot(const Space& space, const char* path) {
  return slot_problem(space, parse_slot_path(path));
}

TEST(ValueProblem, SaysWhereAndWhyAValueLeavesTheSpace) {
  Space space = plant();
  EXPECT_EQ(value_problem(space, json::parse(kPlantValue)), std::nullopt);
  EXPECT_THAT(value_problem(space, plant_with("tank", "[120.5, 0]")),
              Optional(std::string("at ['tank'][0]: 120.5 is above the upper bound 100.0")));
  EXPECT_THAT(value_problem(space, plant_with("grid", "[[0, 1, 2], [0, 2.5, 0]]")),
              Optional(std::string("at ['grid'][1][1]: 2.5 is not an integer (the int32 box "
                                   "takes integers)")));
  EXPECT_THAT(value_problem(space, plant_with("grid", "[[0, 1], [0, 2, 0]]")),
              Optional(std::string("at ['grid'][0]: a list of 2 elements where the box of shape "
                                   "[2, 3] has 3")));
  EXPECT_THAT(value_problem(space, plant_with("pump", "0")),
              Optional(std::string("at ['pump']: 0 is below the lowest value 1 of the discrete "
                                   "space")));
  EXPECT_THAT(value_problem(space, plant_with("valves", "[1, 2]")),
              Optional(std::string("at ['valves'][1]: 2 is above the highest value 1 of the "
                                   "multi_binary space")));
  EXPECT_THAT(value_problem(space, plant_with("pair", "[0, null]")),
              Optional(std::string("at ['pair'][1]: null is not a number")));
  EXPECT_THAT(value_problem(space, plant_with("modes", R"({"a": 1})")),
              Optional(std::string("at ['modes']: a map of 1 members is not a list (the "
                                   "multi_discrete space)")));

  json::value missing = json::parse(kPlantValue);
  missing.as_object().erase("pump");
  EXPECT_THAT(value_problem(space, missing),
              Optional(std::string("at ['pump']: the member is missing")));
  json::value extra = json::parse(kPlantValue);
  extra.as_object()["flow"] = 1;
  EXPECT_THAT(value_problem(space, extra), Optional(HasSubstr("the member 'flow' is not one")));
}

TEST(ValueProblem, AgreesWithContainsOnSamplesAndTheirNeighbours) {
  // Whatever the messages say, a value has a problem exactly when it is not in the space.
  Space space = plant();
  ComputeSpace sampler(space, 3);
  for (int i = 0; i < 200; ++i) {
    json::value value = sampler.sample();
    ASSERT_EQ(value_problem(space, value), std::nullopt) << json::serialize(value);
    json::value nudged = value;
    json::value& level = nudged.as_object()["tank"].as_array()[0];
    level = level.to_number<double>() + (i % 2 ? 100.0 : -100.0);
    EXPECT_EQ(value_problem(space, nudged).has_value(), !contains(space, nudged));
    json::value as_double = value;
    as_double.as_object()["pump"] = 2.0;
    EXPECT_EQ(value_problem(space, as_double).has_value(), !contains(space, as_double));
  }
}

TEST(SlotProblem, AcceptsPathsToOneVariableOfTheSpace) {
  Space space = plant();
  for (const char* path : {"['tank'][0]", "['tank'][-1]", "['grid'][1][2]", "['pump']",
                           "['valves'][1]", "['modes'][0]", "['pair'][0]", "['pair'][1]"}) {
    EXPECT_EQ(slot(space, path), std::nullopt) << path;
  }
  Space scalar = parse_space(json::parse(R"({"type": "discrete", "n": 4})"));
  EXPECT_EQ(slot_problem(scalar, SlotKeys()), std::nullopt);
  // Every mapping that the platform derives from a space leads to one of its variables.
  for (const json::value& mapping : convert_space_to_json(space)) {
    EXPECT_EQ(slot(space, mapping.at("name").as_string().c_str()), std::nullopt) << mapping;
  }
}

TEST(SlotProblem, RefusesPathsThatStopShortGoTooFarOrMissTheSpace) {
  Space space = plant();
  EXPECT_THAT(slot(space, "['tank'][2]"),
              Optional(std::string("the space at ['tank'] has no position 2 (it has 2 elements)")));
  EXPECT_THAT(slot(space, "['flow']"), Optional(HasSubstr("has no key 'flow' (its keys: 'tank'")));
  EXPECT_THAT(slot(space, "[0]"), Optional(HasSubstr("is a dict, whose members have keys")));
  EXPECT_THAT(slot(space, "['grid'][1]"),
              Optional(HasSubstr("is a list of a box of shape [2, 3], not one number; add 1 "
                                 "more list position")));
  EXPECT_THAT(slot(space, "['pump'][0]"),
              Optional(std::string("the space at ['pump'] is one number; the rest of the path, "
                                   "[0], leads nowhere")));
  EXPECT_THAT(slot(space, "['pair']"), Optional(HasSubstr("is a tuple of 2 spaces")));
  EXPECT_THAT(slot(space, "['valves']['a']"),
              Optional(HasSubstr("whose elements have list positions, not the key 'a'")));
  EXPECT_THAT(slot_problem(space, SlotKeys()), Optional(HasSubstr("the space is a dict")));
}

TEST(SeededSampling, TheSameSeedGivesTheSameActionsAndAnotherSeedOthers) {
  Space space = plant();
  auto draw = [&](std::uint64_t seed) {
    ComputeSpace sampler(space, seed);
    std::vector<json::value> actions;
    for (int i = 0; i < 20; ++i) actions.push_back(sampler.sample());
    return actions;
  };
  EXPECT_EQ(draw(7), draw(7));
  EXPECT_NE(draw(7), draw(8));
}

}  // namespace
}  // namespace velko::spaces
