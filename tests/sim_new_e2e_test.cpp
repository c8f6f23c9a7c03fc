// `velko sim new` through the built executable: the folders it makes pass every check of
// `velko sim validate` as they are, and what it refuses leaves nothing behind.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "tests/support/testing.h"

namespace velko::testing {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class SimNewEndToEnd : public ::testing::Test {
 protected:
  // Runs velko in the test's folder. A Python sim's run-sim finds velko_sim beside the velko
  // that made it: build/python, the folder the other Python tests put on the path.
  RunResult velko(std::vector<std::string> args) {
    args.insert(args.begin(), bin("velko"));
    RunOptions options;
    options.cwd = dir.path();
    options.env = {{"NO_COLOR", std::string("1")},
                   {"PYTHONDONTWRITEBYTECODE", std::string("1")},
                   {"VELKO_SIM_PYTHONPATH", std::nullopt}};
    options.timeout_s = 120;
    return run(args, options);
  }

  TempDir dir;
};

TEST_F(SimNewEndToEnd, NewSimsPassEveryCheckOfValidate) {
  struct Case {
    std::string language;
    std::string name;  // the C++ one is the name the build made its program under
    std::string code;
  };
  for (const Case& c : {Case{"--python", "room-heater", "sim.py"},
                        Case{"--cpp", "velko-scaffold-check", "sim.cpp"}}) {
    RunResult made = velko({"sim", "new", c.language, c.name});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_THAT(made.out, StartsWith("Created " + c.name + " (a "));
    EXPECT_THAT(made.out, HasSubstr("\n  velko sim validate " + c.name + "\n  velko sim publish " +
                                    c.name + " --dataset DATASET\n"));
    EXPECT_TRUE(fs::is_regular_file(dir / c.name + "/" + c.code)) << c.language;

    RunResult validated = velko({"sim", "validate", c.name, "--json"});
    EXPECT_EQ(validated.status, 0) << validated.out << validated.err;
    json::value report = json_text::parse(validated.out);
    for (const json::value& check : report.at("checks").as_array()) {
      EXPECT_EQ(check.at("status"), json::value("passed")) << c.language << ": " << check;
    }
  }
  EXPECT_THAT(processes_left_in(dir.path()), IsEmpty());
}

TEST_F(SimNewEndToEnd, RefusesBadNamesAndTakenFoldersAndMakesNothing) {
  write_file(dir / "taken", "");
  fs::create_directory(dir / "empty");
  fs::create_symlink("nowhere", dir / "link");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string error;
  };
  const std::string rule = "name: must be ASCII letters, digits, '-' and '_', such as my-sim; got ";
  const std::string taken =
      " already exists: give another NAME, or --dir with a folder that "
      "does not exist yet\n";
  const std::vector<Case> cases = {
      {{"my sim"}, 2, rule + "my sim"},
      {{"../up"}, 2, rule + "../up"},
      {{"bad\x1b[2J"}, 2, rule + "bad\\x1b[2J"},
      {{"_x"}, 2, "name: must start with a letter or a digit; got _x"},
      {{"ok", "--python", "--cpp"}, 2, "--python excludes --cpp"},
      {{"taken"}, 1, "Error: taken" + taken},
      {{"ok", "--dir", "empty/"}, 1, "Error: empty" + taken},
      {{"ok", "--cpp", "--dir", "link"}, 1, "Error: link" + taken},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"sim", "new"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult result = velko(args);
    EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(c.args) << result.err;
    EXPECT_THAT(result.err, StartsWith(c.error)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(result.out, "");
  }
  std::vector<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ElementsAre("empty", "link", "taken"));
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
}

}  // namespace
}  // namespace velko::testing
