#include "spaces/sensor.h"

#include <cstdint>
#include <utility>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_access.h"
#include "common/literal.h"

namespace velko::spaces {

namespace json = boost::json;

namespace {}  // namespace

Sensor::Sensor(std::string name, std::string_view mapping) : name_(std::move(name)) {
  if (!mapping.starts_with(kSensorMappingPrefix)) {
    throw SensorError("sensor " + quoted(name_) + ": its mapping " + quoted(mapping) +
                      " does not begin with '" + std::string(kSensorMappingPrefix) + "'");
  }
  try {
    keys_ = parse_slot_path(mapping.substr(kSensorMappingPrefix.size()));
  } catch (const SlotPathError& error) {
    throw SensorError("sensor " + quoted(name_) + ": its mapping " + quoted(mapping) +
                      " does not end in a slot path such as ['tank'][0]: " + error.what());
  }
}

void Sensor::lost(std::size_t key, const std::string& why) const {
  std::string where =
      key == 0 ? "the observation" : "the value at " + slot_path_text(keys_.data(), key);
  throw SensorError("sensor " + quoted(name_) + ": " + where + " " + why);
}

const json::value& Sensor::find(const json::value& observation) const {
  const json::value* node = &observation;
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    const SlotKey& key = keys_[k];
    if (key.is_text) {
      if (const json::object* object = node->if_object()) {
        node = object->if_contains(key.text);
        if (!node) lost(k, "has no entry " + quoted(key.text));
        continue;
      }
      lost(k, std::string("is ") + json_access::kind_name(*node) + ", not a map with the entry " +
                  quoted(key.text));
    }
    if (const json::array* items = node->if_array()) {
      auto size = static_cast<std::int64_t>(items->size());
      std::int64_t position = key.index < 0 ? key.index + size : key.index;
      if (position < 0 || position >= size) {
        lost(k, "is a list of " + std::to_string(size) + " elements, without position " +
                    std::to_string(key.index));
      }
      node = &(*items)[static_cast<std::size_t>(position)];
      continue;
    }
    lost(k, std::string("is ") + json_access::kind_name(*node) + ", not a list with position " +
                std::to_string(key.index));
  }
  return *node;
}

json::value Sensor::sense(const json::value& observation) const {
  return json::value(find(observation), json::storage_ptr());
}

}  // namespace velko::spaces
