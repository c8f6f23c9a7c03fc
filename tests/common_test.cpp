// Tests of the shared helpers: literal and number forms, JSON text, Unicode, the slot path
// grammar, console, asynchronous helpers and the HTTP client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <boost/json.hpp>

#include "common/async.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/file_digest.h"
#include "common/http.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/printable.h"
#include "common/slot_path_grammar.h"
#include "common/unicode.h"
#include "tests/support/testing.h"

namespace velko {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

TEST(LiteralForm, QuotesTextsLikeMessagesShowThem) {
  EXPECT_EQ(quoted("reward.py"), "'reward.py'");
  EXPECT_EQ(quoted("it's"), "\"it's\"");
  EXPECT_EQ(quoted("it's \"x\""), "'it\\'s \"x\"'");
  EXPECT_EQ(quoted("a\\b\n\t\r"), "'a\\\\b\\n\\t\\r'");
  EXPECT_EQ(quoted("\x01\x7f"), "'\\x01\\x7f'");
  EXPECT_EQ(quoted("caf\xc3\xa9"), "'caf\xc3\xa9'");       // printable stays
  EXPECT_EQ(quoted("\xe2\x80\xa8"), "'\\u2028'");          // line separator
  EXPECT_EQ(quoted("\xc2\xa0"), "'\\xa0'");                // no-break space
  EXPECT_EQ(quoted("\xf3\xa0\x80\x81"), "'\\U000e0001'");  // tag character (format)
}

TEST(LiteralForm, WritesEveryJsonKind) {
  EXPECT_EQ(literal(json::parse("null")), "None");
  EXPECT_EQ(literal(json::parse("true")), "True");
  EXPECT_EQ(literal(json::parse("false")), "False");
  EXPECT_EQ(literal(json::parse("5")), "5");
  EXPECT_EQ(literal(json::parse("90.0")), "90.0");
  EXPECT_EQ(literal(json::parse(R"([1, "a", null])")), "[1, 'a', None]");
  EXPECT_EQ(literal(json::parse(R"({"k": [true], "it's": {}})")), "{'k': [True], \"it's\": {}}");
  EXPECT_EQ(as_text(json::parse(R"("plain")")), "plain");
  EXPECT_EQ(as_text(json::parse("[]")), "[]");
}

TEST(NumberForm, ShortestRoundTripFloats) {
  EXPECT_EQ(float_repr(90.0), "90.0");
  EXPECT_EQ(float_repr(87.53333333333333), "87.53333333333333");
  EXPECT_EQ(float_repr(0.1), "0.1");
  EXPECT_EQ(float_repr(-0.0), "-0.0");
  EXPECT_EQ(float_repr(1e16), "1e+16");
  EXPECT_EQ(float_repr(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(float_repr(0.0001), "0.0001");
  EXPECT_EQ(float_repr(0.00001), "1e-05");
  EXPECT_EQ(float_repr(1.5e-7), "1.5e-07");
  EXPECT_EQ(float_repr(1e300), "1e+300");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_repr(std::nan("")), "nan");
  EXPECT_EQ(number_text(json::value(std::int64_t{-3})), "-3");
  EXPECT_EQ(number_text(json::value(std::uint64_t{18446744073709551615ull})),
            "18446744073709551615");
}

TEST(NumberForm, OneDecimalRoundsToNearestWithTiesToEven) {
  EXPECT_EQ(fixed_one_decimal(90), "90.0");
  EXPECT_EQ(fixed_one_decimal(87.46), "87.5");
  EXPECT_EQ(fixed_one_decimal(0.25), "0.2");  // exact tie: to even
  EXPECT_EQ(fixed_one_decimal(0.75), "0.8");  // exact tie: to even
  EXPECT_EQ(fixed_one_decimal(0.35), "0.3");  // 0.35 is stored just below the tie
  EXPECT_EQ(fixed_one_decimal(-0.04), "-0.0");
}

TEST(JsonText, WritesShortestNumbersAndKeepsMemberOrder) {
  json::object object;
  object["b"] = 90.0;
  object["a"] = 0.1;
  object["c"] = std::int64_t{7};
  object["d"] = 1e16;
  EXPECT_EQ(json_text::to_json(object), R"({"b":90.0,"a":0.1,"c":7,"d":1e+16})");
  EXPECT_THROW(json_text::to_json(json::value(std::nan(""))), std::domain_error);
}

TEST(JsonText, EscapesToAsciiWithLowerCaseHexAndSurrogatePairs) {
  std::string out;
  json_text::write_string(out, "K\xc3\xa9 \"q\"\\\n\t\b\f\r\x01 \xf0\x9f\x98\x80", true);
  EXPECT_EQ(out, R"("K\u00e9 \"q\"\\\n\t\b\f\r\u0001 \ud83d\ude00")");
  out.clear();
  json_text::write_string(out, "K\xc3\xa9", false);
  EXPECT_EQ(out, "\"K\xc3\xa9\"");
}

TEST(JsonText, ParseErrorsSayWhatAndWhere) {
  try {
    json_text::parse("{\n  \"a\": 1,\n  \"b\" 2\n}");
    FAIL();
  } catch (const json_text::JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  try {
    json_text::parse("");
    FAIL();
  } catch (const json_text::JsonError& e) {
    EXPECT_EQ(std::string(e.what()), "expected a value at line 1 column 1 (char 0)");
  }
  EXPECT_THROW(json_text::parse("[1] x"), json_text::JsonError);
  EXPECT_NO_THROW(json_text::parse("[1] \n"));
  EXPECT_THROW(json_text::parse("\"\xff\""), json_text::JsonError);
}

TEST(JsonText, BoundsNestingDepth) {
  std::string deep(300, '[');
  deep += std::string(300, ']');
  try {
    json_text::parse(deep);
    FAIL();
  } catch (const json_text::JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("nesting deeper than 256"), std::string::npos);
  }
  std::string fine(200, '[');
  fine += std::string(200, ']');
  EXPECT_NO_THROW(json_text::parse(fine));
}

TEST(JsonText, DuplicateKeyTakesItsLastValue) {
  EXPECT_EQ(json_text::parse(R"({"a": 1, "a": 2})").at("a"), json::value(2));
}

TEST(JsonText, SizedParseGivesWhatParseGivesAndTheShapeBeforeBuilding) {
  // Values, member order and repeated names, escapes, numbers; and errors, word for word.
  const std::vector<std::string> texts{
      R"([[1, -0.0, 1e-400, 18446744073709551615, 1e30], "a\u00e9\n",
          {"k": [], "j": {"x": 1, "k": null, "x": [true]}}, null, 2.5])",
      R"({"a": [1, [2, [3]]], "b": "x"})",
      "7",
      std::string(300, '[') + std::string(300, ']'),
      "[1, 2",
      "[1e999, 2]",
      "[1] x",
      "",
      R"({"seed": {"seed": 1e999}1e999})"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));
    std::string expected;
    std::string got;
    try {
      expected = json_text::to_json(json_text::parse(text));
    } catch (const json_text::JsonError& error) {
      expected = error.what();
    }
    try {
      got = json_text::to_json(json_text::parse_sized(text));
    } catch (const json_text::JsonError& error) {
      got = error.what();
    }
    EXPECT_EQ(got, expected);
  }
  // The shape: the scalars of each part of a list, and the size of every list and map.
  std::vector<std::size_t> part_values;
  std::vector<std::size_t> sizes;
  json_text::parse_sized(R"([[0, [1, 2], {"a": "b"}], 3.5, {}, [[]]])",
                         [&](const json_text::TextShape& shape) {
                           part_values = shape.part_values;
                           sizes = shape.sizes;
                         });
  EXPECT_EQ(part_values, (std::vector<std::size_t>{4, 1, 0, 0}));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 3, 2, 1, 0, 1, 0}));
  // A check that throws refuses the text before its value is built.
  EXPECT_THROW(json_text::parse_sized("[[1, 2, 3]]",
                                      [](const json_text::TextShape& shape) {
                                        if (shape.part_values.at(0) > 2) throw BadAnswer("big");
                                      }),
               BadAnswer);
}

