#include "dev/node_accuracy.h"

#include <algorithm>
#include <cmath>

namespace velko::dev {

namespace {

// The scale of the recorded values (see SensorFit::scale), or a gap.
FitGap recorded_scale(std::span<const SensorTrack> tracks, double& scale, bool& constant) {
  std::size_t count = 0;
  double mean = 0;
  for (const SensorTrack& track : tracks) {
    for (double value : track.recorded) {
      if (std::isnan(value)) continue;
      ++count;
      mean += (value - mean) / static_cast<double>(count);
    }
  }
  if (count == 0) return FitGap::kNothingRecorded;
  double squares = 0;
  for (const SensorTrack& track : tracks) {
    for (double value : track.recorded) {
      if (!std::isnan(value)) squares += (value - mean) * (value - mean);
    }
  }
  double deviation = std::sqrt(squares / static_cast<double>(count));
  if (!std::isfinite(mean) || !std::isfinite(deviation)) return FitGap::kOutOfRange;
  constant = deviation == 0;
  scale = deviation > 0 ? deviation : (mean != 0 ? std::fabs(mean) : 1.0);
  return FitGap::kNone;
}

}  // namespace

SensorFit fit_sensor(std::span<const SensorTrack> tracks, int max_lag_steps) {
  SensorFit fit;
  fit.gap = recorded_scale(tracks, fit.scale, fit.constant);
  if (fit.gap != FitGap::kNone) return fit;

  bool found = false;
  for (int lag = 0; lag <= std::max(0, max_lag_steps); ++lag) {
    double squares = 0;
    std::size_t compared = 0;
    for (const SensorTrack& track : tracks) {
      auto shift = static_cast<std::size_t>(lag);
      if (shift >= track.recorded.size()) continue;
      std::size_t rows = std::min(track.predicted.size(), track.recorded.size() - shift);
      for (std::size_t r = 0; r < rows; ++r) {
        double predicted = track.predicted[r];
        double recorded = track.recorded[r + shift];
        if (std::isnan(predicted) || std::isnan(recorded)) continue;
        double error = predicted - recorded;
        squares += error * error;
        ++compared;
      }
    }
    if (compared == 0) continue;
    double rmse = std::sqrt(squares / static_cast<double>(compared));
    if (!std::isfinite(rmse)) {
      fit.gap = FitGap::kOutOfRange;
      return fit;
    }
    if (!found || rmse < fit.rmse) {
      found = true;
      fit.rmse = rmse;
      fit.lag_steps = lag;
      fit.compared_rows = compared;
    }
  }
  if (!found) {
    fit.gap = FitGap::kNothingCompared;
    return fit;
  }
  std::size_t recorded = 0;
  std::size_t reached = 0;
  for (const SensorTrack& track : tracks) {
    for (std::size_t r = 0; r < track.recorded.size(); ++r) {
      if (std::isnan(track.recorded[r])) continue;
      ++recorded;
      if (r < track.predicted.size()) ++reached;
    }
  }
  fit.coverage = static_cast<double>(reached) / static_cast<double>(recorded);
  fit.accuracy_percent = 100.0 * std::max(0.0, 1.0 - fit.rmse / fit.scale) * fit.coverage;
  return fit;
}

}  // namespace velko::dev
