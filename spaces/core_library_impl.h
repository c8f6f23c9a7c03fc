// The core library as the report run calls it: spaces, the compute side's view of values
// and sensors.
#pragma once

#include <memory>
#include <string>

#include "main/dataset_replay/core_library.h"

namespace velko::spaces {

// The real core library; the host installs it in the report run's components.
class CoreLibraryImpl : public dataset_replay::CoreLibrary {
 public:
  boost::json::array convert_space_to_json(const boost::json::value& space_info) override;
  std::size_t space_variables(const boost::json::value& space_info) override;
  std::unique_ptr<dataset_replay::ComputeSpace> to_compute_space(
      const boost::json::value& space_info) override;
  boost::json::value as_compute_sees(const boost::json::value& value) override;
  void to_compute_view(boost::json::value& value) override;
  std::unique_ptr<dataset_replay::Sensor> make_sensor(const std::string& name,
                                                      const std::string& sensor_mapping) override;
};

}  // namespace velko::spaces
