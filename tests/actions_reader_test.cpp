// Reading the compute node's "analysis-actions" answer into compact storage: what is kept and
// how exactly, that the pieces it comes in do not matter, JSON errors, the bounds on what the
// node can make the client keep, the faults kept for the replay, and how little is kept.
#include "main/dataset_replay/actions_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "tests/support/node_answers.h"

namespace velko::dataset_replay {
namespace {

namespace json = boost::json;
using testing::node_fault;
using Ids = std::vector<std::string>;

// Reads `text` handed over in pieces of `piece` bytes (all at once for 0).
RecordedActions read(std::string_view text, std::size_t piece = 0, std::size_t asked = 100) {
  ActionsReader reader(asked);
  if (piece == 0) piece = std::max<std::size_t>(text.size(), 1);
  for (std::size_t at = 0; at < text.size(); at += piece) reader.write(text.substr(at, piece));
  return reader.finish();
}

// The message of the JsonError that reading `text` in pieces raises.
std::string json_error(std::string_view text, std::size_t piece = 0) {
  try {
    read(text, piece);
  } catch (const json_text::JsonError& error) {
    return error.what();
  }
  return "(no error)";
}

// A JsonError's message without the column and the character.
std::string without_column(const std::string& message) {
  return message.substr(0, message.find(" column "));
}

// Each value of a column from row `from` until its end or a fault, as text.
std::string values(ActionColumn column, std::int64_t from = 0) {
  std::string out;
  for (std::int64_t row = from;; ++row) {
    std::optional<double> value;
    std::string fault = node_fault([&] { value = column.at(row); });
    if (fault != "(no fault)") return out + fault;
    out += value ? float_repr(*value) : "null";
    out += ", ";
  }
}

// Everything that the replay reads of an answer: each episode's identifier, row count and
// the values of the columns `ids`.
std::string replayed(const RecordedActions& actions, const Ids& ids) {
  std::string out;
  for (std::size_t e = 0; e < actions.episode_count(); ++e) {
    RecordedEpisode episode = actions.episode(e);
    out += literal(episode.id()) + " (" + literal(episode.n_rows()) + " rows)\n";
    std::vector<ActionColumn> columns;
    std::string fault = node_fault([&] { columns = episode.columns(ids); });
    if (fault != "(no fault)") out += "  " + fault + "\n";
    for (ActionColumn& column : columns) out += "  " + values(column) + "\n";
  }
  return out;
}

constexpr const char* kAnswer = R"({"note": "skipped \u00e9 [\"]",
  "episodes": [
    {"episode": "run \"1\" \u00e9", "extra": {"deep": [[[1, {"x": null}]]], "n_rows": 99},
     "n_rows": 5,
     "actions": {"a": [null, 0.1, -2.5e-3, 12345678901234567890, 123456789012345678901234],
                 "b\u00e9": [1e-999, -1e-999, 1.7976931348623157e308, -0, 4.9e-324],
                 "unplanned": [true, {"k": [1]}]}},
    {"actions": {"a": [7, 0.30000000000000004]}, "n_rows": 2, "episode": 17}],
  "sensor_variables": ["s", "a\nb"], "action_variables": ["a", "b\u00e9"],
  "raw_names": {"s": "Level", "a": "Pump", "b\u00e9": " Valve \u00e9 "},
  "tail": [[[[[[[[[[]]]]]]]]]]}
)";

TEST(ActionsReader, KeepsWhatTheReplayAndThePlanReadWithNumbersReadExactly) {
  RecordedActions actions = read(kAnswer);
  EXPECT_EQ(replayed(actions, {"a", "b\u00e9"}),
            "'run \"1\" \u00e9' (5 rows)\n"
            "  null, 0.1, -0.0025, 1.2345678901234567e+19, 1.2345678901234569e+23, "
            "KeyError: the recorded actions of column 'a' (5 rows) has no member 'row 5'\n"
            "  0.0, -0.0, 1.7976931348623157e+308, 0.0, 5e-324, "
            "KeyError: the recorded actions of column 'b\u00e9' (5 rows) has no member 'row 5'\n"
            "17 (2 rows)\n"
            "  KeyError: the episode's \"actions\" has no member 'b\u00e9'\n");
  const NodeColumns& columns = actions.columns();
  EXPECT_EQ(columns.answer_kind, json::kind::object);
  EXPECT_EQ(columns.sensor_variables.ids, (Ids{"s", "a\nb"}));
  EXPECT_EQ(columns.action_variables.ids, (Ids{"a", "b\u00e9"}));
  EXPECT_EQ(columns.sensor_variables.kind, json::kind::array);
  EXPECT_FALSE(columns.action_variables.not_text);
  EXPECT_EQ(columns.raw_names.names.size(), 3u);
  EXPECT_EQ(columns.raw_names.names.at("b\u00e9"), " Valve \u00e9 ");
  // Each value is the nearest double, as the shortest text that reads back to it shows.
  EXPECT_EQ(actions.episode(1).columns({"a"})[0].at(1), 0.30000000000000004);
  EXPECT_EQ(actions.episode(0).id(), json::value("run \"1\" \u00e9"));
}

TEST(ActionsReader, EveryRecordedNumberIsTheNearestDouble) {
  // Decimals of every length and place of the point, with and without exponents, against
  // std::from_chars (correctly rounded).
  std::mt19937_64 random(5);
  std::vector<std::string> texts;
  for (int i = 0; i < 60000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    int digits = 1 + static_cast<int>(random() % 19);
    int point = static_cast<int>(random() % static_cast<std::uint64_t>(digits));
    text += static_cast<char>('1' + random() % 9);
    for (int d = 1; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    if (point == 0) text += ".5";
    if (i % 3 == 0) text += "e" + std::to_string(static_cast<int>(random() % 80) - 40);
    texts.push_back(text);
  }
  texts.insert(texts.end(), {"0.1", "-0.0", "1234567890.12345", "-123456789.012345",
                             "0.000000000000001", "9007199254740993", "2.2250738585072011e-308"});
  std::string text = R"({"episodes": [{"actions": {"a": [)";
  for (std::size_t i = 0; i < texts.size(); ++i) text += (i ? "," : "") + texts[i];
  text += "]}}]}";
  RecordedActions actions = read(text, 4096);
  ActionColumn column = actions.episode(0).columns({"a"})[0];
  for (std::size_t i = 0; i < texts.size(); ++i) {
    double expected = 0;
    std::from_chars(texts[i].data(), texts[i].data() + texts[i].size(), expected);
    std::optional<double> value = column.at(static_cast<std::int64_t>(i));
    ASSERT_TRUE(value) << texts[i];
    ASSERT_EQ(float_repr(*value), float_repr(expected)) << texts[i];
  }
}

TEST(ActionsReader, ThePiecesTheAnswerComesInDoNotMatter) {
  const std::string whole = replayed(read(kAnswer), {"a", "b\u00e9"});
  for (std::size_t piece : {1, 2, 3, 5, 7, 16, 61}) {
    RecordedActions actions = read(kAnswer, piece);
    EXPECT_EQ(replayed(actions, {"a", "b\u00e9"}), whole) << piece;
    EXPECT_EQ(actions.columns().raw_names.names.at("b\u00e9"), " Valve \u00e9 ") << piece;
    EXPECT_EQ(actions.columns().sensor_variables.ids, (Ids{"s", "a\nb"})) << piece;
  }
}

TEST(ActionsReader, MalformedJsonIsWordedAsTheJsonReaderWordsIt) {
  std::string deep = "{\"episodes\": " + std::string(300, '[') + std::string(300, ']') + "}";
  for (std::string text :
       {std::string(""), std::string(" \n "), std::string("{"), std::string("{\"episodes\": [1,]}"),
        std::string("{\"a\": 1} x"), std::string("{\"a\": 1}\n\n  ]"), std::string("\"\xff\""),
        std::string("{\n  \"a\": 1,\n  \"b\" 2\n}"), std::string("{\"\u00e9\u00e9\": tru}"),
        std::string("[1] [2]"), deep}) {
    std::string expected;
    try {
      json_text::parse(text);
    } catch (const json_text::JsonError& error) {
      expected = error.what();
    }
    ASSERT_FALSE(expected.empty()) << text;
    EXPECT_EQ(json_error(text), expected);
    // In pieces, a fault inside a word or number that spans pieces is placed where it is
    // found, which may be a few characters on.
    EXPECT_EQ(without_column(json_error(text, 1)), without_column(expected)) << "byte by byte";
    EXPECT_EQ(without_column(json_error(text, 3)), without_column(expected)) << "in threes";
  }
  // White space may follow the answer, in any piece.
  EXPECT_EQ(read("{\"episodes\": []}  \n", 1).episode_count(), 0u);
}

TEST(ActionsReader, NumbersBeyondTheRangeOfADoubleAreMalformed) {
  EXPECT_EQ(json_error(R"({"episodes": [{"actions": {"a": [0, 1e999]}}]})"),
            "number out of range at line 1 column 37 (char 36)");
  EXPECT_EQ(json_error(R"({"episodes": [{"actions": {"a": [-1.7976931348623159e308]}}]})", 4),
            "number out of range at line 1 column 34 (char 33)");
  // Also where nothing is kept.
  EXPECT_THAT(json_error("{\"other\": {\"x\": -1e400}}"),
              ::testing::StartsWith("number out of range"));
  EXPECT_THAT(json_error("{\"episodes\": [{\"episode\": 1e400}]}"),
              ::testing::StartsWith("number out of range"));
  // Numbers too small for a double are zero.
  EXPECT_EQ(read(R"({"episodes": [{"episode": 1e-400}]})").episode(0).id(), json::value(0.0));
}

TEST(ActionsReader, BoundsWhatTheNodeCanMakeItKeep) {
  auto fault = [](const std::string& text, std::size_t asked = 100) {
    return node_fault([&] { read(text, 0, asked); });
  };
  EXPECT_EQ(fault(R"({"episodes": [{}, {}, 3]})", 2),
            "BadAnswer: the answer has more episodes than the 2 that were asked for");
  EXPECT_EQ(fault(R"({"episodes": []})", 0), "(no fault)");
  // A later "episodes" replaces an earlier one, as a repeated member does.
  EXPECT_EQ(fault(R"({"episodes": [{}, {}], "episodes": [{}, {}]})", 2), "(no fault)");
  EXPECT_EQ(fault(R"({"episodes": [{"episode": [1, "x"]}, {"episode": 2},
                                   {"episode": [1, "x"]}]})"),
            "BadAnswer: the answer has the episode [1, 'x'] twice");
  EXPECT_EQ(fault(R"({"episodes": [{"episode": 1}, {"episode": "1"}, {"episode": 1.0}]})"),
            "(no fault)");

