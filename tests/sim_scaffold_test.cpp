// How `velko sim new` fills its templates: a shell word reads back as the text it was made
// from, whatever the text holds, and placeholders are replaced once, others left alone.
#include <gtest/gtest.h>

#include "cli/sim_commands/sim_scaffold.h"
#include "tests/support/testing.h"

namespace velko::testing {
namespace {

TEST(SimScaffold, ShellWordsReadBackAsTheirText) {
  for (const std::string text :
       {"/usr/lib/velko/python", "my dir", "it's", "a'b\"c$HOME`x`\\", "", "tab\there", "~/x"}) {
    RunResult printed = run({"/bin/sh", "-c", "printf %s " + sim_commands::shell_word(text)});
    EXPECT_EQ(printed.status, 0) << text;
    EXPECT_EQ(printed.out, text) << sim_commands::shell_word(text);
  }
  EXPECT_EQ(sim_commands::shell_word("build/bin"), "build/bin");
}

TEST(SimScaffold, PlaceholdersAreFilledInOnePass) {
  const std::map<std::string, std::string> values{{"@A@", "@B@"}, {"@B@", "b"}};
  EXPECT_EQ(sim_commands::fill_template("x@A@y @B@@ user@host @C@ @", values),
            "x@B@y b@ user@host @C@ @");
}

}  // namespace
}  // namespace velko::testing
