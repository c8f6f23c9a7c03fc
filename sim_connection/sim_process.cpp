#include "sim_connection/sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>

#include "common/errors.h"
#include "common/file_descriptor.h"
#include "sim_connection/program_files.h"

extern char** environ;

namespace velko::sim_connection {

namespace asio = boost::asio;
namespace fs = std::filesystem;

// Environment variables that the sim is not given: velko's credentials are not the sim's.
static constexpr std::array<std::string_view, 2> kWithheldVariables = {"VELKO_API_TOKEN",
                                                                       "VELKO_NODE_TOKEN"};

struct LocalSimProcess::State {
  // One output stream of the sim and the line being gathered from it.
  struct Stream {
    explicit Stream(asio::posix::stream_descriptor descriptor) : fd(std::move(descriptor)) {}
    asio::posix::stream_descriptor fd;
    std::array<char, 16 * 1024> buffer{};
    std::string line;
    // Bytes of the current line beyond kMaxOutputLineBytes, dropped.
    std::size_t dropped = 0;
    bool done = false;
  };

  pid_t pid = -1;
  int port = 0;
  std::optional<int> returncode;
  // Readable once the process has ended (none where the kernel has no pidfd_open).
  std::optional<asio::posix::stream_descriptor> pidfd;
  std::unique_ptr<Stream> out;
  std::unique_ptr<Stream> err;
  dataset_replay::OutputCallback on_output;
  // Set when the process object has gone: no more output is passed on.
  bool closed = false;
  // The reaper in the sim's group that kills the group if velko dies, and the write end of
  // its pipe (none when the reaper program is not installed).
  pid_t reaper = -1;
  int reaper_pipe = -1;
};

namespace {

using State = LocalSimProcess::State;

std::string errno_text(int error) { return std::strerror(error); }

// An owned descriptor, closed when it goes (the short name the process code uses).
using Fd = FileDescriptor;

// Moves a descriptor above the standard ones, so that placing the child's standard streams
// never overwrites another of its descriptors.
Fd above_stdio(int fd) {
  if (fd > STDERR_FILENO) return Fd(fd);
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int error = errno;
  ::close(fd);
  if (moved < 0) throw SimStartError("could not start the sim: " + errno_text(error));
  return Fd(moved);
}

// A close-on-exec pipe: {read end, write end}.
std::pair<Fd, Fd> make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw SimStartError("could not start the sim: no pipe (" + errno_text(errno) + ")");
  }
  Fd read_end = above_stdio(ends[0]);
  Fd write_end = above_stdio(ends[1]);
  return {std::move(read_end), std::move(write_end)};
}

// The environment of the sim: velko's, without its credentials, with the sim's address.
std::vector<std::string> sim_environment(const std::string& host, int port) {
  std::vector<std::string> env;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view item(*entry);
    std::string_view name = item.substr(0, item.find('='));
    if (name == "VELKO_SIM_HOST" || name == "VELKO_SIM_PORT") continue;
    bool withheld = false;
    for (std::string_view secret : kWithheldVariables) withheld = withheld || name == secret;
    if (!withheld) env.emplace_back(item);
  }
  env.push_back("VELKO_SIM_HOST=" + host);
  env.push_back("VELKO_SIM_PORT=" + std::to_string(port));
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Reports errno to the parent through the status pipe and ends the child.
[[noreturn]] void fail_child(int status_fd) {
  int error = errno;
  [[maybe_unused]] ssize_t written = ::write(status_fd, &error, sizeof error);
  ::_exit(127);
}

// The child between vfork and exec. It shares the parent's memory while the parent waits, so
// it makes system calls only. Signals are blocked when it starts.
[[noreturn]] void exec_child(const char* program, char* const* argv, char* const* envp,
                             const char* directory, int in_fd, int out_fd, int err_fd,
                             int status_fd, pid_t parent) {
  // Signals as a freshly started program expects them: none ignored, none caught (a handler
  // of velko's must not run here), none blocked.
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &plain, nullptr);
  }
  ::setpgid(0, 0);
  // The sim dies with velko's event loop thread, even when velko is killed.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::dup2(in_fd, STDIN_FILENO) < 0 || ::dup2(out_fd, STDOUT_FILENO) < 0 ||
      ::dup2(err_fd, STDERR_FILENO) < 0) {
    fail_child(status_fd);
  }
  if (::chdir(directory) != 0) fail_child(status_fd);
  // Descriptors that velko's libraries opened without close-on-exec stay with velko.
  ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 4 /* CLOSE_RANGE_CLOEXEC */);
  ::execve(program, argv, envp);
  fail_child(status_fd);
}