  const std::string big(ActionsReader::kMaxKeptValueBytes, 'x');
  EXPECT_EQ(fault(R"({"episodes": [{"episode": ")" + big + R"("}]})"),
            "BadAnswer: the answer has a value larger than 64 KiB as the \"episode\" of an "
            "episode");
  EXPECT_EQ(fault(R"({"episodes": [{"actions": {"a": [0, [")" + big + R"("]]}}]})"),
            "BadAnswer: the answer has a value larger than 64 KiB as a recorded action of "
            "column 'a'");
  EXPECT_EQ(fault(R"({"episodes": [{"actions": {")" + big + big + R"(": []}}]})"),
            "BadAnswer: the answer has a column identifier longer than 64 KiB");
  EXPECT_EQ(fault(R"({"raw_names": {"a": ")" + big + big + R"("}})"),
            "BadAnswer: the answer has a raw name longer than 64 KiB");
  // Big values where nothing is kept cost nothing.
  EXPECT_EQ(
      fault(R"({"episodes": [{"note": ")" + big + big + R"("}], "x": [")" + big + big + R"("]})"),
      "(no fault)");

  std::string many = "[";
  for (std::size_t i = 0; i <= ActionsReader::kMaxColumns; ++i) {
    many += (i ? ",\"c" : "\"c") + std::to_string(i) + "\"";
  }
  many += "]";
  EXPECT_EQ(fault(R"({"sensor_variables": )" + many + "}"),
            "BadAnswer: the answer lists more than 100000 columns in \"sensor_variables\"");
  std::string names = "{";
  for (std::size_t i = 0; i <= 2 * ActionsReader::kMaxColumns; ++i) {
    names += (i ? ",\"c" : "\"c") + std::to_string(i) + "\":0";
  }
  names += "}";
  EXPECT_EQ(fault(R"({"raw_names": )" + names + "}"),
            "BadAnswer: the answer lists more than 200000 columns in \"raw_names\"");

