// The platform client as the guidance commands use it, and how a command run gets one.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/async.h"
#include "main/guidance/guidance_library.h"

namespace velko::guidance_commands {

// A project as the platform lists it and its selection returns it.
struct Project {
  std::string id;
  std::string organization_id;
  std::string name;
};

// Where a command asks the user something: answers are read from `input`, questions written
// to `output`, and the "Error:" line of a refused answer to `errors`. `interactive`: someone
// is there to answer (input and output are a terminal).
struct Prompts {
  std::istream& input;
  std::ostream& output;
  std::ostream& errors;
  bool interactive = false;
};

// The input ended at a prompt before it was answered: the command is aborted.
class PromptAborted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The platform client of one command run.
class Platform : public guidance::Platform {
 public:
  // `api.projects.cli_select()`: the project the user picks, asked through `prompts` when
  // there is a choice to make and someone to ask. Throws PromptAborted when the input ends
  // before a project is chosen, and std::runtime_error saying what to set when there is no
  // project or no one to ask.
  virtual awaitable<Project> cli_select(Prompts prompts) = 0;
  // `api.projects.guidance.list(org, project)`: the project's items in creation order.
  virtual awaitable<std::vector<guidance::GuidanceItem>> list_guidance(std::string organization_id,
                                                                       std::string project_id) = 0;
};

// Makes the platform client of one command run for a platform address (`platform::Client(url)`).
using PlatformFactory = std::function<std::unique_ptr<Platform>(const std::string& url)>;

}  // namespace velko::guidance_commands
