// The core library's settings, read from the environment.
#pragma once

#include <string>

namespace velko::core::settings {

// The platform's base URL: VELKO_API_URL, else http://127.0.0.1:8700.
std::string URL_API();

// An environment variable, or `fallback` when it is unset or empty.
std::string env_or(const char* name, const std::string& fallback);

}  // namespace velko::core::settings
