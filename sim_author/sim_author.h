// Writing a sim in C++: the author implements Sim and hands it to serve(), which speaks the
// sim connection for it.
//
//   class Tank : public velko::sim_author::Sim { ... };
//   int main(int argc, char** argv) {
//     Tank tank;
//     return velko::sim_author::serve(argc, argv, tank);
//   }
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velko::sim_author {

// What velko tells the sim when it makes the environment of a run.
struct MakeRequest {
  std::string run_id;
  std::string sim_id;
  std::string env_id;
  // The run's settings; may hold members that the sim does not know (ignore those).
  boost::json::object env_init;
};

// What velko gives a reset: the seed of the episode's random source (none: keep the sim's
// own going) and the reset's options (empty for none). The same seed must start the same
// episode: that is how a report run starts a recorded episode where it started.
struct ResetRequest {
  std::optional<std::uint64_t> seed;
  boost::json::object options;
};

// The answer of a reset: the first observation of an episode.
struct ResetResult {
  boost::json::value observation;
  boost::json::object info;
};

// The answer of a step.
struct StepResult {
  boost::json::value observation;
  double reward = 0;
  bool terminated = false;
  bool truncated = false;
  boost::json::object info;
};

// A sim's behaviour. serve() calls these one at a time, never two at once. A method that
// throws a std::exception fails that call, and velko shows the exception's message to the
// user. A number in an observation that is not finite is sent as null (a sensor without a
// value).
class Sim {
 public:
  virtual ~Sim() = default;
  // Makes the run's environment; called once, before the first reset.
  virtual void make(const MakeRequest& request);
  // The descriptions of the observation and the action space (see docs/spaces.md).
  virtual boost::json::value sensor_space() = 0;
  virtual boost::json::value action_space() = 0;
  // {"sensor_space": {"mappings": [...]}, "action_space": {"mappings": [...]}}: by default one
  // mapping per variable of each space, named by the spaces' "names"; a space that is one
  // value (a discrete space, a box of shape []) is mapped as a whole, {"name": " ", ...}.
  virtual boost::json::value mappings();
  // Starts an episode. A sim that uses its seed or options overrides this one; by default it
  // calls reset(), which sims written before seeds override.
  virtual ResetResult reset(const ResetRequest& request);
  // Starts an episode, without a seed; overridden by a sim that overrides neither reset fails
  // the call.
  virtual ResetResult reset();
  // Applies one action, a value of the action space.
  virtual StepResult step(const boost::json::value& action) = 0;
  // Ends the run; the process is stopped afterwards.
  virtual void close() {}
};

// Serves `sim` at the address of the command line (--host H --port P, other arguments are
// left to the sim) or of VELKO_SIM_HOST and VELKO_SIM_PORT, until SIGTERM or SIGINT. Returns
// the process's exit status: 0 after a stop signal, 2 for a missing or bad port, 1 when the
// address cannot be served.
int serve(int argc, char** argv, Sim& sim);

}  // namespace velko::sim_author
