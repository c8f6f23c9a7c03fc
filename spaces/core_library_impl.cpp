#include "spaces/core_library_impl.h"

#include <utility>

#include "spaces/compute_view.h"
#include "spaces/sensor.h"
#include "spaces/spaces.h"

namespace velko::spaces {

namespace {

// A compute space behind the report run's interface.
class ComputeSpaceAdapter : public dataset_replay::ComputeSpace {
 public:
  explicit ComputeSpaceAdapter(Space space) : space_(std::move(space)) {}
  boost::json::value sample() override { return space_.sample(); }

 private:
  spaces::ComputeSpace space_;
};

// A sensor behind the report run's interface.
class SensorAdapter : public dataset_replay::Sensor {
 public:
  SensorAdapter(const std::string& name, const std::string& mapping) : sensor_(name, mapping) {}
  boost::json::value sense(const boost::json::value& observation) override {
    return sensor_.sense(observation);
  }

 private:
  spaces::Sensor sensor_;
};

}  // namespace

boost::json::array CoreLibraryImpl::convert_space_to_json(const boost::json::value& space_info) {
  return spaces::convert_space_to_json(space_info);
}

std::size_t CoreLibraryImpl::space_variables(const boost::json::value& space_info) {
  return parse_space(space_info).variables;
}

std::unique_ptr<dataset_replay::ComputeSpace> CoreLibraryImpl::to_compute_space(
    const boost::json::value& space_info) {
  return std::make_unique<ComputeSpaceAdapter>(parse_space(space_info));
}

boost::json::value CoreLibraryImpl::as_compute_sees(const boost::json::value& value) {
  return spaces::as_compute_sees(value);
}

void CoreLibraryImpl::to_compute_view(boost::json::value& value) { spaces::to_compute_view(value); }

std::unique_ptr<dataset_replay::Sensor> CoreLibraryImpl::make_sensor(
    const std::string& name, const std::string& sensor_mapping) {
  return std::make_unique<SensorAdapter>(name, sensor_mapping);
}

}  // namespace velko::spaces
