// Tests of the guidance module: the manifest and its checks, scaffolding, publishing.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/async.h"
#include "common/json_text.h"
#include "main/guidance/guidance_library.h"
#include "main/guidance/manifest.h"
#include "main/guidance/publish.h"
#include "main/guidance/reward_file.h"
#include "main/guidance/scaffold.h"
#include "tests/support/testing.h"

namespace velko::guidance {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using ::testing::HasSubstr;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Runs a test inside a directory and goes back afterwards.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path) : previous_(fs::current_path()) {
    fs::current_path(path);
  }
  ~InDirectory() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

// The message of the GuidanceManifestError that `fn` throws, or a note that it threw none.
template <class Fn>
std::string manifest_error(Fn fn) {
  try {
    fn();
  } catch (const GuidanceManifestError& error) {
    return error.what();
  }
  return "(no GuidanceManifestError)";
}

std::string error_of(const std::string& directory) {
  return manifest_error([&] { read_manifest(directory); });
}

std::set<std::string> entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// An item directory holding `manifest` as its guidance.json.
std::string item(const TempDir& temp, const std::string& manifest,
                 const std::string& name = "item") {
  std::string directory = temp / name;
  fs::create_directories(directory);
  write_file(directory + "/guidance.json", manifest);
  return directory;
}

const std::string kTypes = "goal, constraint, successCriteria, reward";
const std::string kM4 = "guidance.json needs a non-empty \"name\"";
const std::string kM5 = "guidance.json \"type\" must be one of: " + kTypes;
const std::string kM6 = "A reward item is code: give it a \"file\", not \"conditions\"";

// ---------------------------------------------------------------------------------------
// Constants and path operations

TEST(ManifestConstants, NameTheFilesAndTypes) {
  EXPECT_EQ(MANIFEST, "guidance.json");
  EXPECT_EQ(DEFAULT_REWARD_FILE, "reward.py");
  EXPECT_EQ(types_list(), kTypes);
  for (auto type : {"goal", "constraint", "successCriteria", "reward"}) EXPECT_TRUE(is_type(type));
  for (auto type : {"Goal", "success_criteria", "successcriteria", "", "rewards", " goal"}) {
    EXPECT_FALSE(is_type(type)) << type;
  }
  EXPECT_FALSE(is_type(std::string_view("goal\0", 5)));
}

TEST(PathJoining, PutsOneSeparatorBetween) {
  EXPECT_EQ(join_path("dir", "guidance.json"), "dir/guidance.json");
  EXPECT_EQ(join_path("dir/", "guidance.json"), "dir/guidance.json");
  EXPECT_EQ(join_path("./", "x"), "./x");
  EXPECT_EQ(join_path("", "x"), "x");
  EXPECT_EQ(join_path("dir", "/abs/file.py"), "/abs/file.py");
  EXPECT_EQ(join_path("dir", "sub/file.py"), "dir/sub/file.py");
  EXPECT_EQ(join_path("dir", ""), "dir/");
}

TEST(AbsoluteForm, NormalisesLexicallyAgainstTheWorkingDirectory) {
  TempDir temp;
  std::string base = fs::canonical(temp.path()).string();
  InDirectory here(base);
  EXPECT_EQ(absolute_form(""), base);
  EXPECT_EQ(absolute_form("."), base);
  EXPECT_EQ(absolute_form("./"), base);
  EXPECT_EQ(absolute_form("a//b/./c/"), base + "/a/b/c");
  EXPECT_EQ(absolute_form("a/../b"), base + "/b");
  EXPECT_EQ(absolute_form("/x/y/../../.."), "/");
  EXPECT_EQ(absolute_form("//x///y"), "/x/y");
  EXPECT_EQ(absolute_form("/"), "/");
  // Symbolic links are not resolved.
  fs::create_directory(base + "/real");
  fs::create_directory_symlink(base + "/real", base + "/link");
  EXPECT_EQ(absolute_form("link/x/.."), base + "/link");
}

// ---------------------------------------------------------------------------------------
// read_manifest: what passes

TEST(ReadManifest, AcceptsAConstraintAndKeepsItsConditions) {
  TempDir temp;
  auto directory = item(temp,
                        R"({"name": "  Keep the pressure safe ", "type": "constraint",
                            "conditions": [{"sensor": "p", "max": 3.5}], "description": "x"})");
  GuidanceManifest manifest = read_manifest(directory);
  EXPECT_EQ(manifest.name, "Keep the pressure safe");
  EXPECT_EQ(manifest.type, "constraint");
  ASSERT_TRUE(manifest.conditions);
  EXPECT_EQ(*manifest.conditions, json::parse(R"([{"sensor": "p", "max": 3.5}])"));
  EXPECT_FALSE(manifest.reward_file);
}

TEST(ReadManifest, KeepsASingleConditionObjectAsAnObject) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "g", "type": "goal", "conditions": {"all": []}})");
  GuidanceManifest manifest = read_manifest(directory);
  ASSERT_TRUE(manifest.conditions);
  EXPECT_TRUE(manifest.conditions->is_object());
  EXPECT_EQ(*manifest.conditions, json::parse(R"({"all": []})"));
}

TEST(ReadManifest, AcceptsEmptyConditionsOfEveryKind) {
  TempDir temp;
  for (std::string type : {"goal", "constraint", "successCriteria"}) {
    for (std::string conditions : {"[]", "{}"}) {
      auto directory = item(
          temp, R"({"name": "n", "type": ")" + type + R"(", "conditions": )" + conditions + "}");
      GuidanceManifest manifest = read_manifest(directory);
      EXPECT_EQ(manifest.type, type);
      EXPECT_EQ(*manifest.conditions, json::parse(conditions));
    }
  }
}

TEST(ReadManifest, KeepsEveryNumberOfTheConditionsExactly) {
  TempDir temp;
  const std::string conditions =
      R"([{"sensor":"p","op":"<=","value":-9.223372036807371e+21},{"value":0.30000000000000004},)"
      R"({"value":9223372036854775807},{"value":5e-324}])";
  GuidanceManifest manifest = read_manifest(
      item(temp, R"({"name": "n", "type": "goal", "conditions": )" + conditions + "}"));
  EXPECT_EQ(json_text::to_json(*manifest.conditions), conditions);
}

