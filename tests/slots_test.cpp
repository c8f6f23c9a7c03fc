// Slot paths: parsing, writing dataset values into actions, reading sensor values.
#include "main/dataset_replay/slots.h"

#include <gtest/gtest.h>

#include <cmath>
#include <typeinfo>
#include <variant>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "common/errors.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {
namespace {

using boost::json::parse;
using boost::json::value;
// A path's keys as the tests write them: a text for a map key, a number for a list position.
using Keys = std::vector<std::variant<std::int64_t, std::string>>;

// The keys that parse_slot_path reads, in that form.
Keys path_keys(std::string_view name) {
  Keys keys;
  for (const SlotKey& key : parse_slot_path(name)) {
    if (key.is_text) {
      keys.emplace_back(key.text);
    } else {
      keys.emplace_back(key.index);
    }
  }
  return keys;
}

// A sensor that follows its slot path over the observation (negative positions from the end)
// and fails when the path leads nowhere.
class PathSensor : public Sensor {
 public:
  explicit PathSensor(Keys keys) : keys_(std::move(keys)) {}
  value sense(const value& observation) override {
    const value* node = &observation;
    for (const auto& key : keys_) {
      if (const auto* text = std::get_if<std::string>(&key)) {
        node = &node->as_object().at(*text);
      } else {
        std::int64_t position = std::get<std::int64_t>(key);
        const auto& list = node->as_array();
        node = &list.at(position + (position < 0 ? static_cast<std::int64_t>(list.size()) : 0));
      }
    }
    return *node;
  }

 private:
  Keys keys_;
};

// A core library whose sensors read their mapping text "lambda sensors: sensors<path>".
class FakeCoreLibrary : public CoreLibrary {
 public:
  boost::json::array convert_space_to_json(const value&) override { return {}; }
  std::unique_ptr<ComputeSpace> to_compute_space(const value&) override { return nullptr; }
  value as_compute_sees(const value& v) override { return v; }
  std::unique_ptr<Sensor> make_sensor(const std::string& name,
                                      const std::string& mapping) override {
    made.emplace_back(name, mapping);
    if (fail_to_make) throw std::runtime_error("no sensor today");
    const std::string prefix = "lambda sensors: sensors";
    if (mapping.rfind(prefix, 0) != 0) throw std::invalid_argument("bad mapping");
    return std::make_unique<PathSensor>(path_keys(mapping.substr(prefix.size())));
  }
  std::vector<std::pair<std::string, std::string>> made;
  bool fail_to_make = false;
};

TEST(SlotPath, ParsesKeyGroupsWithBlanksInside) {
  EXPECT_EQ(path_keys("['a'][1]"), (Keys{"a", 1}));
  EXPECT_EQ(path_keys("  [0][-2]\n"), (Keys{0, -2}));
  EXPECT_EQ(path_keys("[ 1 ][\t\"b\" ][+3]"), (Keys{1, "b", 3}));
  EXPECT_EQ(path_keys(R"(["it's"]['a\'\\\x41\u00e9\q'])"), (Keys{"it's", "a'\\A\xc3\xa9\\q"}));
  EXPECT_EQ(path_keys(" \t "), Keys{});
}

TEST(SlotPath, TextThatIsNotASlotPathIsNamedExactly) {
  for (std::string name : {"obs[0]", "[0].x", "[0] [1]", "speed", "[0", "[[0]]", " x "}) {
    try {
      parse_slot_path(name);
      ADD_FAILURE() << name;
    } catch (const PublishReportError& error) {
      EXPECT_EQ(error.what(), "Can't address the sim's slot '" + name + "'");
    }
  }
}

TEST(SlotPath, GroupThatIsNotALiteralHasAnErrorOfItsOwn) {
  // Checked before the whole path, so "x[a]" fails on its key too.
  for (std::string name :
       {"[a]", "[]", "[1.5]", "['a'x]", "[01]", "['\\x4']", "x[a]", "[9223372036854775808]"}) {
    EXPECT_THROW(parse_slot_path(name), std::invalid_argument) << name;
  }
}

TEST(SlotPath, SurrogatePairIsOneCharacterAndALoneSurrogateIsRefused) {
  EXPECT_EQ(path_keys(R"(['\ud83d\ude00'][0])"), (Keys{"\xf0\x9f\x98\x80", 0}));
  try {
    parse_slot_path(R"(['a']['\ud83d'])");
    ADD_FAILURE();
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()),
              R"(the slot key ['\ud83d'] escapes a lone surrogate, which is not a Unicode )"
              "character on its own");
  }
  // The other faults of a key keep their message.
  try {
    parse_slot_path("[9223372036854775808]");
    ADD_FAILURE();
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), "the slot key [9223372036854775808] is out of range");
  }
  try {
    parse_slot_path(R"(['\x4'])");
    ADD_FAILURE();
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()),
              R"(the slot key ['\x4'] is not an integer or a quoted text)");
  }
}

TEST(SlotPath, UnicodeWhiteSpaceMaySurroundThePath) {
  EXPECT_EQ(path_keys("\xe3\x80\x80['a'][1]\xc2\xa0\n"), (Keys{"a", 1}));
  EXPECT_THROW(parse_slot_path("['a']\xc2\xa0[1]"), PublishReportError);
}

