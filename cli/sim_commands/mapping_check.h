// Checking a sim's mappings before anything is replayed: the documented shape, and every slot
// path read as the replay reads it and found in the sim's own spaces.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::spaces {
struct Space;
}

namespace velko::sim_commands {

// Most problems that a mapping check keeps; the rest are only counted.
inline constexpr std::size_t kMaxMappingProblems = 5;

// What check_mappings found.
struct MappingCheck {
  std::size_t sensors = 0;
  std::size_t actions = 0;
  // The first problems, each naming the mapping; `problem_count` counts them all.
  std::vector<std::string> problems;
  std::size_t problem_count = 0;

  bool passed() const { return problem_count == 0; }
};

// Checks mappings as get_mappings() answers them, {"sensor_space": {"mappings": [...]},
// "action_space": {"mappings": [...]}}: each mapping a map with a "name" that is a non-empty
// slot path and an optional "name_mapped" text, at least one sensor; each sensor path read as a
// sensor reads it and each action path as the replay writes it. When a space is given, each
// path must lead to one variable of it; a null space skips that.
MappingCheck check_mappings(const boost::json::value& answer, const spaces::Space* sensor_space,
                            const spaces::Space* action_space);

}  // namespace velko::sim_commands