TEST(ReadManifest, TrimsUnicodeWhiteSpaceFromTheName) {
  TempDir temp;
  // An ideographic space, a no-break space, a tab and a line separator around the name.
  auto directory = item(temp,
                        "{\"name\": \"\\u3000\\u00a0\\t Pump\\u00a0one \\u2028\", "
                        "\"type\": \"goal\", \"conditions\": []}");
  EXPECT_EQ(read_manifest(directory).name, "Pump\u00a0one");
}

TEST(ReadManifest, TakesTheLastValueOfADuplicateKey) {
  TempDir temp;
  auto directory = item(temp,
                        R"({"name": "first", "type": "reward", "name": "second",
                            "type": "goal", "conditions": 5, "conditions": [1]})");
  GuidanceManifest manifest = read_manifest(directory);
  EXPECT_EQ(manifest.name, "second");
  EXPECT_EQ(manifest.type, "goal");
  EXPECT_EQ(*manifest.conditions, json::parse("[1]"));
}

TEST(ReadManifest, AcceptsARewardWithTheDefaultFile) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "r", "type": "reward"})");
  write_file(directory + "/reward.py", "");
  GuidanceManifest manifest = read_manifest(directory);
  EXPECT_EQ(manifest, (GuidanceManifest{"r", "reward", std::nullopt, "reward.py"}));
}

TEST(ReadManifest, KeepsARewardFileInASubDirectoryAsWritten) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "r", "type": "reward", "file": "code/./my.py"})");
  fs::create_directories(directory + "/code");
  write_file(directory + "/code/my.py", "");
  EXPECT_EQ(read_manifest(directory).reward_file, "code/./my.py");
}

TEST(ReadManifest, AcceptsAnAbsoluteRewardFile) {
  TempDir temp;
  std::string file = temp / "elsewhere.py";
  write_file(file, "");
  auto directory = item(temp, R"({"name": "r", "type": "reward", "file": ")" + file + "\"}");
  EXPECT_EQ(read_manifest(directory).reward_file, file);
}

TEST(ReadManifest, AcceptsAManifestThatIsALinkToAFile) {
  TempDir temp;
  write_file(temp / "real.json", R"({"name": "n", "type": "goal", "conditions": []})");
  fs::create_directory(temp / "item");
  fs::create_symlink(temp / "real.json", temp / "item/guidance.json");
  EXPECT_EQ(read_manifest(temp / "item").name, "n");
}

TEST(ReadManifest, ReadsARelativePathAgainstTheWorkingDirectory) {
  TempDir temp;
  item(temp, R"({"name": "n", "type": "goal", "conditions": []})", "rel");
  InDirectory here(temp.path());
  EXPECT_EQ(read_manifest("rel").name, "n");
  EXPECT_EQ(read_manifest("./rel/").name, "n");
  InDirectory inside(temp / "rel");
  EXPECT_EQ(read_manifest("").name, "n");
  EXPECT_EQ(read_manifest("./").name, "n");
}

TEST(GuidanceManifestRecord, IsEqualWhenAllFieldsAre) {
  GuidanceManifest a{"n", "goal", json::value(json::array{}), std::nullopt};
  GuidanceManifest b{"n", "goal", json::value(json::array{}), std::nullopt};
  EXPECT_EQ(a, b);
  b.conditions = json::value(json::object{});
  EXPECT_NE(a, b);
  EXPECT_NE(a, (GuidanceManifest{"n", "goal", std::nullopt, std::nullopt}));
  EXPECT_NE((GuidanceManifest{"n", "reward", std::nullopt, "a.py"}),
            (GuidanceManifest{"n", "reward", std::nullopt, "b.py"}));
}

// ---------------------------------------------------------------------------------------
// read_manifest: the nine messages

TEST(ManifestMessages, MissingManifestNamesTheAbsoluteDirectory) {
  TempDir temp;
  std::string base = fs::canonical(temp.path()).string();
  fs::create_directory(base + "/empty");
  EXPECT_EQ(error_of(base + "/empty"),
            "No guidance.json in " + base + "/empty (create one with `velko guidance new`)");
  EXPECT_EQ(error_of(base + "/missing/./x/.."),
            "No guidance.json in " + base + "/missing (create one with `velko guidance new`)");
  InDirectory here(base);
  EXPECT_EQ(error_of("empty/"),
            "No guidance.json in " + base + "/empty (create one with `velko guidance new`)");
  EXPECT_EQ(error_of("./"),
            "No guidance.json in " + base + " (create one with `velko guidance new`)");
}

TEST(ManifestMessages, MissingManifestForADirectoryNamedGuidanceJson) {
  TempDir temp;
  fs::create_directories(temp / "item/guidance.json");
  EXPECT_EQ(error_of(temp / "item"), "No guidance.json in " + absolute_form(temp / "item") +
                                         " (create one with `velko guidance new`)");
}

TEST(ManifestMessages, MissingManifestForAPathThroughAFileOrADanglingLink) {
  TempDir temp;
  write_file(temp / "file", "");
  EXPECT_EQ(error_of(temp / "file"), "No guidance.json in " + absolute_form(temp / "file") +
                                         " (create one with `velko guidance new`)");
  fs::create_directory(temp / "item");
  fs::create_symlink(temp / "nowhere.json", temp / "item/guidance.json");
  EXPECT_EQ(error_of(temp / "item"), "No guidance.json in " + absolute_form(temp / "item") +
                                         " (create one with `velko guidance new`)");
}

TEST(ManifestMessages, InvalidJsonCarriesTheParserErrorAsItsCause) {
  TempDir temp;
  auto directory = item(temp, "");
  try {
    read_manifest(directory);
    FAIL() << "no error";
  } catch (const GuidanceManifestError& error) {
    EXPECT_STREQ(error.what(),
                 "guidance.json is not valid JSON: expected a value at line 1 column 1 (char 0)");
    try {
      std::rethrow_if_nested(error);
      FAIL() << "no cause";
    } catch (const json_text::JsonError& cause) {
      EXPECT_STREQ(cause.what(), "expected a value at line 1 column 1 (char 0)");
    }
  }
}

