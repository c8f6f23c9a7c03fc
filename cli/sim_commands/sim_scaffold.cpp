#include "cli/sim_commands/sim_scaffold.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/json_text.h"
#include "common/printable.h"
#include "common/staged_directory.h"

namespace velko::sim_commands {

namespace fs = std::filesystem;

namespace {

// Most bytes of one template file: they are ours, small texts.
constexpr std::uintmax_t kMaxTemplateBytes = 1 << 20;
constexpr std::size_t kMaxNameLength = 100;

// An ASCII letter or digit (names go into file names, CMake targets and commands).
bool ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A template file to copy: its name, text and whether it is a program.
struct TemplateFile {
  std::string name;
  std::string text;
  bool executable = false;
};

// The regular files of `folder`, sorted by name. Throws SimScaffoldError when the folder is
// missing or holds none.
std::vector<TemplateFile> read_templates(const std::string& folder) {
  const std::string missing = "the sim templates are missing from " + printable_name(folder) +
                              ": build velko again (scripts/build), which puts them there";
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw SimScaffoldError(missing);
  std::vector<TemplateFile> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string shown = printable_name(entry.path().string());
    if (entry.file_size() > kMaxTemplateBytes) {
      throw SimScaffoldError("the sim template " + shown + " is larger than 1 MiB");
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) throw SimScaffoldError("cannot read the sim template " + shown);
    const fs::perms perms = entry.status().permissions();
    files.push_back({entry.path().filename().string(), text.str(),
                     (perms & fs::perms::owner_exec) != fs::perms::none});
  }
  if (files.empty()) throw SimScaffoldError(missing);
  std::sort(files.begin(), files.end(),
            [](const TemplateFile& a, const TemplateFile& b) { return a.name < b.name; });
  return files;
}

// `directory` without the slashes at its end (but "/" itself).
std::string without_trailing_slashes(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

}  // namespace

ScaffoldSources installed_sources() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  const fs::path bin = ec ? fs::path(".") : self.parent_path();
  const fs::path root = bin.parent_path();
  return {(root / "share" / "velko" / "templates" / "sim").string(), bin.string(),
          (root / "python").string()};
}

std::string sim_name_problem(std::string_view name) {
  const std::string rule = "must be ASCII letters, digits, '-' and '_', such as my-sim";
  if (name.empty()) return rule + "; got an empty name";
  if (name.size() > kMaxNameLength) {
    return "must be at most " + std::to_string(kMaxNameLength) + " characters long";
  }
  bool allowed = std::all_of(name.begin(), name.end(),
                             [](char c) { return ascii_alnum(c) || c == '-' || c == '_'; });
  if (!allowed) return rule + "; got " + printable_name(name);
  if (!ascii_alnum(name.front()))
    return "must start with a letter or a digit; got " + printable_name(name);
  return "";
}

std::string fill_template(std::string_view text, const std::map<std::string, std::string>& values) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('@', at);
    if (open == std::string_view::npos) break;
    out.append(text.substr(at, open - at));
    const std::size_t close = text.find('@', open + 1);
    if (close != std::string_view::npos) {
      auto value = values.find(std::string(text.substr(open, close - open + 1)));
      if (value != values.end()) {
        out += value->second;
        at = close + 1;
        continue;
      }
    }
    out.push_back('@');
    at = open + 1;
  }
  out.append(text.substr(std::min(at, text.size())));
  return out;
}

std::string shell_word(std::string_view text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return ascii_alnum(c) || std::string_view("_-./+=:,%@").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  out += "'";
  return out;
}

std::string cpp_sim_program(const std::string& bin_dir, std::string_view name) {
  return (fs::path(bin_dir) / (std::string(name) + "-sim")).string();
}

ScaffoldedSim scaffold_sim(SimLanguage language, const std::string& name,
                           const std::string& directory, const ScaffoldSources& sources) {
  if (std::string problem = sim_name_problem(name); !problem.empty()) {
    throw SimScaffoldError("the sim's name " + problem);
  }
  const std::string target = without_trailing_slashes(directory);
  const std::string shown = printable_name(target);
  auto exists = [&] {
    return SimScaffoldError(shown +
                            " already exists: give another NAME, or --dir with a "
                            "folder that does not exist yet");
  };
  // Anything at the target (a dangling link too) stops us before anything is made.
  if (target.empty() || path_taken(target, shown)) throw exists();

  const bool python = language == SimLanguage::kPython;
  std::vector<TemplateFile> files =
      read_templates((fs::path(sources.templates) / (python ? "python" : "cpp")).string());
  std::string program_json;
  json_text::write_string(program_json, cpp_sim_program(sources.bin_dir, name),
                          /*ascii_only=*/true);
  const std::map<std::string, std::string> values{
      {"@SIM_NAME@", name},
      {"@VELKO_PYTHON_DIR_SH@", shell_word(sources.python_dir)},
      {"@SIM_PROGRAM_JSON@", program_json}};

  const fs::path path(target);
  const std::string parent = path.parent_path().string();
  if (!parent.empty()) {
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) throw std::system_error(ec, "cannot create " + printable_name(parent));
  }
  StagedDirectory staging(parent, path.filename().string(), shown);
  ScaffoldedSim made{name, directory, {}};
  for (const TemplateFile& file : files) {
    staging.write_file(file.name, fill_template(file.text, values),
                       printable_name((path / file.name).string()), file.executable ? 0777 : 0666);
    made.files.push_back(file.name);
  }
  if (!staging.commit(target)) throw exists();
  return made;
}

}  // namespace velko::sim_commands
