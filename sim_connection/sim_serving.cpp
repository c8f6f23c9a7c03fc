#include "sim_connection/sim_serving.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

#include "common/errors.h"
#include "sim_connection/sim_client.h"
#include "sim_connection/sim_process.h"

namespace velko::sim_connection {

namespace {

// Longest wait for one answer of a serving check.
constexpr double kPingWaitS = 0.25;
// Longest wait for the output of a sim that ended before it served.
constexpr double kOutputWaitS = 1.0;

// Seconds as people write them: 60, 0.5.
std::string seconds_text(double seconds) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
  return std::string(buffer, result.ptr);
}

// Seconds between two probes of the sim's port while it does not accept connections yet.
constexpr double kProbeGapS = 0.003;

// True when something accepts TCP connections on `port` of the loopback interface. A
// connection attempt there is answered at once, so probing is cheap and sees the sim serve
// within a few milliseconds; a gRPC channel made before the sim listens would wait out its
// reconnect backoff instead.
bool accepts_connections(int port) {
  for (int family : {AF_INET, AF_INET6}) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int result = -1;
    if (family == AF_INET) {
      sockaddr_in v4{};
      v4.sin_family = AF_INET;
      v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      v4.sin_port = htons(static_cast<std::uint16_t>(port));
      result = ::connect(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4);
    } else {
      sockaddr_in6 v6{};
      v6.sin6_family = AF_INET6;
      v6.sin6_addr = in6addr_loopback;
      v6.sin6_port = htons(static_cast<std::uint16_t>(port));
      result = ::connect(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    }
    ::close(fd);
    if (result == 0) return true;
  }
  return false;
}

// True for the host names of the loopback interface that a sim is told to serve on.
bool is_loopback(std::string_view host) {
  return host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "[::1]";
}

// The port of "host:port"; none when the address does not end in one.
std::optional<int> port_of(const std::string& address) {
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  int port = 0;
  const char* first = address.data() + colon + 1;
  const char* last = address.data() + address.size();
  auto result = std::from_chars(first, last, port);
  if (result.ec != std::errc() || result.ptr != last || first == last) return std::nullopt;
  return port;
}

}  // namespace

awaitable<void> SimModuleImpl::check_serving(std::string address, double timeout_s) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + seconds_to_duration(timeout_s);
  const std::optional<int> port = port_of(address);
  const bool probe = port && is_loopback(address.substr(0, address.rfind(':')));
  // Made once the port accepts connections, so that its channel starts at once.
  std::unique_ptr<GrpcSimClient> client;
  while (true) {
    if (port && started_) {
      if (std::optional<int> code = started_->exit_of(*port)) {
        // What the sim wrote before it ended is what the user needs to see.
        co_await started_->output_read(*port, kOutputWaitS);
        throw SimStartError("the sim " + sim_connection::describe_exit(*code) +
                            " before it served");
      }
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    const double left = std::chrono::duration<double>(deadline - now).count();
    if (!client && probe && !accepts_connections(*port)) {
      co_await sleep_seconds(std::min(left, kProbeGapS));
      continue;
    }
    if (!client) {
      client = std::make_unique<GrpcSimClient>(dataset_replay::ClientOptions{"", address, {}});
    }
    if (co_await client->ping(std::min(left, kPingWaitS))) co_return;
    const double pause = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (pause > 0) co_await sleep_seconds(std::min(pause, kServePollS));
  }
  throw TimeoutError("the sim at " + address + " did not serve within " + seconds_text(timeout_s) +
                     " s");
}

awaitable<std::string> SimModuleImpl::describe_end(std::string address, int returncode) {
  const std::optional<int> port = port_of(address);
  if (port && started_) co_await started_->output_read(*port, kOutputWaitS);
  co_return sim_connection::describe_exit(returncode);
}

std::string SimModuleImpl::output_tail(const std::string& text) {
  std::string_view rest = text;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ' ||
                           rest.back() == '\t')) {
    rest.remove_suffix(1);
  }
  // The start of the last kTailLines lines: just after the kTailLines-th newline from the end.
  std::size_t start = 0;
  std::size_t newlines = 0;
  for (std::size_t pos = rest.size(); pos > 0;) {
    std::size_t newline = rest.rfind('\n', pos - 1);
    if (newline == std::string_view::npos) break;
    if (++newlines == kTailLines) {
      start = newline + 1;
      break;
    }
    pos = newline;
  }
  if (rest.size() - start > kTailBytes) {
    // The first line start within the last kTailBytes bytes.
    std::size_t from = rest.size() - kTailBytes;
    std::size_t newline = rest.find('\n', from - 1);
    if (newline != std::string_view::npos) {
      start = newline + 1;
    } else {
      // One line longer than the limit keeps its end, from a character start.
      start = from;
      while (start < rest.size() && (static_cast<unsigned char>(rest[start]) & 0xC0) == 0x80) {
        ++start;
      }
    }
  }
  return std::string(rest.substr(start));
}

}  // namespace velko::sim_connection
