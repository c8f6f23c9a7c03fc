#include "main/guidance/reward_file.h"

#include <filesystem>
#include <system_error>

#include "main/guidance/manifest.h"

namespace velko::guidance {

namespace fs = std::filesystem;

RewardFileLocation locate_reward_file(const std::string& item_path, const std::string& file) {
  RewardFileLocation location;
  location.given = join_path(item_path, file);
  std::error_code ec;
  fs::path resolved = fs::canonical(location.given, ec);
  if (ec) {
    throw GuidanceManifestError("The reward file " + absolute_form(location.given) +
                                " cannot be read: " + ec.message());
  }
  if (!fs::is_regular_file(resolved, ec)) {
    throw GuidanceManifestError("The reward file " + absolute_form(location.given) +
                                " is not a regular file" +
                                (resolved.string() == absolute_form(location.given)
                                     ? std::string()
                                     : " (it leads to " + resolved.string() + ")"));
  }
  fs::path directory = fs::canonical(item_path.empty() ? "." : item_path, ec);
  if (ec) {
    throw GuidanceManifestError("The item directory " + absolute_form(item_path) +
                                " cannot be read: " + ec.message());
  }
  location.resolved = resolved.string();
  location.directory = directory.string();
  // Inside means below the directory: a path that starts with it and a separator.
  std::string prefix = location.directory;
  if (prefix.back() != '/') prefix.push_back('/');
  location.inside = location.resolved.compare(0, prefix.size(), prefix) == 0;
  return location;
}

std::string outside_text(const RewardFileLocation& location) {
  std::string given = absolute_form(location.given);
  std::string where = given == location.resolved
                          ? "The reward file " + location.resolved + " is"
                          : "The reward file " + given + " leads to " + location.resolved + ",";
  return where + " outside the item directory " + location.directory;
}

RewardFileOutsideError::RewardFileOutsideError(RewardFileLocation location)
    : std::runtime_error(outside_text(location)), location_(std::move(location)) {}

}  // namespace velko::guidance
