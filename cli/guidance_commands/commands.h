// The `guidance` command group: new, publish, list.
//
// Mounting: the group is a CLI11 app made with no name, help text or settings of its own. The
// host names it when it mounts it, once:
//
//   root.add_subcommand(velko::guidance_commands::cli())->name("guidance");
//
// (`mount(root)` below does exactly that.) The commands run as the subcommands' callbacks, so
// they run inside `root.parse(...)`. Before `publish` or `list` runs, the host installs the
// platform client's factory with `set_platform_factory` (platform.h).
//
// Exit statuses: a command that ends normally returns from the parse (exit status 0). A command
// that must end with exit status 1 (a GuidanceManifestError, printed in red on standard
// output; end of input at a prompt, "Aborted!" on standard error) has already printed its
// message and throws `CLI::RuntimeError(1)`. RuntimeError is a CLI::ParseError, so the usual
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

namespace CLI {
class App;
}

namespace velko {
class Console;
}

namespace velko::guidance_commands {

// The command group that the host mounts under "guidance" (made once, on first use).
std::shared_ptr<CLI::App> cli();

// Mounts the group on `parent` under `name` and returns it. Call it once.
CLI::App* mount(CLI::App& parent, const std::string& name = "guidance");

// The console through which every command prints (standard output).
Console& console();

// Where prompts read their answers (standard input unless a test says otherwise; nullptr
// restores standard input).
void set_prompt_input(std::istream* input);

// Where prompts are written (standard output) and where "Aborted!" goes (standard error)
// unless a test says otherwise; nullptr restores the standard stream.
void set_prompt_output(std::ostream* prompts, std::ostream* errors);

}  // namespace velko::guidance_commands
