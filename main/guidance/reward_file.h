// Where a reward's code file really is, and whether it may be sent without asking the user.
//
// A manifest's "file" may be absolute or climb out of the item directory, and a file inside
// may be a link to anywhere: stored manifests rely on both, so they stay valid. What is sent
// from outside the item directory needs the user's word, as an archiver keeps absolute and
// `..` members out unless told otherwise.
#pragma once

#include <stdexcept>
#include <string>

namespace velko::guidance {

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
// missing or, after following links, not a regular file (a device or a pipe would never end).
RewardFileLocation locate_reward_file(const std::string& item_path, const std::string& file);

// "The reward file F is outside the item directory D", or, for a link, "The reward file F
// leads to T, outside the item directory D".
std::string outside_text(const RewardFileLocation& location);

// A reward file from outside the item directory that the user has not allowed to be sent.
class RewardFileOutsideError : public std::runtime_error {
 public:
  explicit RewardFileOutsideError(RewardFileLocation location);
  const RewardFileLocation& location() const { return location_; }

 private:
  RewardFileLocation location_;
};

}  // namespace velko::guidance
