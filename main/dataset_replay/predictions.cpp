#include "main/dataset_replay/predictions.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <boost/json/array.hpp>

#include "common/json_text.h"

namespace velko::dataset_replay {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

}  // namespace

EpisodePredictions::EpisodePredictions(std::vector<std::string> columns)
    : columns_(std::move(columns)), values_(columns_.size()) {}

void EpisodePredictions::append(std::size_t column, std::optional<double> value) {
  if (value && !std::isfinite(*value)) {
    throw std::domain_error("a number that is not finite cannot be written as JSON");
  }
  values_[column].push_back(value ? *value : kNone);
}

std::optional<double> EpisodePredictions::at(std::size_t column, std::size_t index) const {
  double value = values_[column][index];
  if (std::isnan(value)) return std::nullopt;
  return value;
}

boost::json::object EpisodePredictions::to_json() const {
  boost::json::object out;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    boost::json::array values;
    values.reserve(values_[c].size());
    for (double value : values_[c]) {
      if (std::isnan(value)) {
        values.emplace_back(nullptr);
      } else {
        values.emplace_back(value);
      }
    }
    out[columns_[c]] = std::move(values);
  }
  return out;
}

RunPredictions::RunPredictions(std::vector<std::string> columns) : columns_(std::move(columns)) {}

void RunPredictions::add(const boost::json::value& id, const EpisodePredictions& predictions) {
  if (predictions.columns_ != columns_) {
    throw std::invalid_argument("an episode's predictions have other columns than the run's");
  }
  // Written first, so that an identifier that cannot be written leaves the log as it was.
  const std::string id_text = json_text::to_json(id);
  episodes_.push_back(log_.size());
  log_.append_varint(id_text.size());
  log_.append(id_text.data(), id_text.size());
  for (const std::vector<double>& values : predictions.values_) {
    log_.append_varint(values.size());
    if (!values.empty()) log_.append(values.data(), values.size() * sizeof(double));
  }
}

std::size_t RunPredictions::memory_bytes() const {
  std::size_t bytes = log_.capacity() + episodes_.capacity() * sizeof(std::uint64_t);
  for (const std::string& column : columns_) bytes += sizeof column + column.capacity();
  return bytes;
}

RunPredictions::Reader::Reader(const RunPredictions& predictions)
    : predictions_(&predictions), reader_(predictions.log_, 0) {}

bool RunPredictions::Reader::next_episode(std::string& id) {
  if (episode_ == predictions_->episodes_.size()) return false;
  reader_ = ByteLog::Reader(predictions_->log_, predictions_->episodes_[episode_++]);
  id = reader_.text(static_cast<std::size_t>(reader_.varint()));
  return true;
}

std::optional<double> RunPredictions::Reader::next_value() {
  double value;
  reader_.read(&value, sizeof value);
  if (std::isnan(value)) return std::nullopt;
  return value;
}

}  // namespace velko::dataset_replay
