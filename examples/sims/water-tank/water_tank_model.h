// A water tank filled by a staged pump and drained through a valve: the process behind the
// demo's sim, kept apart so that dataset generators can run it with other parameters and noise.
#pragma once

#include <cstdint>
#include <random>

#include <boost/json/object.hpp>

namespace velko::examples {

// The tank's physical parameters, its noise and its episodes.
struct WaterTankParameters {
  double tank_area = 2.0;              // m², the tank's cross-section
  double max_level = 3.0;              // m; water above it spills over
  double initial_level = 1.0;          // m, at the start of an episode
  double outlet_area = 0.005;          // m², effective outlet area with the valve fully open
  double pump_flow_per_stage = 0.008;  // m³/s delivered by each pump stage
  double dt = 1.0;                     // s, the time of one step
  double inflow_noise = 0.0;           // m³/s, standard deviation of the pump's flow disturbance
  double sensor_noise = 0.0;           // standard deviation added to each reading, in its unit
  double target_level = 2.0;           // m, the level that the reward favours
  std::int64_t max_steps = 0;          // steps after which an episode is truncated; 0: never
  std::uint64_t seed = 0;              // the random source of every episode derives from it
};

// Pump stages are 0 (off) to kMaxPumpStage.
inline constexpr int kMaxPumpStage = 3;

// Reads the members of `settings` that name parameters ("tank_area", "seed", ...) over
// `defaults`; other members are ignored. Throws std::invalid_argument naming a member whose
// value is not allowed.
WaterTankParameters parameters_from_json(const boost::json::object& settings,
                                         WaterTankParameters defaults = {});

// What the tank's sensors show.
struct WaterTankReading {
  double tank_level = 0;  // m
  double inflow = 0;      // m³/s
  double outflow = 0;     // m³/s
  double pressure = 0;    // kPa at the bottom
};

// The tank's state over an episode. Deterministic: the same parameters, episode number and
// actions give the same readings.
class WaterTankModel {
 public:
  explicit WaterTankModel(WaterTankParameters parameters);

  // Starts an episode at the initial level, its random source derived from the seed and the
  // episode number.
  WaterTankReading reset(std::uint64_t episode);
  // One step with the valve opening (clamped to 0..1) and the pump stage (clamped to
  // 0..kMaxPumpStage).
  WaterTankReading step(double valve_opening, int pump_stage);

  // The reward of the current state: the closer to the target level, the higher (at most 0).
  double reward() const;
  // Water spilled over the rim during the last step, m³.
  double spilled() const { return spilled_; }
  std::int64_t steps() const { return steps_; }
  const WaterTankParameters& parameters() const { return parameters_; }

 private:
  WaterTankReading read();
  // A standard normal draw from the episode's random source.
  double normal();

  WaterTankParameters parameters_;
  std::mt19937_64 random_;
  double level_ = 0;
  double inflow_ = 0;
  double outflow_ = 0;
  double spilled_ = 0;
  std::int64_t steps_ = 0;
};

}  // namespace velko::examples
