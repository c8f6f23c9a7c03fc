// Tests of the guidance command group: options, prompts, output and exit statuses.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include "cli/guidance_commands/command_platform.h"
#include "cli/guidance_commands/commands.h"
#include "common/console.h"
#include "main/guidance/manifest.h"
#include "main/guidance/scaffold.h"
#include "tests/support/testing.h"

namespace velko::guidance_commands {
namespace {

namespace fs = std::filesystem;
using guidance::GuidanceItem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string kConstraint = R"({"name": "Keep the pressure safe", "type": "constraint",
                                    "conditions": []})";

class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the fake platform saw and holds; shared by all clients of one test.
struct Backend {
  std::vector<std::string> urls;   // one per client made
  std::vector<std::string> calls;  // "select", "list o p", "get o p name type", ...
  std::vector<GuidanceItem> items;
  Project project{"proj-9", "org-3", "Demo"};
  std::string fail_on;              // a call that throws ClientError
  std::function<void()> on_select;  // runs inside cli_select
};

class FakePlatform : public Platform, public guidance::GuidanceLibrary {
 public:
  explicit FakePlatform(Backend& backend) : backend_(backend) {}

  GuidanceLibrary& guidance() override { return *this; }

  awaitable<Project> cli_select(Prompts) override {
    note("select");
    if (backend_.on_select) backend_.on_select();
    co_return backend_.project;
  }
  awaitable<std::vector<GuidanceItem>> list_guidance(std::string organization_id,
                                                     std::string project_id) override {
    note("list " + organization_id + " " + project_id);
    co_return backend_.items;
  }
  awaitable<std::string> upload_reward_file(std::string organization_id, std::string project_id,
                                            std::string filename, std::string bytes) override {
    note("upload " + organization_id + " " + project_id + " " + filename + " " + bytes);
    co_return "url:" + filename;
  }
  awaitable<std::optional<GuidanceItem>> get_by_name(std::string organization_id,
                                                     std::string project_id, std::string name,
                                                     std::string type) override {
    note("get " + organization_id + " " + project_id + " " + name + " " + type);
    for (const auto& item : backend_.items) {
      if (item.name == name && item.type.value == type) co_return item;
    }
    co_return std::nullopt;
  }
  awaitable<GuidanceItem> create(std::string organization_id, std::string project_id,
                                 std::string type, std::string name,
                                 std::optional<boost::json::value>,
                                 std::optional<std::string> data_url) override {
    note("create " + organization_id + " " + project_id + " " + type + " " + name + " " +
         data_url.value_or("-"));
    backend_.items.push_back({"uuid-" + std::to_string(backend_.items.size() + 1), name, {type}});
    co_return backend_.items.back();
  }
  awaitable<GuidanceItem> update(std::string organization_id, std::string project_id,
                                 std::string item_id, std::optional<boost::json::value>,
                                 std::optional<std::string> data_url) override {
    note("update " + organization_id + " " + project_id + " " + item_id + " " +
         data_url.value_or("-"));
    for (const auto& item : backend_.items) {
      if (item.id == item_id) co_return item;
    }
    throw ClientError("no such item");
  }

 private:
  void note(const std::string& call) {
    backend_.calls.push_back(call);
    if (call.rfind(backend_.fail_on, 0) == 0 && !backend_.fail_on.empty()) {
      throw ClientError("refused: " + call);
    }
  }
  Backend& backend_;
};

class GuidanceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    fs::current_path(temp_.path());
    cwd_ = fs::current_path().string();
    console_.set_sink([this](std::string_view text) { out_ += text; });
    mounted_ = mount(root_, session_);
  }
  void TearDown() override { fs::current_path(previous_); }

  // Parses "velko <args>" and returns the exit status; other errors pass through.
  int run(std::vector<std::string> args, const std::string& answers = "") {
    input_.clear();
    input_.str(answers);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
      root_.parse(reversed);
    } catch (const CLI::RuntimeError& error) {
      return error.get_exit_code();
    }
    return 0;
  }

  TempDir temp_;
  fs::path previous_;
  std::string cwd_;
  std::string out_;
  std::istringstream input_;
  std::ostringstream prompts_;
  std::ostringstream errors_;
  Backend backend_;
  Console console_;
  // The answers come from a test, as from a terminal.
  GuidanceSession session_{[this](const std::string& url) -> std::unique_ptr<Platform> {
                             backend_.urls.push_back(url);
                             return std::make_unique<FakePlatform>(backend_);
                           },
                           "http://127.0.0.1:8700",
                           console_,
                           input_,
                           prompts_,
                           errors_,
                           /*interactive=*/true};
  CLI::App root_{"velko"};
  CLI::App* mounted_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// The group

TEST_F(GuidanceCommands, TheGroupHasThreeCommandsInOrderWithTheirHelpTexts) {
  CLI::App* group = mounted_;
  EXPECT_EQ(group, root_.get_subcommand("guidance"));
  EXPECT_EQ(group->get_description(), "");
  auto commands = group->get_subcommands({});
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0]->get_name(), "new");
  EXPECT_EQ(commands[0]->get_description(),
            "Create a new guidance item directory (guidance.json, and reward.py for a reward)");
  EXPECT_EQ(commands[1]->get_name(), "publish");
  EXPECT_EQ(commands[1]->get_description(),
            "Publish a guidance item to a project's guidance library (updates the item with the "
            "same name and type)");
  EXPECT_EQ(commands[2]->get_name(), "list");
  EXPECT_EQ(commands[2]->get_description(), "List the guidance items in a project");
}

TEST_F(GuidanceCommands, TheOptionsHaveLongAndShortForms) {
  CLI::App* create = mounted_->get_subcommand("new");
  for (auto [long_form, short_form] :
       {std::pair{"--name", "-n"}, {"--type", "-t"}, {"--location", "-l"}}) {
    EXPECT_EQ(create->get_option(long_form), create->get_option(short_form));
  }
  CLI::App* publish = mounted_->get_subcommand("publish");
  EXPECT_EQ(publish->get_option("path")->get_description(),
            "Path to the guidance item (positional argument)");
  EXPECT_TRUE(publish->get_option("path")->get_positional());
  EXPECT_EQ(publish->get_option("--path")->get_description(), "Path to the guidance item (option)");
  EXPECT_EQ(publish->get_option("--path"), publish->get_option("-p"));
  // list takes --json alone.
  auto list_options = mounted_->get_subcommand("list")->get_options(
      [](const CLI::Option* option) { return option->get_name() != "--help"; });
  ASSERT_EQ(list_options.size(), 1u);
  EXPECT_EQ(list_options[0]->get_name(), "--json");
}

// ---------------------------------------------------------------------------------------
// new

TEST_F(GuidanceCommands, NewAsksThreeTimesAndTakesTheDefaults) {
  EXPECT_EQ(run({"guidance", "new"}, "\n\n\n"), 0);
  EXPECT_EQ(prompts_.str(),
            "Name [my-guidance]: Type (goal, constraint, successCriteria, reward) [constraint]: "
            "Location [./]: ");
  EXPECT_EQ(out_,
            "Created ./my-guidance. Edit its guidance.json, then run `velko guidance publish` "
            "from it.\n");
  EXPECT_EQ(read_file("my-guidance/guidance.json"),
            guidance::starting_manifest("my-guidance", "constraint"));
  EXPECT_EQ(errors_.str(), "");
}

TEST_F(GuidanceCommands, NewTakesTheAnswers) {
  EXPECT_EQ(run({"guidance", "new"}, "Speed bonus\nreward\nitems/\n"), 0);
  EXPECT_EQ(out_,
            "Created items/speed-bonus. Edit its guidance.json, then run `velko guidance "
            "publish` from it.\n");
  EXPECT_EQ(guidance::read_manifest("items/speed-bonus").type, "reward");
  EXPECT_TRUE(fs::is_regular_file("items/speed-bonus/reward.py"));
}

