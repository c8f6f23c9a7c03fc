// The core library's per-step helpers of a replay, each beside the plain operation it
// stands on: as_compute_sees of a 16-number observation against a plain JSON copy, and
// making a sensor and sensing with it against following the same path by hand.
#include <benchmark/benchmark.h>

#include <boost/json.hpp>

#include "spaces/compute_view.h"
#include "spaces/sensor.h"

namespace {

namespace json = boost::json;

json::value observation16() {
  json::array numbers;
  for (int i = 0; i < 16; ++i) numbers.emplace_back(0.25 * i - 1.0);
  return numbers;
}

json::value tank_observation() {
  json::object obs;
  obs["tank"] = json::array{1.5, 2.5, 3.5, 4.5};
  obs["pump_stage"] = 2;
  obs["valves"] = json::array{0, 1, 1, 0};
  return obs;
}

void BM_AsComputeSees16(benchmark::State& state) {
  json::value obs = observation16();
  for (auto _ : state) {
    json::value seen = velko::spaces::as_compute_sees(obs);
    benchmark::DoNotOptimize(seen);
  }
}
BENCHMARK(BM_AsComputeSees16);

// Peer: Boost.JSON's own deep copy of the same observation.
void BM_PlainJsonCopy16(benchmark::State& state) {
  json::value obs = observation16();
  for (auto _ : state) {
    json::value copy(obs);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_PlainJsonCopy16);

void BM_SensorMakeAndSense(benchmark::State& state) {
  json::value obs = tank_observation();
  const std::string name = "['tank'][-1]";
  const std::string mapping = "lambda sensors: sensors['tank'][-1]";
  for (auto _ : state) {
    velko::spaces::Sensor sensor(name, mapping);
    json::value value = sensor.sense(obs);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_SensorMakeAndSense);

// Peer: the same lookup written out by hand, with a copy of the element.
void BM_HandWrittenLookup(benchmark::State& state) {
  json::value obs = tank_observation();
  for (auto _ : state) {
    const json::array& tank = obs.as_object().at("tank").as_array();
    json::value value = tank[tank.size() - 1];
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_HandWrittenLookup);

}  // namespace
