#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velko::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velko-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_, old_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

namespace {

// A pseudo-terminal in raw mode as {reading end, terminal}, both closed on exec.
void open_terminal(int ends[2]) {
  if (::openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  termios mode{};
  ::tcgetattr(ends[1], &mode);
  ::cfmakeraw(&mode);
  ::tcsetattr(ends[1], TCSANOW, &mode);
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
  if (options.on_terminals) {
    open_terminal(out_pipe);
    open_terminal(err_pipe);
  } else if (::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (const auto& [name, value] : options.env) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  if (options.on_start) options.on_start(pid);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (options.input.empty()) {
    ::close(in_pipe[1]);
    in_pipe[1] = -1;
  }
  ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(options.timeout_s * 1000));
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_pipe[1] >= 0) fds[n++] = {in_pipe[1], POLLOUT, 0};
    if (::poll(fds, static_cast<nfds_t>(n), 100) < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in_pipe[1]) {
        ssize_t k =
            ::write(in_pipe[1], options.input.data() + written, options.input.size() - written);
        if (k > 0) written += static_cast<std::size_t>(k);
        if (k < 0 || written == options.input.size()) {
          ::close(in_pipe[1]);
          in_pipe[1] = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t k = ::read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == out_fd ? result.out : result.err;
      if (k > 0) {
        sink.append(buffer, static_cast<std::size_t>(k));
      } else {
        ::close(fds[i].fd);
        (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  if (in_pipe[1] >= 0) ::close(in_pipe[1]);
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string bin(const std::string& name) { return std::string(VELKO_BIN_DIR) + "/" + name; }

std::string source(const std::string& relative) {
  return std::string(VELKO_SOURCE_DIR) + "/" + relative;
}

std::vector<int> processes_in(const std::string& directory) {
  std::vector<int> pids;
  std::error_code ec;
  std::string root = std::filesystem::weakly_canonical(directory, ec).string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code link_ec;
    std::string cwd = std::filesystem::read_symlink(entry.path() / "cwd", link_ec).string();
    if (link_ec || cwd.rfind(root, 0) != 0) continue;
    // A zombie has ended; only its parent has not reaped it yet.
    const std::string line = proc_file(entry.path() / "stat");
    auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') continue;
    pids.push_back(std::stoi(name));
  }
  return pids;
}

std::vector<int> processes_left_in(const std::string& directory) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<int> left = processes_in(directory);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = processes_in(directory);
  }
  return left;
}

std::string proc_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  ::close(fd);
  return got < 0 ? std::string() : text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

RefusingPort::RefusingPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("could not bind a loopback port");
  }
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RefusingPort::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

}  // namespace velko::testing
