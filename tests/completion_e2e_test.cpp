// `velko completion SHELL`: the scripts come from the command tree, and bash's completes what
// a user types.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/testing.h"

namespace velko::testing {
namespace {

using ::testing::HasSubstr;

TEST(Completion, BashCompletesCommandsAndOptionsWhereverTheyAre) {
  RunResult script = run({bin("velko"), "completion", "bash"});
  ASSERT_EQ(script.status, 0) << script.err;
  const std::string file = ::testing::TempDir() + "velko-completion.bash";
  write_file(file, script.out);
  // What bash offers after the words typed so far (the last one is being completed).
  struct Case {
    std::vector<std::string> words;
    std::string offered;
  };
  const std::vector<Case> cases = {
      {{"velko", ""}, "guidance sim data completion --help -h --help-all --version"},
      {{"velko", "si"}, "sim"},
      {{"velko", "sim", "pu"}, "publish"},
      {{"velko", "sim", "publish", "--da"}, "--dataset"},
      // An option's value is not taken for a command, whatever it says.
      {{"velko", "sim", "publish", "--name", "list", "--max-e"}, "--max-episodes"},
      {{"velko", "guidance", "new", "--ty"}, "--type"},
      {{"velko", "guidance", "list", "--"}, "--help --json"},
      // A flag takes no value: the word after it is read as usual.
      {{"velko", "sim", "--help", "pu"}, "publish"},
      // After an option that takes a value, nothing of velko's is offered (files are).
      {{"velko", "sim", "publish", "--dataset", ""}, ""},
  };
  for (const Case& c : cases) {
    std::string words;
    for (const std::string& w : c.words) words += " '" + w + "'";
    const std::string probe = "source '" + file + "'; COMP_WORDS=(" + words +
                              "); COMP_CWORD=" + std::to_string(c.words.size() - 1) +
                              "; _velko; echo \"${COMPREPLY[*]}\"";
    RunResult result = run({"/bin/bash", "--norc", "-c", probe});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, c.offered + "\n") << words;
  }

  // zsh runs the same function; fish gets a line per command and option; others are refused.
  RunResult zsh = run({bin("velko"), "completion", "zsh"});
  EXPECT_THAT(zsh.out, HasSubstr("bashcompinit\n"));
  EXPECT_THAT(zsh.out, HasSubstr(script.out));
  RunResult fish = run({bin("velko"), "completion", "fish"});
  EXPECT_THAT(fish.out, HasSubstr("complete -c velko -n 'test (__velko_path) = /sim/publish' "
                                  "-l dataset -r -F -d "));
  RunResult other = run({bin("velko"), "completion", "tcsh"});
  EXPECT_EQ(other.status, 2);
  EXPECT_EQ(other.out, "");
}

}  // namespace
}  // namespace velko::testing
