#include "main/guidance/scaffold.h"

#include <filesystem>
#include <stdexcept>

#include "common/json_text.h"
#include "common/printable.h"
#include "common/staged_directory.h"
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

std::string create(const std::string& name, const std::string& kind, const std::string& location) {
  if (!is_type(kind)) throw GuidanceManifestError("type must be one of: " + types_list());
  if (location.find('\0') != std::string::npos) {
    throw std::invalid_argument("the location holds a NUL character");
  }
  const std::string base = directory_name(name);
  const std::string directory = join_path(location, base);
  const std::string shown = printable_name(directory);
  auto exists = [&] { return GuidanceManifestError(shown + " already exists"); };

  // Anything at the target (a dangling link too) stops us before anything is made.
  if (path_taken(directory, shown)) throw exists();

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
  StagedDirectory staging(location, base, shown);
  if (kind == "reward") {
    staging.write_file(DEFAULT_REWARD_FILE, REWARD_TEMPLATE,
                       printable_name(join_path(directory, DEFAULT_REWARD_FILE)));
  }
  staging.write_file(MANIFEST, starting_manifest(name, kind),
                     printable_name(join_path(directory, MANIFEST)));
  if (!staging.commit(directory)) throw exists();
  return directory;
}

}  // namespace velko::guidance
