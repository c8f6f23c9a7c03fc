#include "main/dataset_replay/observation_bound.h"

#include <exception>
#include <string>

#include <spdlog/logger.h>
#include <boost/json/value.hpp>

#include "common/errors.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"

namespace velko::dataset_replay {

awaitable<void> bound_observations(const ReportRun& run, SimClient& client, double call_timeout_s) {
  std::string failure;
  try {
    boost::json::value space =
        co_await sim_call(client.sensor_space_info(), "sensor_space_info()", call_timeout_s);
    const std::size_t variables = run.core.space_variables(space);
    client.bound_observations(variables);
    run.logger.debug("observations bounded by the sensor space's {} variables", variables);
    co_return;
  } catch (const TimeoutError&) {
    throw;
  } catch (const std::exception& error) {
    if (is_interrupt(std::current_exception())) throw;
    failure = error.what();
  }
  run.logger.debug("observations not bounded: no sensor space ({})", failure);
}

}  // namespace velko::dataset_replay
