#include "tests/support/fake_sim.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <stdexcept>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/errors.h"
#include "common/literal.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/sim_call.h"

namespace velko::testing {

namespace asio = boost::asio;
namespace json = boost::json;
using dataset_replay::ClientOptions;
using dataset_replay::OutputCallback;
using dataset_replay::SimClient;
using dataset_replay::SimProcess;

namespace {

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits `seconds` on a timer; kForever waits until cancelled (kHangCapS at most). A
// cancellation is recorded in `cancelled` and raised as Interrupted, as the real client does.
awaitable<void> pause(double seconds, std::string call, std::vector<std::string>* cancelled,
                      EventLog* log) {
  bool forever = std::isinf(seconds);
  asio::steady_timer timer(co_await asio::this_coro::executor,
                           seconds_to_duration(forever ? kHangCapS : seconds));
  boost::system::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (ec == asio::error::operation_aborted) {
    if (cancelled) cancelled->push_back(call);
    if (log) log->add(call + " cancelled");
    throw Interrupted{};
  }
  if (forever) {
    if (log) log->add(call + " never cancelled");
    throw std::runtime_error("the fake sim's " + call + " was never cancelled");
  }
}

// Stands for a client or process owned by the code under test while the test keeps the fake.
class ClientHandle : public SimClient {
 public:
  explicit ClientHandle(std::shared_ptr<FakeSimClient> fake) : fake_(std::move(fake)) {}
  awaitable<void> init() override { return fake_->init(); }
  awaitable<void> make() override { return fake_->make(); }
  awaitable<void> close() override { return fake_->close(); }
  awaitable<json::value> get_mappings() override { return fake_->get_mappings(); }
  awaitable<json::value> sensor_space_info() override { return fake_->sensor_space_info(); }
  awaitable<json::value> action_space_info() override { return fake_->action_space_info(); }
  awaitable<std::vector<json::value>> reset(dataset_replay::ResetArgs args = {}) override {
    return fake_->reset(std::move(args));
  }
  awaitable<std::vector<json::value>> step(json::value action) override {
    return fake_->step(std::move(action));
  }
  std::unique_ptr<dataset_replay::EpisodeSteps> episode_steps(int window,
                                                              double call_timeout_s) override {
    return fake_->episode_steps(window, call_timeout_s);
  }
  bool takes_steps_ahead() const override { return fake_->takes_steps_ahead(); }
  void bound_observations(std::size_t variables) override { fake_->bound_observations(variables); }

 private:
  std::shared_ptr<FakeSimClient> fake_;
};

// The steps of an episode sent ahead to a fake that takes them: each is made with the fake's
// step() when its answer is awaited, within the time limit.
class FakeStepsAhead : public dataset_replay::EpisodeSteps {
 public:
  FakeStepsAhead(FakeSimClient& fake, int window, double call_timeout_s)
      : fake_(fake), window_(window), call_timeout_s_(call_timeout_s) {}

  int window() const override { return window_; }

  void send(const json::value& action) override {
    if (static_cast<int>(unanswered_.size()) >= window_) {
      throw std::logic_error("a step was sent beyond the window");
    }
    unanswered_.push_back(action);
    ++sent_;
    if (fake_.record) fake_.log->add("send " + std::to_string(sent_));
    fake_.most_unanswered = std::max(fake_.most_unanswered, static_cast<int>(unanswered_.size()));
  }

  awaitable<std::vector<json::value>> next() override {
    if (unanswered_.empty()) throw std::logic_error("an answer was awaited for no step");
    json::value action = std::move(unanswered_.front());
    unanswered_.pop_front();
    co_return co_await dataset_replay::sim_call(fake_.step(std::move(action)), "step()",
                                                call_timeout_s_);
  }

  awaitable<void> finish(bool sim_ended) override {
    if (!fake_.record) {
    } else if (sim_ended) {
      fake_.log->add("finish ended");
    } else if (!unanswered_.empty()) {
      fake_.log->add("cancel " + std::to_string(unanswered_.size()) + " unanswered");
    } else {
      fake_.log->add("finish");
    }
    unanswered_.clear();
    co_return;
  }

 private:
  FakeSimClient& fake_;
  int window_;
  double call_timeout_s_;
  std::deque<json::value> unanswered_;
  int sent_ = 0;
};

class ProcessHandle : public SimProcess {
 public:
  explicit ProcessHandle(std::shared_ptr<FakeSimProcess> fake) : fake_(std::move(fake)) {}
  std::optional<int> returncode() override { return fake_->returncode(); }
  void terminate() override { fake_->terminate(); }
  void kill() override { fake_->kill(); }
  awaitable<int> wait() override { return fake_->wait(); }

