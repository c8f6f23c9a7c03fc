// The stand-in platform's API: the table of routes (a method and a path pattern each) and the
// handler of each route, which answers from the platform's state and changes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dev/platform_call.h"
#include "dev/platform_state.h"

namespace velko::dev {

// Finds a request's route and runs its handler.
class PlatformRoutes {
 public:
  // `state` must outlive the routes.
  explicit PlatformRoutes(PlatformState& state);

  // Runs the handler of the request's route under the state's lock. Throws HttpRefusal: 404
  // for a path that no route has, 405 for a method that its routes do not serve, and the
  // handler's refusals.
  Reply route(const Call& call);

 private:
  // A handler gets the request and the ids that stand at the "{}" segments of its pattern.
  using Handler = Reply (PlatformRoutes::*)(const Call&, const std::vector<std::string>& ids);

  // A route: a method and a path pattern whose "{}" segments are ids.
  struct Route {
    std::string_view method;
    std::vector<std::string_view> pattern;
    Handler handler;
  };

  // The handlers, in the order of the route table.
  Reply list_projects(const Call&, const std::vector<std::string>&);
  Reply link_simulator(const Call&, const std::vector<std::string>& ids);
  Reply list_guidance(const Call&, const std::vector<std::string>& ids);
  Reply create_guidance(const Call&, const std::vector<std::string>& ids);
  Reply upload_file(const Call&, const std::vector<std::string>& ids);
  Reply update_guidance(const Call&, const std::vector<std::string>& ids);
  Reply publish_sim(const Call&, const std::vector<std::string>& ids);
  Reply list_sims(const Call&, const std::vector<std::string>& ids);
  Reply claim(const Call&, const std::vector<std::string>& ids);
  Reply submit(const Call&, const std::vector<std::string>& ids);
  Reply report_status(const Call&, const std::vector<std::string>& ids);
  Reply debug_state(const Call&, const std::vector<std::string>&);

  PlatformState& state_;
  std::vector<Route> routes_;
};

}  // namespace velko::dev
