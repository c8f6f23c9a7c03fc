#include "main/guidance/scaffold.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/json_text.h"
#include "common/printable.h"
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

// Creates a new file and writes `content` to it, to the disk; never opens a file that exists
// already (O_EXCL), so nothing is overwritten even when another process races us. `shown` is
// the file's name in messages.
void write_new_file(const std::string& path, std::string_view content, const std::string& shown) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) system_failure(errno, "cannot create " + shown);
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      system_failure(error, "cannot write " + shown);
    }
    written += static_cast<std::size_t>(n);
  }
  // A full disk may only show when the data is flushed.
  if (::fsync(fd) != 0 && errno != EINVAL) {
    int error = errno;
    ::close(fd);
    system_failure(error, "cannot write " + shown);
  }
  if (::close(fd) != 0 && errno != EINTR) system_failure(errno, "cannot write " + shown);
}

// Makes a new, empty directory named after `base` in `parent`, hidden and of a name no one
// else holds, where an item is put together before it is renamed into place.
std::string make_staging_directory(const std::string& parent, const std::string& base,
                                   const std::string& shown_target) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    std::string staging = join_path(parent, "." + base + ".new-" + suffix);
    if (::mkdir(staging.c_str(), 0777) == 0) return staging;
    if (errno != EEXIST) system_failure(errno, "cannot create the directory " + shown_target);
  }
  system_failure(EEXIST, "cannot create the directory " + shown_target);
}

// Renames `staging` to `target` unless something is there: the target is never taken over,
// not even an empty directory that appeared meanwhile. False when the target is taken.
bool move_into_place(const std::string& staging, const std::string& target,
                     const std::string& shown_target) {
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int error = errno;
  if (error == EEXIST || error == ENOTEMPTY) return false;
  if (error != EINVAL && error != ENOSYS) {
    system_failure(error, "cannot create the directory " + shown_target);
  }
  // A file system that cannot refuse to replace: look first, then rename.
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) return false;
  if (::rename(staging.c_str(), target.c_str()) == 0) return true;
  error = errno;
  if (error == EEXIST || error == ENOTEMPTY) return false;
  system_failure(error, "cannot create the directory " + shown_target);
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
  const std::string base = directory_name(name);
  const std::string directory = join_path(location, base);
  const std::string shown = printable_name(directory);
  auto exists = [&] { return GuidanceManifestError(shown + " already exists"); };

  // Anything at the target (a dangling link too) stops us before anything is made.
  struct stat info {};
  if (::lstat(directory.c_str(), &info) == 0) throw exists();
  if (errno != ENOENT && errno != ENOTDIR) system_failure(errno, "cannot look for " + shown);

  if (!location.empty()) {
    try {
      std::filesystem::create_directories(location);
    } catch (const std::filesystem::filesystem_error& error) {
      throw std::filesystem::filesystem_error("cannot create " + printable_name(location),
                                              error.code());
    }
  }
  // The item is put together beside the target and renamed into place, so that it is there
  // whole or not at all: a write that fails (a full disk) leaves nothing to block a retry.
  const std::string staging = make_staging_directory(location, base, shown);
  try {
    if (kind == "reward") {
      write_new_file(join_path(staging, DEFAULT_REWARD_FILE), REWARD_TEMPLATE,
                     printable_name(join_path(directory, DEFAULT_REWARD_FILE)));
    }
    write_new_file(join_path(staging, MANIFEST), starting_manifest(name, kind),
                   printable_name(join_path(directory, MANIFEST)));
    if (!move_into_place(staging, directory, shown)) throw exists();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(staging, ignored);
    throw;
  }
  return directory;
}

}  // namespace velko::guidance
