// The platform client as the guidance commands use it, and how a command run gets one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/async.h"
#include "main/guidance/guidance_library.h"

namespace velko::guidance_commands {

// A project as the platform's project selection returns it.
struct Project {
  std::string id;
  std::string organization_id;
  std::string name;
};

// The platform client of one command run.
class Platform : public guidance::Platform {
 public:
  // `api.projects.cli_select()`: the project the user picks.
  virtual awaitable<Project> cli_select() = 0;
  // `api.projects.guidance.list(org, project)`: the project's items in creation order.
  virtual awaitable<std::vector<guidance::GuidanceItem>> list_guidance(
      std::string organization_id, std::string project_id) = 0;
};

// Makes the platform client of one command run for a platform address (`platform::Client(url)`).
using PlatformFactory = std::function<std::unique_ptr<Platform>(const std::string& url)>;

}  // namespace velko::guidance_commands