TEST(ManifestMessages, InvalidJsonSaysWhatIsWrongAndWhere) {
  TempDir temp;
  EXPECT_EQ(error_of(item(temp, "{\"name\": \"n\",\n  \"type\": }")),
            "guidance.json is not valid JSON: syntax error at line 2 column 11 (char 24)");
  EXPECT_EQ(error_of(item(temp, "{\"name\": \"n\"")),
            "guidance.json is not valid JSON: unexpected end of the text at line 1 column 13 "
            "(char 12)");
  EXPECT_EQ(error_of(item(temp, "{} {}")),
            "guidance.json is not valid JSON: extra data after the JSON value at line 1 column 4 "
            "(char 3)");
  EXPECT_EQ(error_of(item(temp, "   \n")),
            "guidance.json is not valid JSON: expected a value at line 2 column 1 (char 4)");
}

TEST(ManifestMessages, InvalidJsonForNestingTooDeepRatherThanACrash) {
  TempDir temp;
  auto directory = item(temp, std::string(200000, '[') + std::string(200000, ']'));
  std::string message = error_of(directory);
  EXPECT_EQ(message.rfind("guidance.json is not valid JSON: nesting deeper than 256 levels at ", 0),
            0u)
      << message;
}

TEST(ManifestMessages, NumberBeyondTheRangeOfADoubleIsInvalidJson) {
  TempDir temp;
  EXPECT_EQ(error_of(item(temp,
                          "{\"name\": \"n\", \"type\": \"goal\",\n \"conditions\": "
                          "[{\"value\": 1e999}]}")),
            "guidance.json is not valid JSON: number out of range (1e999; a number must be "
            "smaller than 1.8e308 in size) at line 2 column 27 (char 56)");
}

TEST(ManifestMessages, NotAnObject) {
  TempDir temp;
  for (std::string document : {"[]", "\"text\"", "5", "null", "true", "[{\"name\": \"n\"}]"}) {
    EXPECT_EQ(error_of(item(temp, document)), "guidance.json must be a JSON object") << document;
  }
}

TEST(ManifestMessages, NameMissingBlankOrNotAString) {
  TempDir temp;
  for (std::string name :
       {"", R"(, "name": null)", R"(, "name": 5)", R"(, "name": "")", R"(, "name": "   ")",
        R"(, "name": "\u3000\t\n")", R"(, "name": ["n"])", R"(, "name": {"n": 1})"}) {
    EXPECT_EQ(error_of(item(temp, R"({"type": "goal", "conditions": [])" + name + "}")), kM4)
        << name;
  }
}

TEST(ManifestMessages, TypeNotOneOfTheFourExactly) {
  TempDir temp;
  for (std::string type :
       {"", R"(, "type": null)", R"(, "type": 1)", R"(, "type": "Goal")",
        R"(, "type": "success_criteria")", R"(, "type": "successcriteria")",
        R"(, "type": "SuccessCriteria")", R"(, "type": " goal")", R"(, "type": ["goal"])"}) {
    EXPECT_EQ(error_of(item(temp, R"({"name": "n", "conditions": [])" + type + "}")), kM5) << type;
  }
}

TEST(ManifestMessages, RewardWithConditionsEvenNullAndWithItsFile) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "r", "type": "reward", "conditions": null})");
  write_file(directory + "/reward.py", "");
  EXPECT_EQ(error_of(directory), kM6);
  directory = item(temp, R"({"name": "r", "type": "reward", "conditions": []})", "other");
  EXPECT_EQ(error_of(directory), kM6);
}