TEST_F(GuidanceCommands, NewTakesAnAnswerEndedByCarriageReturnOrByTheEndOfInput) {
  EXPECT_EQ(run({"guidance", "new"}, "Pump\r\ngoal\r\nloc"), 0);
  EXPECT_EQ(out_,
            "Created loc/pump. Edit its guidance.json, then run `velko guidance publish` from "
            "it.\n");
}

TEST_F(GuidanceCommands, NewWithAllOptionsAsksNothing) {
  EXPECT_EQ(
      run({"guidance", "new", "--name", "Keep the pressure safe", "-t", "goal", "-l", "sub/dir"}),
      0);
  EXPECT_EQ(prompts_.str(), "");
  EXPECT_EQ(out_,
            "Created sub/dir/keep-the-pressure-safe. Edit its guidance.json, then run `velko "
            "guidance publish` from it.\n");
  EXPECT_EQ(guidance::read_manifest("sub/dir/keep-the-pressure-safe").type, "goal");
}

TEST_F(GuidanceCommands, NewAsksOnlyForWhatWasNotGivenInOrder) {
  EXPECT_EQ(run({"guidance", "new", "-t", "goal"}, "A\n\n"), 0);
  EXPECT_EQ(prompts_.str(), "Name [my-guidance]: Location [./]: ");
  EXPECT_EQ(out_,
            "Created ./a. Edit its guidance.json, then run `velko guidance publish` from it.\n");

  prompts_.str("");
  out_.clear();
  EXPECT_EQ(run({"guidance", "new", "-n", "B", "--location", "x"}, "successCriteria\n"), 0);
  EXPECT_EQ(prompts_.str(), "Type (goal, constraint, successCriteria, reward) [constraint]: ");
  EXPECT_EQ(guidance::read_manifest("x/b").type, "successCriteria");
}

TEST_F(GuidanceCommands, NewTakesTheLastValueOfAnOptionGivenTwice) {
  EXPECT_EQ(run({"guidance", "new", "-n", "a", "--name", "b", "-t", "x", "-t", "goal", "-l", "l"}),
            0);
  EXPECT_EQ(out_,
            "Created l/b. Edit its guidance.json, then run `velko guidance publish` from it.\n");
}

TEST_F(GuidanceCommands, NewTakesAnEmptyOptionAsGivenWithoutAsking) {
  EXPECT_EQ(run({"guidance", "new", "--name", "", "--type", "goal", "--location", "l"}), 0);
  EXPECT_EQ(prompts_.str(), "");
  EXPECT_EQ(out_,
            "Created l/guidance. Edit its guidance.json, then run `velko guidance publish` from "
            "it.\n");
}

TEST_F(GuidanceCommands, NewEndOfInputAtAPromptAborts) {
  EXPECT_EQ(run({"guidance", "new"}, ""), 1);
  EXPECT_EQ(prompts_.str(), "Name [my-guidance]: ");
  EXPECT_EQ(errors_.str(), "Aborted!\n");
  EXPECT_EQ(out_, "");
  EXPECT_TRUE(fs::is_empty(cwd_));

  prompts_.str("");
  errors_.str("");
  EXPECT_EQ(run({"guidance", "new"}, "Name\n"), 1);
  EXPECT_EQ(prompts_.str(),
            "Name [my-guidance]: Type (goal, constraint, successCriteria, reward) [constraint]: ");
  EXPECT_EQ(errors_.str(), "Aborted!\n");
  EXPECT_TRUE(fs::is_empty(cwd_));
}

TEST_F(GuidanceCommands, EndOfInputAtTheProjectPromptAbortsLikeAnyPrompt) {
  backend_.on_select = [] { throw PromptAborted("No project chosen (end of input)"); };
  EXPECT_EQ(run({"guidance", "list"}), 1);
  EXPECT_EQ(errors_.str(), "Aborted!\n");
  EXPECT_EQ(out_, "");
}

