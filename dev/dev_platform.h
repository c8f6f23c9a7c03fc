// A local stand-in for the platform: an in-memory HTTP server that speaks the platform's wire
// contract, for the demo and for tests that run it in-process.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/json/value.hpp>

#include "dev/http_service.h"

namespace velko::dev {

// The fixed seed: one organisation with two projects.
inline constexpr const char* kOrganizationId = "6f1d2c3b-4a59-4e68-9b7a-0c1d2e3f4a5b";
inline constexpr const char* kWaterPlantProjectId = "a3e4c5d6-7b8c-4d9e-8f01-23456789abcd";
inline constexpr const char* kPumpStationProjectId = "b4f5d6e7-8c9d-4eaf-9012-3456789abcde";

// How the stand-in platform behaves.
struct PlatformOptions {
  using Clock = std::chrono::steady_clock;

  // Handed out with every claim.
  int max_lag_steps = 2;
  // A build lands this long after its sim build was published.
  double build_seconds = 3;
  // The build fails when it lands.
  bool fail_build = false;
  // Time taken to write a report once it is submitted and the build has landed.
  double report_seconds = 1;
  // Reports are never written: they stay "running" / "writing".
  bool stall_report = false;
  // When set, every claim is refused with 409 and this detail.
  std::optional<std::string> refuse_claims;
  // When set, every /v1 request must carry `Authorization: Bearer <token>`.
  std::optional<std::string> token;
  // Largest request body accepted.
  std::size_t max_body_bytes = std::size_t{64} << 20;
  // The timeline's clock; the steady clock when empty. Called from the server's threads.
  std::function<Clock::time_point()> clock;
  // Receives one line per request (method, path, status) from the server's threads; nothing
  // is logged when empty. Headers are never logged.
  std::function<void(const std::string&)> log;
};

// The stand-in platform. Serves on its own threads between start() and stop().
class DevPlatform : public Service {
 public:
  // Throws std::invalid_argument for negative or non-finite times, negative lag steps, a zero
  // body bound, and an empty token or refusal text.
  explicit DevPlatform(PlatformOptions options);
  ~DevPlatform() override;
  DevPlatform(const DevPlatform&) = delete;
  DevPlatform& operator=(const DevPlatform&) = delete;

  // Starts serving on host:port (port 0 picks a free one) and returns the bound port once
  // requests are answered. Throws std::runtime_error when the address cannot be bound.
  int start(const std::string& host, int port) override;
  // Stops serving and waits for the server's threads; harmless when not serving.
  void stop() override;

  // A snapshot of what the platform holds, as the debug route shows it: claims in order
  // (with their submitted bodies and status request counts), links, guidance items, sims and
  // uploaded files.
  boost::json::value state() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko::dev
