// Sensors: read one element of a sim's observation, as training reads its sensors.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "spaces/slot_path.h"

namespace velko::spaces {

// What every sensor mapping text begins with; the slot path follows directly.
inline constexpr std::string_view kSensorMappingPrefix = "lambda sensors: sensors";

// A sensor mapping that is not of the accepted form, or an observation that the sensor's
// path does not lead through.
class SensorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A sensor named `name` whose mapping text is "lambda sensors: sensors" followed by a slot
// path (lambda sensors: sensors['tank'][0]). The mapping is read once, when it is made.
class Sensor {
 public:
  // Throws SensorError when the mapping text is not of that form.
  Sensor(std::string name, std::string_view mapping);

  // The element of the observation that the slot path addresses (the whole observation for
  // the empty path). A negative list position counts from the end. Throws SensorError when
  // the path leads nowhere: a missing map entry, a position out of range, a key on a scalar.
  const boost::json::value& find(const boost::json::value& observation) const;
  // A copy of that element.
  boost::json::value sense(const boost::json::value& observation) const;

  const std::string& name() const { return name_; }
  const SlotKeys& keys() const { return keys_; }

 private:
  // Throws SensorError: the path leads nowhere at its key number `key`.
  [[noreturn]] void lost(std::size_t key, const std::string& why) const;

  std::string name_;
  SlotKeys keys_;
};

}  // namespace velko::spaces