TEST_F(GuidanceCommands, NewWithAWrongTypeIsRedWithExitStatus1) {
  EXPECT_EQ(run({"guidance", "new"}, "n\nGoal\n\n"), 1);
  EXPECT_EQ(out_, "type must be one of: goal, constraint, successCriteria, reward\n");
  EXPECT_TRUE(fs::is_empty(cwd_));
}

TEST_F(GuidanceCommands, NewTwiceIsRedWithExitStatus1) {
  EXPECT_EQ(
      run({"guidance", "new", "-n", "Keep the pressure safe", "-t", "constraint", "-l", "./"}), 0);
  out_.clear();
  EXPECT_EQ(run({"guidance", "new", "-n", "Keep the pressure safe", "-t", "goal", "-l", "./"}), 1);
  EXPECT_EQ(out_, "./keep-the-pressure-safe already exists\n");
  EXPECT_EQ(guidance::read_manifest("keep-the-pressure-safe").type, "constraint");
}

TEST_F(GuidanceCommands, NewPrintsMarkupInUserTextAsItStands) {
  EXPECT_EQ(run({"guidance", "new", "-n", "x", "-t", "goal", "-l", "[red]a\\b"}), 0);
  EXPECT_EQ(out_,
            "Created [red]a\\b/x. Edit its guidance.json, then run `velko guidance publish` "
            "from it.\n");
  out_.clear();
  EXPECT_EQ(run({"guidance", "new", "-n", "x", "-t", "goal", "-l", "[red]a\\b"}), 1);
  EXPECT_EQ(out_, "[red]a\\b/x already exists\n");
}

TEST_F(GuidanceCommands, NewFileSystemErrorsPassThrough) {
  write_file("file", "");
  EXPECT_THROW(run({"guidance", "new", "-n", "x", "-t", "goal", "-l", "file"}),
               fs::filesystem_error);
  EXPECT_EQ(out_, "");
}

// ---------------------------------------------------------------------------------------
// publish

TEST_F(GuidanceCommands, PublishWithNoArgumentPublishesTheWorkingDirectory) {
  write_file("guidance.json", kConstraint);
  EXPECT_EQ(run({"guidance", "publish"}), 0);
  EXPECT_EQ(out_, "Published the constraint 'Keep the pressure safe' (uuid: uuid-1)\n");
  std::vector<std::string> calls = {"select", "get org-3 proj-9 Keep the pressure safe constraint",
                                    "create org-3 proj-9 constraint Keep the pressure safe -"};
  EXPECT_EQ(backend_.calls, calls);
  EXPECT_EQ(backend_.urls, std::vector<std::string>{"http://127.0.0.1:8700"});
}

TEST_F(GuidanceCommands, PublishAgainUpdates) {
  write_file("guidance.json", kConstraint);
  EXPECT_EQ(run({"guidance", "publish"}), 0);
  out_.clear();
  backend_.calls.clear();
  EXPECT_EQ(run({"guidance", "publish", "."}), 0);
  EXPECT_EQ(out_, "Updated the constraint 'Keep the pressure safe' (uuid: uuid-1)\n");
  EXPECT_EQ(backend_.calls.back(), "update org-3 proj-9 uuid-1 -");
  EXPECT_EQ(backend_.urls.size(), 2u);  // a client for each run
}

TEST_F(GuidanceCommands, PublishARewardUploadsItsFileFirst) {
  guidance::create("It's fast", "reward", "./");
  EXPECT_EQ(run({"guidance", "publish", "it-s-fast"}), 0);
  EXPECT_EQ(out_, "Published the reward \"It's fast\" (uuid: uuid-1)\n");
  std::vector<std::string> calls = {
      "select", "upload org-3 proj-9 reward.py " + std::string(guidance::REWARD_TEMPLATE),
      "get org-3 proj-9 It's fast reward", "create org-3 proj-9 reward It's fast url:reward.py"};
  EXPECT_EQ(backend_.calls, calls);
}

