// @SIM_NAME@: a velko sim written in C++ on velko's sim author library (sim_author/).
//
// A room warmed by a heater while the weather outside drifts. Observation: the room's and the
// outside temperature (°C). Action: the heater's power, 0 (off), 1 (half) or 2 (full). Make it
// your own: change the spaces, reset() and step(), and name the variables ("names", "name") as
// your dataset's columns are named. `velko sim validate .` checks it over the protocol.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>

#include <boost/json.hpp>

#include "sim_author/sim_author.h"

namespace {

namespace json = boost::json;
namespace author = velko::sim_author;

// The room and its heater as a sim.
class RoomSim : public author::Sim {
 public:
  // The run's settings (velko sim validate --env-init '{...}').
  void make(const author::MakeRequest& request) override {
    if (const json::value* target = request.env_init.if_contains("target_temperature")) {
      target_ = target->to_number<double>();
    }
    if (const json::value* max_steps = request.env_init.if_contains("max_steps")) {
      max_steps_ = max_steps->to_number<std::int64_t>();
    }
  }

  json::value sensor_space() override {
    return json::parse(R"({"type": "box", "shape": [2], "dtype": "float64",
                           "low": -50, "high": 100,
                           "names": ["room_temperature", "outside_temperature"]})");
  }

  // A space that is one value is mapped as a whole, by its "name".
  json::value action_space() override {
    return json::parse(R"({"type": "discrete", "n": 3, "name": "heater_power"})");
  }

  // The same seed starts the same episode, which is how velko replays a recorded episode from
  // where it started; without one the random source goes on.
  author::ResetResult reset(const author::ResetRequest& request) override {
    if (request.seed) random_.seed(*request.seed);
    outside_ = std::uniform_real_distribution<double>(-5.0, 15.0)(random_);
    room_ = std::uniform_real_distribution<double>(15.0, 20.0)(random_);
    steps_ = 0;
    return {observation(), {}};
  }

  author::StepResult step(const json::value& action) override {
    const std::int64_t power = action.to_number<std::int64_t>();
    if (power < 0 || power > 2) throw std::invalid_argument("the heater's power must be 0, 1 or 2");
    outside_ = std::clamp(outside_ + std::normal_distribution<double>(0.0, 0.2)(random_), -20.0,
                          35.0);
    // The room loses heat to the outside and gains 1 °C a step per unit of power.
    room_ += 0.05 * (outside_ - room_) + 1.0 * static_cast<double>(power);
    ++steps_;
    author::StepResult result;
    result.observation = observation();
    result.reward = -std::abs(room_ - target_);
    result.truncated = steps_ >= max_steps_;
    result.info["power"] = power;
    return result;
  }

 private:
  json::value observation() const { return json::array{room_, outside_}; }

  double target_ = 21.0;
  std::int64_t max_steps_ = 200;
  std::mt19937_64 random_;
  double outside_ = 0;
  double room_ = 0;
  std::int64_t steps_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  RoomSim sim;
  return author::serve(argc, argv, sim);
}
