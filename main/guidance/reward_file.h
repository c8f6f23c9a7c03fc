// Where a reward's code file really is, whether it may be sent without asking the user, and
// its bytes as they are sent.
//
// A manifest's "file" may be absolute or climb out of the item directory, and a file inside
// may be a link to anywhere: stored manifests rely on both, so they stay valid. What is sent
// from outside the item directory needs the user's word, as an archiver keeps absolute and
// `..` members out unless told otherwise.
//
// The file is checked once by its path, to ask the user before anything is contacted, and
// then opened once: what is sent is read from that one descriptor, after checking the
// descriptor itself. A link swapped between the check and the read therefore cannot send
// another file than the one allowed, nor a device or a pipe.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace velko::guidance {

// Largest reward file that is sent.
inline constexpr std::size_t MAX_REWARD_FILE_BYTES = std::size_t{64} << 20;

// A reward file after following every link.
struct RewardFileLocation {
  // The file that is meant, as the manifest names it relative to the item directory.
  std::string given;
  // Its absolute path once every link is followed: the bytes that would be sent.
  std::string resolved;
  // The resolved item directory.
  std::string directory;
  // True when `resolved` lies inside `directory`.
  bool inside = false;
};

// The reward file `file` of the item in `item_path`. Throws GuidanceManifestError when it is
// missing or, after following links, not a regular file (a device or a pipe would never end),
// or larger than MAX_REWARD_FILE_BYTES.
RewardFileLocation locate_reward_file(const std::string& item_path, const std::string& file);

// "The reward file F is outside the item directory D", or, for a link, "The reward file F
// leads to T, outside the item directory D"; the paths shown escaped (printable_name).
std::string outside_text(const RewardFileLocation& location);

// What a file of this mode (st_mode) is, for a message about one that is not a regular file:
// "a directory", "a named pipe (FIFO)", "a character device", ...
std::string file_kind(unsigned mode);

// Which reward file from outside the item directory may be sent.
struct OutsideFileConsent {
  // Any such file (--allow-outside-file).
  bool any = false;
  // The one file, by its resolved path, that the user said yes to.
  std::string approved;

  bool allows(const std::string& resolved) const {
    return any || (!approved.empty() && resolved == approved);
  }
};

// A reward file as it is sent.
struct RewardFileContents {
  // Where the bytes were read from: `resolved` is the real path of the descriptor read.
  RewardFileLocation location;
  // The name it is sent under: the last part of the manifest's path.
  std::string name;
  std::string bytes;
};

// Opens the file `checked` resolved to, once, without following a link that has been put in
// its place since, and without waiting for a writer of a pipe; checks the open descriptor (a
// regular file of at most MAX_REWARD_FILE_BYTES whose real path is inside the item directory
// or allowed by `consent`) and reads it from that descriptor, never more than the bound.
// Throws RewardFileOutsideError for a file outside that `consent` does not allow,
// GuidanceManifestError for one that is not a regular file or is too large, and
// std::system_error when it cannot be opened or read.
RewardFileContents read_reward_file(const RewardFileLocation& checked,
                                    const OutsideFileConsent& consent);

// A reward file from outside the item directory that the user has not allowed to be sent.
class RewardFileOutsideError : public std::runtime_error {
 public:
  explicit RewardFileOutsideError(RewardFileLocation location);
  const RewardFileLocation& location() const { return location_; }

 private:
  RewardFileLocation location_;
};

}  // namespace velko::guidance
