// Slot paths, as the core library writes and reads them and as the report run reads and
// writes slots with them. The input is a byte that picks the number to write, a slot path up
// to the first line break, and the JSON text of a value.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "common/errors.h"
#include "common/json_text.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/slots.h"
#include "spaces/core_library_impl.h"
#include "spaces/slot_path.h"
#include "tests/fuzz/fuzz_support.h"

namespace spaces = velko::spaces;
namespace replay = velko::dataset_replay;
using velko::fuzz::check;

namespace {

constexpr double kNumbers[] = {2.5,
                               -3.5,
                               0.0,
                               -0.0,
                               7.0,
                               1e300,
                               -1e19,
                               9.3e18,
                               std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(),
                               0.1,
                               -1.0};

// True when the report run's keys are the core library's (both are slot_path::SlotKey).
bool same_keys(const std::vector<replay::SlotKey>& ours, const spaces::SlotKeys& theirs) {
  return std::equal(ours.begin(), ours.end(), theirs.begin(), theirs.end());
}

// The core library the report run reads slots through, as the host hands it one.
spaces::CoreLibraryImpl& core_library() {
  static spaces::CoreLibraryImpl library;
  return library;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const double number = kNumbers[data[0] % std::size(kNumbers)];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t line_end = rest.find('\n');
  std::string_view path = rest.substr(0, line_end);
  std::string_view value_text =
      line_end == std::string_view::npos ? std::string_view() : rest.substr(line_end + 1);

  // The core library's form: what it writes reads back as the same keys, in both readers.
  spaces::SlotKeys keys;
  bool core_reads = true;
  try {
    keys = spaces::parse_slot_path(path);
  } catch (const spaces::SlotPathError&) {
    core_reads = false;
  }
  if (core_reads) {
    std::string text = spaces::slot_path_text(keys.data(), keys.size());
    check(spaces::parse_slot_path(text) == keys, "the written path reads back otherwise");
    std::vector<replay::SlotKey> read;
    try {
      read = replay::parse_slot_path(text);
    } catch (const std::exception& error) {
      velko::fuzz::fail(std::string("the report run cannot read a written path: ") + error.what());
    }
    check(same_keys(read, keys), "the report run reads a written path otherwise");
  }

  std::vector<replay::SlotKey> ours;
  bool ours_reads = true;
  try {
    ours = replay::parse_slot_path(path);
  } catch (const replay::PublishReportError&) {
    ours_reads = false;
  } catch (const std::invalid_argument&) {
    ours_reads = false;
  }

  // The two readers share one grammar (common/slot_path_grammar.h): they take the same paths
  // and read the same keys from them.
  check(ours_reads == core_reads,
        core_reads ? "the report run refuses a path that the core library takes"
                   : "the report run takes a path that the core library refuses");
  if (!ours_reads) return 0;
  check(same_keys(ours, keys), "the two readers read a path otherwise");

  boost::json::value value;
  try {
    value = velko::json_text::parse(value_text);
  } catch (const velko::json_text::JsonError&) {
    return 0;
  }
  // Reading never fails, and gives finite numbers only.
  std::optional<double> before = replay::read_slot(core_library(), value, path);
  check(!before || std::isfinite(*before), "a slot read as a number that is not finite");

  boost::json::value written = value;
  try {
    replay::write_slot(written, path, number);
  } catch (const std::out_of_range&) {  // KeyError too
    check(velko::fuzz::same(written, value), "a failed write changed the value");
    return 0;
  } catch (const replay::TypeError&) {
    check(velko::fuzz::same(written, value), "a failed write changed the value");
    return 0;
  } catch (const std::domain_error&) {
    check(velko::fuzz::same(written, value), "a failed write changed the value");
    return 0;
  }
  // What was written reads back, rounded in an integer slot.
  if (std::isfinite(number)) {
    std::optional<double> after = replay::read_slot(core_library(), written, path);
    check(after.has_value(), "a written slot does not read back");
    check(*after == number || *after == std::nearbyint(number),
          "a written slot reads back another number");
  }
  if (std::isfinite(number)) {
    velko::json_text::to_json(written);  // throws for a number that is not finite
  }
  return 0;
}
