// The seed that a report run gives the reset of each recorded episode.
#pragma once

#include <cstdint>

#include <boost/json/value.hpp>

namespace velko::dataset_replay {

// Seeds stay below this, so that any env takes them (2^31: a positive 32-bit integer).
inline constexpr std::uint64_t kEpisodeSeedLimit = std::uint64_t{1} << 31;

// The seed of the episode `episode_id` (the node's identifier) in a run seeded with
// `run_seed`: it depends on nothing else, so an episode is reset alike whichever episodes
// are replayed with it, and in every run with the same run seed. Below kEpisodeSeedLimit.
std::uint64_t episode_seed(std::uint64_t run_seed, const boost::json::value& episode_id);

}  // namespace velko::dataset_replay
