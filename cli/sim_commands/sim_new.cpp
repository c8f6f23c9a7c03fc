#include "cli/sim_commands/sim_new.h"

#include <filesystem>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/sim_commands/sim_scaffold.h"
#include "common/console.h"
#include "common/printable.h"

namespace velko::sim_commands {

namespace {

// The options of one `velko sim new`.
struct NewOptions {
  std::string name;
  std::string directory;
  bool cpp = false;
};

// `path` as one word that a user can paste into a shell, escaped for the terminal.
std::string command_word(const std::string& path) { return printable_name(shell_word(path)); }

// What `velko sim new` prints once the folder is made: the folder, its files and the next
// commands (building a C++ sim with velko's build, validating, publishing).
std::string next_steps_text(SimLanguage language, const ScaffoldedSim& made,
                            const ScaffoldSources& sources) {
  const bool python = language == SimLanguage::kPython;
  std::string files;
  for (const std::string& file : made.files) files += (files.empty() ? "" : ", ") + file;
  const std::string folder = command_word(made.directory);
  std::string text = "Created " + printable_name(made.directory) + " (a " +
                     (python ? "Python" : "C++") + " sim): " + printable_name(files) + ".\n";
  if (python) {
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::path(sources.python_dir) / "velko_sim",
                                       ec)) {
      text += "velko_sim is not in " + printable_name(sources.python_dir) +
              ", where run-sim looks for it: set VELKO_SIM_PYTHONPATH to the folder that "
              "holds it.\n";
    }
    text +=
        "Edit sim.py, and name its variables in mappings.json as your dataset's columns "
        "are named. Then:\n";
  } else {
    const std::string absolute =
        std::filesystem::absolute(made.directory).lexically_normal().string();
    const std::string build =
        command_word(std::filesystem::path(sources.bin_dir).parent_path().string());
    text +=
        "Edit sim.cpp, and name its variables as your dataset's columns are named. Build it "
        "with velko (separate several sims in VELKO_SIMS with ';'):\n"
        "  cmake -DVELKO_SIMS=" +
        command_word(absolute) + " " + build +
        "\n"
        "  cmake --build " +
        build + " --target " + made.name + "-sim\n";
  }
  text += "  velko sim validate " + folder + "\n";
  text += "  velko sim publish " + folder + " --dataset DATASET";
  return text;
}

}  // namespace

void add_new_command(CLI::App& sim, Console& console) {
  auto options = std::make_shared<NewOptions>();
  CLI::App* command =
      sim.add_subcommand("new",
                         "Make a new sim folder (description file, the sim's code, mappings) that "
                         "`velko sim validate` passes as it is");
  command->add_option("name", options->name, "The sim's name: letters, digits, '-' and '_'")
      ->required()
      ->check(CLI::Validator([](std::string& name) { return sim_name_problem(name); }, ""));
  CLI::Option* python =
      command->add_flag("--python")
          ->description("Write it in Python, in the Gymnasium style, on velko_sim (the default)");
  CLI::Option* cpp =
      command->add_flag("--cpp", options->cpp, "Write it in C++ on velko's sim author library");
  python->excludes(cpp);
  command->add_option("--dir", options->directory, "The folder to make (default: ./NAME)");
  command->callback([&console, options] {
    const SimLanguage language = options->cpp ? SimLanguage::kCpp : SimLanguage::kPython;
    const std::string directory = options->directory.empty() ? options->name : options->directory;
    const ScaffoldSources sources = installed_sources();
    ScaffoldedSim made = scaffold_sim(language, options->name, directory, sources);
    console.print(escape_markup(next_steps_text(language, made, sources)));
  });
}

}  // namespace velko::sim_commands
