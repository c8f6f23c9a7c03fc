// The guidance commands through the built `velko` against the local platform server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <boost/json.hpp>

#include "tests/support/end_to_end.h"
#include "tests/support/testing.h"

namespace velko::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

class GuidanceEndToEnd : public EndToEnd {
 protected:
  void SetUp() override { start_services(); }

  // velko in `cwd`, reading `input`, with a project chosen and NO_COLOR unset.
  RunResult velko(const std::vector<std::string>& args, const std::string& cwd,
                  const std::string& input = "") {
    RunOptions run_options = options();
    run_options.cwd = cwd;
    run_options.input = input;
    run_options.env["VELKO_PROJECT"] = "Water plant";
    run_options.env["NO_COLOR"] = std::nullopt;
    return EndToEnd::velko(args, run_options);
  }
};

TEST_F(GuidanceEndToEnd, NewPublishPublishList) {
  RunResult made =
      velko({"guidance", "new", "-n", "Keep the pressure safe", "-t", "constraint", "-l", "."},
            dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out,
            "Created ./keep-the-pressure-safe. Edit its guidance.json, then run `velko guidance "
            "publish` from it.\n");
  std::string item = dir / "keep-the-pressure-safe";
  EXPECT_EQ(read_file(item + "/guidance.json"),
            "{\n  \"name\": \"Keep the pressure safe\",\n  \"type\": \"constraint\",\n"
            "  \"conditions\": []\n}\n");

  RunResult first = velko({"guidance", "publish"}, item);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(first.out, MatchesRegex("Published the constraint 'Keep the pressure safe' "
                                      "\\(uuid: [-0-9a-f]+\\)\n"));
  RunResult second = velko({"guidance", "publish", "--path", item}, dir.path());
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_THAT(second.out, MatchesRegex("Updated the constraint 'Keep the pressure safe' "
                                       "\\(uuid: [-0-9a-f]+\\)\n"));
  EXPECT_EQ(first.out.substr(first.out.find("uuid")), second.out.substr(second.out.find("uuid")));

  RunResult listed = velko({"guidance", "list"}, dir.path());
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_THAT(listed.out, HasSubstr("┃ Name"));
  EXPECT_THAT(listed.out, HasSubstr("│ Keep the pressure safe │ constraint │"));
  RunResult as_json = velko({"guidance", "list", "--json"}, dir.path());
  ASSERT_EQ(as_json.status, 0) << as_json.err;
  boost::json::value items = boost::json::parse(as_json.out);
  EXPECT_EQ(items.at("project").at("name"), "Water plant");
  EXPECT_EQ(items.at("items").at(0).at("name"), "Keep the pressure safe");
  EXPECT_EQ(items.at("items").at(0).at("type"), "constraint");
}

TEST_F(GuidanceEndToEnd, PromptsTakeDefaultsAndEndOfInputAborts) {
  RunResult made = velko({"guidance", "new"}, dir.path(), "\n\n\n");
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out,
            "Name [my-guidance]: Type (goal, constraint, successCriteria, reward) [constraint]: "
            "Location [./]: Created ./my-guidance. Edit its guidance.json, then run `velko "
            "guidance publish` from it.\n");
  RunResult aborted = velko({"guidance", "new", "-n", "x"}, dir.path(), "");
  EXPECT_EQ(aborted.status, 1);
  EXPECT_THAT(aborted.err, HasSubstr("Aborted!"));
}

