// The local stand-in servers started as real processes for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velko::testing {

// A server executable started with "--port 0"; its URL is read from its first line
// ("... listening on http://HOST:PORT"). Stopped with SIGTERM when destroyed.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& argv);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  const std::string& url() const { return url_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string url_;
};

}  // namespace velko::testing
