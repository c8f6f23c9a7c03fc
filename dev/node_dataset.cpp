#include "dev/node_dataset.h"

#include <openssl/evp.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "dev/node_csv.h"

namespace velko::dev {

namespace json = boost::json;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxDescriptorBytes = 1 << 20;
constexpr std::size_t kMaxIdBytes = 128;
constexpr std::size_t kMaxNameBytes = 200;
constexpr double kNotRecorded = std::numeric_limits<double>::quiet_NaN();

constexpr std::string_view kDescriptorKeys[] = {"id",      "name",  "csv",        "episode_column",
                                                "columns", "stats", "description"};
constexpr std::string_view kColumnKeys[] = {"header", "id", "role"};

// Reads a whole file as bytes.
std::string read_bytes(const fs::path& path, std::string_view what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DatasetError(path.string() + ": cannot open the " + std::string(what));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw DatasetError(path.string() + ": cannot read the " + std::string(what));
  return bytes;
}

// The digest of some bytes under one of OpenSSL's algorithms, in lowercase hexadecimal.
std::string digest_hex(const EVP_MD* algorithm, std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, algorithm, nullptr) != 1) {
    throw std::runtime_error("The digest of a dataset file could not be computed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex;
}

// The text without blanks and tabs at both ends.
std::string_view trimmed(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// True when a label is an integer written the usual way ("0", "12", "-3"; not "007" or "+1").
bool integer_label(std::string_view label) {
  std::string_view digits = label;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 18) return false;
  if (digits.size() > 1 && digits.front() == '0') return false;
  if (label == "-0") return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Reads the descriptor's members with messages that name the file.
class DescriptorReader {
 public:
  DescriptorReader(std::string file, const json::object& object)
      : file_(std::move(file)), object_(object) {}

  [[noreturn]] void fail(const std::string& what) const { throw DatasetError(file_ + ": " + what); }

  // A required non-empty text of at most `max_bytes` bytes.
  std::string text(const json::object& object, std::string_view key, std::string_view where,
                   std::size_t max_bytes) const {
    const json::value* value = object.if_contains(key);
    if (!value) fail(std::string(where) + "has no \"" + std::string(key) + "\"");
    if (!value->is_string() || value->get_string().empty()) {
      fail(std::string(where) + "\"" + std::string(key) + "\" must be a non-empty text, not " +
           literal(*value));
    }
    std::string result(value->get_string());
    if (result.size() > max_bytes) {
      fail(std::string(where) + "\"" + std::string(key) + "\" is longer than " +
           std::to_string(max_bytes) + " bytes");
    }
    for (char32_t c : unicode::decode(result)) {
      if (c < 0x20 || c == 0x7F) {
        fail(std::string(where) + "\"" + std::string(key) + "\" holds a control character");
      }
    }
    return result;
  }
  std::string text(std::string_view key, std::size_t max_bytes) const {
    return text(object_, key, "", max_bytes);
  }

  // Refuses members other than the known ones, which are most likely misspelt.
  void only(const json::object& object, std::span<const std::string_view> known,
            std::string_view where) const {
    for (const auto& member : object) {
      bool found = false;
      for (std::string_view key : known) found = found || member.key() == key;
      if (!found) {
        std::string list;
        for (std::string_view key : known) list += (list.empty() ? "" : ", ") + std::string(key);
        fail(std::string(where) + "unknown member " + quoted(member.key()) + " (known: " + list +
             ")");
      }
    }
  }

  const json::object& object() const { return object_; }

 private:
  std::string file_;
  const json::object& object_;
};

// A described column before its values are read.
struct ColumnSpec {
  std::string header;  // without blanks at its ends, as the CSV's headers are read
  std::string id;
  ColumnRole role;
};

// Reads and checks the descriptor of a dataset folder; fills everything but the rows.
std::vector<ColumnSpec> read_descriptor(const fs::path& file, NodeDataset& dataset,
                                        std::string& csv_name, std::string& episode_column) {
  std::string bytes = read_bytes(file, "dataset descriptor");
  if (bytes.size() > kMaxDescriptorBytes) {
    throw DatasetError(file.string() + ": the descriptor is larger than 1 MiB");
  }
  json::value parsed;
  try {
    parsed = json_text::parse(bytes, 16);
  } catch (const json_text::JsonError& error) {
    throw DatasetError(file.string() + ": not valid JSON: " + error.what());
  }
  if (!parsed.is_object()) throw DatasetError(file.string() + ": must hold a JSON object");
  DescriptorReader reader(file.string(), parsed.get_object());
  reader.only(reader.object(), kDescriptorKeys, "");

  dataset.id = reader.text("id", kMaxIdBytes);
  for (char c : dataset.id) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_' || c == '.';
    if (!allowed) {
      reader.fail("\"id\" may hold only letters, digits, '-', '_' and '.' (like a UUID), not " +
                  quoted(dataset.id));
    }
  }
  dataset.name = reader.text("name", kMaxNameBytes);
  if (trimmed(dataset.name) != dataset.name) {
    reader.fail("\"name\" must not begin or end with blanks");
  }
  csv_name = reader.text("csv", 4096);
  episode_column = reader.text("episode_column", 4096);
  if (const json::value* stats = reader.object().if_contains("stats")) {
    if (!stats->is_bool()) reader.fail("\"stats\" must be true or false, not " + literal(*stats));
    dataset.stats = stats->get_bool();
  }
  if (const json::value* description = reader.object().if_contains("description")) {
    if (!description->is_string()) reader.fail("\"description\" must be a text");
  }

  const json::value* columns = reader.object().if_contains("columns");
  if (!columns || !columns->is_array() || columns->get_array().empty()) {
    reader.fail("\"columns\" must be a non-empty list of {\"header\", \"id\", \"role\"}");
  }
  std::vector<ColumnSpec> specs;
  bool any_sensor = false;
  for (std::size_t i = 0; i < columns->get_array().size(); ++i) {
    const json::value& entry = columns->get_array()[i];
    std::string where = "column " + std::to_string(i + 1) + ": ";
    if (!entry.is_object()) reader.fail(where + "must be an object {\"header\", \"id\", \"role\"}");
    const json::object& column = entry.get_object();
    reader.only(column, kColumnKeys, where);
    ColumnSpec spec;
    std::string header = reader.text(column, "header", where, 4096);
    spec.header = trimmed(header);
    spec.id = reader.text(column, "id", where, kMaxNameBytes);
    std::string role = reader.text(column, "role", where, 16);
    if (role == "sensor") {
      spec.role = ColumnRole::kSensor;
      any_sensor = true;
    } else if (role == "action") {
      spec.role = ColumnRole::kAction;
    } else {
      reader.fail(where + "\"role\" must be \"sensor\" or \"action\", not " + quoted(role));
    }
    if (spec.header == episode_column) {
      reader.fail(where + "the episode column " + quoted(episode_column) +
                  " cannot also be a sensor or action column");
    }
    for (const ColumnSpec& earlier : specs) {
      if (earlier.id == spec.id) {
        reader.fail(where + "the id " + quoted(spec.id) + " is used twice");
      }
      if (earlier.header == spec.header) {
        reader.fail(where + "the header " + quoted(spec.header) + " is described twice");
      }
    }
    specs.push_back(std::move(spec));
  }
  if (!any_sensor) reader.fail("no column has the role \"sensor\"; a dataset needs at least one");
  return specs;
}

// Parses one recorded cell: a finite number, or nothing (NaN) when the cell is empty.
double cell_value(std::string_view cell, std::string_view header, const std::string& at) {
  std::string_view text = trimmed(cell);
  if (text.empty()) return kNotRecorded;
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  bool number = !digits.empty() && digits.front() != '+';
  if (number) {
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    number = error == std::errc() && end == digits.data() + digits.size() && std::isfinite(value);
  }
  if (!number) {
    throw DatasetError(at + ": the cell " + quoted(text) + " of column " + quoted(header) +
                       " is not a finite number (leave it empty when nothing was recorded)");
  }
  return value;
}

}  // namespace

