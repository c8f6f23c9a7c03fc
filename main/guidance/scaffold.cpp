#include "main/guidance/scaffold.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/json_text.h"
#include "common/unicode.h"
#include "main/guidance/manifest.h"

namespace velko::guidance {

const std::string_view REWARD_TEMPLATE =
    "from typing import Dict\n"
    "\n"
    "from velko_core import AgentTeacher\n"
    "\n"
    "\n"
    "class Reward(AgentTeacher):\n"
    "    async def compute_reward(self, transformed_sensors: Dict, action, sim_reward):\n"
    "        \"\"\"The reward for one step - higher is better. `transformed_sensors`\n"
    "        holds your sensor values by name.\"\"\"\n"
    "        return float(sim_reward)\n";

namespace {

[[noreturn]] void system_failure(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// Creates a new file and writes `content` to it; never opens a file that exists already
// (O_EXCL), so nothing is overwritten even when another process races us.
void write_new_file(const std::string& path, std::string_view content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) system_failure(errno, "cannot create " + path);
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      system_failure(error, "cannot write " + path);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && errno != EINTR) system_failure(errno, "cannot write " + path);
}

}  // namespace

std::string directory_name(std::string_view name) {
  std::u32string characters = unicode::decode(unicode::lower(name));
  for (char32_t& c : characters) {
    if (!unicode::is_alnum(c)) c = U'-';
  }
  std::size_t begin = characters.find_first_not_of(U'-');
  if (begin == std::u32string::npos) return "guidance";
  std::size_t end = characters.find_last_not_of(U'-');
  return unicode::encode(std::u32string_view(characters).substr(begin, end - begin + 1));
}

std::string starting_manifest(std::string_view name, std::string_view kind) {
  std::string out = "{\n  \"name\": ";
  json_text::write_string(out, name, /*ascii_only=*/true);
  out += ",\n  \"type\": ";
  json_text::write_string(out, kind, /*ascii_only=*/true);
  if (kind == "reward") {
    out += ",\n  \"file\": ";
    json_text::write_string(out, DEFAULT_REWARD_FILE, /*ascii_only=*/true);
  } else {
    out += ",\n  \"conditions\": []";
  }
  out += "\n}\n";
  return out;
}

std::string create(const std::string& name, const std::string& kind,
                   const std::string& location) {
  if (!is_type(kind)) throw GuidanceManifestError("type must be one of: " + types_list());
  if (location.find('\0') != std::string::npos) {
    throw std::invalid_argument("the location holds a NUL character");
  }
  const std::string directory = join_path(location, directory_name(name));
  auto exists = [&] { return GuidanceManifestError(directory + " already exists"); };

  // Anything at the target (a dangling link too) stops us before anything is made.
  struct stat info {};
  if (::lstat(directory.c_str(), &info) == 0) throw exists();
  if (errno != ENOENT && errno != ENOTDIR) system_failure(errno, "cannot look for " + directory);

  if (!location.empty()) std::filesystem::create_directories(location);
  // mkdir fails when something appeared meanwhile: the target is never taken over.
  if (::mkdir(directory.c_str(), 0777) != 0) {
    if (errno == EEXIST) throw exists();
    system_failure(errno, "cannot create the directory " + directory);
  }

  if (kind == "reward") {
    write_new_file(join_path(directory, DEFAULT_REWARD_FILE), REWARD_TEMPLATE);
  }
  write_new_file(join_path(directory, MANIFEST), starting_manifest(name, kind));
  return directory;
}

}  // namespace velko::guidance