TEST(ManifestMessages, RewardFileMissingShowsItsLiteralForm) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "r", "type": "reward"})");
  std::string in = " is not in " + absolute_form(directory);
  EXPECT_EQ(error_of(directory), "The reward file 'reward.py'" + in);

  auto with_file = [&](const std::string& file) {
    write_file(directory + "/guidance.json",
               R"({"name": "r", "type": "reward", "file": )" + file + "}");
    return error_of(directory);
  };
  EXPECT_EQ(with_file("5"), "The reward file 5" + in);
  EXPECT_EQ(with_file("null"), "The reward file None" + in);
  EXPECT_EQ(with_file("true"), "The reward file True" + in);
  EXPECT_EQ(with_file("2.5"), "The reward file 2.5" + in);
  EXPECT_EQ(with_file(R"(["a.py", 1])"), "The reward file ['a.py', 1]" + in);
  EXPECT_EQ(with_file(R"({"a": null})"), "The reward file {'a': None}" + in);
  EXPECT_EQ(with_file(R"("it's.py")"), "The reward file \"it's.py\"" + in);
  EXPECT_EQ(with_file(R"("a\\b\n.py")"), "The reward file 'a\\\\b\\n.py'" + in);
  EXPECT_EQ(with_file(R"("")"), "The reward file ''" + in);
  // Something that is there but is not a file is named for what it is.
  fs::create_directory(directory + "/code.py");
  ASSERT_EQ(::mkfifo((directory + "/pipe.py").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", directory + "/device.py");
  std::string there = " in " + absolute_form(directory) + " is ";
  EXPECT_EQ(with_file(R"("code.py")"),
            "The reward file 'code.py'" + there + "a directory, not a file");
  EXPECT_EQ(with_file(R"("pipe.py")"),
            "The reward file 'pipe.py'" + there + "a named pipe (FIFO), not a file");
  EXPECT_EQ(with_file(R"("device.py")"),
            "The reward file 'device.py'" + there + "a character device, not a file");
}

TEST(ManifestMessages, RewardFileMissingNamesTheDirectoryInAbsoluteForm) {
  TempDir temp;
  item(temp, R"({"name": "r", "type": "reward"})", "rel");
  std::string base = fs::canonical(temp.path()).string();
  InDirectory here(base);
  EXPECT_EQ(error_of("./rel/../rel"), "The reward file 'reward.py' is not in " + base + "/rel");
}

TEST(ManifestMessages, FileOnAnotherTypeEvenNull) {
  TempDir temp;
  EXPECT_EQ(error_of(item(temp, R"({"name": "g", "type": "goal", "conditions": [],
                                    "file": null})")),
            "Only a reward item has a \"file\"; a goal has \"conditions\"");
  EXPECT_EQ(error_of(item(temp, R"({"name": "g", "type": "successCriteria",
                                    "file": "reward.py"})")),
            "Only a reward item has a \"file\"; a successCriteria has \"conditions\"");
}

TEST(ManifestMessages, ConditionsNeitherObjectNorArray) {
  TempDir temp;
  for (std::string conditions : {"", R"(, "conditions": null)", R"(, "conditions": "x")",
                                 R"(, "conditions": 5)", R"(, "conditions": true)"}) {
    EXPECT_EQ(error_of(item(temp, R"({"name": "n", "type": "constraint")" + conditions + "}")),
              "A constraint item needs \"conditions\" (a condition or a list of them)")
        << conditions;
  }
  EXPECT_EQ(error_of(item(temp, R"({"name": "n", "type": "successCriteria"})")),
            "A successCriteria item needs \"conditions\" (a condition or a list of them)");
}

TEST(ManifestMessages, TheFirstFailingCheckWins) {
  TempDir temp;
  // Name and type both wrong: the name is tested first.
  EXPECT_EQ(error_of(item(temp, R"({"name": " ", "type": "Goal"})")), kM4);
  // Type wrong and conditions wrong: the type.
  EXPECT_EQ(error_of(item(temp, R"({"name": "n", "type": "Goal", "file": 5})")), kM5);
  // A reward with conditions and no file: the conditions.
  EXPECT_EQ(error_of(item(temp, R"({"name": "r", "type": "reward", "conditions": 5,
                                    "file": 5})")),
            kM6);
  // A goal with a file and no conditions: the file.
  EXPECT_EQ(error_of(item(temp, R"({"name": "g", "type": "goal"})", "x")),
            "A goal item needs \"conditions\" (a condition or a list of them)");
  EXPECT_EQ(error_of(item(temp, R"({"name": "g", "type": "goal", "file": "x"})", "y")),
            "Only a reward item has a \"file\"; a goal has \"conditions\"");
  // Not an object beats everything after it.
  EXPECT_EQ(error_of(item(temp, R"([{"type": "Goal"}])", "z")),
            "guidance.json must be a JSON object");
}

// ---------------------------------------------------------------------------------------
// read_manifest: bad input that is not a manifest error

TEST(ManifestInput, TextThatIsNotUtf8IsAnOrdinaryErrorWithAClearMessage) {
  TempDir temp;
  auto directory = item(temp, std::string("{\"name\": \"\xff\"}"));
  try {
    read_manifest(directory);
    FAIL() << "no error";
  } catch (const GuidanceManifestError& error) {
    FAIL() << "a manifest error: " << error.what();
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "guidance.json in " + absolute_form(directory) +
                                             " is not UTF-8 text (byte 0xff at offset 10)");
  }
}

TEST(ManifestInput, AManifestOverTheSizeLimitIsRefusedBeforeReading) {
  TempDir temp;
  auto directory = item(temp, "");
  // A sparse file one byte over the limit: refused by its size alone.
  ASSERT_EQ(::truncate((directory + "/guidance.json").c_str(),
                       static_cast<off_t>(MAX_MANIFEST_BYTES + 1)),
            0);
  EXPECT_EQ(error_of(directory), "guidance.json in " + absolute_form(directory) +
                                     " is larger than the size limit of 8388608 bytes (8 MiB)");
}

TEST(ManifestInput, AManifestOfExactlyTheSizeLimitIsRead) {
  TempDir temp;
  std::string document = R"({"name": "n", "type": "goal", "conditions": []})";
  document.append(MAX_MANIFEST_BYTES - document.size(), ' ');
  EXPECT_EQ(read_manifest(item(temp, document)).name, "n");
}

TEST(ManifestInput, AFileSystemFailureIsAClearOrdinaryError) {
  TempDir temp;
  fs::create_directory(temp / "item");
  // A link to itself cannot be followed (ELOOP): this is not "missing".
  fs::create_symlink("guidance.json", temp / "item/guidance.json");
  try {
    read_manifest(temp / "item");
    FAIL() << "no error";
  } catch (const GuidanceManifestError& error) {
    FAIL() << "a manifest error: " << error.what();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::too_many_symbolic_link_levels);
    EXPECT_NE(std::string(error.what()).find(absolute_form(temp / "item/guidance.json")),
              std::string::npos)
        << error.what();
  }
}

TEST(ManifestInput, AnUnreadableManifestIsAnOrdinaryError) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir temp;
  auto directory = item(temp, R"({"name": "n", "type": "goal", "conditions": []})");
  fs::permissions(directory + "/guidance.json", fs::perms::none);
  EXPECT_THROW(read_manifest(directory), std::system_error);
  fs::permissions(directory, fs::perms::none);
  EXPECT_THROW(read_manifest(directory), std::system_error);
  fs::permissions(directory, fs::perms::owner_all);
}

// ---------------------------------------------------------------------------------------
// Scaffolding: directory names

TEST(DirectoryName, LowerCaseWithHyphensForEverythingElse) {
  EXPECT_EQ(directory_name("Keep the pressure safe"), "keep-the-pressure-safe");
  EXPECT_EQ(directory_name("  Max/Min.  "), "max-min");
  EXPECT_EQ(directory_name("a  b"), "a--b");
  EXPECT_EQ(directory_name("snake_case-name"), "snake-case-name");
  EXPECT_EQ(directory_name("Tank #2: level < 80%"), "tank--2--level---80");
}

TEST(DirectoryName, GuidanceWhenNothingIsLeft) {
  EXPECT_EQ(directory_name(""), "guidance");
  EXPECT_EQ(directory_name("   "), "guidance");
  EXPECT_EQ(directory_name("!?/.-_"), "guidance");
  EXPECT_EQ(directory_name("\u0301\u3000\U0001F680"), "guidance");
}