const NodeColumn* NodeDataset::column(std::string_view id) const {
  for (const NodeColumn& candidate : columns) {
    if (candidate.id == id) return &candidate;
  }
  return nullptr;
}

json::value NodeDataset::episode_identifier(std::size_t index) const {
  const std::string& label = episodes.at(index).label;
  if (!integer_labels) return json::value(label);
  std::int64_t number = 0;
  std::from_chars(label.data(), label.data() + label.size(), number);
  return json::value(number);
}

std::optional<std::size_t> NodeDataset::episode_index(const json::value& identifier) const {
  std::string label;
  if (identifier.is_string()) {
    label = identifier.get_string();
  } else if (identifier.is_int64()) {
    label = std::to_string(identifier.get_int64());
  } else if (identifier.is_uint64()) {
    label = std::to_string(identifier.get_uint64());
  } else {
    return std::nullopt;
  }
  auto found = episode_by_label.find(label);
  if (found == episode_by_label.end()) return std::nullopt;
  return found->second;
}

std::span<const double> NodeDataset::values(const NodeColumn& column, std::size_t episode) const {
  const NodeEpisode& range = episodes.at(episode);
  return std::span<const double>(column.values).subspan(range.first_row, range.rows);
}

std::string md5_hex(std::string_view bytes) { return digest_hex(EVP_md5(), bytes); }

