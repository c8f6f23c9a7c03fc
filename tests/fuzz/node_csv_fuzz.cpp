// The compute node's CSV reader: any text is read to its end or refused with CsvError, and
// the records read are read again, the same, from their own CSV form.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dev/node_csv.h"
#include "tests/fuzz/fuzz_support.h"

namespace dev = velko::dev;
using velko::fuzz::check;

namespace {

// The CSV form of records: every field quoted, quotes doubled.
std::string csv_text(const std::vector<std::vector<std::string>>& records) {
  std::string out;
  for (const auto& record : records) {
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (i) out.push_back(',');
      out.push_back('"');
      for (char ch : record[i]) {
        if (ch == '"') out.push_back('"');
        out.push_back(ch);
      }
      out.push_back('"');
    }
    out += "\r\n";
  }
  return out;
}

// Reads every record of a text; false when the reader refuses it.
bool read_all(std::string_view text, std::vector<std::vector<std::string>>& records) {
  dev::CsvReader reader(text);
  std::vector<std::string> fields;
  std::size_t last_line = 0;
  try {
    while (reader.next(fields)) {
      check(reader.line() > last_line, "a record does not begin after the one before");
      last_line = reader.line();
      check(!fields.empty(), "a record without fields");
      records.push_back(fields);
    }
  } catch (const dev::CsvError& error) {
    check(error.line() >= 1, "a refusal without its line");
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::vector<std::string>> records;
  if (!read_all(text, records)) return 0;
  std::string written = csv_text(records);
  std::vector<std::vector<std::string>> again;
  check(read_all(written, again), "the CSV form of records read is refused");
  check(again == records, "the CSV form of records read reads otherwise");
  return 0;
}