TEST_F(GuidanceEndToEnd, ErrorsHaveTheirExitStatuses) {
  RunResult missing = velko({"guidance", "publish"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out,
            "No guidance.json in " + dir.path() + " (create one with `velko guidance new`)\n");
  // A reward file from outside the item, without a terminal to ask on: refused, unsent.
  write_file(dir / "guidance.json", R"({"name": "r", "type": "reward", "file": "/etc/hostname"})");
  RunResult outside = velko({"guidance", "publish"}, dir.path());
  EXPECT_EQ(outside.status, 1);
  EXPECT_THAT(outside.out, HasSubstr("The reward file /etc/hostname is outside the item "
                                     "directory " +
                                     dir.path() + "; nothing was sent."));
  EXPECT_THAT(outside.out, HasSubstr("--allow-outside-file"));
  RunResult allowed = velko({"guidance", "publish", "--allow-outside-file"}, dir.path());
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  std::filesystem::remove(dir / "guidance.json");

  RunResult usage = velko({"guidance", "frobnicate"}, dir.path());
  EXPECT_EQ(usage.status, 2);
  // What the user typed is given back escaped: an unknown option, a refused value.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"guidance", "list", "--bo\x1b[2J\ngus"},
        std::vector<std::string>{"sim", "validate", "x", "--call-timeout", "\x1b[2J\n7"}}) {
    RunResult refused = velko(args, dir.path());
    EXPECT_EQ(refused.status, 2) << args.back();
    EXPECT_THAT(refused.err, HasSubstr("\\x1b[2J\\x0a")) << refused.err;
    EXPECT_THAT(refused.err, Not(HasSubstr("\x1b"))) << refused.err;
  }
  RunResult help = velko({"guidance", "--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("Create a new guidance item directory (guidance.json, and "
                                  "reward.py for a reward)"));
  EXPECT_THAT(help.out, HasSubstr("List the guidance items in a project"));
  write_file(dir / "guidance.json", "{\"name\": \"x\", \"type\": \"goal\", \"conditions\": []}");
  RefusingPort nobody;
  RunOptions unreachable_options;
  unreachable_options.env = {{"VELKO_API_URL", nobody.url()}};
  unreachable_options.cwd = dir.path();
  RunResult unreachable = run({bin("velko"), "guidance", "list"}, unreachable_options);
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_THAT(unreachable.err,
              HasSubstr("Error: Could not reach " + nobody.url() + "/v1/projects"));
}

// The HTTP library and the thirty libraries it brings are loaded when a request is made, not
// by every command (the dynamic loader lists what it loads when LD_DEBUG=files). The logging
// and JSON libraries are built into velko: binding their symbols at start-up cost more than
// the rest of `velko --help`.
TEST_F(GuidanceEndToEnd, OnlyCommandsThatNeedThemLoadTheHttpAndUnicodeLibraries) {
  RunOptions options;
  options.cwd = dir.path();
  options.env = {{"LD_DEBUG", std::string("files")}, {"NO_COLOR", std::nullopt}};
  RunResult help = run({bin("velko"), "--help"}, options);
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.err, HasSubstr("libstdc++"));  // the loader did list what it loaded
  EXPECT_THAT(help.err, Not(HasSubstr("libcurl")));
  EXPECT_THAT(help.err, Not(HasSubstr("libicuuc")));
  EXPECT_THAT(help.err, Not(HasSubstr("libspdlog")));
  EXPECT_THAT(help.err, Not(HasSubstr("libboost_json")));
  RunResult made =
      run({bin("velko"), "guidance", "new", "-n", "x", "-t", "goal", "-l", "items"}, options);
  EXPECT_EQ(made.status, 0) << made.out;
  EXPECT_THAT(made.err, Not(HasSubstr("libcurl")));
  EXPECT_THAT(made.err, Not(HasSubstr("libicuuc")));
  // A name beyond ASCII needs the character data, which is then loaded and used.
  RunResult named = run({bin("velko"), "guidance", "new", "-n", "Niveau \u00e9lev\u00e9", "-t",
                         "goal", "-l", "items"},
                        options);
  EXPECT_EQ(named.status, 0) << named.out;
  EXPECT_THAT(named.err, HasSubstr("libicuuc"));
  EXPECT_TRUE(std::filesystem::exists(dir / "items/niveau-\u00e9lev\u00e9")) << named.out;

  RefusingPort nobody;
  options.env["VELKO_API_URL"] = nobody.url();
  RunResult listed = run({bin("velko"), "guidance", "list"}, options);
  EXPECT_EQ(listed.status, 1);
  EXPECT_THAT(listed.err, HasSubstr("libcurl"));
}

}  // namespace
}  // namespace velko::testing
