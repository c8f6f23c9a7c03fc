// A new sim folder made from the templates installed with velko (`velko sim new`).
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velko::sim_commands {

// The language that a new sim is written in.
enum class SimLanguage { kPython, kCpp };

// A sim folder that cannot be made: a name that is not allowed, a folder that exists, the
// templates missing. The message says what to do and shows paths escaped.
class SimScaffoldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a new sim's files come from and what they are filled with.
struct ScaffoldSources {
  std::string templates;   // the folder that holds python/ and cpp/
  std::string bin_dir;     // velko's own folder, where a C++ sim built with velko lands
  std::string python_dir;  // the folder that holds velko_sim, put on a Python sim's path
};

// The sources of the velko that runs: its templates in ../share/velko/templates/sim and
// velko_sim in ../python, both beside its own folder, as the build lays them out.
ScaffoldSources installed_sources();

// Empty when `name` may name a sim (ASCII letters, digits, '-' and '_', at most 100 of them,
// starting with a letter or a digit); otherwise what is wrong with it.
std::string sim_name_problem(std::string_view name);

// `text` with every `@KEY@` of `values` (keys given with their @s) replaced by its value, in
// one pass: nothing inserted is replaced again, and other @s are left as they are.
std::string fill_template(std::string_view text, const std::map<std::string, std::string>& values);

// `text` as one word of a POSIX shell: as it is when it needs no quotes, else single-quoted.
std::string shell_word(std::string_view text);

// The program that velko-sim.json of a C++ sim runs: `NAME-sim` in `bin_dir`.
std::string cpp_sim_program(const std::string& bin_dir, std::string_view name);

// What scaffold_sim made.
struct ScaffoldedSim {
  std::string name;
  std::string directory;           // as given
  std::vector<std::string> files;  // the names of its files, sorted
};

// Makes the folder `directory` (its parents when missing) holding the templates of
// `language`, filled for the sim `name`: a description file (velko-sim.json), the sim's code
// and its mappings. The folder is put together beside its target and renamed into place, so
// it is there whole or not at all, and nothing that exists is ever replaced. Throws
// SimScaffoldError for a bad name, an existing target or missing templates, and
// std::system_error when the file system fails.
ScaffoldedSim scaffold_sim(SimLanguage language, const std::string& name,
                           const std::string& directory, const ScaffoldSources& sources);

}  // namespace velko::sim_commands