TEST(DirectoryName, KeepsLettersOutsideAsciiInLowerCase) {
  EXPECT_EQ(directory_name("Ünïcödé Straße"), "ünïcödé-straße");
  EXPECT_EQ(directory_name("\u03a3\u039f\u03a6\u039f\u03a3"),
            "\u03c3\u03bf\u03c6\u03bf\u03c2");  // final sigma, as the Unicode mapping gives
  EXPECT_EQ(directory_name("Дружба"), "дружба");
  EXPECT_EQ(directory_name("日本語のテスト"), "日本語のテスト");
  EXPECT_EQ(directory_name("🚀 Go!"), "go");
}

TEST(DirectoryName, KeepsNumeralsOfEveryKind) {
  EXPECT_EQ(directory_name("x²"), "x²");                      // superscript two
  EXPECT_EQ(directory_name("Phase \u216b"), "phase-\u217b");  // Roman numeral twelve, lower-cased
  EXPECT_EQ(directory_name("½ open"), "½-open");              // vulgar fraction
  EXPECT_EQ(directory_name("٣ pumps"), "٣-pumps");            // Arabic-Indic digit three
  EXPECT_EQ(directory_name("①"), "①");                        // circled digit one
}

TEST(DirectoryName, CombiningMarksBecomeHyphens) {
  EXPECT_EQ(directory_name("Cafe\u0301 au lait"), "cafe--au-lait");
  EXPECT_EQ(directory_name("e\u0301x"), "e-x");
  // The full lower-case mapping of a dotted capital I adds a combining dot.
  EXPECT_EQ(directory_name("\u0130stanbul"), "i-stanbul");
}

TEST(DirectoryName, BytesThatAreNotUtf8BecomeHyphens) {
  EXPECT_EQ(directory_name("a\xff\xfe"
                           "b"),
            "a--b");
}

// ---------------------------------------------------------------------------------------
// Scaffolding: file contents

TEST(StartingManifest, ConstraintLayoutByteForByte) {
  EXPECT_EQ(starting_manifest("Keep the pressure safe", "constraint"),
            "{\n"
            "  \"name\": \"Keep the pressure safe\",\n"
            "  \"type\": \"constraint\",\n"
            "  \"conditions\": []\n"
            "}\n");
}

TEST(StartingManifest, RewardLayoutByteForByte) {
  EXPECT_EQ(starting_manifest("Speed", "reward"),
            "{\n"
            "  \"name\": \"Speed\",\n"
            "  \"type\": \"reward\",\n"
            "  \"file\": \"reward.py\"\n"
            "}\n");
}

TEST(StartingManifest, AsciiOnlyWithLowerCaseEscapesAndSurrogatePairs) {
  EXPECT_EQ(starting_manifest("Café ☕ 𝄞 Ω", "goal"),
            "{\n"
            "  \"name\": \"Caf\\u00e9 \\u2615 \\ud834\\udd1e \\u03a9\",\n"
            "  \"type\": \"goal\",\n"
            "  \"conditions\": []\n"
            "}\n");
}

TEST(StartingManifest, ShortEscapesAndControlCharacters) {
  EXPECT_EQ(starting_manifest(std::string("q\" b\\ n\n r\r t\t b\b f\f x\x01 d\x7f z\0", 29),
                              "successCriteria"),
            "{\n"
            "  \"name\": \"q\\\" b\\\\ n\\n r\\r t\\t b\\b f\\f x\\u0001 d\\u007f z\\u0000\",\n"
            "  \"type\": \"successCriteria\",\n"
            "  \"conditions\": []\n"
            "}\n");
}

TEST(StartingManifest, KeepsTheNameUntrimmedAndReadsBack) {
  std::string text = starting_manifest("  Ünï ", "goal");
  EXPECT_NE(text.find("\"  \\u00dcn\\u00ef \""), std::string::npos) << text;
  json::value parsed = json::parse(text);
  EXPECT_EQ(parsed.at("name").as_string(), "  Ünï ");
}

TEST(RewardTemplate, TenLinesByteForByte) {
  const std::string expected = R"(from typing import Dict

from velko_core import AgentTeacher


class Reward(AgentTeacher):
    async def compute_reward(self, transformed_sensors: Dict, action, sim_reward):
        """The reward for one step - higher is better. `transformed_sensors`
        holds your sensor values by name."""
        return float(sim_reward)
)";
  EXPECT_EQ(std::string(REWARD_TEMPLATE), expected);
  EXPECT_EQ(std::count(REWARD_TEMPLATE.begin(), REWARD_TEMPLATE.end(), '\n'), 10);
  EXPECT_EQ(REWARD_TEMPLATE.back(), '\n');
}

// ---------------------------------------------------------------------------------------
// Scaffolding: create

TEST(Create, MakesAConstraintInTheWorkingDirectoryByDefault) {
  TempDir temp;
  InDirectory here(temp.path());
  EXPECT_EQ(create("Keep the pressure safe", "constraint"), "./keep-the-pressure-safe");
  EXPECT_EQ(entries("keep-the-pressure-safe"), std::set<std::string>{"guidance.json"});
  EXPECT_EQ(read_file("keep-the-pressure-safe/guidance.json"),
            starting_manifest("Keep the pressure safe", "constraint"));
  GuidanceManifest manifest = read_manifest("./keep-the-pressure-safe");
  EXPECT_EQ(manifest, (GuidanceManifest{"Keep the pressure safe", "constraint",
                                        json::value(json::array{}), std::nullopt}));
}

TEST(Create, MakesARewardWithItsTemplate) {
  TempDir temp;
  std::string directory = create("Speed bonus", "reward", temp.path());
  EXPECT_EQ(directory, temp.path() + "/speed-bonus");
  EXPECT_EQ(entries(directory), (std::set<std::string>{"guidance.json", "reward.py"}));
  EXPECT_EQ(read_file(directory + "/reward.py"), std::string(REWARD_TEMPLATE));
  EXPECT_EQ(read_file(directory + "/guidance.json"), starting_manifest("Speed bonus", "reward"));
  EXPECT_EQ(read_manifest(directory),
            (GuidanceManifest{"Speed bonus", "reward", std::nullopt, "reward.py"}));
}

