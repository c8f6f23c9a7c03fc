// Publishing an item directory to a project's guidance library.
#pragma once

#include <string>
#include <utility>

#include "common/async.h"
#include "main/guidance/guidance_library.h"
#include "main/guidance/reward_file.h"

namespace velko::guidance {

// Sends the item in `path` to the project's library: uploads a reward's file, then updates
// the item with the same name and type or creates it. Returns the item and whether it was
// created. Throws GuidanceManifestError before any client call when the manifest is wrong,
// and RewardFileOutsideError (reward_file.h) when the reward's file lies outside the item
// directory, after following links, unless `consent` allows that file. The reward file is
// opened once and what is sent is read from the descriptor that was checked
// (read_reward_file).
awaitable<std::pair<GuidanceItem, bool>> publish(Platform& api, std::string path,
                                                 std::string organization_id,
                                                 std::string project_id,
                                                 OutsideFileConsent consent = {});

}  // namespace velko::guidance