// The bits of a parsed number, so that -0.0 and 0.0 tell apart.
std::uint64_t bits_of(const json::value& value) {
  return std::bit_cast<std::uint64_t>(value.as_double());
}

TEST(JsonNumbers, EveryDoubleReadsBackFromItsShortestForm) {
  // Values that a reader rounding with too few digits gets one unit in the last place off.
  for (const char* text :
       {"-9.223372036807371e+21", "0.30000000000000004", "1e+23", "8.98846567431158e+307",
        "2.2250738585072014e-308", "2.225073858507201e-308", "5e-324", "1.7976931348623157e+308",
        "9.007199254740993e+15", "0.1", "7.038531e-26", "1.448997445238699", "4.940656458412e-324",
        "123456789.12345679"}) {
    json::value parsed = json_text::parse(text);
    ASSERT_TRUE(parsed.is_double()) << text;
    EXPECT_EQ(parsed.as_double(), std::strtod(text, nullptr)) << text;
    std::string written = json_text::to_json(parsed);
    EXPECT_EQ(bits_of(json_text::parse(written)), bits_of(parsed)) << text;
  }
  // Doubles of every size and sign, drawn from their bits.
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 20000; ++i) {
    double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    std::string written = json_text::to_json(json::value(value));
    json::value parsed = json_text::parse(written);
    ASSERT_TRUE(parsed.is_double()) << written;
    ASSERT_EQ(bits_of(parsed), std::bit_cast<std::uint64_t>(value)) << written;
  }
}

TEST(JsonNumbers, LongAndHalfwayDecimalsRoundToTheNearestDouble) {
  // 2^53 + 1 lies halfway between two doubles: to the even one, and just above it upwards.
  EXPECT_EQ(json_text::parse("9007199254740993.0").as_double(), 9007199254740992.0);
  EXPECT_EQ(json_text::parse("9007199254740993.000000000000000000001").as_double(),
            9007199254740994.0);
  // The exact value of the double nearest 0.1, and a digit more than it.
  EXPECT_EQ(
      json_text::parse("0.1000000000000000055511151231257827021181583404541015625").as_double(),
      0.1);
  EXPECT_EQ(json_text::parse("2.4703282292062328e-324").as_double(), 5e-324);
  // Too small to tell from zero: zero with its sign, as the text reads.
  EXPECT_EQ(bits_of(json_text::parse("1e-400")), bits_of(json::value(0.0)));
  EXPECT_EQ(bits_of(json_text::parse("-0.0000001e-330")), bits_of(json::value(-0.0)));
  EXPECT_EQ(json_text::to_json(json_text::parse("[-0.0, 0e999]")), "[-0.0,0.0]");
}

TEST(JsonNumbers, IntegersStayIntegersWhereTheyFit) {
  EXPECT_EQ(json_text::parse("9223372036854775807"), json::value(INT64_MAX));
  EXPECT_EQ(json_text::parse("-9223372036854775808"), json::value(INT64_MIN));
  EXPECT_TRUE(json_text::parse("-0").is_int64());
  EXPECT_EQ(json_text::parse("9007199254740993"), json::value(std::int64_t{9007199254740993}));
  EXPECT_EQ(json_text::parse("18446744073709551615"), json::value(UINT64_MAX));
  // Beyond 64 bits an integer becomes the nearest double.
  json::value large = json_text::parse("-9223372036854775809");
  ASSERT_TRUE(large.is_double());
  EXPECT_EQ(large.as_double(), -9223372036854775808.0);
  EXPECT_EQ(json_text::to_json(json_text::parse("123456789012345678901234567890")),
            "1.2345678901234568e+29");
}

