#include "main/guidance/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include <boost/json/value.hpp>

#include "common/file_descriptor.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/printable.h"
#include "common/unicode.h"
#include "main/guidance/reward_file.h"

namespace velko::guidance {

namespace {

// A path as messages show it: absolute, and escaped (printable_name).
std::string shown(std::string_view path) { return printable_name(absolute_form(path)); }

[[noreturn]] void fail(const std::string& message) { throw GuidanceManifestError(message); }

[[noreturn]] void system_failure(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// A text that the file system can take as a path (no NUL character inside).
bool usable_path(std::string_view path) { return path.find('\0') == std::string_view::npos; }

// True when `path` names an existing regular file (symbolic links followed). Missing entries,
// and paths through something that is not a directory, are "not a file"; other failures of the
// file system (no permission to search a directory, a loop of links) throw when `strict`.
bool is_regular_file(const std::string& path, bool strict) {
  if (!usable_path(path)) return false;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return S_ISREG(info.st_mode);
  int error = errno;
  if (!strict || error == ENOENT || error == ENOTDIR) return false;
  system_failure(error, "cannot look for " + shown(path));
}

// What stands at `path` (links followed) when it is there and is not a regular file, such as
// "a directory"; empty otherwise.
std::string non_file_kind(const std::string& path) {
  struct stat info {};
  if (!usable_path(path) || ::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return "";
  return file_kind(info.st_mode);
}

std::string size_limit_message(const std::string& directory) {
  return std::string(MANIFEST) + " in " + directory + " is larger than the size limit of " +
         std::to_string(MAX_MANIFEST_BYTES) + " bytes (" +
         std::to_string(MAX_MANIFEST_BYTES >> 20) + " MiB)";
}

std::string hex_byte(unsigned char byte) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02x", byte);
  return buffer;
}

// Reads the whole manifest file, refusing one larger than MAX_MANIFEST_BYTES. Returns nothing
// when the file turned out not to be a regular file (or vanished) after the first test.
std::optional<std::string> read_manifest_text(const std::string& file,
                                              const std::string& directory) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) return std::nullopt;
    system_failure(error, "cannot open " + shown(file));
  }
  FileDescriptor guard(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) system_failure(errno, "cannot read " + shown(file));
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  // The size is tested before anything is read, and again while reading in case it grows.
  if (info.st_size > static_cast<off_t>(MAX_MANIFEST_BYTES)) fail(size_limit_message(directory));
  std::string text;
  text.reserve(static_cast<std::size_t>(info.st_size));
  std::vector<char> buffer(64 * 1024);
  while (true) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      system_failure(errno, "cannot read " + shown(file));
    }
    if (n == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
    if (text.size() > MAX_MANIFEST_BYTES) fail(size_limit_message(directory));
  }
  return text;
}

}  // namespace

std::string types_list() {
  std::string out;
  for (std::string_view type : TYPES) {
    if (!out.empty()) out += ", ";
    out += type;
  }
  return out;
}

bool is_type(std::string_view type) {
  for (std::string_view known : TYPES) {
    if (known == type) return true;
  }
  return false;
}

std::string join_path(std::string_view directory, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  if (directory.empty()) return std::string(name);
  std::string out(directory);
  if (out.back() != '/') out.push_back('/');
  out += name;
  return out;
}

std::string absolute_form(std::string_view path) {
  std::string full;
  if (path.empty() || path.front() != '/') {
    full = std::filesystem::current_path().string();
    full.push_back('/');
  }
  full += path;
  std::vector<std::string_view> segments;
  std::string_view rest(full);
  while (!rest.empty()) {
    auto cut = rest.find('/');
    std::string_view segment = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      continue;
    }
    segments.push_back(segment);
  }
  if (segments.empty()) return "/";
  std::string out;
  for (std::string_view segment : segments) {
    out.push_back('/');
    out += segment;
  }
  return out;
}

GuidanceManifest read_manifest(const std::string& path) {
  const std::string manifest_file = join_path(path, MANIFEST);
  const std::string manifest_name(MANIFEST);

  // 1. The manifest must be an existing regular file.
  auto missing = [&] {
    fail("No " + manifest_name + " in " + shown(path) + " (create one with `velko guidance new`)");
  };
  if (!is_regular_file(manifest_file, /*strict=*/true)) missing();
  std::optional<std::string> text = read_manifest_text(manifest_file, shown(path));
  if (!text) missing();

  // 2. It must be UTF-8 text holding one JSON document. Text that cannot be decoded is not a
  // manifest error: it passes to the caller as an ordinary error.
  if (auto bad = unicode::invalid_utf8_at(*text)) {
    throw std::runtime_error(manifest_name + " in " + shown(path) + " is not UTF-8 text (byte " +
                             hex_byte(static_cast<unsigned char>((*text)[*bad])) + " at offset " +
                             std::to_string(*bad) + ")");
  }
  boost::json::value document;
  try {
    document = json_text::parse(*text);
  } catch (const json_text::JsonError& error) {
    // The parse error stays attached as the cause.
    std::throw_with_nested(
        GuidanceManifestError(manifest_name + " is not valid JSON: " + error.what()));
  }

  // 3. One JSON object.
  const boost::json::object* object = document.if_object();
  if (!object) fail(manifest_name + " must be a JSON object");

  // 4. A name that is not blank.
  const boost::json::value* name_value = object->if_contains("name");
  std::string name;
  if (name_value && name_value->is_string()) name = unicode::trim(name_value->get_string());
  if (name.empty()) fail(manifest_name + " needs a non-empty \"name\"");

  // 5. One of the types, exactly.
  const boost::json::value* type_value = object->if_contains("type");
  if (!type_value || !type_value->is_string() || !is_type(type_value->get_string())) {
    fail(manifest_name + " \"type\" must be one of: " + types_list());
  }
  const std::string type(type_value->get_string());

  // 6. A reward is code: a file, no conditions.
  if (type == "reward") {
    if (object->contains("conditions")) {
      fail("A reward item is code: give it a \"file\", not \"conditions\"");
    }
    const boost::json::value default_file(DEFAULT_REWARD_FILE);
    const boost::json::value* file_value = object->if_contains("file");
    if (!file_value) file_value = &default_file;
    if (!file_value->is_string() ||
        !is_regular_file(join_path(path, file_value->get_string()), /*strict=*/false)) {
      // Something that is there but is not a file is named for what it is (an empty name
      // names nothing, not the item directory).
      std::string kind;
      if (file_value->is_string() && !file_value->get_string().empty()) {
        kind = non_file_kind(join_path(path, file_value->get_string()));
      }
      if (!kind.empty()) {
        fail("The reward file " + literal(*file_value) + " in " + shown(path) + " is " + kind +
             ", not a file");
      }
      fail("The reward file " + literal(*file_value) + " is not in " + shown(path));
    }
    return GuidanceManifest{std::move(name), type, std::nullopt,
                            std::string(file_value->get_string())};
  }

  // 7. Any other item: conditions, no file.
  if (object->contains("file")) {
    fail("Only a reward item has a \"file\"; a " + type + " has \"conditions\"");
  }
  const boost::json::value* conditions = object->if_contains("conditions");
  if (!conditions || !(conditions->is_object() || conditions->is_array())) {
    fail("A " + type + " item needs \"conditions\" (a condition or a list of them)");
  }
  return GuidanceManifest{std::move(name), type, *conditions, std::nullopt};
}

}  // namespace velko::guidance
