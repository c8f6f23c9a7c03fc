// generate_water_tank_runs: writes the example dataset "water-tank-runs", recorded runs of a
// water tank "plant" operated by hand, into a folder (runs.csv and dataset.json). With
// --episodes N it writes N episodes instead of the example's 48 (the first 48 are the
// example's): bench/whole_run.sh makes its large datasets so.
//
// The plant is the demo sim's water-tank model with other physical parameters, a disturbed
// pump flow, noisy sensors that sometimes drop a reading, and a pressure transmitter that
// reports one step late; so the demo sim matches it well but not perfectly. The output
// depends only on the seed below.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "examples/sims/water-tank/water_tank_model.h"

namespace {

using velko::examples::WaterTankModel;
using velko::examples::WaterTankParameters;
using velko::examples::WaterTankReading;

constexpr std::uint64_t kSeed = 20240611;
// Episodes of the example dataset.
constexpr int kEpisodes = 48;
// Most episodes that --episodes takes.
constexpr int kMaxEpisodes = 1000000;
constexpr int kMinRows = 200;
constexpr int kMaxRows = 400;

constexpr const char* kDatasetId = "7c0e3b52-95d4-4f1e-a6b8-2d41f0c9e713";
constexpr const char* kDatasetName = "water-tank-runs";
constexpr const char* kCsvName = "runs.csv";

// The plant: the sim's model with the parameters of the real tank.
WaterTankParameters plant_parameters() {
  WaterTankParameters p;
  p.tank_area = 2.15;
  p.outlet_area = 0.0052;
  p.pump_flow_per_stage = 0.0077;
  p.initial_level = 1.0;
  p.inflow_noise = 0.0006;
  p.sensor_noise = 0;  // the sensors' own noise is added below, one level per sensor
  p.seed = kSeed;
  return p;
}

// The standard deviation of each sensor's measurement noise, in its unit.
struct SensorNoise {
  double tank_level = 0.01;  // m
  double inflow = 0.0003;    // m³/s
  double outflow = 0.0003;   // m³/s
  double pressure = 0.08;    // kPa
};

// One in this many readings of a sensor is lost.
constexpr int kDropoutOneIn = 400;

// Appends a number with a fixed number of decimals.
void put(std::string& line, double value, int decimals) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  line.append(buffer, result.ptr);
}

// Writes the recorded runs as CSV.
void write_runs(std::ostream& out, int episodes) {
  WaterTankModel plant(plant_parameters());
  SensorNoise noise;
  std::mt19937_64 random(kSeed);
  // Drawn from the engine's raw bits, so that every standard library gives the same file.
  auto draw = [&](std::uint64_t n) { return random() % n; };
  auto uniform = [&] { return (static_cast<double>(random() >> 11) + 0.5) * 0x1.0p-53; };
  auto gauss = [&] {
    double radius = std::sqrt(-2.0 * std::log(uniform()));
    return radius * std::cos(2.0 * 3.14159265358979323846 * uniform());
  };

  out << "episode,time_s,tank_level,inflow,outflow,pressure,valve_opening,pump_stage\n";
  for (int episode = 1; episode <= episodes; ++episode) {
    int rows = kMinRows + static_cast<int>(draw(kMaxRows - kMinRows + 1));
    // The operator holds a valve opening and a pump stage for a while, then changes them.
    double valve = 0;
    int stage = 0;
    int hold = 0;
    double previous_pressure = 0;
    for (int row = 0; row < rows; ++row) {
      WaterTankReading truth;
      if (row == 0) {
        truth = plant.reset(static_cast<std::uint64_t>(episode));
      } else {
        if (hold-- <= 0) {
          valve = 0.1 + 0.9 * uniform();
          stage = static_cast<int>(draw(4));
          hold = 15 + static_cast<int>(draw(46));
        }
        truth = plant.step(valve, stage);
      }
      // The transmitter reports the pressure of the previous step (the first row its own).
      double pressure = row == 0 ? truth.pressure : previous_pressure;
      previous_pressure = truth.pressure;

      std::string line = std::to_string(episode) + "," + std::to_string(row) + ",";
      auto sensor = [&](double value, double sigma, int decimals) {
        double sensed = value + sigma * gauss();
        if (draw(kDropoutOneIn) != 0) put(line, sensed, decimals);
        line += ",";
      };
      sensor(truth.tank_level, noise.tank_level, 4);
      sensor(truth.inflow, noise.inflow, 6);
      sensor(truth.outflow, noise.outflow, 6);
      sensor(pressure, noise.pressure, 3);
      // Row 0 is the state the episode starts from: no action led to it.
      if (row > 0) {
        put(line, valve, 3);
        line += "," + std::to_string(stage);
      } else {
        line += ",";
      }
      out << line << "\n";
    }
  }
}

