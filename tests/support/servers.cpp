#include "tests/support/servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <httplib.h>
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

LoopbackNode::LoopbackNode() : server_(std::make_unique<httplib::Server>()) {
  // Any number of slashes before "ml": a base URL with a trailing slash is used as given.
  server_->Post(
      R"(/*ml/([A-Za-z0-9_-]+))", [this](const httplib::Request& request, httplib::Response& out) {
        std::string path = request.matches[1];
        Respond respond;
        std::function<void(const std::string&)> hook;
        {
          std::lock_guard lock(mutex_);
          paths_.push_back(path);
          bodies_[path].push_back(request.body);
          Seen seen{request.path, request.body, {}};
          for (const auto& [name, value] : request.headers) seen.headers.emplace(name, value);
          seen_.push_back(std::move(seen));
          auto it = responders_.find(path);
          if (it == responders_.end()) it = responders_.find("*");
          if (it != responders_.end()) respond = it->second;
          hook = hook_;
        }
        if (hook) hook(path);
        if (respond) {
          respond(request, out);
        } else {
          out.status = 404;
          out.set_content(R"({"detail": "no answer set for this path"})", "application/json");
        }
      });
  port_ = server_->bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackNode::~LoopbackNode() {
  server_->stop();
  thread_.join();
}

void LoopbackNode::answer(const std::string& path, Answer answer) {
  respond(path, [answer](const httplib::Request&, httplib::Response& out) {
    out.status = answer.status;
    out.set_content(answer.body, answer.type);
  });
}

void LoopbackNode::respond(const std::string& path, Respond respond) {
  std::lock_guard lock(mutex_);
  responders_[path] = std::move(respond);
}

void LoopbackNode::on_request(std::function<void(const std::string& path)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

std::string LoopbackNode::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> LoopbackNode::paths() {
  std::lock_guard lock(mutex_);
  return paths_;
}

std::vector<std::string> LoopbackNode::bodies(const std::string& path) {
  std::lock_guard lock(mutex_);
  return bodies_[path];
}

std::vector<LoopbackNode::Seen> LoopbackNode::seen() {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::string LoopbackNode::Seen::header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

}  // namespace velko::testing
