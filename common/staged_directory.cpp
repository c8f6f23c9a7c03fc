#include "common/staged_directory.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace velko {

namespace {

// Throws the system's error `error` with `what` in front of its text.
[[noreturn]] void system_failure(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

StagedDirectory::StagedDirectory(const std::string& parent, const std::string& base,
                                 std::string shown)
    : shown_(std::move(shown)) {
  std::random_device random;
  std::string prefix = parent;
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    std::string staging = prefix + "." + base + ".new-" + suffix;
    if (::mkdir(staging.c_str(), 0777) == 0) {
      path_ = std::move(staging);
      return;
    }
    if (errno != EEXIST) system_failure(errno, "cannot create the directory " + shown_);
  }
  system_failure(EEXIST, "cannot create the directory " + shown_);
}

StagedDirectory::~StagedDirectory() {
  if (committed_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void StagedDirectory::write_file(std::string_view name, std::string_view content,
                                 const std::string& shown, mode_t mode) {
  // O_EXCL: nothing is ever overwritten, not even when another process races us.
  const std::string path = path_ + "/" + std::string(name);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
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

bool StagedDirectory::commit(const std::string& target) {
  if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    committed_ = true;
    return true;
  }
  int error = errno;
  if (error == EEXIST || error == ENOTEMPTY) return false;
  if (error != EINVAL && error != ENOSYS) {
    system_failure(error, "cannot create the directory " + shown_);
  }
  // A file system that cannot refuse to replace: look first, then rename.
  if (path_taken(target, shown_)) return false;
  if (::rename(path_.c_str(), target.c_str()) == 0) {
    committed_ = true;
    return true;
  }
  error = errno;
  if (error == EEXIST || error == ENOTEMPTY) return false;
  system_failure(error, "cannot create the directory " + shown_);
}

bool path_taken(const std::string& path, const std::string& shown) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) return true;
  if (errno != ENOENT && errno != ENOTDIR) system_failure(errno, "cannot look for " + shown);
  return false;
}

}  // namespace velko