TEST_F(GuidanceCommands, PublishTheOptionWinsOverThePositionalPath) {
  write_file("guidance.json", R"({"name": "here", "type": "goal", "conditions": []})");
  fs::create_directories("a");
  write_file("a/guidance.json", R"({"name": "A", "type": "goal", "conditions": []})");
  fs::create_directories("b");
  write_file("b/guidance.json", R"({"name": "B", "type": "goal", "conditions": []})");

  EXPECT_EQ(run({"guidance", "publish", "a"}), 0);
  EXPECT_EQ(run({"guidance", "publish", "a", "--path", "b"}), 0);
  EXPECT_EQ(run({"guidance", "publish", "-p", "b", "a"}), 0);
  // A given option wins even when it is empty: the working directory.
  EXPECT_EQ(run({"guidance", "publish", "a", "--path", ""}), 0);
  EXPECT_EQ(run({"guidance", "publish", "-p", ""}), 0);
  EXPECT_EQ(out_,
            "Published the goal 'A' (uuid: uuid-1)\n"
            "Published the goal 'B' (uuid: uuid-2)\n"
            "Updated the goal 'B' (uuid: uuid-2)\n"
            "Published the goal 'here' (uuid: uuid-3)\n"
            "Updated the goal 'here' (uuid: uuid-3)\n");
}

TEST_F(GuidanceCommands, PublishWithoutAManifestIsRedBeforeAnyClient) {
  fs::create_directories("empty");
  EXPECT_EQ(run({"guidance", "publish", "empty"}), 1);
  EXPECT_EQ(out_,
            "No guidance.json in " + cwd_ + "/empty (create one with `velko guidance new`)\n");
  EXPECT_TRUE(backend_.urls.empty());
  EXPECT_TRUE(backend_.calls.empty());
  out_.clear();
  EXPECT_EQ(run({"guidance", "publish"}), 1);
  EXPECT_EQ(out_, "No guidance.json in " + cwd_ + " (create one with `velko guidance new`)\n");
}

TEST_F(GuidanceCommands, PublishAsksBeforeSendingARewardFileFromOutsideTheItem) {
  write_file("secret", "s");
  fs::create_directories("item");
  write_file("item/guidance.json", R"({"name": "r", "type": "reward", "file": "../secret"})");
  const std::string where = "The reward file " + cwd_ + "/secret is outside the item directory " +
                            cwd_ + "/item.\nSend it to the platform anyway? [y/N]: ";
  // No is the default: nothing is sent, nor is a client made.
  for (std::string answer : {"\n", "n\n", "maybe\n"}) {
    out_.clear();
    prompts_.str("");
    EXPECT_EQ(run({"guidance", "publish", "item"}, answer), 1) << answer;
    EXPECT_EQ(prompts_.str(), where);
    EXPECT_EQ(out_, "Nothing was sent.\n");
    EXPECT_TRUE(backend_.urls.empty());
  }
  EXPECT_EQ(run({"guidance", "publish", "item"}, ""), 1);  // end of input
  EXPECT_EQ(errors_.str(), "Aborted!\n");
  EXPECT_TRUE(backend_.urls.empty());

  EXPECT_EQ(run({"guidance", "publish", "item"}, " Yes\n"), 0);
  EXPECT_EQ(backend_.calls[1], "upload org-3 proj-9 secret s");
  // Given the option, it asks nothing.
  prompts_.str("");
  backend_.calls.clear();
  EXPECT_EQ(run({"guidance", "publish", "item", "--allow-outside-file"}), 0);
  EXPECT_EQ(prompts_.str(), "");
  EXPECT_EQ(backend_.calls[1], "upload org-3 proj-9 secret s");
}

