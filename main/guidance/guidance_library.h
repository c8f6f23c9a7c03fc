// The platform client as the guidance module uses it: the project's guidance library.
#pragma once

#include <optional>
#include <string>

#include <boost/json/value.hpp>

#include "common/async.h"

namespace velko::guidance {

// The type of an item as the platform names it ("goal", "constraint", ...).
struct ItemType {
  std::string value;
  bool operator==(const ItemType&) const = default;
};

// A guidance item as the platform returns it; only these members are read.
struct GuidanceItem {
  std::string id;
  std::string name;
  ItemType type;
};

// `api.projects.guidance`: the guidance library of one project.
class GuidanceLibrary {
 public:
  virtual ~GuidanceLibrary() = default;
  // Uploads the bytes of a reward file under its file name and returns the value that names
  // it (its data URL).
  virtual awaitable<std::string> upload_reward_file(std::string organization_id,
                                                    std::string project_id, std::string filename,
                                                    std::string bytes) = 0;
  // The item with this name and type, if the project has one.
  virtual awaitable<std::optional<GuidanceItem>> get_by_name(std::string organization_id,
                                                             std::string project_id,
                                                             std::string name,
                                                             std::string type) = 0;
  // Creates an item; an empty `conditions` or `data_url` is sent as null.
  virtual awaitable<GuidanceItem> create(std::string organization_id, std::string project_id,
                                         std::string type, std::string name,
                                         std::optional<boost::json::value> conditions,
                                         std::optional<std::string> data_url) = 0;
  // Replaces an item's conditions and data URL.
  virtual awaitable<GuidanceItem> update(std::string organization_id, std::string project_id,
                                         std::string item_id,
                                         std::optional<boost::json::value> conditions,
                                         std::optional<std::string> data_url) = 0;
};

// The platform client as `publish` is lent it.
class Platform {
 public:
  virtual ~Platform() = default;
  // `api.projects.guidance`.
  virtual GuidanceLibrary& guidance() = 0;
};

}  // namespace velko::guidance