TEST(Create, EveryTypeIsAcceptedAtOnceByReadManifest) {
  TempDir temp;
  for (std::string type : {"goal", "constraint", "successCriteria", "reward"}) {
    std::string directory = create(type + " item", type, temp.path() + "/");
    EXPECT_EQ(directory, temp.path() + "/" + directory_name(type + " item"));
    EXPECT_EQ(read_manifest(directory).type, type);
  }
}

TEST(Create, MakesMissingParentsAndReturnsThePathAsGiven) {
  TempDir temp;
  InDirectory here(temp.path());
  EXPECT_EQ(create("X", "goal", "a/./b/c"), "a/./b/c/x");
  EXPECT_TRUE(fs::is_regular_file("a/b/c/x/guidance.json"));
  EXPECT_EQ(create("Y", "goal", ""), "y");
  EXPECT_TRUE(fs::is_regular_file("y/guidance.json"));
}

TEST(Create, KeepsNonAsciiLettersInTheNameAndEscapesThemInTheFile) {
  TempDir temp;
  std::string directory = create("Ünïcödé Straße", "goal", temp.path());
  EXPECT_EQ(directory, temp.path() + "/ünïcödé-straße");
  std::string text = read_file(directory + "/guidance.json");
  EXPECT_NE(text.find("\"\\u00dcn\\u00efc\\u00f6d\\u00e9 Stra\\u00dfe\""), std::string::npos);
  for (unsigned char ch : text) EXPECT_LT(ch, 0x80);
  EXPECT_EQ(read_manifest(directory).name, "Ünïcödé Straße");
}

TEST(Create, WrongTypeCreatesNothing) {
  TempDir temp;
  for (std::string type : {"Goal", "", "rewards", "success criteria"}) {
    EXPECT_EQ(manifest_error([&] { create("n", type, temp / "loc"); }),
              "type must be one of: goal, constraint, successCriteria, reward");
  }
  EXPECT_FALSE(fs::exists(temp / "loc"));
}

TEST(Create, ExistingTargetChangesNothing) {
  TempDir temp;
  InDirectory here(temp.path());
  create("Keep the pressure safe", "constraint");
  write_file("keep-the-pressure-safe/guidance.json", "mine");
  EXPECT_EQ(manifest_error([] { create("keep the PRESSURE safe!", "reward"); }),
            "./keep-the-pressure-safe already exists");
  EXPECT_EQ(entries("keep-the-pressure-safe"), std::set<std::string>{"guidance.json"});
  EXPECT_EQ(read_file("keep-the-pressure-safe/guidance.json"), "mine");
}

TEST(Create, ExistingFileOrDanglingLinkAtTheTarget) {
  TempDir temp;
  write_file(temp / "taken", "x");
  EXPECT_EQ(manifest_error([&] { create("Taken", "goal", temp.path()); }),
            temp.path() + "/taken already exists");
  EXPECT_EQ(read_file(temp / "taken"), "x");
  fs::create_symlink(temp / "nowhere", temp / "link");
  EXPECT_EQ(manifest_error([&] { create("link", "goal", temp.path()); }),
            temp.path() + "/link already exists");
  EXPECT_FALSE(fs::exists(temp / "nowhere"));
}

TEST(Create, FileSystemErrorsPassThrough) {
  TempDir temp;
  write_file(temp / "file", "x");
  EXPECT_THROW(create("n", "goal", temp / "file"), fs::filesystem_error);
  EXPECT_EQ(read_file(temp / "file"), "x");
}

TEST(Create, AFailedWriteLeavesNothingAndTheRetryMakesTheItem) {
  TempDir temp;
  // A file size limit makes a write fail as a full disk would.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 16;
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(create("Speed", "reward", temp.path()), std::system_error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, handler);
  EXPECT_EQ(entries(temp.path()), std::set<std::string>{});
  std::string directory = create("Speed", "reward", temp.path());
  EXPECT_EQ(entries(directory), (std::set<std::string>{"guidance.json", "reward.py"}));
  EXPECT_EQ(entries(temp.path()), std::set<std::string>{"speed"});
}

// ---------------------------------------------------------------------------------------
// The reward file: checked by its path, then read once from the descriptor that is checked

TEST(ReadRewardFile, WhatChangesAfterTheCheckIsCheckedAgainOnTheDescriptor) {
  TempDir temp;
  write_file(temp / "secret", "s");
  std::string outside = fs::canonical(temp.path()).string();
  std::string directory = create("Speed", "reward", temp.path());
  std::string code = directory + "/code";
  std::string real = code + "/real.py";
  struct Case {
    std::string what;
    std::function<void()> swap;  // run between the check and the read
    OutsideFileConsent consent;
    std::string outcome;  // the bytes read, "outside", or a part of the error
  };
  auto replace_with_link = [&](std::string to) {
    return [&real, to] {
      fs::remove(real);
      fs::create_symlink(to, real);
    };
  };
  // The item's own directory on the way to the file becomes a link to one outside.
  auto move_code_out = [&] {
    fs::rename(code, temp / "moved");
    fs::create_symlink(temp / "moved", code);
  };
  const std::vector<Case> cases = {
      {"nothing", [] {}, {}, "r"},
      {"the manifest's link",
       [&] {
         fs::remove(directory + "/reward.py");
         fs::create_symlink(outside + "/secret", directory + "/reward.py");
       },
       {},
       "r"},
      {"a link to outside",
       replace_with_link(outside + "/secret"),
       {true, {}},
       "replaced by a link"},
      {"a link to /dev/zero", replace_with_link("/dev/zero"), {true, {}}, "replaced by a link"},
      {"a pipe",
       [&] {
         fs::remove(real);
         ASSERT_EQ(::mkfifo(real.c_str(), 0600), 0);
       },
       {true, {}},
       "is a named pipe (FIFO), not a file"},
      {"a directory on the way, unallowed", move_code_out, {}, "outside"},
      {"a directory on the way, allowed", move_code_out, {true, {}}, "r"},
      {"another file than the one allowed", move_code_out, {false, real}, "outside"},
      {"a file grown past the bound",
       [&] { ASSERT_EQ(::truncate(real.c_str(), MAX_REWARD_FILE_BYTES + 1), 0); },
       {},
       "is larger than 64 MiB"},
  };
  for (const Case& c : cases) {
    fs::remove_all(temp / "moved");
    fs::remove_all(code);
    fs::create_directories(code);
    write_file(real, "r");
    fs::remove(directory + "/reward.py");
    fs::create_symlink("code/real.py", directory + "/reward.py");
    RewardFileLocation checked = locate_reward_file(directory, "reward.py");
    ASSERT_TRUE(checked.inside);
    c.swap();
    std::string outcome;
    try {
      RewardFileContents contents = read_reward_file(checked, c.consent);
      outcome = contents.bytes;
      EXPECT_EQ(contents.name, "reward.py") << c.what;
    } catch (const RewardFileOutsideError& error) {
      outcome = "outside";
      EXPECT_EQ(error.location().resolved, outside + "/moved/real.py") << c.what;
    } catch (const GuidanceManifestError& error) {
      outcome = error.what();
    }
    EXPECT_THAT(outcome, HasSubstr(c.outcome)) << c.what;
  }
  // Refused already at the check: a link to a device, a file over the bound.
  fs::remove(directory + "/reward.py");
  fs::create_symlink("/dev/zero", directory + "/reward.py");
  EXPECT_THAT(manifest_error([&] { locate_reward_file(directory, "reward.py"); }),
              HasSubstr("is a character device, not a file (it leads to /dev/zero)"));
  fs::remove(directory + "/reward.py");
  write_file(directory + "/reward.py", "");
  ASSERT_EQ(::truncate((directory + "/reward.py").c_str(), MAX_REWARD_FILE_BYTES + 1), 0);
  EXPECT_THAT(manifest_error([&] { locate_reward_file(directory, "reward.py"); }),
              HasSubstr("is larger than 64 MiB"));
}