  std::string digits = "0." + std::string(ActionsReader::kMaxNumberChars, '1');
  EXPECT_EQ(fault(R"({"episodes": [{"actions": {"a": [)" + digits + "]}}]}"),
            "BadAnswer: the answer has a number longer than 4096 characters");
  EXPECT_EQ(fault(R"({"other": [)" + digits + "]}"), "(no fault)");
}

TEST(ActionsReader, FaultsAreKeptForWhereTheReplayReachesThem) {
  auto episodes_fault = [](const char* text) {
    return node_fault([&] { read(text).episode_count(); });
  };
  EXPECT_EQ(episodes_fault(R"({"raw_names": {}})"),
            "KeyError: the compute node's recorded actions has no member 'episodes'");
  EXPECT_EQ(episodes_fault(R"({"episodes": {"e": [1, null, "x"]}})"),
            "BadAnswer: the compute node's recorded actions has \"episodes\" of the wrong type "
            "(expected a list, got {'e': [1, None, 'x']})");
  EXPECT_EQ(episodes_fault("[]"),
            "BadAnswer: the compute node's recorded actions is not a map (got a list)");

  // A column's first value that is not a number from row 1 on is shown whole; row 0 is never
  // read.
  RecordedActions actions = read(
      R"({"episodes": [{"episode": 1, "n_rows": 4, "actions": {
           "a": ["x", 1, {"k": [true, "y"]}, "z"], "b": [0, false], "c": 5}}]})");
  std::vector<ActionColumn> columns = actions.episode(0).columns({"a", "b"});
  EXPECT_EQ(values(columns[0], 1),
            "1.0, BadAnswer: the recorded action of column 'a' at row 2 is not a number "
            "({'k': [True, 'y']})");
  EXPECT_EQ(columns[1].at(0), 0.0);
  EXPECT_EQ(node_fault([&] { columns[1].at(1); }),
            "BadAnswer: the recorded action of column 'b' at row 1 is not a number (False)");
  EXPECT_EQ(node_fault([&] {
              actions.episode(0).columns({"a", "c"});
            }),
            "BadAnswer: the episode's \"actions\" has \"c\" of the wrong type (expected a list "
            "of numbers, got 5)");
  EXPECT_EQ(node_fault([&] {
              actions.episode(0).columns({"d", "c"});
            }),
            "KeyError: the episode's \"actions\" has no member 'd'");

  // Rows are read forwards: one passed over is not looked at, and past the end fails again
  // the same way.
  ActionColumn column = actions.episode(0).columns({"a"})[0];
  EXPECT_EQ(node_fault([&] { column.at(3); }),
            "BadAnswer: the recorded action of column 'a' at row 3 is not a number (a text)");
  ActionColumn b = actions.episode(0).columns({"b"})[0];
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(node_fault([&] { b.at(7); }),
              "KeyError: the recorded actions of column 'b' (2 rows) has no member 'row 7'");
  }
}