 private:
  std::shared_ptr<FakeSimProcess> fake_;
};

}  // namespace

void EventLog::add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

int EventLog::index_of(std::string_view event) const {
  std::lock_guard lock(mutex_);
  auto found = std::find(events_.begin(), events_.end(), event);
  return found == events_.end() ? -1 : static_cast<int>(found - events_.begin());
}

int EventLog::count(std::string_view event) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(events_.begin(), events_.end(), event));
}

void EventLog::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

// FakeSimClient

FakeSimClient::FakeSimClient(std::shared_ptr<EventLog> log_in) : log(std::move(log_in)) {
  observe = [](const json::value&, int step) { return json::value(json::array{step}); };
}

awaitable<void> FakeSimClient::enter(std::string call, std::string specific) {
  if (record) log->add("client." + call);
  if (on_call) on_call(call);
  if (delays.empty() && failures.empty()) co_return;
  auto delay = delays.find(specific);
  if (delay == delays.end()) delay = delays.find(call);
  if (delay != delays.end() && delay->second > 0) {
    co_await pause(delay->second, call, &cancelled, log.get());
  }
  auto failure = failures.find(specific);
  if (failure == failures.end()) failure = failures.find(call);
  if (failure != failures.end()) std::rethrow_exception(failure->second);
}

awaitable<void> FakeSimClient::init() { co_await enter("init"); }
awaitable<void> FakeSimClient::make() { co_await enter("make"); }
awaitable<void> FakeSimClient::close() { co_await enter("close"); }

awaitable<json::value> FakeSimClient::get_mappings() {
  co_await enter("get_mappings");
  if (!mappings) throw std::runtime_error("the sim does not offer get_mappings");
  co_return *mappings;
}

awaitable<json::value> FakeSimClient::sensor_space_info() {
  co_await enter("sensor_space_info");
  co_return sensor_space;
}

void FakeSimClient::bound_observations(std::size_t variables) {
  if (record) log->add("client.bound_observations " + std::to_string(variables));
}

awaitable<json::value> FakeSimClient::action_space_info() {
  co_await enter("action_space_info");
  co_return action_space;
}

awaitable<std::vector<json::value>> FakeSimClient::reset(dataset_replay::ResetArgs args) {
  co_await enter("reset");
  ++resets;
  if (record) reset_seeds.push_back(args.seed);
  steps = 0;
  std::vector<json::value> parts{observe(nullptr, 0), json::object()};
  parts.resize(reset_parts);
  co_return parts;
}

awaitable<std::vector<json::value>> FakeSimClient::step(json::value action) {
  int n = steps + 1;
  // Only a test with delays or failures looks for a step of its own.
  std::string specific;
  if (!delays.empty() || !failures.empty()) specific = "step " + std::to_string(n);
  co_await enter("step", std::move(specific));
  steps = n;
  std::vector<json::value> parts;
  parts.reserve(std::max<std::size_t>(step_parts, 5));
  parts.push_back(observe(action, n));
  parts.emplace_back(0.0);
  parts.emplace_back(terminate_at == n);
  parts.emplace_back(truncate_at == n);
  parts.emplace_back(json::object());
  parts.resize(step_parts);
  if (record) actions.push_back(std::move(action));
  co_return parts;
}

std::unique_ptr<dataset_replay::EpisodeSteps> FakeSimClient::episode_steps(int window,
                                                                           double call_timeout_s) {
  if (steps_ahead && window > 1) {
    return std::make_unique<FakeStepsAhead>(*this, window, call_timeout_s);
  }
  return dataset_replay::one_step_at_a_time(*this, call_timeout_s);
}

// FakeSimProcess

FakeSimProcess::FakeSimProcess(std::shared_ptr<EventLog> log_in) : log(std::move(log_in)) {}

void FakeSimProcess::exit(int status) {
  if (!code_) code_ = status;
}

void FakeSimProcess::end_after(double seconds, int status) {
  ends_at_ = now_s() + seconds;
  pending_status_ = status;
}

std::optional<int> FakeSimProcess::returncode() {
  if (!code_ && ends_at_ && now_s() >= *ends_at_) code_ = pending_status_;
  return code_;
}

