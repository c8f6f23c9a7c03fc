#include "main/dataset_replay/episode_seed.h"

#include <string>

#include "common/json_text.h"

namespace velko::dataset_replay {

std::uint64_t episode_seed(std::uint64_t run_seed, const boost::json::value& episode_id) {
  // FNV-1a over "<run seed>:<the identifier's JSON text>": a fixed function of the two, the
  // same on every machine and in every version (the seeds are documented as reproducible).
  const std::string key = std::to_string(run_seed) + ":" + json_text::to_json(episode_id);
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : key) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  // The high bits folded in, so that neighbouring identifiers differ in every bit kept.
  hash ^= hash >> 33;
  return hash % kEpisodeSeedLimit;
}

}  // namespace velko::dataset_replay