TEST(JsonNumbers, NumberBeyondTheRangeOfADoubleIsMalformed) {
  auto message = [](std::string_view text) {
    try {
      json_text::parse(text);
    } catch (const json_text::JsonError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message("1e999"),
            "number out of range (1e999; a number must be smaller than 1.8e308 in size) at "
            "line 1 column 1 (char 0)");
  EXPECT_EQ(message("{\"a\": [1,\n -1.8e308]}"),
            "number out of range (-1.8e308; a number must be smaller than 1.8e308 in size) at "
            "line 2 column 2 (char 11)");
  EXPECT_THAT(
      message("[" + std::string(400, '9') + "]"),
      ::testing::StartsWith("number out of range (9999999999999999999999999999999999999999...;"));
  EXPECT_THAT(message("[0.5e99999999999999999999]"),
              ::testing::StartsWith("number out of range (0.5e"));
  EXPECT_THAT(message("[1e-99999999999999999999]"),
              ::testing::EndsWith("at line 1 column 2 (char 1)"));
  EXPECT_EQ(message("1.7976931348623157e308"), "accepted");
}

TEST(Unicode, LowerCaseAndCharacterClasses) {
  EXPECT_EQ(unicode::lower("ABC \xc3\x84\xc3\x96"), "abc \xc3\xa4\xc3\xb6");
  EXPECT_EQ(unicode::lower("\xc4\xb0"), "i\xcc\x87");  // full mapping grows the text
  EXPECT_TRUE(unicode::is_alnum(U'\u00e9'));
  EXPECT_TRUE(unicode::is_alnum(U'\u00b2'));   // superscript two has a numeric value
  EXPECT_TRUE(unicode::is_alnum(U'\u2163'));   // roman numeral four
  EXPECT_FALSE(unicode::is_alnum(U'\u0301'));  // combining acute accent
  EXPECT_FALSE(unicode::is_alnum(U'_'));
  EXPECT_TRUE(unicode::is_space(U'\u3000'));
  EXPECT_EQ(unicode::trim("\xe3\x80\x80 x y\t\n"), "x y");
  EXPECT_EQ(unicode::display_width("a\xe4\xb8\xad"
                                   "e\xcc\x81"),
            4u);
  EXPECT_EQ(unicode::invalid_utf8_at("ab\xff"), 2u);
  EXPECT_FALSE(unicode::invalid_utf8_at("ok \xc3\xa9").has_value());
}

TEST(Unicode, DecodeNextStepsOverOneCharacterOrOneIllFormedPart) {
  const std::string text = "a\xc3\xa9\xe3\x80\x80\xff\xe3\x80z";
  std::size_t pos = 0;
  EXPECT_EQ(unicode::decode_next(text, pos), U'a');
  EXPECT_EQ(unicode::decode_next(text, pos), U'\u00e9');
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(unicode::decode_next(text, pos), U'\u3000');
  EXPECT_EQ(unicode::decode_next(text, pos), U'\ufffd');  // a stray byte
  EXPECT_EQ(pos, 7u);
  EXPECT_EQ(unicode::decode_next(text, pos), U'\ufffd');  // a sequence cut short
  EXPECT_EQ(unicode::decode_next(text, pos), U'z');
  EXPECT_EQ(pos, text.size());
}

// The key that read_key makes of a group's content, or its fault.
struct ReadKey {
  slot_path::KeyFault fault;
  slot_path::Key key;
  std::string scratch;
  explicit ReadKey(std::string_view content) { fault = slot_path::read_key(content, key, scratch); }
  std::string text() const { return key.is_text ? std::string(key.text) : "<not a text>"; }
};

TEST(SlotPathGrammar, IntegersAreListPositionsWithinTheRangeOfInt64) {
  using slot_path::KeyFault;
  const std::pair<const char*, std::int64_t> read[] = {{"0", 0},
                                                       {"00", 0},
                                                       {"-0", 0},
                                                       {"+3", 3},
                                                       {" \t-2\t ", -2},
                                                       {"9223372036854775807", INT64_MAX},
                                                       {"-9223372036854775808", INT64_MIN}};
  for (auto [content, index] : read) {
    ReadKey key(content);
    EXPECT_EQ(key.fault, KeyFault::kNone) << content;
    EXPECT_FALSE(key.key.is_text) << content;
    EXPECT_EQ(key.key.index, index) << content;
  }
  const std::pair<const char*, KeyFault> refused[] = {
      {"", KeyFault::kEmpty},
      {" \t", KeyFault::kEmpty},
      {"+", KeyFault::kNotALiteral},
      {"1.5", KeyFault::kNotALiteral},
      {"1 2", KeyFault::kNotALiteral},
      {"a", KeyFault::kNotALiteral},
      {"01", KeyFault::kLeadingZero},
      {"-007", KeyFault::kLeadingZero},
      {"9223372036854775808", KeyFault::kOutOfRange},
      {"-9223372036854775809", KeyFault::kOutOfRange},
      {"99999999999999999999999", KeyFault::kOutOfRange}};
  for (auto [content, fault] : refused) EXPECT_EQ(ReadKey(content).fault, fault) << content;
}

TEST(SlotPathGrammar, QuotedTextsEndAtTheirClosingQuote) {
  using slot_path::KeyFault;
  ReadKey plain(" 'tank' ");
  EXPECT_EQ(plain.fault, KeyFault::kNone);
  EXPECT_EQ(plain.text(), "tank");
  // Without escapes the key is the literal's own text, not a copy.
  std::string_view content = "\"it's\"";
  ReadKey quoted_key(content);
  EXPECT_EQ(quoted_key.text(), "it's");
  EXPECT_EQ(quoted_key.key.text.data(), content.data() + 1);
  EXPECT_EQ(ReadKey("''").text(), "");
  // A carriage return is a character of the text; a line feed ends the line unclosed.
  EXPECT_EQ(ReadKey("'a\rb'").text(), "a\rb");
  for (const char* content : {"'a", "'a'x", "'a\\'", "'a\nb'", "'a'b'", "\"a'"}) {
    EXPECT_EQ(ReadKey(content).fault, KeyFault::kUnclosedText) << content;
  }
}

TEST(SlotPathGrammar, EscapesDecodeToUtf8) {
  EXPECT_EQ(ReadKey(R"('\\\'\"\a\b\f\n\r\t\v')").text(), "\\'\"\a\b\f\n\r\t\v");
  EXPECT_EQ(ReadKey(R"('\q\[')").text(), "\\q\\[");  // unknown escapes keep their backslash
  EXPECT_EQ(ReadKey("'a\\\nb'").text(), "ab");       // a backslash before a line break
  EXPECT_EQ(ReadKey(R"('\101\0\1234\7')").text(), std::string("A\0S4\a", 5));
  EXPECT_EQ(ReadKey(R"('\x5b\x5D\u00e9\U0001F600')").text(), "[]\xc3\xa9\xf0\x9f\x98\x80");
  ReadKey escaped(R"('a\x41')");
  EXPECT_EQ(escaped.text(), "aA");
  EXPECT_EQ(escaped.key.text.data(), escaped.scratch.data());

  using slot_path::KeyFault;
  const std::pair<const char*, KeyFault> refused[] = {
      {R"('\x4')", KeyFault::kTruncatedEscape},       {R"('\u12')", KeyFault::kTruncatedEscape},
      {R"('\U0001F60')", KeyFault::kTruncatedEscape}, {R"('\xg1')", KeyFault::kNotHexadecimal},
      {R"('\u12 4')", KeyFault::kNotHexadecimal},     {R"('\U00110000')", KeyFault::kBeyondUnicode},
      {R"('\Uffffffff')", KeyFault::kBeyondUnicode}};
  for (auto [content, fault] : refused) EXPECT_EQ(ReadKey(content).fault, fault) << content;
}

TEST(SlotPathGrammar, SurrogateEscapesMakeACharacterOnlyAsAPair) {
  using slot_path::KeyFault;
  EXPECT_EQ(ReadKey(R"('\ud83d\ude00')").text(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(ReadKey(R"('x\uD83D\uDE00y')").text(), "x\xf0\x9f\x98\x80y");
  EXPECT_EQ(ReadKey(R"('\udbff\udfff')").text(), "\xf4\x8f\xbf\xbf");  // U+10FFFF
  EXPECT_EQ(ReadKey(R"('\ud800\udc00')").text(), "\xf0\x90\x80\x80");  // U+10000
  // No UTF-8 text holds a surrogate: each of these is refused, never written as bytes.
  for (const char* content :
       {R"('\ud83d')", R"('\ude00')", R"('\ude00\ud83d')", R"('\ud83dx')", R"('\ud83d\u0041')",
        R"('\ud83d\\ude00')", R"('\ud83d\ud83d')", R"('\ud83d\ude0')", R"('\U0000d83d')",
        R"('\ud83d\U0000de00')", R"('\udfff')", R"('\ud800')"}) {
    EXPECT_EQ(ReadKey(content).fault, KeyFault::kLoneSurrogate) << content;
  }
  EXPECT_EQ(std::string(slot_path::fault_text(KeyFault::kLoneSurrogate)),
            "escapes a lone surrogate, which is not a Unicode character on its own");
}

// The parts of a path as "kind@offset:text" for groups (g), stray text (s) and unclosed
// groups (u).
std::vector<std::string> parts(std::string_view path) {
  std::vector<std::string> out;
  slot_path::Scanner scanner(path);
  slot_path::Part part;
  while (scanner.next(part)) {
    const char* kind = part.kind == slot_path::Part::Kind::kGroup   ? "g"
                       : part.kind == slot_path::Part::Kind::kStray ? "s"
                                                                    : "u";
    out.push_back(kind + ("@" + std::to_string(part.offset)) + ":" + std::string(part.text));
  }
  return out;
}

TEST(SlotPathGrammar, ScannerHandsOutGroupsAndFaultsInOrder) {
  using Parts = std::vector<std::string>;
  EXPECT_EQ(parts("['a'][1]"), (Parts{"g@0:'a'", "g@5:1"}));
  EXPECT_EQ(parts("  [0]\n"), (Parts{"g@2:0"}));
  EXPECT_EQ(parts("[ 'x y' ]"), (Parts{"g@0: 'x y' "}));
  EXPECT_EQ(parts(""), Parts{});
  EXPECT_EQ(parts(" \t\r\n\v\f"), Parts{});
  // White space of all Unicode may surround the path, but not stand between its groups.
  EXPECT_EQ(parts("\xe3\x80\x80[0]\xc2\xa0"), (Parts{"g@3:0"}));
  EXPECT_EQ(parts("[0]\xc2\xa0[1]"), (Parts{"g@0:0", "s@3:\xc2\xa0", "g@5:1"}));
  EXPECT_EQ(parts("[0] [1]"), (Parts{"g@0:0", "s@3: ", "g@4:1"}));
  // After a fault the walk goes on at the next "[".
  EXPECT_EQ(parts("x[a]"), (Parts{"s@0:x", "g@1:a"}));
  EXPECT_EQ(parts("obs.x[0].y"), (Parts{"s@0:o", "g@5:0", "s@8:."}));
  EXPECT_EQ(parts("[[0]]"), (Parts{"u@0:[", "g@1:0", "s@4:]"}));
  EXPECT_EQ(parts("[0"), (Parts{"u@0:["}));
  EXPECT_EQ(parts("[0]['a"), (Parts{"g@0:0", "u@3:["}));
  // A stray character is whole, however many bytes it takes; an ill-formed byte is one.
  EXPECT_EQ(parts("\xc3\xa9[0]"), (Parts{"s@0:\xc3\xa9", "g@2:0"}));
  EXPECT_EQ(parts("\xff[0]"), (Parts{"s@0:\xff", "g@1:0"}));
}

TEST(Console, MarkupTagsBecomeStylesOrVanishButNeverPrint) {
  EXPECT_EQ(render_markup("[green]✓[/green] Done", false), "✓ Done");
  EXPECT_EQ(render_markup("[green]✓[/green] Done", true), "\x1b[32m✓\x1b[0m Done");
  EXPECT_EQ(render_markup("[red]a [dim]b[/dim] c[/red]", true),
            "\x1b[31ma \x1b[2mb\x1b[0m\x1b[31m c\x1b[0m");
  EXPECT_EQ(render_markup("slot [0] and [x]", false), "slot [0] and [x]");
  EXPECT_EQ(render_markup(escape_markup("a [red]b\\"), false), "a [red]b\\");
  EXPECT_EQ(render_markup("[yellow]open", true), "\x1b[33mopen\x1b[0m");
}

TEST(Console, SinkGetsPlainLinesAndStatusObserverSeesTransientTexts) {
  Console console;
  std::string out;
  std::vector<std::string> statuses;
  console.set_sink([&](std::string_view text) { out += text; });
  console.set_status_observer([&](const std::string& text) { statuses.push_back(text); });
  {
    auto status = console.status("Starting...");
    console.print("[green]✓[/green] one");
    status.update("Step 2");
  }
  EXPECT_EQ(out, "✓ one\n");
  EXPECT_EQ(statuses, (std::vector<std::string>{"Starting...", "Step 2", ""}));
}

TEST(Console, TablesHaveTitleHeaderAndAlignedCells) {
  Table table{"Simulation report",
              {"Report", "Score", "Use cases"},
              {{"[green]ready[/green]", "87.5", "A, B"}}};
  std::string text = render_table(table, false);
  EXPECT_EQ(text,
            "Simulation report\n"
            "┏━━━━━━━━┳━━━━━━━┳━━━━━━━━━━━┓\n"
            "┃ Report ┃ Score ┃ Use cases ┃\n"
            "┡━━━━━━━━╇━━━━━━━╇━━━━━━━━━━━┩\n"
            "│ ready  │ 87.5  │ A, B      │\n"
            "└────────┴───────┴───────────┘\n");
}

TEST(Console, ControlCharactersInTableCellsAreShownEscapedOnTheirLine) {
  // A newline in a name must not forge a row, nor an escape code restyle the table.
  Table table{"Sims\x1b[2J", {"Name", "ID"}, {{"Tank\n│ Forged │ x", "[red]s-1\x1b[0m"}}};
  EXPECT_EQ(render_table(table, false),
            "Sims\\x1b[2J\n"
            "┏━━━━━━━━━━━━━━━━━━━━━━┳━━━━━━━━━━━━┓\n"
            "┃ Name                 ┃ ID         ┃\n"
            "┡━━━━━━━━━━━━━━━━━━━━━━╇━━━━━━━━━━━━┩\n"
            "│ Tank\\x0a│ Forged │ x │ s-1\\x1b[0m │\n"
            "└──────────────────────┴────────────┘\n");
}

TEST(Printable, EscapesWhatCouldSteerOrReorderTheTerminal) {
  struct Case {
    std::string text;
    std::string message;  // line breaks kept
    std::string name;     // on one line
  };
  const std::vector<Case> cases = {
      {"plain caf\xc3\xa9 \xef\xbf\xbd", "plain caf\xc3\xa9 \xef\xbf\xbd",
       "plain caf\xc3\xa9 \xef\xbf\xbd"},
      {"a\nb\tc\r", "a\nb\tc\\x0d", "a\\x0ab\\x09c\\x0d"},
      {"\x1b[2J\x7f\xc2\x9b", "\\x1b[2J\\x7f\\x9b", "\\x1b[2J\\x7f\\x9b"},
      // Bidirectional controls, and bytes that are not UTF-8 (a lone 8-bit CSI among them).
      {"\xe2\x80\xae"
       "evil\xe2\x81\xa6\xe2\x81\xa9",
       "\\u202eevil\\u2066\\u2069", "\\u202eevil\\u2066\\u2069"},
      {"\x9b\xff\xe2\x80", "\\x9b\\xff\\xe2\\x80", "\\x9b\\xff\\xe2\\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(printable(c.text), c.message) << c.text;
    EXPECT_EQ(printable_name(c.text), c.name) << c.text;
  }
}

TEST(ErrorHelpers, TypeNamesAreUnqualified) {
  EXPECT_EQ(type_name(std::make_exception_ptr(TimeoutError("x"))), "TimeoutError");
  EXPECT_EQ(type_name(std::make_exception_ptr(std::out_of_range("x"))), "out_of_range");
  EXPECT_EQ(type_name(std::make_exception_ptr(Interrupted{})), "Interrupted");
  EXPECT_TRUE(is_interrupt(std::make_exception_ptr(Interrupted{})));
  EXPECT_FALSE(is_interrupt(std::make_exception_ptr(std::runtime_error("x"))));
  EXPECT_EQ(error_text(std::make_exception_ptr(KeyError("jobId"))), "missing member 'jobId'");
}

TEST(Async, AsyncToSyncReturnsResultsAndRethrows) {
  auto twice = async_to_sync([](int x) -> awaitable<int> {
    co_await sleep_for(1ms);
    co_return 2 * x;
  });
  EXPECT_EQ(twice(21), 42);
  auto fails = async_to_sync([]() -> awaitable<void> {
    throw std::runtime_error("boom");
    co_return;
  });
  EXPECT_THROW(fails(), std::runtime_error);
}

TEST(Async, TimeLimitCancelsTheSlowOperationAndRaisesTimeoutError) {
  bool cancelled = false;
  auto slow = [&]() -> awaitable<int> {
    try {
      co_await sleep_for(10s);
    } catch (const Interrupted&) {
      cancelled = true;
      throw;
    }
    co_return 1;
  };
  auto run =
      async_to_sync([&]() -> awaitable<void> { co_await with_timeout(slow(), 0.05, "too slow"); });
  auto start = std::chrono::steady_clock::now();
  try {
    run();
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "too slow");
  }
  EXPECT_TRUE(cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  auto fast = async_to_sync([]() -> awaitable<int> {
    auto op = []() -> awaitable<int> { co_return 7; };
    co_return co_await with_timeout(op(), 5, "never");
  });
  EXPECT_EQ(fast(), 7);
}

TEST(Async, WorkerRunsBlockingCodeWhileTheLoopStaysFree) {
  auto run = async_to_sync([]() -> awaitable<int> {
    int ticks = 0;
    auto ticker = [&]() -> awaitable<void> {
      for (int i = 0; i < 5; ++i) {
        co_await sleep_for(5ms);
        ++ticks;
      }
    };
    using namespace boost::asio::experimental::awaitable_operators;
    auto work = run_on_worker<int>([](std::stop_token) {
      std::this_thread::sleep_for(100ms);
      return 5;
    });
    auto result = co_await (std::move(work) && ticker());
    co_return result + ticks;
  });
  EXPECT_EQ(run(), 10);
}

TEST(Async, RunAllEndsWithTheFirstFailureAndCancelsTheOthers) {
  // Body 1 fails after a moment; 0 and 2 would wait for ever, 3 ends at once.
  std::vector<std::string> ends(4);
  auto body = [&](std::size_t i) -> awaitable<void> {
    try {
      if (i == 1) {
        co_await sleep_for(5ms);
        throw std::runtime_error("body 1 failed");
      }
      if (i != 3) co_await sleep_for(1h);
      ends[i] = "done";
    } catch (const Interrupted&) {
      ends[i] = "interrupted";
      throw;
    }
  };
  auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(
      {
        try {
          async_to_sync([&]() -> awaitable<void> { co_await run_all(4, body); })();
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "body 1 failed");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
  EXPECT_EQ(ends, (std::vector<std::string>{"interrupted", "", "interrupted", "done"}));
  // None at all, and all succeeding.
  async_to_sync([&]() -> awaitable<void> { co_await run_all(0, body); })();
  ends.assign(4, "");
  std::function<awaitable<void>(std::size_t)> mark = [&](std::size_t i) -> awaitable<void> {
    ends[i] = "done";
    co_return;
  };
  async_to_sync([&]() -> awaitable<void> { co_await run_all(2, mark); })();
  EXPECT_EQ(ends, (std::vector<std::string>{"done", "done", "", ""}));
}

TEST(Async, SigintInterruptsTheBodyAndCleanupStillAwaits) {
  bool cleaned = false;
  auto body = async_to_sync([&]() -> awaitable<void> {
    std::exception_ptr failure;
    std::thread([] {
      std::this_thread::sleep_for(50ms);
      ::kill(::getpid(), SIGINT);
    }).detach();
    try {
      co_await run_on_worker<void>([](std::stop_token stop) {
        while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
      });
    } catch (...) {
      failure = std::current_exception();
    }
    // Clean-up after an interrupt can still await, once it has reset the cancellation.
    co_await boost::asio::this_coro::reset_cancellation_state();
    co_await sleep_for(1ms);
    cleaned = true;
    std::rethrow_exception(failure);
  });
  EXPECT_THROW(body(), Interrupted);
  EXPECT_TRUE(cleaned);
}

// Yields to the event loop: the completion is queued at once, so a cancellation that comes
// meanwhile finds no operation to stop.
awaitable<void> yield_once() {
  co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
}

TEST(Async, CancellationBetweenTwoAwaitsIsNotLost) {
  // A time limit over an operation that only ever yields: every cancellation lands between
  // two of its awaits.
  int yields = 0;
  auto poll = [&]() -> awaitable<void> {
    while (yields < 10'000'000) {
      ++yields;
      co_await yield_once();
    }
  };
  auto limited = async_to_sync(
      [&]() -> awaitable<void> { co_await with_timeout(poll(), 0.05, "polled too long"); });
  EXPECT_THROW(limited(), TimeoutError);
  EXPECT_LT(yields, 10'000'000);

  // An interrupt of such a body ends it as Interrupted, and clean-up still runs.
  bool cleaned = false;
  int rounds = 0;
  auto interrupted = async_to_sync([&]() -> awaitable<void> {
    std::exception_ptr failure;
    try {
      while (rounds < 10'000'000) {
        if (++rounds == 100) ::kill(::getpid(), SIGINT);
        co_await yield_once();
      }
    } catch (...) {
      failure = std::current_exception();
    }
    co_await boost::asio::this_coro::reset_cancellation_state();
    co_await yield_once();
    cleaned = true;
    if (failure) std::rethrow_exception(failure);
  });
  EXPECT_THROW(interrupted(), Interrupted);
  EXPECT_LT(rounds, 10'000'000);
  EXPECT_TRUE(cleaned);
}

class HttpServer {
 public:
  HttpServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~HttpServer() {
    server_.stop();
    thread_.join();
  }
  httplib::Server& server() { return server_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

TEST(Http, SendsTheRequestAndReturnsAnyStatus) {
  HttpServer peer;
  peer.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.status = 418;
    res.set_content(req.get_header_value("X-Test") + ":" + req.body, "text/plain");
  });
  http::Request request;
  request.method = "POST";
  request.url = peer.url("/echo");
  request.headers = {{"X-Test", "yes"}};
  request.body = "hello";
  http::Response response = http::perform(request);
  EXPECT_EQ(response.status, 418);
  EXPECT_EQ(response.body, "yes:hello");
  EXPECT_THROW(http::raise_for_status(http::Response{500, "", ""}, "u"), http::HTTPStatusError);
  try {
    http::raise_for_status(http::Response{503, "", ""}, "http://x/y");
  } catch (const http::HTTPStatusError& e) {
    EXPECT_STREQ(e.what(), "HTTP 503 Service Unavailable from http://x/y");
  }
}

TEST(Http, OnlyAServerOffThisMachineIsAskedToCompress) {
  for (const char* url : {"http://127.0.0.1:8700/ml/x", "http://127.1.2.3/", "http://localhost:9/",
                          "http://LOCALHOST/", "http://node.localhost/", "http://[::1]:80/",
                          "https://user@127.0.0.1/"}) {
    EXPECT_TRUE(http::is_loopback_url(url)) << url;
  }
  for (const char* url : {"http://10.0.0.1/", "http://128.0.0.1/", "https://node.example.com/",
                          "http://localhost.example.com/", "http://[::2]/",
                          "http://127.0.0.1.example/", "not a url", ""}) {
    EXPECT_FALSE(http::is_loopback_url(url)) << url;
  }
  HttpServer peer;
  peer.server().Get("/encoding", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("[" + req.get_header_value("Accept-Encoding") + "]", "text/plain");
  });
  http::Request request;
  request.url = peer.url("/encoding");
  EXPECT_EQ(http::perform(request).body, "[]");
}

TEST(Http, IdleTimeoutBoundsEachWaitForData) {
  HttpServer peer;
  peer.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(600ms);
    res.set_content("late", "text/plain");
  });
  http::Request request;
  request.url = peer.url("/slow");
  request.idle_timeout_s = 0.2;
  auto start = std::chrono::steady_clock::now();
  try {
    http::perform(request);
    FAIL();
  } catch (const http::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("no answer within 0.2 s"), std::string::npos) << e.what();
  }
  // The answer would have come after 600 ms.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 590ms);
}

// A server that sends its answer one byte at a time, a byte every 20 ms, until the client
// goes: `prefix` first (the status line and headers), then `filler` over and over.
class TricklingServer {
 public:
  TricklingServer(std::string prefix, std::string filler)
      : prefix_(std::move(prefix)), filler_(std::move(filler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::system_error(errno, std::generic_category(), "trickling server");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TricklingServer() {
    done_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  void serve() {
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char request[4096];
    [[maybe_unused]] ssize_t got = ::recv(client, request, sizeof request, 0);
    std::string text = prefix_;
    for (std::size_t i = 0; !done_; ++i) {
      if (i == text.size()) text += filler_;
      if (::send(client, &text[i], 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(20ms);
    }
    ::close(client);
  }

  std::string prefix_;
  std::string filler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(Http, TheWholeRequestIsBoundedWhenTheServerTrickles) {
  // Headers that never end, and a chunked body that never ends: each byte comes well within
  // the idle limit, so only the overall limit ends the request.
  for (auto [prefix, filler] :
       {std::pair<std::string, std::string>{"HTTP/1.1 200 OK\r\n", "X: y\r\n"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\nx\r\n"}}) {
    TricklingServer peer(prefix, filler);
    http::Request request;
    request.url = peer.url();
    request.idle_timeout_s = 5;
    request.total_timeout_s = 0.3;
    try {
      http::perform(request);
      FAIL() << prefix;
    } catch (const http::TransportError& e) {
      EXPECT_NE(std::string(e.what()).find("no complete answer within 0.3 s"), std::string::npos)
          << e.what();
    }
  }
}

TEST(Http, AnswersAreBoundedInSize) {
  HttpServer peer;
  peer.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(3 << 20, 'x'), "text/plain");
  });
  http::Request request;
  request.url = peer.url("/big");
  request.max_response_bytes = 1 << 20;
  try {
    http::perform(request);
    FAIL();
  } catch (const http::ResponseTooLarge& e) {
    EXPECT_NE(std::string(e.what()).find("larger than 1 MiB"), std::string::npos) << e.what();
  }
}

TEST(Http, StreamingHandsOnTheBodyAndKeepsAnErrorBodyUpToItsBound) {
  HttpServer peer;
  std::string text(200000, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  peer.server().Get("/ok", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(text, "text/plain");
  });
  peer.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(std::string(3 << 20, 'x'), "text/plain");
  });
  std::string received;
  int pieces = 0;
  http::BodyStream stream;
  stream.on_piece = [&](std::string_view piece) {
    received += piece;
    ++pieces;
  };
  http::Request request;
  request.url = peer.url("/ok");
  http::Response response = http::perform_streaming(request, stream);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(received, text);
  EXPECT_GT(pieces, 1);

  received.clear();
  request.url = peer.url("/missing");
  stream.max_kept_bytes = 1000;
  response = http::perform_streaming(request, stream);
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.body, std::string(1000, 'x'));
  EXPECT_EQ(received, "");

  // The answer's bound counts the bytes handed on.
  request.url = peer.url("/ok");
  request.max_response_bytes = 100000;
  EXPECT_THROW(http::perform_streaming(request, stream), http::ResponseTooLarge);
  EXPECT_LE(received.size(), 100000u);
}

TEST(Http, AnErrorOfTheStreamEndsTheTransferAndLeavesUnchanged) {
  HttpServer peer;
  peer.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(8 << 20, 'y'), "text/plain");
  });
  int pieces = 0;
  http::BodyStream stream;
  stream.on_piece = [&](std::string_view) {
    ++pieces;
    throw std::domain_error("enough");
  };
  http::Request request;
  request.url = peer.url("/big");
  try {
    http::perform_streaming(request, stream);
    FAIL();
  } catch (const std::domain_error& e) {
    EXPECT_STREQ(e.what(), "enough");
  }
  EXPECT_EQ(pieces, 1);
}

// A source of `size` bytes of a repeating pattern, `piece` bytes at most per read; `fail_at`
// is where it throws, `end_at` where it ends early (past the size: never).
http::BodySource pattern_source(std::size_t size, std::size_t piece, int* opened,
                                std::size_t fail_at = SIZE_MAX, std::size_t end_at = SIZE_MAX) {
  http::BodySource source;
  source.size = size;
  source.open = [=] {
    ++*opened;
    auto offset = std::make_shared<std::size_t>(0);
    return http::BodyPieces([=](char* out, std::size_t n) -> std::size_t {
      n = std::min({n, piece, std::min(size, end_at) - *offset});
      if (*offset + n > fail_at) throw std::domain_error("the body cannot be made");
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + (*offset + i) % 26);
      *offset += n;
      return n;
    });
  };
  return source;
}