void emit(State& state, std::string& line, std::size_t& dropped) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (dropped) line += " [... " + std::to_string(dropped) + " more bytes]";
  if (!state.closed && state.on_output) {
    try {
      state.on_output(line);
    } catch (...) {
      // A failing listener must not end the reading of the sim's output.
    }
  }
  line.clear();
  dropped = 0;
}

// Splits freshly read bytes into lines.
void take(State& state, State::Stream& stream, std::size_t n) {
  std::string_view data(stream.buffer.data(), n);
  while (!data.empty()) {
    std::size_t newline = data.find('\n');
    std::string_view piece = data.substr(0, newline);
    std::size_t room = kMaxOutputLineBytes - std::min(kMaxOutputLineBytes, stream.line.size());
    stream.line.append(piece.substr(0, room));
    stream.dropped += piece.size() - std::min(room, piece.size());
    if (newline == std::string_view::npos) break;
    emit(state, stream.line, stream.dropped);
    data.remove_prefix(newline + 1);
  }
}

void read_stream(std::shared_ptr<State> state, State::Stream* stream) {
  stream->fd.async_read_some(asio::buffer(stream->buffer),
                             [state, stream](const boost::system::error_code& ec, std::size_t n) {
                               if (state->closed) return;
                               if (!ec) {
                                 take(*state, *stream, n);
                                 read_stream(state, stream);
                                 return;
                               }
                               if (!stream->line.empty() || stream->dropped)
                                 emit(*state, stream->line, stream->dropped);
                               stream->done = true;
                               boost::system::error_code ignored;
                               stream->fd.close(ignored);
                             });
}

// The process's exit status once it has ended, without reaping it: while it is unreaped its
// pid, and so its process group id, cannot be taken by another process.
std::optional<int> peek(State& state) {
  if (state.returncode) return state.returncode;
  siginfo_t info{};
  int result = ::waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT);
  if (result != 0) {
    // Reaped elsewhere: the status is lost, the process is gone.
    if (errno == ECHILD) state.returncode = 255;
    return state.returncode;
  }
  if (info.si_pid != state.pid) return std::nullopt;
  state.returncode = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
  return state.returncode;
}

