// The `guidance` command group: new, publish, list.
//
// Mounting: the host makes the group for a GuidanceSession (the platform client's factory and
// address, the console, where prompts read and write) and mounts it once:
//
//   velko::guidance_commands::mount(root, session);   // under "guidance"
//
// The commands run as the subcommands' callbacks, so they run inside `root.parse(...)`, and
// the session must outlive the parse.
//
// Exit statuses: a command that ends normally returns from the parse (exit status 0). A command
// that must end with exit status 1 (a GuidanceManifestError, printed in red on the console;
// end of input at a prompt, "Aborted!" on the session's error stream; a refusal to send a
// reward file from outside the item) has already printed its message and throws
// `CLI::RuntimeError(1)`. RuntimeError is a CLI::ParseError, so the usual
//
//   try { root.parse(argc, argv); } catch (const CLI::ParseError& e) { return root.exit(e); }
//
// (CLI11_PARSE) maps it to its exit status without printing anything more. Every other error
// (of the file system, of the platform client, a manifest error of publish's second reading)
// passes through the parse unchanged for the host to show.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "cli/guidance_commands/command_platform.h"

namespace CLI {
class App;
}

namespace velko {
class Console;
}

namespace velko::guidance_commands {

// What the guidance commands work with, lent by the host (or a test) for as long as the group
// is mounted.
struct GuidanceSession {
  // Makes the platform client of one `publish` or `list` run.
  PlatformFactory make_platform;
  // The platform address it is made with: the core library's `settings.URL_API`.
  std::string url_api;
  // Where the commands print.
  Console& console;
  // Where prompts (the project menu too) read their answers and are written, and where
  // "Aborted!" and the "Error:" line of a refused answer go.
  std::istream& input;
  std::ostream& prompts;
  std::ostream& errors;
  // Whether the user can be asked before something is sent (standard input is a terminal).
  bool interactive = false;
  // Whether `prompts` goes to a terminal: a prompt cut short by the end of input is ended
  // with a line break there.
  bool prompts_on_terminal = false;
};

// The command group for `session`, made with no name of its own.
std::shared_ptr<CLI::App> cli(GuidanceSession& session);

// Makes the group for `session` and mounts it on `parent` under `name`; returns it.
CLI::App* mount(CLI::App& parent, GuidanceSession& session, const std::string& name = "guidance");

}  // namespace velko::guidance_commands
