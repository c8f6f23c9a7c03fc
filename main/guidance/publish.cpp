#include "main/guidance/publish.h"

#include "main/guidance/manifest.h"
#include "main/guidance/reward_file.h"

namespace velko::guidance {

awaitable<std::pair<GuidanceItem, bool>> publish(Platform& api, std::string path,
                                                 std::string organization_id,
                                                 std::string project_id,
                                                 OutsideFileConsent consent) {
  // Tests the directory before the platform is contacted.
  GuidanceManifest manifest = read_manifest(path);
  std::optional<RewardFileContents> reward;
  if (manifest.reward_file) {
    RewardFileLocation location = locate_reward_file(path, *manifest.reward_file);
    if (!location.inside && !consent.allows(location.resolved)) {
      throw RewardFileOutsideError(location);
    }
    reward = read_reward_file(location, consent);
  }
  GuidanceLibrary& library = api.guidance();

  // A reward's file goes up first, on every publish, for new and existing items alike.
  std::optional<std::string> data_url;
  if (reward) {
    data_url = co_await library.upload_reward_file(organization_id, project_id, reward->name,
                                                   std::move(reward->bytes));
  }

  std::optional<GuidanceItem> existing =
      co_await library.get_by_name(organization_id, project_id, manifest.name, manifest.type);
  if (!existing) {
    // Type before name.
    GuidanceItem item = co_await library.create(organization_id, project_id, manifest.type,
                                                manifest.name, manifest.conditions, data_url);
    co_return std::pair<GuidanceItem, bool>(std::move(item), true);
  }
  GuidanceItem item = co_await library.update(organization_id, project_id, existing->id,
                                              manifest.conditions, data_url);
  co_return std::pair<GuidanceItem, bool>(std::move(item), false);
}

}  // namespace velko::guidance
