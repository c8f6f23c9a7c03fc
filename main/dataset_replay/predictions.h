// The sim's predictions in compact form: one episode's as it is replayed, and the whole run's
// from the replay to the request that sends them to the compute node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "main/dataset_replay/byte_log.h"

namespace velko::dataset_replay {

// One episode's predictions: per sensor column, the values the sim gave at the rows its replay
// reached, each a finite number or none (8 bytes a value).
class EpisodePredictions {
 public:
  // The columns in the order the node is sent them, each once.
  explicit EpisodePredictions(std::vector<std::string> columns);

  const std::vector<std::string>& columns() const { return columns_; }
  // Appends a value (none when the sim's could not be read) to column `column`. A number that
  // is not finite cannot be sent as JSON: std::domain_error.
  void append(std::size_t column, std::optional<double> value);
  // The number of values of column `column`, and the value at `index`.
  std::size_t size(std::size_t column) const { return values_[column].size(); }
  std::optional<double> at(std::size_t column, std::size_t index) const;
  // {column: [value or null, ...]}, as the node reads it.
  boost::json::object to_json() const;

 private:
  friend class RunPredictions;

  std::vector<std::string> columns_;
  // Per column; NaN stands for none, as no value appended is NaN.
  std::vector<std::vector<double>> values_;
};

// Every replayed episode's identifier and predictions, in replay order, for the columns of
// the run's plan. Kept in a log that grows by fixed blocks: the episode's identifier as compact
// JSON text, then per column its count of values and 8 bytes a value.
class RunPredictions {
 public:
  explicit RunPredictions(std::vector<std::string> columns);
  RunPredictions(RunPredictions&&) = default;
  RunPredictions& operator=(RunPredictions&&) = default;

  const std::vector<std::string>& columns() const { return columns_; }
  // Adds an episode, `id` as the node named it; std::invalid_argument when its columns are not
  // the run's.
  void add(const boost::json::value& id, const EpisodePredictions& predictions);
  std::size_t episode_count() const { return episodes_.size(); }
  // Bytes of memory held, about.
  std::size_t memory_bytes() const;

  // Reads the episodes back in order: for each, its identifier, then its columns in order,
  // each its count and then its values.
  class Reader {
   public:
    explicit Reader(const RunPredictions& predictions);
    // Moves to the next episode and yields its identifier's JSON text; false after the last.
    bool next_episode(std::string& id);
    // The number of values of the episode's next column; call once per column, in order.
    std::uint64_t next_column() { return reader_.varint(); }
    // The next value of the column (none for null).
    std::optional<double> next_value();

   private:
    const RunPredictions* predictions_;
    ByteLog::Reader reader_;
    std::size_t episode_ = 0;
  };

 private:
  std::vector<std::string> columns_;
  ByteLog log_;
  // Where each episode begins in the log.
  std::vector<std::uint64_t> episodes_;
};

}  // namespace velko::dataset_replay
