// Where velko's own helper files (the sim connection module, the reaper) are found: beside the
// executable in a build tree, or in the private library folder of an installed tree, reached
// from the executable's folder so that an installed tree can be moved as a whole.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace velko::sim_connection {

// The folders searched for velko's helper files, in order, for an executable in `bin_dir`:
// `bin_dir` itself, then `bin_dir/../<private folder>` (lib/velko unless the build chose another).
std::vector<std::filesystem::path> program_file_dirs(const std::filesystem::path& bin_dir);

// The first of program_file_dirs(folder of the running executable) that holds a regular file
// `name`; none when no folder does or the executable's path cannot be read.
std::optional<std::filesystem::path> find_program_file(std::string_view name);

}  // namespace velko::sim_connection