// The dataset's descriptor.
void write_descriptor(std::ostream& out, int episodes) {
  out << "{\n"
      << "  \"id\": \"" << kDatasetId << "\",\n"
      << "  \"name\": \"" << kDatasetName << "\",\n"
      << "  \"description\": \"Hand-operated runs of the water tank plant: " << episodes
      << " episodes of " << kMinRows << " to " << kMaxRows
      << " one-second rows. Generated by examples/datasets/generate_water_tank_runs.cpp.\",\n"
      << "  \"csv\": \"" << kCsvName << "\",\n"
      << "  \"episode_column\": \"episode\",\n"
      << "  \"columns\": [\n"
      << "    {\"header\": \"tank_level\", \"id\": \"tank-level\", \"role\": \"sensor\"},\n"
      << "    {\"header\": \"inflow\", \"id\": \"inflow\", \"role\": \"sensor\"},\n"
      << "    {\"header\": \"outflow\", \"id\": \"outflow\", \"role\": \"sensor\"},\n"
      << "    {\"header\": \"pressure\", \"id\": \"pressure\", \"role\": \"sensor\"},\n"
      << "    {\"header\": \"valve_opening\", \"id\": \"valve-opening\", \"role\": \"action\"},\n"
      << "    {\"header\": \"pump_stage\", \"id\": \"pump-stage\", \"role\": \"action\"}\n"
      << "  ]\n"
      << "}\n";
}

}  // namespace

// The episode count of "--episodes N": N, or nothing when it is not a whole number from 1 to
// kMaxEpisodes.
std::optional<int> episode_count(const std::string& text) {
  int n = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (error != std::errc() || end != text.data() + text.size() || n < 1 || n > kMaxEpisodes) {
    return std::nullopt;
  }
  return n;
}

int main(int argc, char** argv) {
  const char* usage =
      "usage: generate_water_tank_runs [--episodes N] OUTPUT_DIR\n"
      "Writes the example dataset (runs.csv, dataset.json) into OUTPUT_DIR; with --episodes,\n"
      "N episodes (1 to 1000000) instead of 48.\n";
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cerr << usage;
    return 0;
  }
  int episodes = kEpisodes;
  if (args.size() == 3 && args[0] == "--episodes") {
    std::optional<int> n = episode_count(args[1]);
    if (!n) {
      std::cerr << "generate_water_tank_runs: --episodes takes a whole number from 1 to "
                << kMaxEpisodes << ", not " << args[1] << "\n";
      return 2;
    }
    episodes = *n;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 1) {
    std::cerr << usage;
    return 2;
  }
  std::filesystem::path dir(args[0]);
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::cerr << "generate_water_tank_runs: cannot create " << dir << ": " << error.message()
              << "\n";
    return 1;
  }
  std::ofstream csv(dir / kCsvName, std::ios::binary);
  write_runs(csv, episodes);
  std::ofstream descriptor(dir / "dataset.json", std::ios::binary);
  write_descriptor(descriptor, episodes);
  if (!csv.flush() || !descriptor.flush()) {
    std::cerr << "generate_water_tank_runs: cannot write into " << dir << "\n";
    return 1;
  }
  return 0;
}
