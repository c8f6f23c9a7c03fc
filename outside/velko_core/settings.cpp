#include "outside/velko_core/settings.h"

#include <cstdlib>

#include "cli/guidance_commands/platform.h"

namespace velko::core::settings {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : fallback;
}

std::string URL_API() { return env_or("VELKO_API_URL", "http://127.0.0.1:8700"); }

}  // namespace velko::core::settings

namespace velko::guidance_commands {

std::string settings_url_api() { return core::settings::URL_API(); }

}  // namespace velko::guidance_commands