std::string sha256_hex(std::string_view bytes) { return digest_hex(EVP_sha256(), bytes); }

NodeDataset load_dataset(const std::string& folder) {
  NodeDataset dataset;
  std::string csv_name;
  std::string episode_column;
  fs::path descriptor = fs::path(folder) / kDatasetDescriptor;
  std::vector<ColumnSpec> specs = read_descriptor(descriptor, dataset, csv_name, episode_column);

  fs::path csv_path = fs::path(folder) / csv_name;
  dataset.csv_path = csv_path.string();
  std::string bytes = read_bytes(csv_path, "CSV file named by " + descriptor.string());
  dataset.content_md5 = md5_hex(bytes);
  dataset.content_sha256 = sha256_hex(bytes);

  const std::string& file = dataset.csv_path;
  CsvReader reader(bytes);
  std::vector<std::string> cells;
  auto at_line = [&] { return file + ", line " + std::to_string(reader.line()); };
  try {
    if (!reader.next(cells)) {
      throw DatasetError(file + ": the file is empty; it needs a header line");
    }
    std::vector<std::string> headers;
    for (const std::string& cell : cells) {
      if (unicode::invalid_utf8_at(cell)) {
        throw DatasetError(at_line() + ": the header is not UTF-8 text");
      }
      headers.emplace_back(trimmed(cell));
    }
    // Where each described column, and the episode column, stand in a row.
    auto position_of = [&](const std::string& header) {
      std::size_t found = headers.size();
      for (std::size_t i = 0; i < headers.size(); ++i) {
        if (headers[i] != header) continue;
        if (found != headers.size()) {
          throw DatasetError(at_line() + ": the header " + quoted(header) + " appears twice");
        }
        found = i;
      }
      if (found == headers.size()) {
        throw DatasetError(at_line() + ": there is no column " + quoted(header) + " (named in " +
                           descriptor.string() + ")");
      }
      return found;
    };
    std::size_t episode_at = position_of(episode_column);
    std::vector<std::size_t> positions;
    for (const ColumnSpec& spec : specs) {
      positions.push_back(position_of(spec.header));
      NodeColumn column;
      column.id = spec.id;
      column.raw_name = headers[positions.back()];
      column.role = spec.role;
      dataset.columns.push_back(std::move(column));
    }

    bool all_integers = true;
    while (reader.next(cells)) {
      if (cells.size() == 1 && trimmed(cells[0]).empty()) continue;  // a line of blanks
      if (cells.size() != headers.size()) {
        throw DatasetError(at_line() + ": " + std::to_string(cells.size()) +
                           " cells, but the header has " + std::to_string(headers.size()));
      }
      std::string label(trimmed(cells[episode_at]));
      if (label.empty()) throw DatasetError(at_line() + ": the episode cell is empty");
      if (unicode::invalid_utf8_at(label)) {
        throw DatasetError(at_line() + ": the episode cell is not UTF-8 text");
      }
      if (dataset.episodes.empty() || dataset.episodes.back().label != label) {
        if (dataset.episode_by_label.contains(label)) {
          throw DatasetError(at_line() + ": episode " + quoted(label) +
                             " appears again after other episodes; keep each episode's rows "
                             "together, in order");
        }
        all_integers = all_integers && integer_label(label);
        dataset.episode_by_label.emplace(label, dataset.episodes.size());
        dataset.episodes.push_back({label, dataset.rows, 0});
      }
      for (std::size_t i = 0; i < specs.size(); ++i) {
        dataset.columns[i].values.push_back(
            cell_value(cells[positions[i]], dataset.columns[i].raw_name, at_line()));
      }
      ++dataset.episodes.back().rows;
      ++dataset.rows;
    }
    dataset.integer_labels = all_integers;
  } catch (const CsvError& error) {
    throw DatasetError(file + ", " + error.what());
  }
  if (dataset.rows == 0) throw DatasetError(file + ": there are no rows after the header line");
  return dataset;
}

}  // namespace velko::dev
