#include "sim_connection/sim_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "sim_connection/program_files.h"
#include "sim_connection/sim_plugin.h"

namespace velko::sim_connection {

SimComponents load_sim_connection(int steps_ahead) {
  std::optional<std::filesystem::path> found = find_program_file("libvelko_sim_plugin.so");
  if (!found) {
    throw std::runtime_error(
        "The sim connection module libvelko_sim_plugin.so was found neither beside velko nor in "
        "its library folder; reinstall velko or rebuild it with scripts/build");
  }
  const std::string path = found->string();
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = ::dlerror();
    throw std::runtime_error("The sim connection module could not be loaded (" +
                             std::string(why ? why : path) +
                             "); reinstall velko or rebuild it with scripts/build");
  }
  auto make =
      reinterpret_cast<decltype(&velko_sim_plugin_make)>(::dlsym(module, VELKO_SIM_PLUGIN_ENTRY));
  if (!make) {
    throw std::runtime_error("The sim connection module " + path + " has no entry point");
  }
  SimComponents components;
  make(steps_ahead, &components.sims, &components.host_sim);
  return components;
}

}  // namespace velko::sim_connection