// ---------------------------------------------------------------------------------------
// Publishing

// One call made to the fake library.
struct Call {
  Call(std::string what_, std::vector<std::string> args_,
       std::optional<json::value> conditions_ = std::nullopt,
       std::optional<std::string> data_url_ = std::nullopt)
      : what(std::move(what_)),
        args(std::move(args_)),
        conditions(std::move(conditions_)),
        data_url(std::move(data_url_)) {}
  std::string what;
  std::vector<std::string> args;
  std::optional<json::value> conditions;
  std::optional<std::string> data_url;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
  out << call.what << "(";
  for (const auto& arg : call.args) out << arg << ", ";
  out << "conditions=" << (call.conditions ? json::serialize(*call.conditions) : "<empty>");
  return out << ", data_url=" << call.data_url.value_or("<empty>") << ")";
}

class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An in-memory guidance library that records every call.
class FakeLibrary : public GuidanceLibrary, public Platform {
 public:
  std::vector<Call> calls;
  std::vector<GuidanceItem> items;
  std::string fail_on;  // the call that throws ClientError

  GuidanceLibrary& guidance() override { return *this; }

  awaitable<std::string> upload_reward_file(std::string organization_id, std::string project_id,
                                            std::string filename, std::string bytes) override {
    record({"upload_reward_file", {organization_id, project_id, filename, bytes}});
    co_return "data:" + filename;
  }
  awaitable<std::optional<GuidanceItem>> get_by_name(std::string organization_id,
                                                     std::string project_id, std::string name,
                                                     std::string type) override {
    record({"get_by_name", {organization_id, project_id, name, type}});
    for (const auto& item : items) {
      if (item.name == name && item.type.value == type) co_return item;
    }
    co_return std::nullopt;
  }
  awaitable<GuidanceItem> create(std::string organization_id, std::string project_id,
                                 std::string type, std::string name,
                                 std::optional<json::value> conditions,
                                 std::optional<std::string> data_url) override {
    record({"create", {organization_id, project_id, type, name}, conditions, data_url});
    items.push_back({"id-" + std::to_string(items.size() + 1), name, {type}});
    co_return items.back();
  }
  awaitable<GuidanceItem> update(std::string organization_id, std::string project_id,
                                 std::string item_id, std::optional<json::value> conditions,
                                 std::optional<std::string> data_url) override {
    record({"update", {organization_id, project_id, item_id}, conditions, data_url});
    for (const auto& item : items) {
      if (item.id == item_id) co_return item;
    }
    throw ClientError("no item " + item_id);
  }

 private:
  void record(Call call) {
    calls.push_back(call);
    if (call.what == fail_on) throw ClientError("refused: " + call.what);
  }
};

std::pair<GuidanceItem, bool> run_publish(FakeLibrary& api, const std::string& path,
                                          bool allow_outside_file = false) {
  return async_to_sync(publish)(static_cast<Platform&>(api), path, std::string("org-1"),
                                std::string("proj-1"), OutsideFileConsent{allow_outside_file, {}});
}

TEST(Publish, CreatesANewItemTypeBeforeName) {
  TempDir temp;
  auto directory = item(temp, R"({"name": " Keep safe ", "type": "constraint",
                                  "conditions": {"max": 3}})");
  FakeLibrary api;
  auto [created_item, created] = run_publish(api, directory);
  EXPECT_TRUE(created);
  EXPECT_EQ(created_item.id, "id-1");
  EXPECT_EQ(created_item.name, "Keep safe");
  EXPECT_EQ(created_item.type.value, "constraint");
  std::vector<Call> expected = {
      {"get_by_name", {"org-1", "proj-1", "Keep safe", "constraint"}},
      {"create",
       {"org-1", "proj-1", "constraint", "Keep safe"},
       json::parse(R"({"max": 3})"),
       std::nullopt},
  };
  EXPECT_EQ(api.calls, expected);
}

TEST(Publish, UpdatesTheItemWithTheSameNameAndType) {
  TempDir temp;
  auto directory = item(temp, R"({"name": "g", "type": "goal", "conditions": [1]})");
  FakeLibrary api;
  api.items = {{"other", "g", {"constraint"}}, {"abc-7", "g", {"goal"}}};
  auto [updated_item, created] = run_publish(api, directory);
  EXPECT_FALSE(created);
  EXPECT_EQ(updated_item.id, "abc-7");
  std::vector<Call> expected = {
      {"get_by_name", {"org-1", "proj-1", "g", "goal"}},
      {"update", {"org-1", "proj-1", "abc-7"}, json::parse("[1]"), std::nullopt},
  };
  EXPECT_EQ(api.calls, expected);
}

