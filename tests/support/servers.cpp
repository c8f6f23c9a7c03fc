#include "tests/support/servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace velko::testing {

ServerProcess::ServerProcess(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The server ends with the test, even when the test crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(pipe_fds[1], 1);
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  output_ = pipe_fds[0];
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    pollfd fd{output_, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline || ::poll(&fd, 1, 100) < 0) break;
    if (!(fd.revents & (POLLIN | POLLHUP))) continue;
    char buffer[256];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  auto at = line.find("http://");
  if (at == std::string::npos) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    throw std::runtime_error("the server " + argv[0] + " did not start: " + line);
  }
  url_ = line.substr(at, line.find_first_of(" \n", at) - at);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) ::close(output_);
}

}  // namespace velko::testing