// Reaps the ended (or just killed) process; hands it to a thread if it takes longer.
void reap(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    pid_t result = ::waitpid(pid, nullptr, WNOHANG);
    if (result == pid || (result < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
}

// A started child process and the read ends of its standard output and error.
struct Spawned {
  pid_t pid = -1;
  Fd out;
  Fd err;
};

// Starts the sim's command in a process group of its own. Not a coroutine: vfork() must not
// return into a coroutine frame.
Spawned spawn(const SimCommand& command, const std::string& host, int port) {
  std::vector<std::string> args = command.argv;
  args.insert(args.end(), {"--host", host, "--port", std::to_string(port)});
  std::vector<std::string> env = sim_environment(host, port);
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(env);

  Fd null_in = above_stdio(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  auto [out_read, out_write] = make_pipe();
  auto [err_read, err_write] = make_pipe();
  auto [status_read, status_write] = make_pipe();

  // vfork, not fork: fork would run the fork handlers of velko's libraries (gRPC's stop and
  // restart its threads, racing with them), and copy velko's memory for nothing.
  const pid_t parent = ::getpid();
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::vfork();
  if (pid == 0) {
    exec_child(args[0].c_str(), argv.data(), envp.data(), command.directory.c_str(), null_in.get(),
               out_write.get(), err_write.get(), status_write.get(), parent);
  }
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) throw SimStartError("could not start the sim: " + errno_text(fork_error));
  // The parent resumes once the child has exec'd or failed: its process group exists.
  null_in.reset();
  out_write.reset();
  err_write.reset();
  status_write.reset();

  // The status pipe closes at a successful exec, or carries the child's errno.
  int child_error = 0;
  ssize_t got;
  do {
    got = ::read(status_read.get(), &child_error, sizeof child_error);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    ::waitpid(pid, nullptr, 0);
    throw SimStartError("could not start the sim: " + args[0] + ": " + errno_text(child_error));
  }
  return Spawned{pid, std::move(out_read), std::move(err_read)};
}

// The reaper program beside the running executable or in its installed library folder, if any.
std::optional<fs::path> reaper_program() {
  std::optional<fs::path> program = find_program_file("velko-sim-reaper");
  if (!program || ::access(program->c_str(), X_OK) != 0) {
    return std::nullopt;
  }
  return program;
}

// The reaper between vfork and exec: joins the sim's group, takes the pipe as descriptor 3
// and nothing of velko's standard streams.
[[noreturn]] void exec_reaper(const char* program, char* const* argv, pid_t group, int pipe_fd,
                              int null_fd) {
  if (::setpgid(0, group) != 0) ::_exit(127);
  if (::dup2(pipe_fd, 3) < 0 || ::dup2(null_fd, STDIN_FILENO) < 0 ||
      ::dup2(null_fd, STDOUT_FILENO) < 0 || ::dup2(null_fd, STDERR_FILENO) < 0) {
    ::_exit(127);
  }
  ::syscall(SYS_close_range, 4, ~0U, 4 /* CLOSE_RANGE_CLOEXEC */);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  char* const no_env[] = {nullptr};
  ::execve(program, argv, no_env);
  ::_exit(127);
}

// Starts the reaper program with every signal blocked around vfork; yields its pid or -1.
// Apart, so that nothing of the caller's is live across vfork.
__attribute__((noinline)) pid_t vfork_reaper(const char* program, char* const* argv, pid_t group,
                                             int pipe_fd, int null_fd) {
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::vfork();
  if (pid == 0) exec_reaper(program, argv, group, pipe_fd, null_fd);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return pid;
}

// Starts the reaper of the sim's process group `group`, so that the group dies with velko
// (SIGKILL included). Yields {reaper pid, write end of its pipe}; none when the reaper is not
// installed or cannot be started, which leaves the sim's first process to its parent-death
// signal alone.
std::optional<std::pair<pid_t, Fd>> spawn_reaper(pid_t group) {
  std::optional<fs::path> program = reaper_program();
  if (!program) return std::nullopt;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);
  Fd null_fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null_fd.get() < 0) return std::nullopt;
  std::string path = program->string();
  std::vector<std::string> args = {path, std::to_string(group)};
  std::vector<char*> argv = pointers(args);
  const pid_t pid = vfork_reaper(path.c_str(), argv.data(), group, read_end.get(), null_fd.get());
  if (pid < 0) return std::nullopt;
  return std::make_pair(pid, std::move(write_end));
}

}  // namespace

LocalSimProcess::LocalSimProcess(std::shared_ptr<State> state) : state_(std::move(state)) {}

LocalSimProcess::~LocalSimProcess() {
  State& state = *state_;
  state.closed = true;
  state.on_output = nullptr;
  boost::system::error_code ignored;
  if (state.out) state.out->fd.close(ignored);
  if (state.err) state.err->fd.close(ignored);
  if (state.pidfd) state.pidfd->close(ignored);
  // Whatever of the group still runs goes now, the reaper included: it is killed before its
  // pipe closes, so it never acts on its own. The leader is not reaped yet, so the group id is
  // still this sim's.
  ::killpg(state.pid, SIGKILL);
  if (state.reaper_pipe >= 0) ::close(state.reaper_pipe);
  reap(state.pid);
  if (state.reaper > 0) reap(state.reaper);
}

std::optional<int> LocalSimProcess::returncode() { return peek(*state_); }

void LocalSimProcess::terminate() { ::killpg(state_->pid, SIGTERM); }

void LocalSimProcess::kill() { ::killpg(state_->pid, SIGKILL); }

int LocalSimProcess::pid() const { return state_->pid; }