TEST(Http, ABodySourceIsSentWholeWithItsSizeAnnounced) {
  HttpServer peer;
  std::string length;
  std::string received;
  peer.server().Post("/in", [&](const httplib::Request& req, httplib::Response& res) {
    length = req.get_header_value("Content-Length");
    received = req.body;
    res.set_content("{}", "application/json");
  });
  int opened = 0;
  http::Request request;
  request.method = "POST";
  request.url = peer.url("/in");
  request.headers = {{"Content-Type", "application/octet-stream"}};
  request.body = "not this";
  request.body_source = pattern_source(3'000'001, 1000, &opened);
  EXPECT_EQ(http::perform(request).status, 200);
  EXPECT_EQ(length, "3000001");
  ASSERT_EQ(received.size(), 3'000'001u);
  bool pattern = true;
  for (std::size_t i = 0; i < received.size(); ++i) {
    pattern = pattern && received[i] == static_cast<char>('a' + i % 26);
  }
  EXPECT_TRUE(pattern);
  EXPECT_EQ(opened, 1);
}

TEST(Http, ABodySourceThatFailsOrEndsShortEndsTheTransferWithItsError) {
  HttpServer peer;
  std::atomic<int> answered{0};
  peer.server().Post("/in", [&](const httplib::Request&, httplib::Response& res) {
    ++answered;
    res.set_content("{}", "application/json");
  });
  int opened = 0;
  http::Request request;
  request.method = "POST";
  request.url = peer.url("/in");
  request.headers = {{"Content-Type", "application/octet-stream"}};
  request.idle_timeout_s = 5;
  request.body_source = pattern_source(1 << 20, 4096, &opened, 300000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(http::perform(request), std::domain_error);
  request.body_source = pattern_source(1 << 20, 4096, &opened, SIZE_MAX, 300000);
  try {
    http::perform(request);
    FAIL() << "a body that ended short was sent";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "a request body ended after 300000 of its 1048576 bytes");
  }
  // Neither waited for the idle limit, and the server never took either as a request.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(answered, 0);
}

