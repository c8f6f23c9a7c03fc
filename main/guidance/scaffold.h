// Scaffolding of a new guidance item directory.
#pragma once

#include <string>
#include <string_view>

namespace velko::guidance {

// The starting reward.py of a reward item.
extern const std::string_view REWARD_TEMPLATE;

// Makes a new item directory in `location` (created with its parents when missing) holding
// the starting guidance.json and, for a reward, reward.py. Returns the directory's path.
// The item is made in a hidden directory beside the target and renamed into place, so it is
// there whole or not at all. Throws GuidanceManifestError for an unknown type or an existing
// target, and std::system_error (a std::filesystem::filesystem_error for the location) when
// the file system fails; paths in messages are shown escaped (printable_name).
std::string create(const std::string& name, const std::string& kind,
                   const std::string& location = "./");

// The directory name of an item: its name in lower case, every other character than a letter
// or numeral a hyphen, hyphens trimmed at both ends, "guidance" when nothing is left.
std::string directory_name(std::string_view name);

// The text of a starting manifest (ASCII only, one member a line, newline at the end).
std::string starting_manifest(std::string_view name, std::string_view kind);

}  // namespace velko::guidance
