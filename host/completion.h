// Shell completion for velko: scripts for bash, zsh and fish written from the command tree
// itself, so that they name every command and option there is and cannot fall behind it.
#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace velko::host {

// The completion script of `app`'s command tree for `shell` (bash, zsh or fish): its
// commands and their options (file names where neither fits). Throws std::invalid_argument
// for another shell.
std::string completion_script(const CLI::App& app, std::string_view shell);

// Adds `velko completion SHELL` to `app`: it prints the script of the whole tree (this
// command included) on standard output.
void add_completion_command(CLI::App& app);

}  // namespace velko::host
