// velko-water-tank-sim: the demo's sim, a water tank with a valve and a staged pump.
//
// Observation: a box of four readings named tank_level (m), inflow (m³/s), outflow (m³/s) and
// pressure (kPa). Action: {"valve_opening": 0..1, "pump_stage": 0..3}. The parameters of
// water_tank_model.h are settable through env_init, "seed" included.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/json/array.hpp>
#include <boost/json/parse.hpp>

#include "sim_author/sim_author.h"
#include "water_tank_model.h"

namespace {

namespace json = boost::json;
using velko::examples::WaterTankModel;
using velko::examples::WaterTankParameters;
using velko::examples::WaterTankReading;

// The demo's water tank as a sim.
class WaterTankSim : public velko::sim_author::Sim {
 public:
  void make(const velko::sim_author::MakeRequest& request) override {
    parameters_ = velko::examples::parameters_from_json(request.env_init);
    model_.emplace(parameters_);
  }

  json::value sensor_space() override {
    const double max_level = parameters_.max_level;
    return json::object{{"type", "box"},
                        {"shape", json::array{4}},
                        {"dtype", "float64"},
                        {"low", json::array{0, 0, 0, 0}},
                        {"high", json::array{max_level, nullptr, nullptr, 9.81 * max_level}},
                        {"names", json::array{"tank_level", "inflow", "outflow", "pressure"}}};
  }

  json::value action_space() override {
    json::object valve{{"type", "box"},      {"shape", json::array{}},
                       {"dtype", "float64"}, {"low", 0.0},
                       {"high", 1.0},        {"names", json::array{"valve_opening"}}};
    json::object pump{
        {"type", "discrete"}, {"n", velko::examples::kMaxPumpStage + 1}, {"name", "pump_stage"}};
    json::object spaces;
    spaces["valve_opening"] = std::move(valve);
    spaces["pump_stage"] = std::move(pump);
    return json::object{{"type", "dict"}, {"spaces", std::move(spaces)}};
  }

  velko::sim_author::ResetResult reset() override {
    if (!model_) model_.emplace(parameters_);
    WaterTankReading reading = model_->reset(episode_++);
    return {observation(reading), json::object{}};
  }

  velko::sim_author::StepResult step(const json::value& action) override {
    if (!model_) throw std::logic_error("step() before reset()");
    const json::object* members = action.if_object();
    if (!members) throw std::invalid_argument("the action must be a map");
    double valve = number(*members, "valve_opening");
    double stage = number(*members, "pump_stage");
    WaterTankReading reading =
        model_->step(valve, static_cast<int>(std::lround(std::clamp(stage, -1.0, 4.0))));
    velko::sim_author::StepResult result;
    result.observation = observation(reading);
    result.reward = model_->reward();
    result.truncated = parameters_.max_steps > 0 && model_->steps() >= parameters_.max_steps;
    result.info["spilled"] = model_->spilled();
    return result;
  }

 private:
  static json::value observation(const WaterTankReading& reading) {
    return json::array{reading.tank_level, reading.inflow, reading.outflow, reading.pressure};
  }

  static double number(const json::object& action, const char* name) {
    const json::value* value = action.if_contains(name);
    if (!value) throw std::invalid_argument(std::string("the action has no \"") + name + "\"");
    if (!value->is_number()) {
      throw std::invalid_argument(std::string("the action's \"") + name + "\" is not a number");
    }
    double number = value->to_number<double>();
    if (!std::isfinite(number)) {
      throw std::invalid_argument(std::string("the action's \"") + name + "\" is not finite");
    }
    return number;
  }

  WaterTankParameters parameters_;
  std::optional<WaterTankModel> model_;
  std::uint64_t episode_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  WaterTankSim sim;
  return velko::sim_author::serve(argc, argv, sim);
}