TEST(Publish, ARewardUploadsItsFileFirstEvenWhenTheItemExists) {
  TempDir temp;
  std::string directory = create("Speed", "reward", temp.path());
  FakeLibrary api;
  auto [first, created] = run_publish(api, directory);
  EXPECT_TRUE(created);
  const std::string code(REWARD_TEMPLATE);
  std::vector<Call> expected = {
      {"upload_reward_file", {"org-1", "proj-1", "reward.py", code}},
      {"get_by_name", {"org-1", "proj-1", "Speed", "reward"}},
      {"create", {"org-1", "proj-1", "reward", "Speed"}, std::nullopt, "data:reward.py"},
  };
  EXPECT_EQ(api.calls, expected);

  api.calls.clear();
  auto [second, created_again] = run_publish(api, directory);
  EXPECT_FALSE(created_again);
  EXPECT_EQ(second.id, first.id);
  expected = {
      {"upload_reward_file", {"org-1", "proj-1", "reward.py", code}},
      {"get_by_name", {"org-1", "proj-1", "Speed", "reward"}},
      {"update", {"org-1", "proj-1", first.id}, std::nullopt, "data:reward.py"},
  };
  EXPECT_EQ(api.calls, expected);
}

TEST(Publish, UploadsTheNamedFileJoinedWithThePath) {
  TempDir temp;
  InDirectory here(temp.path());
  item(temp, R"({"name": "r", "type": "reward", "file": "code/r.py"})", "rw");
  fs::create_directories("rw/code");
  write_file("rw/code/r.py", "code of r");
  FakeLibrary api;
  run_publish(api, "rw");
  ASSERT_FALSE(api.calls.empty());
  EXPECT_EQ(api.calls[0], (Call{"upload_reward_file", {"org-1", "proj-1", "r.py", "code of r"}}));
}

TEST(Publish, TwiceCreatesThenUpdatesAndANewTypeCreatesAgain) {
  TempDir temp;
  std::string directory = create("Level", "goal", temp.path());
  FakeLibrary api;
  EXPECT_TRUE(run_publish(api, directory).second);
  auto [again, created] = run_publish(api, directory);
  EXPECT_FALSE(created);
  EXPECT_EQ(again.id, "id-1");
  write_file(directory + "/guidance.json", starting_manifest("Level", "constraint"));
  auto [other, created_other] = run_publish(api, directory);
  EXPECT_TRUE(created_other);
  EXPECT_EQ(other.id, "id-2");
  EXPECT_EQ(api.items.size(), 2u);
}

TEST(Publish, AManifestErrorComesBeforeAnyClientCall) {
  TempDir temp;
  FakeLibrary api;
  EXPECT_THROW(run_publish(api, temp / "missing"), GuidanceManifestError);
  EXPECT_THROW(run_publish(api, item(temp, R"({"name": "r", "type": "reward"})")),
               GuidanceManifestError);
  EXPECT_TRUE(api.calls.empty());
}

TEST(Publish, ARewardFileOutsideTheItemIsSentOnlyWhenAllowed) {
  TempDir temp;
  write_file(temp / "secret", "s");
  std::string directory = create("Speed", "reward", temp.path());
  std::string inside_target = directory + "/real.py";
  write_file(inside_target, "r");
  std::string secret = fs::canonical(temp / "secret").string();
  // An absolute path, a path that climbs out, and a link that leads out.
  for (std::string file : {secret, std::string("../secret"), std::string("reward.py")}) {
    if (file == "reward.py") {
      fs::remove(directory + "/reward.py");
      fs::create_symlink(secret, directory + "/reward.py");
    }
    write_file(directory + "/guidance.json",
               R"({"name": "Speed", "type": "reward", "file": ")" + file + R"("})");
    FakeLibrary api;
    try {
      run_publish(api, directory);
      ADD_FAILURE() << file << " was sent";
    } catch (const RewardFileOutsideError& error) {
      EXPECT_EQ(error.location().resolved, secret);
      EXPECT_THAT(error.what(), HasSubstr(secret));
      EXPECT_THAT(error.what(),
                  HasSubstr(" outside the item directory " + fs::canonical(directory).string()));
    }
    EXPECT_TRUE(api.calls.empty()) << file;
    run_publish(api, directory, /*allow_outside_file=*/true);
    ASSERT_FALSE(api.calls.empty());
    EXPECT_EQ(api.calls[0].what, "upload_reward_file");
  }
  // A link that stays inside the directory is sent as before, under its own name.
  fs::remove(directory + "/reward.py");
  fs::create_symlink("real.py", directory + "/reward.py");
  write_file(directory + "/guidance.json", R"({"name": "Speed", "type": "reward"})");
  FakeLibrary api;
  run_publish(api, directory);
  EXPECT_EQ(api.calls[0], (Call{"upload_reward_file", {"org-1", "proj-1", "reward.py", "r"}}));
  // A file that is not a regular one once links are followed is a manifest error.
  fs::remove(directory + "/reward.py");
  fs::create_symlink("/dev/zero", directory + "/reward.py");
  EXPECT_THROW(run_publish(api, directory, true), GuidanceManifestError);
}

TEST(Publish, ClientErrorsPassThroughUnchangedWithNoUndo) {
  TempDir temp;
  std::string directory = create("Speed", "reward", temp.path());
  for (std::string step : {"upload_reward_file", "get_by_name", "create"}) {
    FakeLibrary api;
    api.fail_on = step;
    EXPECT_THROW(run_publish(api, directory), ClientError) << step;
    EXPECT_EQ(api.calls.back().what, step);
  }
  FakeLibrary api;
  api.items = {{"u-1", "Speed", {"reward"}}};
  api.fail_on = "update";
  EXPECT_THROW(run_publish(api, directory), ClientError);
  ASSERT_EQ(api.calls.size(), 3u);
  EXPECT_EQ(api.calls[0].what, "upload_reward_file");
}

}  // namespace
}  // namespace velko::guidance