TEST_F(GuidanceCommands, PublishAYesAllowsOnlyTheFileTheUserWasAskedAbout) {
  write_file("asked", "a");
  write_file("other", "o");
  fs::create_directories("item");
  fs::create_symlink("../asked", "item/reward.py");
  write_file("item/guidance.json", R"({"name": "r", "type": "reward"})");
  // The link is pointed elsewhere while the project is chosen, after the user said yes.
  backend_.on_select = [] {
    fs::remove("item/reward.py");
    fs::create_symlink("../other", "item/reward.py");
  };
  EXPECT_EQ(run({"guidance", "publish", "item"}, "y\n"), 1);
  EXPECT_EQ(out_, "The reward file " + cwd_ + "/item/reward.py leads to " + cwd_ +
                      "/other, outside the item directory " + cwd_ +
                      "/item; nothing was sent. Move the file into the item directory, or give "
                      "--allow-outside-file to send it anyway.\n");
  EXPECT_EQ(backend_.calls, std::vector<std::string>{"select"});
}

TEST_F(GuidanceCommands, NamesAndArgumentsAreShownEscaped) {
  // The reward file's name, in the refusal and in the question.
  const std::string name = "evil\x1b[2J\n\u202e.py";
  const std::string shown = "evil\\x1b[2J\\x0a\\u202e.py";
  write_file(name, "s");
  fs::create_directories("item");
  write_file("item/guidance.json",
             R"({"name": "r", "type": "reward", "file": "../evil\u001b[2J\n\u202e.py"})");
  EXPECT_EQ(run({"guidance", "publish", "item"}, "n\n"), 1);
  EXPECT_EQ(prompts_.str(), "The reward file " + cwd_ + "/" + shown +
                                " is outside the item directory " + cwd_ +
                                "/item.\nSend it to the platform anyway? [y/N]: ");
  session_.interactive = false;
  out_.clear();
  EXPECT_EQ(run({"guidance", "publish", "item"}), 1);
  EXPECT_EQ(out_.substr(0, out_.find(';')), "The reward file " + cwd_ + "/" + shown +
                                                " is outside the item directory " + cwd_ + "/item");
  // The arguments echoed back.
  out_.clear();
  EXPECT_EQ(run({"guidance", "publish", "no\x1b]0;x\x07where"}), 1);
  EXPECT_EQ(out_, "No guidance.json in " + cwd_ +
                      "/no\\x1b]0;x\\x07where (create one with `velko guidance new`)\n");
  out_.clear();
  EXPECT_EQ(run({"guidance", "new", "-n", "x", "-t", "goal", "-l", "a\nb\u2066"}), 0);
  EXPECT_EQ(out_,
            "Created a\\x0ab\\u2066/x. Edit its guidance.json, then run `velko guidance publish` "
            "from it.\n");
  out_.clear();
  EXPECT_EQ(run({"guidance", "new", "-n", "x", "-t", "goal", "-l", "a\nb\u2066"}), 1);
  EXPECT_EQ(out_, "a\\x0ab\\u2066/x already exists\n");
}

TEST_F(GuidanceCommands, PublishAnInvalidManifestIsItsMessageInRed) {
  write_file("guidance.json", R"({"name": "r", "type": "reward"})");
  EXPECT_EQ(run({"guidance", "publish"}), 1);
  EXPECT_EQ(out_, "The reward file 'reward.py' is not in " + cwd_ + "\n");
  EXPECT_TRUE(backend_.calls.empty());
}

TEST_F(GuidanceCommands, PublishPrintsMarkupInNamesAsItStands) {
  write_file("guidance.json",
             R"({"name": "[red]Alarm[/red] \\[x]", "type": "constraint", "conditions": []})");
  EXPECT_EQ(run({"guidance", "publish"}), 0);
  EXPECT_EQ(out_, "Published the constraint '[red]Alarm[/red] \\\\[x]' (uuid: uuid-1)\n");
}

TEST_F(GuidanceCommands, PublishClientErrorsPassThroughUnchanged) {
  write_file("guidance.json", kConstraint);
  for (std::string step : {"select", "get", "create"}) {
    backend_.fail_on = step;
    EXPECT_THROW(run({"guidance", "publish"}), ClientError) << step;
  }
  EXPECT_EQ(out_, "");
}

TEST_F(GuidanceCommands, PublishASecondReadingErrorPassesThroughUncaught) {
  write_file("guidance.json", kConstraint);
  // The manifest disappears while the project is chosen.
  backend_.on_select = [] { fs::remove("guidance.json"); };
  EXPECT_THROW(run({"guidance", "publish"}), guidance::GuidanceManifestError);
  EXPECT_EQ(out_, "");
}

TEST_F(GuidanceCommands, PublishWithoutAPlatformFactoryIsAClearError) {
  write_file("guidance.json", kConstraint);
  session_.make_platform = nullptr;
  try {
    run({"guidance", "publish"});
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("no way to make a platform client"),
              std::string::npos);
  }
}

