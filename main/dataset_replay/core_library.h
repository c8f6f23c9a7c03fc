// What the report run needs to know of spaces and values: a space's mappings and its size,
// sampling a space, the compute side's view of a value, and sensors that read observations.
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

// Spaces, values and sensors as the report run uses them.
class CoreLibrary {
 public:
  virtual ~CoreLibrary() = default;
  // One mapping ({"name": slot path, ...}) per variable of the space that `space_info`
  // describes; throws for a description that is not valid.
  virtual boost::json::array convert_space_to_json(const boost::json::value& space_info) = 0;
  // The number of variables (scalar elements) of a space; throws for a description that is
  // not valid.
  virtual std::size_t space_variables(const boost::json::value& space_info) {
    return convert_space_to_json(space_info).size();
  }
  // A sampler of random valid values of the space that `space_info` describes; throws for a
  // description that is not valid.
  virtual std::unique_ptr<ComputeSpace> to_compute_space(const boost::json::value& space_info) = 0;
  // `value` as the compute side sees it, as a new value (numbers as the node reads them).
  virtual boost::json::value as_compute_sees(const boost::json::value& value) = 0;
  // `value` made what as_compute_sees(value) gives, in place: an observation that is read
  // once is then not copied.
  virtual void to_compute_view(boost::json::value& value) { value = as_compute_sees(value); }
  // A sensor named `name` that reads the slot `sensor_mapping` (a slot path) of an
  // observation; throws for a slot path that is not valid.
  virtual std::unique_ptr<Sensor> make_sensor(const std::string& name,
                                              const std::string& sensor_mapping) = 0;
};

}  // namespace velko::dataset_replay
