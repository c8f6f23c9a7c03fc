#include "sim_connection/sim_command.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include <boost/json/value.hpp>

#include "common/json_text.h"

namespace velko::sim_connection {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

// True for a regular file that this process may execute.
bool is_executable_file(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// The program that a command's first word names.
fs::path find_program(const std::string& word, const fs::path& directory,
                      const std::string& where) {
  if (word.empty()) throw SimStartError(where + ": the command's program is empty");
  if (word.find('/') != std::string::npos) {
    fs::path program = fs::path(word).is_absolute() ? fs::path(word) : directory / word;
    program = program.lexically_normal();
    std::error_code ec;
    if (!fs::exists(program, ec)) {
      throw SimStartError(where + ": the program " + program.string() + " does not exist");
    }
    if (!is_executable_file(program)) {
      throw SimStartError(where + ": the program " + program.string() +
                          " is not an executable file");
    }
    return program;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    fs::path candidate = fs::path(dir.empty() ? "." : std::string(dir)) / word;
    if (is_executable_file(candidate)) return fs::absolute(candidate).lexically_normal();
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  throw SimStartError(where + ": the program '" + word + "' was not found on PATH");
}

// Reads the command of the velko-sim.json in `directory`.
SimCommand read_sim_file(const fs::path& directory) {
  const fs::path file = directory / kSimFileName;
  const std::string where = file.string();
  std::ifstream in(file, std::ios::binary);
  if (!in) throw SimStartError(where + " cannot be read");
  std::string text(kMaxSimFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxSimFileBytes) {
    throw SimStartError(where + " is larger than " + std::to_string(kMaxSimFileBytes / 1024) +
                        " KiB");
  }
  json::value document;
  try {
    document = json_text::parse(text, 16);
  } catch (const json_text::JsonError& error) {
    throw SimStartError(where + " is not valid JSON: " + error.what());
  }
  const json::value* command =
      document.is_object() ? document.get_object().if_contains("command") : nullptr;
  const char* kShape =
      ": \"command\" must be a non-empty list of texts, such as [\"./my-sim\", \"--fast\"]";
  if (!command || !command->is_array() || command->get_array().empty()) {
    throw SimStartError(where + kShape);
  }
  SimCommand result;
  for (const json::value& word : command->get_array()) {
    if (!word.is_string()) throw SimStartError(where + kShape);
    std::string text_word(word.get_string());
    if (text_word.find('\0') != std::string::npos) {
      throw SimStartError(where + ": \"command\" holds a NUL character");
    }
    result.argv.push_back(std::move(text_word));
  }
  if (const json::value* several = document.get_object().if_contains("several_processes")) {
    if (!several->is_bool()) {
      throw SimStartError(where + ": \"several_processes\" must be true or false");
    }
    result.several_processes = several->get_bool();
  }
  result.argv[0] = find_program(result.argv[0], directory, where).string();
  result.directory = directory.string();
  return result;
}

}  // namespace

SimCommand resolve_sim_command(const std::string& path) {
  std::error_code ec;
  fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) throw SimStartError(path + " is not a sim: it does not exist");
  const fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (fs::is_directory(status)) {
    if (fs::exists(absolute / kSimFileName, ec)) return read_sim_file(absolute);
  } else if (is_executable_file(absolute)) {
    return SimCommand{{absolute.string()}, absolute.parent_path().string()};
  }
  throw SimStartError(path + " is not a sim: it holds no " + kSimFileName +
                      " and is not an executable");
}

std::string describe_exit(int returncode) {
  if (returncode >= 0) return "exited with status " + std::to_string(returncode);
  const char* name = ::strsignal(-returncode);
  return "was ended by signal " + std::to_string(-returncode) +
         (name ? std::string(" (") + name + ")" : std::string());
}

}  // namespace velko::sim_connection