TEST_F(GuidanceCommands, TheClientIsMadeWithTheSessionsAddress) {
  session_.url_api = "http://127.0.0.1:9999";
  EXPECT_EQ(run({"guidance", "list"}), 0);
  EXPECT_EQ(backend_.urls, std::vector<std::string>{"http://127.0.0.1:9999"});
}

// ---------------------------------------------------------------------------------------
// list

TEST_F(GuidanceCommands, ListWithNoItemsShowsOnlyTheHeader) {
  EXPECT_EQ(run({"guidance", "list"}), 0);
  EXPECT_EQ(out_,
            "┏━━━━━━┳━━━━━━┳━━━━━━┓\n"
            "┃ Name ┃ Type ┃ UUID ┃\n"
            "┡━━━━━━╇━━━━━━╇━━━━━━┩\n"
            "└──────┴──────┴──────┘\n");
  EXPECT_EQ(backend_.calls, (std::vector<std::string>{"select", "list org-3 proj-9"}));
}

TEST_F(GuidanceCommands, ListShowsTheItemsInTheOrderReceived) {
  backend_.items = {{"u-2", "Keep the pressure safe", {"constraint"}},
                    {"u-10", "[red]Speed[/red]", {"reward"}}};
  EXPECT_EQ(run({"guidance", "list"}), 0);
  EXPECT_EQ(out_,
            "┏━━━━━━━━━━━━━━━━━━━━━━━━┳━━━━━━━━━━━━┳━━━━━━┓\n"
            "┃ Name                   ┃ Type       ┃ UUID ┃\n"
            "┡━━━━━━━━━━━━━━━━━━━━━━━━╇━━━━━━━━━━━━╇━━━━━━┩\n"
            "│ Keep the pressure safe │ constraint │ u-2  │\n"
            "│ [red]Speed[/red]       │ reward     │ u-10 │\n"
            "└────────────────────────┴────────────┴──────┘\n");
}

TEST_F(GuidanceCommands, ListClientErrorsPassThroughUnchanged) {
  backend_.fail_on = "list";
  EXPECT_THROW(run({"guidance", "list"}), ClientError);
  EXPECT_EQ(out_, "");
}

// ---------------------------------------------------------------------------------------
// On a terminal: the message is red, on standard output

// Runs `fn` with standard output on a pseudo-terminal and returns what it showed.
template <class Fn>
std::string on_terminal(Fn fn) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "(no pty)";
  std::fflush(stdout);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(slave, STDOUT_FILENO);
  fn();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(slave);
  std::string shown;
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(master, buffer, sizeof buffer)) > 0) shown.append(buffer, n);
  ::close(master);
  return shown;
}

TEST_F(GuidanceCommands, OnATerminalTheManifestErrorIsRedOnStandardOutput) {
  fs::create_directories("empty");
  int status = -1;
  std::string shown = on_terminal([&] {
    console_.reset();  // now standard output is a terminal
    status = run({"guidance", "publish", "empty"});
  });
  console_.reset();
  EXPECT_EQ(status, 1);
  EXPECT_NE(shown.find("\x1b[31mNo guidance.json in " + cwd_ +
                       "/empty (create one with `velko guidance new`)\x1b[0m"),
            std::string::npos)
      << shown;
  EXPECT_EQ(out_, "");
}

}  // namespace
}  // namespace velko::guidance_commands