std::vector<std::string> LocalSimProcess::group_left() {
  std::vector<std::string> left;
  std::error_code ec;
  // Processes come and go meanwhile: the listing may fail half way, never throw.
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid == state_->pid || pid == state_->reaper) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name stands in parentheses and may hold anything; the fields follow it.
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    std::istringstream fields(text.substr(close + 1));
    char process_state = 0;
    long parent = 0;
    long group = 0;
    if (!(fields >> process_state >> parent >> group)) continue;
    if (group != state_->pid || process_state == 'Z' || process_state == 'X') continue;
    // The name is the sim's to choose: nothing in it may reach a terminal as a control.
    std::string command = text.substr(open + 1, close - open - 1);
    for (char& ch : command) {
      if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    }
    left.push_back(name + " (" + command + ")");
  }
  return left;
}

awaitable<int> LocalSimProcess::wait() {
  std::shared_ptr<State> state = state_;
  while (true) {
    if (std::optional<int> code = peek(*state)) co_return *code;
    boost::system::error_code ec;
    if (state->pidfd && state->pidfd->is_open()) {
      co_await state->pidfd->async_wait(asio::posix::descriptor_base::wait_read,
                                        asio::redirect_error(asio::use_awaitable, ec));
    } else {
      asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(20));
      co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec == asio::error::operation_aborted) throw Interrupted{};
    if (ec) throw boost::system::system_error(ec);
  }
}

awaitable<std::unique_ptr<LocalSimProcess>> start_sim(std::string path, std::string host, int port,
                                                      dataset_replay::OutputCallback on_output) {
  SimCommand command = resolve_sim_command(path);
  auto executor = co_await asio::this_coro::executor;

  Spawned spawned = spawn(command, host, port);
  const pid_t pid = spawned.pid;

  auto state = std::make_shared<State>();
  state->pid = pid;
  state->port = port;
  state->on_output = std::move(on_output);
  state->out = std::make_unique<State::Stream>(
      asio::posix::stream_descriptor(executor, spawned.out.release()));
  state->err = std::make_unique<State::Stream>(
      asio::posix::stream_descriptor(executor, spawned.err.release()));
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) state->pidfd.emplace(executor, pidfd);
  if (auto reaper = spawn_reaper(pid)) {
    state->reaper = reaper->first;
    state->reaper_pipe = reaper->second.release();
  }
  auto process = std::make_unique<LocalSimProcess>(state);
  read_stream(state, state->out.get());
  read_stream(state, state->err.get());
  co_return process;
}

int free_port() {
  Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind to 127.0.0.1");
  }
  socklen_t length = sizeof address;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::system_error(errno, std::generic_category(), "getsockname");
  }
  return ntohs(address.sin_port);
}

namespace {

// True when binding `port` on `address` fails because the address is taken.
bool taken(int family, const void* address, int port) {
  Fd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return false;
  int result = -1;
  if (family == AF_INET) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, address, sizeof v4.sin_addr);
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    result = ::bind(socket.get(), reinterpret_cast<sockaddr*>(&v4), sizeof v4);
  } else {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, address, sizeof v6.sin6_addr);
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    result = ::bind(socket.get(), reinterpret_cast<sockaddr*>(&v6), sizeof v6);
  }
  return result != 0 && errno == EADDRINUSE;
}

}  // namespace

bool port_in_use(int port) {
  const in_addr v4 = {htonl(INADDR_LOOPBACK)};
  return taken(AF_INET, &v4, port) || taken(AF_INET6, &in6addr_loopback, port);
}

void StartedSims::add(int port, const LocalSimProcess& process) {
  std::lock_guard lock(mutex_);
  // Sims that are gone make room.
  std::erase_if(sims_, [](const auto& entry) { return entry.second.expired(); });
  sims_[port] = process.state_;
}

std::shared_ptr<LocalSimProcess::State> StartedSims::find(int port) {
  std::lock_guard lock(mutex_);
  auto it = sims_.find(port);
  return it == sims_.end() ? nullptr : it->second.lock();
}

std::optional<int> StartedSims::exit_of(int port) {
  std::shared_ptr<State> state = find(port);
  if (!state) return std::nullopt;
  return peek(*state);
}

awaitable<void> StartedSims::output_read(int port, double timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + seconds_to_duration(timeout_s);
  while (std::chrono::steady_clock::now() < deadline) {
    std::shared_ptr<State> state = find(port);
    if (!state || state->closed || (state->out->done && state->err->done)) co_return;
    state.reset();
    co_await sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace velko::sim_connection
