#include "tests/support/sims.h"

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "tests/support/testing.h"

namespace velko::testing {

namespace {

// The state letter and the process group of /proc/<pid>/stat; false when it is gone.
bool read_stat(const std::string& pid, char& state, long& pgrp) {
  const std::string text = proc_file("/proc/" + pid + "/stat");
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  long ppid = 0;
  fields >> state >> ppid >> pgrp;
  return static_cast<bool>(fields);
}

}  // namespace

std::string sim_dir(const std::string& directory, const std::vector<std::string>& command) {
  std::filesystem::create_directories(directory);
  boost::json::array words;
  for (const std::string& word : command) words.emplace_back(word);
  boost::json::object file;
  file["command"] = std::move(words);
  write_file(directory + "/velko-sim.json", json_text::to_json(file));
  return directory;
}

std::string test_sim_dir(const std::string& directory, const std::vector<std::string>& args) {
  std::vector<std::string> command{bin("velko-test-sim")};
  command.insert(command.end(), args.begin(), args.end());
  return sim_dir(directory, command);
}

std::string water_tank_dir(const std::string& directory) {
  return sim_dir(directory, {bin("velko-water-tank-sim")});
}

bool process_alive(pid_t pid) {
  char state = 0;
  long pgrp = 0;
  return read_stat(std::to_string(pid), state, pgrp) && state != 'Z' && state != 'X';
}

bool group_alive(pid_t pgid) {
  if (::kill(-pgid, 0) != 0 && errno == ESRCH) return false;
  DIR* proc = ::opendir("/proc");
  if (!proc) return true;
  bool alive = false;
  while (dirent* entry = ::readdir(proc)) {
    std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    char state = 0;
    long pgrp = 0;
    if (read_stat(name, state, pgrp) && pgrp == pgid && state != 'Z' && state != 'X') {
      alive = true;
      break;
    }
  }
  ::closedir(proc);
  return alive;
}

awaitable<bool> eventually(std::function<bool()> condition, double timeout_s) {
  auto deadline = std::chrono::steady_clock::now() + seconds_to_duration(timeout_s);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await sleep_for(std::chrono::milliseconds(5));
  }
  co_return true;
}

bool eventually_blocking(const std::function<bool()>& condition, double timeout_s) {
  auto deadline = std::chrono::steady_clock::now() + seconds_to_duration(timeout_s);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void run_async(std::function<awaitable<void>()> body) {
  async_to_sync([&body]() -> awaitable<void> { co_await body(); })();
}

}  // namespace velko::testing