TEST(ActionsReader, ARepeatedMemberTakesItsLastValue) {
  RecordedActions actions = read(R"({
      "episodes": [{"episode": 1, "n_rows": 2, "actions": {"a": [0, 1], "a": [0, 2]},
                    "n_rows": 3, "episode": 9}],
      "raw_names": {"a": "first", "a": "last"},
      "action_variables": ["x"], "action_variables": ["y", "z"]})");
  EXPECT_EQ(actions.episode(0).id(), json::value(9));
  EXPECT_EQ(actions.episode(0).row_count(), 3);
  EXPECT_EQ(actions.episode(0).columns({"a"})[0].at(1), 2.0);
  EXPECT_EQ(actions.columns().raw_names.names.at("a"), "last");
  EXPECT_EQ(actions.columns().action_variables.ids, (Ids{"y", "z"}));
}

// The text of an answer of `episodes` entries, each with `columns` columns of `rows` values
// written by `value(i)`, with keys `key(c)`; `extra` is appended as further members.
std::string answer_text(int episodes, int columns, int rows,
                        const std::function<std::string(int)>& value,
                        const std::function<std::string(int)>& key, const std::string& extra = "") {
  std::string out = R"({"episodes":[)";
  int i = 0;
  for (int e = 0; e < episodes; ++e) {
    out += (e ? "," : "") + std::string(R"({"episode":)") + std::to_string(e) + R"(,"n_rows":)" +
           std::to_string(rows) + R"(,"actions":{)";
    for (int c = 0; c < columns; ++c) {
      out += (c ? ",\"" : "\"") + key(c) + "\":[";
      for (int r = 0; r < rows; ++r) out += (r ? "," : "") + value(i++);
      out += "]";
    }
    out += "}}";
  }
  return out + "]" + extra + "}";
}

