// velko-author-seed-sim: a sim on the C++ author library whose reset prints what it was given,
// "reset seed N OPTIONS" or "reset no seed OPTIONS" (the options' JSON text), for the test
// that the seed and options of a Reset reach the sim as sent.
#include <cstdio>

#include <boost/json.hpp>

#include "sim_author/sim_author.h"

namespace {

namespace json = boost::json;
namespace author = velko::sim_author;

// One sensor and one action, both a single number.
class SeedSim : public author::Sim {
 public:
  json::value sensor_space() override {
    return json::parse(R"({"type": "box", "shape": [1], "names": ["level"]})");
  }
  json::value action_space() override {
    return json::parse(R"({"type": "box", "shape": [1], "names": ["valve"]})");
  }
  author::ResetResult reset(const author::ResetRequest& request) override {
    const std::string options = json::serialize(request.options);
    if (request.seed) {
      std::printf("reset seed %llu %s\n", static_cast<unsigned long long>(*request.seed),
                  options.c_str());
    } else {
      std::printf("reset no seed %s\n", options.c_str());
    }
    return {json::array{0.0}, {}};
  }
  author::StepResult step(const json::value&) override {
    author::StepResult result;
    result.observation = json::array{0.0};
    return result;
  }
};

}  // namespace

int main(int argc, char** argv) {
  SeedSim sim;
  return author::serve(argc, argv, sim);
}
