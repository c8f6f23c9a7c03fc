// read_manifest over any guidance.json: it returns a well-formed record or raises one of the
// errors it documents, and a record's conditions survive being written and read again.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/json_text.h"
#include "common/unicode.h"
#include "main/guidance/manifest.h"
#include "tests/fuzz/fuzz_support.h"

namespace guidance = velko::guidance;
using velko::fuzz::check;

namespace {

// An item directory that holds the default reward file and one in a sub-directory, removed
// with its contents when the process ends.
class ItemDirectory {
 public:
  ItemDirectory() {
    // In memory where there is such a file system: every input is written to the manifest.
    std::filesystem::path base = ::access("/dev/shm", W_OK) == 0
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    path_ = (base / "velko-manifest-fuzz-XXXXXX").string();
    if (!::mkdtemp(path_.data())) velko::fuzz::fail("mkdtemp failed");
    std::filesystem::create_directories(path_ + "/sub");
    std::ofstream(path_ + "/reward.py") << "def reward(): return 0\n";
    std::ofstream(path_ + "/sub/r.py") << "def reward(): return 0\n";
  }
  ~ItemDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& item_directory() {
  static const ItemDirectory directory;
  return directory.path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& directory = item_directory();
  {
    std::ofstream out(directory + "/guidance.json", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  guidance::GuidanceManifest manifest;
  try {
    manifest = guidance::read_manifest(directory);
  } catch (const guidance::GuidanceManifestError& error) {
    check(std::string_view(error.what()).starts_with("guidance.json ") ||
              std::string_view(error.what()).starts_with("A ") ||
              std::string_view(error.what()).starts_with("Only ") ||
              std::string_view(error.what()).starts_with("The reward file ") ||
              std::string_view(error.what()).starts_with("No guidance.json"),
          "a manifest error without one of the known messages");
    return 0;
  } catch (const std::system_error&) {
    return 0;
  } catch (const std::runtime_error& error) {
    // Text that is not UTF-8.
    check(
        velko::unicode::invalid_utf8_at(std::string_view(reinterpret_cast<const char*>(data), size))
            .has_value(),
        "an ordinary error for UTF-8 text");
    return 0;
  }
  check(!manifest.name.empty() && manifest.name == velko::unicode::trim(manifest.name),
        "the name is blank or untrimmed");
  check(guidance::is_type(manifest.type), "an unknown type");
  if (manifest.type == "reward") {
    check(!manifest.conditions && manifest.reward_file.has_value(), "a reward without its file");
  } else {
    check(manifest.conditions && !manifest.reward_file, "an item without conditions");
    check(manifest.conditions->is_object() || manifest.conditions->is_array(),
          "conditions that are neither a map nor a list");
    std::string written = velko::json_text::to_json(*manifest.conditions);
    check(velko::fuzz::same(velko::json_text::parse(written), *manifest.conditions),
          "the conditions change when written and read again");
  }
  return 0;
}
