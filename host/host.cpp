#include "host/host.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "cli/data_commands/data_stats.h"
#include "cli/guidance_commands/command_platform.h"
#include "cli/guidance_commands/commands.h"
#include "cli/sim_commands/sim_publish.h"
#include "common/console.h"
#include "common/errors.h"
#include "host/completion.h"
#include "host/settings.h"
#include "platform/client.h"

namespace velko::host {

namespace {

// For `velko bogus` or `velko sim bogus`: names the word that is not a command and lists the
// commands there are, where CLI11 would only say that an argument was not expected. Empty when
// the command line names no unknown command.
std::string unknown_command(const CLI::App& app, int argc, char** argv) {
  const CLI::App* current = &app;
  std::string path = "velko";
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word.empty() || word.front() == '-') return "";
    auto commands =
        current->get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
    if (commands.empty()) return "";
    const CLI::App* next = nullptr;
    std::string names;
    for (const CLI::App* command : commands) {
      if (command->get_name() == word) next = command;
      if (!names.empty()) names += ", ";
      names += command->get_name();
    }
    if (!next) {
      return "'" + printable_name(word) + "' is not a command of " + path +
             "; the commands are: " + names + ". See `" + path + " --help`.";
    }
    current = next;
    path += " " + std::string(word);
  }
  return "";
}

// CLI11's message for a parse error, with what the user typed shown escaped: an unknown
// option or a refused value is given back on one line, and cannot steer the terminal.
std::string failure_message(const CLI::App* app, const CLI::Error& error) {
  std::string message = CLI::FailureMessage::simple(app, error);
  std::string_view what = error.what();
  if (message.compare(0, what.size(), what) != 0) return printable(message);
  return printable_name(what) + printable(std::string_view(message).substr(what.size()));
}

}  // namespace

int run(int argc, char** argv) {
  // A reader of our output that went away (a pipe to a closed terminal's `tee`) makes a write
  // fail; it must not kill velko before it has closed its claim and stopped its sim.
  ::signal(SIGPIPE, SIG_IGN);
  // The one reading of the environment, and the one console, of this command. A setting that
  // no command could run with ends every command before anything is sent, but not the help or
  // the version, which need no setting (they end the parse before the check below).
  Settings settings;
  std::optional<std::string> settings_problem;
  try {
    settings = host::read_settings_from_environment();
  } catch (const std::invalid_argument& e) {
    settings_problem = e.what();
  }
  Console console(/*to_stderr=*/false, settings.color);

  CLI::App app("The command-line client of the velko sim platform.", "velko");
  app.require_subcommand(1);
  // Runs once the command line is parsed and before the command's own callback.
  app.parse_complete_callback([&settings_problem] {
    if (settings_problem) throw std::invalid_argument(*settings_problem);
  });
  app.set_help_all_flag("--help-all", "Show the help of every command");
  app.set_version_flag("--version", std::string("velko ") + VELKO_VERSION);
  app.footer("\n" + host::settings_help());
  app.failure_message(failure_message);

  guidance_commands::GuidanceSession guidance_session{
      [&settings](const std::string& url) -> std::unique_ptr<guidance_commands::Platform> {
        return std::make_unique<platform::Client>(url, settings.api_token, settings.project);
      },
      settings.url_api,
      console,
      std::cin,
      std::cout,
      std::cerr,
      ::isatty(STDIN_FILENO) == 1,
      ::isatty(STDOUT_FILENO) == 1};
  CLI::App* guidance = guidance_commands::mount(app, guidance_session);
  guidance->description(
      "Guidance items of a project: goals, constraints, success criteria, rewards");
  guidance->require_subcommand(1);
  sim_commands::add_sim_commands(app, settings, console);
  data_commands::add_data_commands(app, settings, console);
  add_completion_command(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    if (std::string unknown = unknown_command(app, argc, argv); !unknown.empty()) {
      std::cerr << unknown << "\n";
      return kExitUsage;
    }
    int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  } catch (const Interrupted& interrupt) {
    std::cerr << "Interrupted\n";
    return interrupt.signal == SIGHUP ? kExitHangUp : kExitInterrupted;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << printable(e.what()) << "\n";
    return kExitError;
  }
  return 0;
}

}  // namespace velko::host
