// The compute node's figures for each sensor of an analysis, read from the artifact velko
// already holds, and the table that shows them worst first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "common/console.h"

namespace velko::dataset_replay {

// One sensor as the node scored it.
struct SensorResult {
  std::string id;    // the column's id
  std::string name;  // the column's name in the dataset
  // Accuracy from 0 to 100; none when the node did not score the sensor.
  std::optional<double> accuracy_percent;
  // The lag (rows the recording trails the sim by) of the best fit; none when not scored.
  std::optional<std::int64_t> lag_steps;
  std::int64_t compared_rows = 0;
  // Predictions the sim gave without a value.
  std::int64_t predicted_nulls = 0;
  // The recorded values never change in the replayed episodes.
  bool constant = false;
};

// The sensors of the artifact's "evaluation", worst first (the lowest accuracy first, those
// not scored last, ties by name). None when the artifact has no such figures or figures of
// another shape (a node may give others): they are shown nowhere then.
std::optional<std::vector<SensorResult>> sensor_results(const boost::json::value& artifact);

// A bar of `width` block characters filled to `percent` of 100, in eighths of a character.
std::string accuracy_bar(double percent, int width = 20);

// The titled table of the sensors: name, accuracy as a number and a bar, lag, rows compared
// and a short note. At most `max_rows` sensors; a last row counts those left out.
Table sensor_table(const std::vector<SensorResult>& results, std::size_t max_rows = 30);

}  // namespace velko::dataset_replay
