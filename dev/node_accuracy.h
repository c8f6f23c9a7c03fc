// How closely a sim's predictions follow one recorded sensor: the best lag, the error at that
// lag, and an accuracy in percent.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace velko::dev {

// One series to compare: one episode's recorded values of a sensor and what the sim
// predicted for that sensor over the same episode.
struct SensorTrack {
  std::span<const double> recorded;  // every recorded row of the episode; NaN: not recorded
  std::vector<double> predicted;     // one per row the sim reached; NaN: no value
};

// Why a sensor has no accuracy.
enum class FitGap {
  kNone,             // it has one
  kNothingRecorded,  // no recorded value in the episodes
  kNothingCompared,  // no row has both a recorded value and a prediction, at any lag
  kOutOfRange,       // the values are too large to compare in double precision
};

// The comparison of one sensor over all its tracks.
struct SensorFit {
  FitGap gap = FitGap::kNothingRecorded;
  // 100 × max(0, 1 − rmse / scale) × coverage; meaningful only without a gap.
  double accuracy_percent = 0;
  // The share of the recorded values that lie on rows the sim reached: a recorded row that
  // was not reached counts as a miss.
  double coverage = 0;
  // Root mean square of (prediction − recorded value) at the best lag.
  double rmse = 0;
  // The recorded values' standard deviation; when they never change, their absolute value,
  // and 1 when that is 0.
  double scale = 0;
  // The recorded values never change.
  bool constant = false;
  // The best lag: prediction row r is compared with recorded row r + lag_steps.
  int lag_steps = 0;
  // Rows compared at the best lag, over all tracks.
  std::size_t compared_rows = 0;
};

// Compares the tracks at every lag from 0 to `max_lag_steps` and keeps the lag with the least
// root mean square error (the smallest such lag on a tie). Pairs where either side is NaN
// are left out.
SensorFit fit_sensor(std::span<const SensorTrack> tracks, int max_lag_steps);

}  // namespace velko::dev
