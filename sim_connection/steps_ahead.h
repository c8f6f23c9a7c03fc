// How many steps of an episode the sim connection sends ahead of their answers unless the user
// says otherwise (VELKO_STEPS_AHEAD).
#pragma once

namespace velko::sim_connection {

// Most steps of an episode sent ahead of their answers to a sim that takes them, by default:
// enough to keep a fast sim busy while velko reads the answers of the last ones.
inline constexpr int DEFAULT_STEPS_AHEAD = 64;

}  // namespace velko::sim_connection