void FakeSimProcess::terminate() {
  log->add("process.terminate");
  ++terminates;
  if (ignores_terminate || returncode()) return;
  if (terminate_delay_s > 0) {
    end_after(terminate_delay_s, -15);
  } else {
    code_ = -15;
  }
}

void FakeSimProcess::kill() {
  log->add("process.kill");
  ++kills;
  if (!returncode()) code_ = -9;
}

awaitable<int> FakeSimProcess::wait() {
  log->add("process.wait");
  auto executor = co_await asio::this_coro::executor;
  double deadline = now_s() + kHangCapS;
  // Polls every millisecond: the status changes without the event loop's knowledge.
  while (!returncode()) {
    // A cancellation that came while the last tick's completion was queued reached no timer.
    if ((co_await asio::this_coro::cancellation_state).cancelled() !=
        asio::cancellation_type::none) {
      ++cancelled_waits;
      log->add("process.wait cancelled");
      throw Interrupted{};
    }
    if (now_s() > deadline) {
      log->add("process.wait never cancelled");
      throw std::runtime_error("the fake sim process's wait was never cancelled");
    }
    asio::steady_timer timer(executor, std::chrono::milliseconds(1));
    boost::system::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) {
      ++cancelled_waits;
      log->add("process.wait cancelled");
      throw Interrupted{};
    }
  }
  co_return *code_;
}

// FakeSimConnection

FakeSimConnection::FakeSimConnection(std::shared_ptr<EventLog> log_in)
    : log(std::move(log_in)),
      client(std::make_shared<FakeSimClient>(log)),
      process(std::make_shared<FakeSimProcess>(log)) {}

void FakeSimConnection::emit(const std::string& line) {
  if (on_output_) on_output_(line);
}

int FakeSimConnection::get_free_port() {
  log->add("sim.get_free_port");
  if (port_failure) std::rethrow_exception(port_failure);
  if (!next_ports.empty()) {
    int next = next_ports.front();
    next_ports.erase(next_ports.begin());
    return next;
  }
  return port;
}

bool FakeSimConnection::port_in_use(int port_in) {
  log->add("sim.port_in_use " + std::to_string(port_in));
  return std::find(ports_in_use.begin(), ports_in_use.end(), port_in) != ports_in_use.end();
}

awaitable<std::unique_ptr<SimProcess>> FakeSimConnection::make_in_process(
    std::string path, int port_in, OutputCallback on_output) {
  log->add("sim.make_in_process");
  starts.push_back({path, port_in});
  on_output_ = std::move(on_output);
  for (const auto& line : output) emit(line);
  if (start_delay_s > 0) co_await pause(start_delay_s, "make_in_process", nullptr, log.get());
  if (start_failure) std::rethrow_exception(start_failure);
  co_return std::make_unique<ProcessHandle>(process);
}

std::unique_ptr<SimClient> FakeSimConnection::make(ClientOptions options) {
  log->add("sim.make");
  made.push_back(std::move(options));
  return std::make_unique<ClientHandle>(client);
}

// FakeSimModule

FakeSimModule::FakeSimModule(std::shared_ptr<EventLog> log_in) : log(std::move(log_in)) {}

awaitable<void> FakeSimModule::check_serving(std::string address, double timeout_s) {
  log->add("module.check_serving");
  checks.emplace_back(address, timeout_s);
  if (on_check) {
    if (std::exception_ptr thrown = on_check(address)) std::rethrow_exception(thrown);
  }
  if (failure) std::rethrow_exception(failure);
  if (serves) co_return;
  co_await pause(timeout_s, "check_serving", nullptr, log.get());
  throw TimeoutError("the sim at " + address + " did not serve within " + float_repr(timeout_s) +
                     " s");
}

awaitable<std::string> FakeSimModule::describe_end(std::string, int returncode) {
  co_return returncode >= 0 ? "exited with status " + std::to_string(returncode)
                            : "was ended by signal " + std::to_string(-returncode);
}

std::string FakeSimModule::output_tail(const std::string& text) {
  log->add("module.output_tail");
  tailed.push_back(text);
  if (text.empty()) return "";
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (true) {
    std::size_t newline = text.find('\n', from);
    lines.push_back(text.substr(from, newline - from));
    if (newline == std::string::npos) break;
    from = newline + 1;
  }
  std::size_t first = lines.size() > tail_lines ? lines.size() - tail_lines : 0;
  std::string tail;
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (i != first) tail += "\n";
    tail += lines[i];
  }
  return tail;
}

}  // namespace velko::testing
