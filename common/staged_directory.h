// A new directory that is put together in a hidden place beside its target and renamed into
// place, so that it is there whole or not at all.
#pragma once

#include <sys/types.h>
#include <string>
#include <string_view>

namespace velko {

// A directory being put together: files are written into a hidden directory beside the
// target, and commit() renames it to the target unless something is there. Dropped without
// a commit (an error, an interrupt), the hidden directory is removed with what it holds.
class StagedDirectory {
 public:
  // Makes the hidden directory in `parent` (which must exist), named after `base`. `shown`
  // is the target's name in messages (already printable). Throws std::system_error.
  StagedDirectory(const std::string& parent, const std::string& base, std::string shown);
  ~StagedDirectory();
  StagedDirectory(const StagedDirectory&) = delete;
  StagedDirectory& operator=(const StagedDirectory&) = delete;

  // Writes a new file `name` (a plain name) holding `content`, flushed to the disk, with the
  // permission bits `mode` (less the umask). `shown` is its name in messages. Throws
  // std::system_error, which names it.
  void write_file(std::string_view name, std::string_view content, const std::string& shown,
                  mode_t mode = 0666);

  // Renames the directory to `target`; false (and nothing moved) when something is there,
  // even an empty directory. Throws std::system_error when the file system fails.
  bool commit(const std::string& target);

 private:
  std::string path_;
  std::string shown_;
  bool committed_ = false;
};

// Anything at `path`, a dangling link included; throws std::system_error (naming `shown`)
// when that cannot be told.
bool path_taken(const std::string& path, const std::string& shown);

}  // namespace velko
