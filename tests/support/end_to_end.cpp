#include "tests/support/end_to_end.h"

#include "tests/support/sims.h"

namespace velko::testing {

void EndToEnd::start_services(const std::vector<std::string>& platform_args) {
  services = std::make_unique<LocalServices>(data.path(), platform_args);
}

std::string EndToEnd::sim(const std::string& name, const std::vector<std::string>& argv) {
  return sim_dir(dir / name, argv);
}

std::string EndToEnd::water_tank() { return water_tank_dir(dir / "water-tank"); }

std::string EndToEnd::fault_sim(const std::string& name, std::vector<std::string> fault) {
  fault.insert(fault.begin(), "--fault");
  return test_sim_dir(dir / name, fault);
}

RunOptions EndToEnd::options() const {
  RunOptions run_options;
  run_options.env =
      services ? services->env()
               : std::map<std::string, std::optional<std::string>>{{"NO_COLOR", std::string("1")}};
  run_options.timeout_s = 120;
  return run_options;
}

RunResult EndToEnd::velko(std::vector<std::string> args, const RunOptions& run_options) const {
  args.insert(args.begin(), bin("velko"));
  return run(args, run_options);
}

}  // namespace velko::testing