TEST(SetSlot, IntegerSlotTakesTheValueRoundedHalfToEven) {
  std::initializer_list<std::pair<double, int>> cases = {
      {1.6, 2}, {2.5, 2}, {3.5, 4}, {-0.5, 0}, {-1.5, -2}};
  for (auto [given, stored] : cases) {
    value action = parse("[3]");
    set_slot(action, "[0]", given);
    EXPECT_EQ(action, parse("[" + std::to_string(stored) + "]")) << given;
    EXPECT_TRUE(action.at(0).is_int64());
  }
  // A boolean is no integer; every other slot takes a floating-point number.
  value action = parse(R"([0.0, true, null, "x"])");
  for (const char* slot : {"[0]", "[1]", "[2]", "[3]"}) set_slot(action, slot, 1);
  EXPECT_EQ(action, parse("[1.0, 1.0, 1.0, 1.0]"));
  EXPECT_TRUE(action.at(1).is_double());
}

TEST(SetSlot, WritesInPlaceAlongTheKeys) {
  value action = parse(R"({"a": [0.5, 7, 9], "b": 2})");
  EXPECT_EQ(set_slot(action, "['a'][1]", 4.4), action);
  set_slot(action, "['a'][-1]", 1.5);
  set_slot(action, "['a'][-3]", 2);
  EXPECT_EQ(action, parse(R"({"a": [2.0, 4, 2], "b": 2})"));
  // The empty path addresses the whole value: set_slot yields its replacement and leaves the
  // value as it was; write_slot replaces it.
  value whole = 5;
  EXPECT_EQ(set_slot(whole, "", 2.5), value(2));
  EXPECT_EQ(whole, value(5));
  EXPECT_EQ(set_slot(whole, "  ", 3.5), value(4));
  write_slot(whole, " ", 2.5);
  EXPECT_EQ(whole, value(2));
}

TEST(SetSlot, FailsWithoutChangingTheValue) {
  const value original = parse(R"({"a": [1, 2], "n": 3})");
  value action = original;
  EXPECT_THROW(set_slot(action, "['a'][2]", 1), std::out_of_range);
  EXPECT_THROW(set_slot(action, "['a'][-3]", 1), std::out_of_range);
  EXPECT_THROW(set_slot(action, "['z'][0]", 1), KeyError);
  EXPECT_THROW(set_slot(action, "['a']['k']", 1), TypeError);
  EXPECT_THROW(set_slot(action, "['n'][0]", 1), TypeError);
  EXPECT_THROW(set_slot(action, "['a'][0]", std::nan("")), std::domain_error);
  EXPECT_THROW(set_slot(action, "['a'][0]", INFINITY), std::domain_error);
  EXPECT_THROW(set_slot(action, "['a'][0]", 1e19), std::domain_error);
  // The path is checked before any lookup.
  EXPECT_THROW(set_slot(action, "['a'][5].x", 1), PublishReportError);
  EXPECT_EQ(action, original);
}

// The writer reads its path once and then writes, and fails, exactly as write_slot does.
TEST(SlotWriter, WritesAndFailsAsWriteSlotDoes) {
  const value original = parse(R"({"a": [1, 2.5, {"k": 3}], "n": 3})");
  const char* paths[] = {"['a'][0]", "['a'][-2]", " ['a'] [2] ['k'] ", "",         " ",
                         "['a'][5]", "['z'][0]",  "['a']['k']",        "['n'][0]", "['a'][0].x",
                         "[x]"};
  for (const char* path : paths) {
    for (double number : {1.5, -7.0, std::nan(""), 1e19}) {
      value expected = original;
      std::string expected_error;
      try {
        write_slot(expected, path, number);
      } catch (const std::exception& error) {
        expected_error = typeid(error).name() + std::string(": ") + error.what();
      }
      const SlotWriter writer(path);  // an unreadable path fails each write, not here
      for (int time = 0; time < 2; ++time) {
        value written = original;
        std::string error_seen;
        try {
          writer.write(written, number);
        } catch (const std::exception& error) {
          error_seen = typeid(error).name() + std::string(": ") + error.what();
        }
        EXPECT_EQ(error_seen, expected_error) << path << " " << number;
        // (as text: a NaN written into a floating-point slot equals nothing)
        EXPECT_EQ(boost::json::serialize(written), boost::json::serialize(expected))
            << path << " " << number;
      }
    }
  }
}

TEST(ReadSlot, ReadsAFiniteNumberOrNoValue) {
  FakeCoreLibrary core;
  value obs = parse(R"([3, [4], [4, 5], true, " -2.5e1 ", "abc", "nan", null, {"a": [0, 2.5]}])");
  obs.as_array().push_back(std::nan(""));
  std::vector<std::optional<double>> expected = {
      3.0,          4.0,          std::nullopt, 1.0,          -25.0,
      std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(read_slot(core, obs, "[" + std::to_string(i) + "]"), expected[i]) << i;
  }
  EXPECT_EQ(read_slot(core, obs, "[-2]['a'][1]"), 2.5);
  EXPECT_EQ(core.made.back().first, "[-2]['a'][1]");
  EXPECT_EQ(core.made.back().second, "lambda sensors: sensors[-2]['a'][1]");
  // A path of blanks reads the whole value: the sensor of a space that is one value.
  EXPECT_EQ(read_slot(core, value(4), " "), 4.0);
  EXPECT_EQ(read_slot(core, value(nullptr), " "), std::nullopt);
  // Where the sensor fails: a path that leads nowhere, a bare word, one it cannot make.
  EXPECT_EQ(read_slot(core, obs, "[10]"), std::nullopt);
  EXPECT_EQ(read_slot(core, obs, "speed"), std::nullopt);
  core.fail_to_make = true;
  EXPECT_EQ(read_slot(core, obs, "[0]"), std::nullopt);
}

}  // namespace
}  // namespace velko::dataset_replay