TEST(ActionsReader, KeepsNoMoreThanTheAnswersSizeAndEightBytesPerNumber) {
  auto number = [](int i) { return json_text::to_json(json::value((i % 1000) * 0.137)); };
  auto zero = [](int) { return std::string("0"); };
  auto null = [](int) { return std::string("null"); };
  auto key = [](int c) { return "a" + std::to_string(c); };
  auto long_key = [](int c) { return std::string(2000, 'k') + std::to_string(c); };
  struct Shape {
    const char* name;
    std::string text;
    std::size_t numbers;
  };
  std::string unknown = R"(,"blob":[)";
  for (int i = 0; i < 100000; ++i) unknown += "1.5,";
  unknown += std::string(200, '[') + std::string(200, ']') + "]";
  std::vector<Shape> shapes = {
      {"usual", answer_text(4, 8, 5000, number, key), 4 * 8 * 5000},
      {"zeros", answer_text(1, 1, 400000, zero, key), 400000},
      {"nulls", answer_text(2, 3, 50000, null, key), 0},
      {"tiny episodes", answer_text(20000, 1, 1, zero, key), 20000},
      {"one-row episodes without a number", answer_text(20000, 1, 1, null, key), 0},
      {"one-row columns", answer_text(2, 50000, 1, zero, key), 100000},
      {"long keys", answer_text(3, 100, 2, zero, long_key), 600},
      {"unknown members", answer_text(1, 1, 10, zero, key, unknown), 10},
  };
  for (const Shape& shape : shapes) {
    RecordedActions actions = read(shape.text, 4096, 100000);
    // The log grows by 64 KiB blocks; an episode's record is no larger than its text.
    std::size_t bound = shape.text.size() + 8 * shape.numbers + (64 << 10);
    EXPECT_LE(actions.memory_bytes(), bound) << shape.name;
    EXPECT_GE(actions.episode_count(), 1u) << shape.name;
  }
}

}  // namespace
}  // namespace velko::dataset_replay
