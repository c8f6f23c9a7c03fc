// The core library's helpers as the report run uses them: space conversions, the compute
// side's view of values, and the sensor component.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

namespace velko::dataset_replay {

// A space that gives random valid values.
class ComputeSpace {
 public:
  virtual ~ComputeSpace() = default;
  virtual boost::json::value sample() = 0;
};

// A sensor that reads one value out of an observation.
class Sensor {
 public:
  virtual ~Sensor() = default;
  virtual boost::json::value sense(const boost::json::value& observation) = 0;
};

class CoreLibrary {
 public:
  virtual ~CoreLibrary() = default;
  // `space_util.convert_space_to_json(info)`: one mapping per variable of the space.
  virtual boost::json::array convert_space_to_json(const boost::json::value& space_info) = 0;
  // The number of variables (scalar elements) of a space; throws for a description that is
  // not valid.
  virtual std::size_t space_variables(const boost::json::value& space_info) {
    return convert_space_to_json(space_info).size();
  }
  // `sim_validator_util._to_compute_space(info)`.
  virtual std::unique_ptr<ComputeSpace> _to_compute_space(const boost::json::value& space_info) = 0;
  // `sim_validator_util.as_compute_sees(value)`: a new JSON-like value.
  virtual boost::json::value as_compute_sees(const boost::json::value& value) = 0;
  // `value` made what as_compute_sees(value) gives, in place: an observation that is read
  // once is then not copied.
  virtual void to_compute_view(boost::json::value& value) { value = as_compute_sees(value); }
  // `Sensor(name, sensor_mapping=expression)`.
  virtual std::unique_ptr<Sensor> make_sensor(const std::string& name,
                                              const std::string& sensor_mapping) = 0;
};

}  // namespace velko::dataset_replay
