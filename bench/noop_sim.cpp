// velko-bench-noop-sim: a sim on the C++ author library whose steps do nothing, so that a
// replay of it measures velko and the sim connection alone. One action ("push", a number in
// [-1, 1]) and one sensor ("position", always 0); no episode ends on its own.
//
// Run: velko-bench-noop-sim --port P (velko starts it so)
#include <boost/json.hpp>

#include "sim_author/sim_author.h"

namespace {

namespace json = boost::json;

// The sim: answers every reset and step with the same observation.
class NoopSim : public velko::sim_author::Sim {
 public:
  json::value sensor_space() override {
    return json::parse(R"({"type": "box", "low": [-1], "high": [1], "shape": [1],
                           "dtype": "float64", "names": ["position"]})");
  }
  json::value action_space() override {
    return json::parse(R"({"type": "box", "low": [-1], "high": [1], "shape": [1],
                           "dtype": "float64", "names": ["push"]})");
  }
  velko::sim_author::ResetResult reset() override { return {json::array{0.0}, {}}; }
  velko::sim_author::StepResult step(const json::value& /*action*/) override {
    return {json::array{0.0}, 0.0, false, false, {}};
  }
};

}  // namespace

int main(int argc, char** argv) {
  NoopSim sim;
  return velko::sim_author::serve(argc, argv, sim);
}