TEST(Http, UnreachableServerIsATransportErrorNamingTheUrl) {
  testing::RefusingPort nobody;
  http::Request request;
  request.url = nobody.url() + "/nothing";
  try {
    http::perform(request);
    FAIL();
  } catch (const http::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("Could not reach " + nobody.url() + "/nothing"),
              std::string::npos);
  }
}

TEST(Http, StopTokenEndsTheTransferAtOnce) {
  HttpServer peer;
  peer.server().Get("/hang", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(800ms);
    res.set_content("x", "text/plain");
  });
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    stop.request_stop();
  });
  http::Request request;
  request.url = peer.url("/hang");
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(http::perform(request, stop.get_token()), Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 750ms);  // the answer comes at 800 ms
  stopper.join();
}

TEST(Http, PercentEncodesAllButUnreservedCharacters) {
  EXPECT_EQ(http::percent_encode("a b/c?d=é~._-"), "a%20b%2Fc%3Fd%3D%C3%A9~._-");
  EXPECT_EQ(http::percent_encode(""), "");
}

TEST(Http, DotSegmentsReachTheServerAsTheyAre) {
  EXPECT_EQ(http::percent_encode("."), "%2E");
  EXPECT_EQ(http::percent_encode(".."), "%2E%2E");
  EXPECT_EQ(http::percent_encode("..."), "...");
  EXPECT_EQ(http::percent_encode(".a."), ".a.");
  HttpServer peer;
  std::vector<std::string> targets;
  peer.server().Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    targets.push_back(req.target);
    res.set_content("x", "text/plain");
  });
  for (std::string segment : {".", ".."}) {
    http::Request request;
    request.url = peer.url("/datasets/" + http::percent_encode(segment));
    EXPECT_EQ(http::perform(request).status, 200);
  }
  EXPECT_EQ(targets, (std::vector<std::string>{"/datasets/%2E", "/datasets/%2E%2E"}));
}

TEST(Sha256File, DigestsWholeFilesAndReportsMissingOnes) {
  testing::TempDir dir;
  testing::write_file(dir / "empty", "");
  EXPECT_EQ(sha256_file(dir / "empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string chunk(std::size_t{1} << 20, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 7 + 3) % 251);
  testing::write_file(dir / "one-chunk", chunk);
  EXPECT_EQ(sha256_file(dir / "one-chunk"),
            "1ac437f476c488acba4000af7ae89ef53f7ffbeef2e937850985f5ceb8b5ae6f");
  testing::write_file(dir / "one-chunk-and-a-byte", chunk + "!");
  EXPECT_EQ(sha256_file(dir / "one-chunk-and-a-byte"),
            "bea32fea31af1951590879729d92c62a9096e147051891a029d5bb12e70472fc");
  try {
    sha256_file(dir / "missing.zip");
    ADD_FAILURE();
  } catch (const std::filesystem::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(error.what()).find("missing.zip"), std::string::npos);
  }
  EXPECT_THROW(sha256_file(dir.path()), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace velko
