// velko-bench-spin-sim: a sim bound by its own CPU, for measuring how a replay spreads over
// several sim processes. It has the water tank's spaces (so that it replays the tank's
// recorded runs) and answers every step with the same observation after spinning a fixed time
// of CPU, 50 us unless "--spin-us N" says otherwise.
//
// Run: velko-bench-spin-sim [--spin-us N] --port P (velko starts it so)
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string_view>

#include <boost/json.hpp>

#include "sim_author/sim_author.h"

namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

// The sim: the tank's spaces, steps that only spin.
class SpinSim : public velko::sim_author::Sim {
 public:
  explicit SpinSim(std::chrono::microseconds spin) : spin_(spin) {}

  json::value sensor_space() override {
    return json::parse(R"({"type": "box", "shape": [4], "dtype": "float64",
                           "low": [0, 0, 0, 0], "high": [2, null, null, 19.62],
                           "names": ["tank_level", "inflow", "outflow", "pressure"]})");
  }
  json::value action_space() override {
    return json::parse(R"({"type": "dict", "spaces": {
        "valve_opening": {"type": "box", "shape": [], "dtype": "float64", "low": 0.0,
                          "high": 1.0, "names": ["valve_opening"]},
        "pump_stage": {"type": "discrete", "n": 4, "name": "pump_stage"}}})");
  }
  velko::sim_author::ResetResult reset() override { return {reading(), {}}; }
  velko::sim_author::StepResult step(const json::value& /*action*/) override {
    // Busy, not asleep: the step costs CPU as a real model's would.
    const Clock::time_point until = Clock::now() + spin_;
    while (Clock::now() < until) {
    }
    return {reading(), 0.0, false, false, {}};
  }

 private:
  static json::value reading() { return json::array{1.0, 0.0, 0.0, 9.81}; }
  std::chrono::microseconds spin_;
};

// The value of "--spin-us N"; 50 when it is not given.
long spin_us(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) != "--spin-us") continue;
    std::string_view text = argv[i + 1];
    long value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < 0) {
      std::fprintf(stderr, "%s: --spin-us takes a whole number of microseconds\n", argv[0]);
      return -1;
    }
    return value;
  }
  return 50;
}

}  // namespace

int main(int argc, char** argv) {
  const long spin = spin_us(argc, argv);
  if (spin < 0) return 2;
  SpinSim sim{std::chrono::microseconds(spin)};
  return velko::sim_author::serve(argc, argv, sim);
}
