// sha256_file on a 256 MiB file beside `openssl dgst -sha256` on the same file, and the peak
// memory that hashing adds to the process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/file_digest.h"
#include "tests/support/testing.h"

namespace {

constexpr std::size_t kFileBytes = std::size_t{256} << 20;

// The 256 MiB file, written once in 1 MiB pieces.
const std::string& big_file() {
  static velko::testing::TempDir dir;
  static std::string path = [] {
    std::string file = dir / "big.bin";
    std::ofstream out(file, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::mt19937_64 random(42);
    for (std::size_t written = 0; written < kFileBytes; written += chunk.size()) {
      for (auto& byte : chunk) byte = static_cast<char>(random());
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    return file;
  }();
  return path;
}

// A memory figure of this process from /proc/self/status, in bytes.
long status_bytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0)
      return std::atol(line.c_str() + std::string(field).size()) * 1024;
  }
  return -1;
}

// The peak memory that one hash adds to a process, in MiB: measured in a child process, whose
// peak starts at its size when it is forked.
double peak_added_mib(const std::string& path) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    long idle = status_bytes("VmRSS:");
    velko::sha256_file(path);
    long added = status_bytes("VmHWM:") - idle;
    ssize_t written = ::write(fds[1], &added, sizeof added);
    ::_exit(written == sizeof added ? 0 : 1);
  }
  long added = -1;
  if (::read(fds[0], &added, sizeof added) != sizeof added) added = -1;
  ::close(fds[0]);
  ::close(fds[1]);
  ::waitpid(child, nullptr, 0);
  return static_cast<double>(added) / (1 << 20);
}

void Sha256File(benchmark::State& state) {
  const std::string& path = big_file();
  for (auto _ : state) benchmark::DoNotOptimize(velko::sha256_file(path));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
  state.counters["peak_MiB_above_idle"] = peak_added_mib(path);
}
BENCHMARK(Sha256File)->Unit(benchmark::kMillisecond)->MinTime(2);

// The peer: the openssl command on the same file (its process start is a few milliseconds of
// the hundreds that hashing takes).
void OpensslDgst(benchmark::State& state) {
  std::string command = "openssl dgst -sha256 '" + big_file() + "' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl dgst failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(OpensslDgst)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();

}  // namespace
