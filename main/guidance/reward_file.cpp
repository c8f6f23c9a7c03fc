#include "main/guidance/reward_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "common/file_descriptor.h"
#include "common/printable.h"
#include "main/guidance/manifest.h"

namespace velko::guidance {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void system_failure(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

std::string too_large(const std::string& shown) {
  return "The reward file " + shown + " is larger than " +
         std::to_string(MAX_REWARD_FILE_BYTES >> 20) + " MiB";
}

// True when `path` lies below `directory` (both resolved): it starts with it and a separator.
bool below(const std::string& path, std::string directory) {
  if (directory.empty() || directory.back() != '/') directory.push_back('/');
  return path.compare(0, directory.size(), directory) == 0;
}

// The real path of an open descriptor, as the kernel knows it.
std::string descriptor_path(int fd, const std::string& shown) {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string target(4096, '\0');
  ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  if (n < 0) system_failure(errno, "cannot tell where the reward file " + shown + " is");
  if (static_cast<std::size_t>(n) == target.size()) {
    system_failure(ENAMETOOLONG, "cannot tell where the reward file " + shown + " is");
  }
  target.resize(static_cast<std::size_t>(n));
  return target;
}

}  // namespace

std::string file_kind(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a directory";
    case S_IFIFO:
      return "a named pipe (FIFO)";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "not a regular file";
  }
}

RewardFileLocation locate_reward_file(const std::string& item_path, const std::string& file) {
  RewardFileLocation location;
  location.given = join_path(item_path, file);
  const std::string shown = printable_name(absolute_form(location.given));
  std::error_code ec;
  fs::path resolved = fs::canonical(location.given, ec);
  if (ec) {
    throw GuidanceManifestError("The reward file " + shown + " cannot be read: " + ec.message());
  }
  struct stat info {};
  if (::stat(resolved.c_str(), &info) != 0) {
    int error = errno;
    throw GuidanceManifestError("The reward file " + shown +
                                " cannot be read: " + std::generic_category().message(error));
  }
  if (!S_ISREG(info.st_mode)) {
    throw GuidanceManifestError("The reward file " + shown + " is " + file_kind(info.st_mode) +
                                ", not a file" +
                                (resolved.string() == absolute_form(location.given)
                                     ? std::string()
                                     : " (it leads to " + printable_name(resolved.string()) + ")"));
  }
  if (static_cast<std::uintmax_t>(info.st_size) > MAX_REWARD_FILE_BYTES) {
    throw GuidanceManifestError(too_large(shown));
  }
  fs::path directory = fs::canonical(item_path.empty() ? "." : item_path, ec);
  if (ec) {
    throw GuidanceManifestError("The item directory " + printable_name(absolute_form(item_path)) +
                                " cannot be read: " + ec.message());
  }
  location.resolved = resolved.string();
  location.directory = directory.string();
  location.inside = below(location.resolved, location.directory);
  return location;
}

RewardFileContents read_reward_file(const RewardFileLocation& checked,
                                    const OutsideFileConsent& consent) {
  const std::string shown = printable_name(checked.resolved);
  // The resolved path was checked; a link put in its place since is refused, not followed.
  // Non-blocking, so that a pipe put there opens at once (and is then refused).
  int fd =
      ::open(checked.resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    if (error == ELOOP) {
      throw GuidanceManifestError("The reward file " + shown +
                                  " was replaced by a link after it was checked; nothing was sent");
    }
    system_failure(error, "cannot open the reward file " + shown);
  }
  FileDescriptor guard(fd);

  // From here on everything is learnt from the descriptor: what it is, where it is, its size
  // and its bytes.
  struct stat info {};
  if (::fstat(fd, &info) != 0) system_failure(errno, "cannot read the reward file " + shown);
  if (!S_ISREG(info.st_mode)) {
    throw GuidanceManifestError("The reward file " + shown + " is " + file_kind(info.st_mode) +
                                ", not a file");
  }
  RewardFileContents contents;
  contents.location = checked;
  contents.location.resolved = descriptor_path(fd, shown);
  contents.location.inside = below(contents.location.resolved, checked.directory);
  if (!contents.location.inside && !consent.allows(contents.location.resolved)) {
    throw RewardFileOutsideError(contents.location);
  }
  if (static_cast<std::uintmax_t>(info.st_size) > MAX_REWARD_FILE_BYTES) {
    throw GuidanceManifestError(too_large(shown));
  }
  // The file may grow while it is read: never more than one byte past the bound is read.
  contents.bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t length = 0;
  while (true) {
    if (length == contents.bytes.size()) {
      if (length > MAX_REWARD_FILE_BYTES) throw GuidanceManifestError(too_large(shown));
      contents.bytes.resize(std::min(length * 2 + 4096, MAX_REWARD_FILE_BYTES + 1));
    }
    ssize_t n = ::read(fd, contents.bytes.data() + length, contents.bytes.size() - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      system_failure(errno, "cannot read the reward file " + shown);
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  if (length > MAX_REWARD_FILE_BYTES) throw GuidanceManifestError(too_large(shown));
  contents.bytes.resize(length);
  contents.name = fs::path(checked.given).filename().string();
  return contents;
}

std::string outside_text(const RewardFileLocation& location) {
  std::string given = absolute_form(location.given);
  std::string where = given == location.resolved
                          ? "The reward file " + printable_name(location.resolved) + " is"
                          : "The reward file " + printable_name(given) + " leads to " +
                                printable_name(location.resolved) + ",";
  return where + " outside the item directory " + printable_name(location.directory);
}

RewardFileOutsideError::RewardFileOutsideError(RewardFileLocation location)
    : std::runtime_error(outside_text(location)), location_(std::move(location)) {}

}  // namespace velko::guidance
