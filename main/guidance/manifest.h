// The guidance item manifest (guidance.json): its constants, record, error and checks.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

namespace velko::guidance {

// File name of the manifest inside an item directory.
inline constexpr std::string_view MANIFEST = "guidance.json";
// Reward code file of a reward manifest that names none; also what scaffolding writes.
inline constexpr std::string_view DEFAULT_REWARD_FILE = "reward.py";
// The item types, in the order messages list them.
inline constexpr std::array<std::string_view, 4> TYPES = {"goal", "constraint", "successCriteria",
                                                          "reward"};
// Largest manifest that is read.
inline constexpr std::size_t MAX_MANIFEST_BYTES = 8u << 20;

// The directory's guidance.json is missing or invalid.
class GuidanceManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A manifest as read: an immutable value.
struct GuidanceManifest {
  std::string name;
  std::string type;
  // The condition tree as parsed (goal, constraint, successCriteria); empty for a reward.
  std::optional<boost::json::value> conditions;
  // The reward's code file as written in the manifest (reward only).
  std::optional<std::string> reward_file;

  bool operator==(const GuidanceManifest&) const = default;
};

// Reads and checks the manifest of an item directory: the nine checks in their fixed order,
// each failing with GuidanceManifestError and its message; a manifest larger than
// MAX_MANIFEST_BYTES is a GuidanceManifestError too (tested before it is read). A manifest that
// cannot be looked for, opened or read throws std::system_error, and one that is not UTF-8 text
// a std::runtime_error (both ordinary errors that the commands do not catch).
GuidanceManifest read_manifest(const std::string& path);

// TYPES joined with ", ".
std::string types_list();
// True when `type` is one of TYPES (exact comparison).
bool is_type(std::string_view type);

// Joins a directory and a name: an absolute name stands alone; one separator in between.
std::string join_path(std::string_view directory, std::string_view name);
// The path made absolute against the working directory and normalised lexically.
std::string absolute_form(std::string_view path);

}  // namespace velko::guidance
