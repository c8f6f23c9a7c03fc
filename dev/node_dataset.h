// A recorded dataset as the compute node holds it: read once from its folder (a descriptor
// and a CSV file of rows), then shared read-only by every request.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/json/fwd.hpp>

namespace velko::dev {

// The file in a dataset folder that describes the dataset.
inline constexpr const char* kDatasetDescriptor = "dataset.json";

// A dataset folder that cannot be loaded; the message names the file (and line).
class DatasetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a column records: a sensor of the plant, or an action given to it.
enum class ColumnRole { kSensor, kAction };

// One recorded column.
struct NodeColumn {
  std::string id;        // stable identifier, as the requests name it
  std::string raw_name;  // the column's CSV header
  ColumnRole role = ColumnRole::kSensor;
  std::vector<double> values;  // one per row of the dataset; NaN where nothing was recorded
};

// One episode: a run of consecutive rows that share the episode column's value.
struct NodeEpisode {
  std::string label;  // the episode column's value
  std::size_t first_row = 0;
  std::size_t rows = 0;
};

// A loaded dataset.
struct NodeDataset {
  std::string id;
  std::string name;
  std::string csv_path;
  // False when the dataset's statistics are unknown: its episode count is not told.
  bool stats = true;
  // True when every episode label is an integer: episodes are then identified by numbers.
  bool integer_labels = false;
  std::vector<NodeEpisode> episodes;  // in the order of the file
  std::vector<NodeColumn> columns;    // in the descriptor's order
  std::size_t rows = 0;
  std::string content_md5;     // of the CSV file's bytes, lowercase hexadecimal
  std::string content_sha256;  // likewise
  std::unordered_map<std::string, std::size_t> episode_by_label;

  // The column with this identifier, or nullptr.
  const NodeColumn* column(std::string_view id) const;
  // The identifier of an episode as the requests carry it: a number or a text.
  boost::json::value episode_identifier(std::size_t index) const;
  // The episode that an identifier names (a number or a text), if any.
  std::optional<std::size_t> episode_index(const boost::json::value& identifier) const;
  // A column's values over one episode's rows.
  std::span<const double> values(const NodeColumn& column, std::size_t episode) const;
};

// Loads the dataset of a folder that holds a descriptor. Throws DatasetError.
NodeDataset load_dataset(const std::string& folder);

// Lowercase hexadecimal MD5 and SHA-256 digests of some bytes.
std::string md5_hex(std::string_view bytes);
std::string sha256_hex(std::string_view bytes);

}  // namespace velko::dev
