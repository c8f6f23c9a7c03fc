#include "water_tank_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace velko::examples {

namespace json = boost::json;

namespace {

constexpr double kGravity = 9.81;         // m/s²
constexpr double kWaterDensity = 1000.0;  // kg/m³
constexpr int kSubsteps = 10;             // integration steps per step
constexpr double kPi = 3.14159265358979323846;

double number(const json::value& value, const char* name) {
  if (value.is_int64()) return static_cast<double>(value.get_int64());
  if (value.is_uint64()) return static_cast<double>(value.get_uint64());
  if (value.is_double() && std::isfinite(value.get_double())) return value.get_double();
  throw std::invalid_argument(std::string("the setting \"") + name + "\" must be a number");
}

// Reads `name` from `settings` into `target` when present, checking it with `valid`.
template <class Valid>
void read(const json::object& settings, const char* name, double& target, Valid valid,
          const char* rule) {
  const json::value* value = settings.if_contains(name);
  if (!value) return;
  double read_value = number(*value, name);
  if (!valid(read_value)) {
    throw std::invalid_argument(std::string("the setting \"") + name + "\" must be " + rule);
  }
  target = read_value;
}

std::uint64_t integer(const json::object& settings, const char* name, std::uint64_t fallback) {
  const json::value* value = settings.if_contains(name);
  if (!value) return fallback;
  if (value->is_uint64()) return value->get_uint64();
  if (value->is_int64() && value->get_int64() >= 0) {
    return static_cast<std::uint64_t>(value->get_int64());
  }
  throw std::invalid_argument(std::string("the setting \"") + name +
                              "\" must be an integer of at least 0");
}

// SplitMix64: spreads a seed over all bits.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

WaterTankParameters parameters_from_json(const json::object& settings, WaterTankParameters p) {
  auto positive = [](double v) { return v > 0; };
  auto non_negative = [](double v) { return v >= 0; };
  read(settings, "tank_area", p.tank_area, positive, "above 0");
  read(settings, "max_level", p.max_level, positive, "above 0");
  read(settings, "outlet_area", p.outlet_area, non_negative, "at least 0");
  read(settings, "pump_flow_per_stage", p.pump_flow_per_stage, non_negative, "at least 0");
  read(
      settings, "dt", p.dt, [](double v) { return v > 0 && v <= 3600; },
      "above 0 and at most 3600");
  read(settings, "inflow_noise", p.inflow_noise, non_negative, "at least 0");
  read(settings, "sensor_noise", p.sensor_noise, non_negative, "at least 0");
  const double max_level = p.max_level;
  auto within_tank = [max_level](double v) { return v >= 0 && v <= max_level; };
  read(settings, "initial_level", p.initial_level, within_tank, "from 0 to max_level");
  read(settings, "target_level", p.target_level, within_tank, "from 0 to max_level");
  if (p.initial_level > p.max_level) {
    throw std::invalid_argument("the setting \"initial_level\" must be from 0 to max_level");
  }
  p.seed = integer(settings, "seed", p.seed);
  std::uint64_t max_steps = integer(settings, "max_steps", static_cast<std::uint64_t>(p.max_steps));
  if (max_steps > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::invalid_argument("the setting \"max_steps\" is too large");
  }
  p.max_steps = static_cast<std::int64_t>(max_steps);
  return p;
}

WaterTankModel::WaterTankModel(WaterTankParameters parameters)
    : parameters_(parameters), level_(parameters.initial_level) {}

WaterTankReading WaterTankModel::reset(std::uint64_t episode) {
  random_.seed(mix(parameters_.seed ^ mix(episode)));
  level_ = parameters_.initial_level;
  inflow_ = 0;
  outflow_ = 0;
  spilled_ = 0;
  steps_ = 0;
  return read();
}

WaterTankReading WaterTankModel::step(double valve_opening, int pump_stage) {
  const WaterTankParameters& p = parameters_;
  valve_opening = std::clamp(std::isfinite(valve_opening) ? valve_opening : 0.0, 0.0, 1.0);
  pump_stage = std::clamp(pump_stage, 0, kMaxPumpStage);

  double disturbance = p.inflow_noise > 0 ? p.inflow_noise * normal() : 0.0;
  double inflow =
      pump_stage > 0 ? std::max(0.0, pump_stage * p.pump_flow_per_stage + disturbance) : 0.0;
  const double h = p.dt / kSubsteps;
  double outflow_volume = 0;
  spilled_ = 0;
  for (int i = 0; i < kSubsteps; ++i) {
    // Torricelli: the outflow grows with the square root of the water's height.
    double outflow = valve_opening * p.outlet_area * std::sqrt(2 * kGravity * level_);
    double level = level_ + h * (inflow - outflow) / p.tank_area;
    if (level > p.max_level) {
      spilled_ += (level - p.max_level) * p.tank_area;
      level = p.max_level;
    }
    // The tank cannot give more water than it holds.
    if (level < 0) {
      outflow = level_ * p.tank_area / h + inflow;
      level = 0;
    }
    outflow_volume += outflow * h;
    level_ = level;
  }
  inflow_ = inflow;
  outflow_ = outflow_volume / p.dt;
  ++steps_;
  return read();
}

double WaterTankModel::reward() const { return -std::abs(level_ - parameters_.target_level); }

WaterTankReading WaterTankModel::read() {
  const double noise = parameters_.sensor_noise;
  auto sensed = [&](double value) { return noise > 0 ? value + noise * normal() : value; };
  WaterTankReading reading;
  reading.tank_level = sensed(level_);
  reading.inflow = sensed(inflow_);
  reading.outflow = sensed(outflow_);
  reading.pressure = sensed(kWaterDensity * kGravity * level_ / 1000.0);
  return reading;
}

double WaterTankModel::normal() {
  // Box-Muller on the engine's raw bits: the same numbers on every standard library.
  auto uniform = [this] { return (static_cast<double>(random_() >> 11) + 0.5) * 0x1.0p-53; };
  return std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * kPi * uniform());
}

}  // namespace velko::examples
