#include "host/completion.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/literal.h"

namespace velko::host {

namespace {

// One option of a command as a shell offers it.
struct OptionWord {
  std::string word;  // "--dataset" or "-n"
  std::string description;
  bool takes_value = false;
};

// One command of the tree: its path from the top ("" for velko itself, "/sim/publish"), the
// commands below it and its options.
struct CommandNode {
  std::string path;
  std::vector<std::pair<std::string, std::string>> commands;  // name, description
  std::vector<OptionWord> options;
};

// Every command of the tree under `app`, parents first.
void collect(const CLI::App& app, const std::string& path, std::vector<CommandNode>& nodes) {
  CommandNode node;
  node.path = path;
  const auto options = app.get_options([](const CLI::Option* option) {
    return option->nonpositional() && !option->get_group().empty();
  });
  for (const CLI::Option* option : options) {
    // A flag expects no value (CLI11 gives it a type size of 1 all the same).
    const bool takes_value = option->get_items_expected_max() > 0;
    for (const std::string& name : option->get_lnames()) {
      node.options.push_back({"--" + name, option->get_description(), takes_value});
    }
    for (const std::string& name : option->get_snames()) {
      node.options.push_back({"-" + name, option->get_description(), takes_value});
    }
  }
  const auto commands =
      app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
  for (const CLI::App* command : commands) {
    node.commands.emplace_back(command->get_name(), command->get_description());
  }
  nodes.push_back(std::move(node));
  for (const CLI::App* command : commands) {
    collect(*command, path + "/" + command->get_name(), nodes);
  }
}

// The words of a node that a shell offers: its commands, then its options.
std::string words_of(const CommandNode& node) {
  std::string words;
  for (const auto& [name, description] : node.commands) words += (words.empty() ? "" : " ") + name;
  for (const OptionWord& option : node.options) {
    words += (words.empty() ? "" : " ") + option.word;
  }
  return words;
}

// The command paths of the tree, as a shell `case` pattern ("/sim|/sim/publish|...").
std::string command_paths(const std::vector<CommandNode>& nodes) {
  std::string paths;
  for (const CommandNode& node : nodes) {
    if (node.path.empty()) continue;
    paths += (paths.empty() ? "" : "|") + node.path;
  }
  return paths;
}

// Options that take a value, as a shell `case` pattern: the word after one is its value, not
// a command.
std::string valued_options(const std::vector<CommandNode>& nodes) {
  std::vector<std::string> words;
  for (const CommandNode& node : nodes) {
    for (const OptionWord& option : node.options) {
      if (option.takes_value) words.push_back(option.word);
    }
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  std::string pattern;
  for (const std::string& word : words) pattern += (pattern.empty() ? "" : "|") + word;
  return pattern.empty() ? "--" : pattern;
}

// A text as one single-quoted shell word (bash, zsh and fish alike).
std::string single_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else if (c == '\n') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The bash function: it follows the words typed so far through the command tree (skipping
// options and their values) and offers what the command reached takes.
std::string bash_script(const std::vector<CommandNode>& nodes) {
  std::string script =
      "# velko's completion for bash: source it, or put it in\n"
      "# ~/.local/share/bash-completion/completions/velko\n"
      "_velko() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev= path= word i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    word=${COMP_WORDS[i]}\n"
      "    case $prev in " +
      valued_options(nodes) +
      ") prev=; continue ;; esac\n"
      "    prev=$word\n"
      "    case \"$path/$word\" in " +
      command_paths(nodes) +
      ") path=$path/$word ;; esac\n"
      "  done\n"
      "  case $prev in " +
      valued_options(nodes) +
      ") return 0 ;; esac\n"
      "  local words\n"
      "  case $path in\n";
  for (const CommandNode& node : nodes) {
    script += "    " + (node.path.empty() ? std::string("''") : node.path) +
              ") words=" + single_quoted(words_of(node)) + " ;;\n";
  }
  script +=
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}\n"
      "complete -o default -F _velko velko\n";
  return script;
}

// The fish completions: one line per command and option, each under the condition that the
// words typed so far reach its command.
std::string fish_script(const std::vector<CommandNode>& nodes) {
  std::string script =
      "# velko's completion for fish: put it in ~/.config/fish/completions/velko.fish\n"
      "function __velko_path\n"
      "  set -l words (commandline -opc)\n"
      "  set -l path ''\n"
      "  set -l skip 0\n"
      "  for word in $words[2..-1]\n"
      "    if test $skip = 1\n"
      "      set skip 0\n"
      "      continue\n"
      "    end\n"
      "    switch $word\n";
  std::string valued = valued_options(nodes);
  std::replace(valued.begin(), valued.end(), '|', ' ');
  script += "      case " + valued + "\n        set skip 1\n        continue\n    end\n";
  script += "    switch \"$path/$word\"\n      case";
  for (const CommandNode& node : nodes) {
    if (!node.path.empty()) script += " " + node.path;
  }
  script +=
      "\n        set path \"$path/$word\"\n"
      "    end\n"
      "  end\n"
      "  echo \"$path\"\n"
      "end\n"
      "complete -c velko -f\n";
  for (const CommandNode& node : nodes) {
    const std::string when =
        " -n " + single_quoted("test (__velko_path) = " + (node.path.empty() ? "''" : node.path));
    for (const auto& [name, description] : node.commands) {
      script += "complete -c velko" + when + " -a " + single_quoted(name) + " -d " +
                single_quoted(description) + "\n";
    }
    for (const OptionWord& option : node.options) {
      const bool is_long = option.word.rfind("--", 0) == 0;
      script += "complete -c velko" + when + (is_long ? " -l " : " -s ") +
                option.word.substr(is_long ? 2 : 1) + (option.takes_value ? " -r -F" : "") +
                " -d " + single_quoted(option.description) + "\n";
    }
  }
  return script;
}

}  // namespace

std::string completion_script(const CLI::App& app, std::string_view shell) {
  std::vector<CommandNode> nodes;
  collect(app, "", nodes);
  if (shell == "bash") return bash_script(nodes);
  // zsh runs the bash function through its own bash-completion layer.
  if (shell == "zsh") {
    return "# velko's completion for zsh: source it from ~/.zshrc\n"
           "autoload -U +X compinit && compinit\n"
           "autoload -U +X bashcompinit && bashcompinit\n" +
           bash_script(nodes);
  }
  if (shell == "fish") return fish_script(nodes);
  throw std::invalid_argument("no completion for the shell " + quoted(std::string(shell)) +
                              "; velko writes one for bash, zsh and fish");
}

void add_completion_command(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "completion",
      "Print a shell completion script for velko's commands and options (see README)");
  auto shell = std::make_shared<std::string>();
  command->add_option("shell", *shell, "bash, zsh or fish")
      ->required()
      ->check(CLI::IsMember({"bash", "zsh", "fish"}));
  CLI::App* top = &app;
  command->callback([top, shell] { std::cout << completion_script(*top, *shell); });
}

}  // namespace velko::host
