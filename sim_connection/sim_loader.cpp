#include "sim_connection/sim_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "sim_connection/sim_plugin.h"

namespace velko::sim_connection {

SimComponents load_sim_connection(int steps_ahead) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string path = (self.parent_path() / "libvelko_sim_plugin.so").string();
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = ::dlerror();
    throw std::runtime_error("The sim connection module could not be loaded (" +
                             std::string(why ? why : path) +
                             "); reinstall velko or rebuild it with scripts/build");
  }
  auto make = reinterpret_cast<decltype(&velko_sim_plugin_make)>(
      ::dlsym(module, VELKO_SIM_PLUGIN_ENTRY));
  if (!make) {
    throw std::runtime_error("The sim connection module " + path + " has no entry point");
  }
  SimComponents components;
  make(steps_ahead, &components.sims, &components.host_sim);
  return components;
}

}  // namespace velko::sim_connection
