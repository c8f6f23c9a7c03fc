// Packing a sim directory into a deterministic bundle, the form in which a sim is published.
#pragma once

#include <cstdint>
#include <string>

namespace velko::sim_commands {

// Largest bundle that is packed.
inline constexpr std::uint64_t kMaxBundleBytes = std::uint64_t{1} << 30;

// Writes the regular files under `directory` (sorted by path, without hidden entries and
// without modification times or owners) into a tar archive at `archive`. The same files give
// the same bytes. Throws for a directory that cannot be read or a bundle above the limit.
void pack_bundle(const std::string& directory, const std::string& archive);

}  // namespace velko::sim_commands
