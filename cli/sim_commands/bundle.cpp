#include "cli/sim_commands/bundle.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace velko::sim_commands {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 512;

void put_octal(char* field, std::size_t width, std::uint64_t value) {
  std::snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
                static_cast<unsigned long long>(value));
}

// A ustar header with fixed mode, owner and time, so archives depend on content only.
std::array<char, kBlock> header(const std::string& name, std::uint64_t size, bool executable) {
  std::array<char, kBlock> block{};
  std::string prefix;
  std::string base = name;
  if (base.size() > 100) {
    auto cut = name.rfind('/', 155);
    if (cut == std::string::npos || name.size() - cut - 1 > 100) {
      throw std::runtime_error("the bundle cannot hold the path " + name + " (too long)");
    }
    prefix = name.substr(0, cut);
    base = name.substr(cut + 1);
  }
  std::memcpy(block.data(), base.data(), base.size());
  put_octal(block.data() + 100, 8, executable ? 0755 : 0644);
  put_octal(block.data() + 108, 8, 0);
  put_octal(block.data() + 116, 8, 0);
  put_octal(block.data() + 124, 12, size);
  put_octal(block.data() + 136, 12, 0);
  std::memset(block.data() + 148, ' ', 8);
  block[156] = '0';
  std::memcpy(block.data() + 257, "ustar", 6);
  std::memcpy(block.data() + 263, "00", 2);
  std::memcpy(block.data() + 345, prefix.data(), prefix.size());
  unsigned checksum = 0;
  for (char c : block) checksum += static_cast<unsigned char>(c);
  std::snprintf(block.data() + 148, 8, "%06o", checksum);
  block[155] = ' ';
  return block;
}

bool hidden(const fs::path& relative) {
  for (const auto& part : relative) {
    std::string text = part.string();
    if (!text.empty() && text[0] == '.') return true;
  }
  return false;
}

}  // namespace

void pack_bundle(const std::string& directory, const std::string& archive) {
  fs::path root(directory);
  if (!fs::is_directory(root)) {
    throw std::runtime_error(directory +
                             " is not a directory (a sim is published from its directory)");
  }
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    fs::path relative = fs::relative(it->path(), root);
    if (hidden(relative)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) files.push_back(relative.generic_string());
  }
  std::sort(files.begin(), files.end());

  std::ofstream out(archive, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write the bundle " + archive);
  std::uint64_t total = 0;
  std::vector<char> buffer(1 << 20);
  for (const auto& name : files) {
    fs::path path = root / name;
    std::uint64_t size = fs::file_size(path);
    total += size;
    if (total > kMaxBundleBytes) {
      throw std::runtime_error("the sim directory " + directory +
                               " holds more than 1 GiB; "
                               "keep only what the sim needs in it");
    }
    bool executable = (fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none;
    auto block = header(name, size, executable);
    out.write(block.data(), block.size());
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::uint64_t left = size;
    while (left > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      in.read(buffer.data(), static_cast<std::streamsize>(n));
      if (static_cast<std::size_t>(in.gcount()) != n) {
        throw std::runtime_error(path.string() + " changed while it was packed");
      }
      out.write(buffer.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
    std::size_t pad = (kBlock - size % kBlock) % kBlock;
    out.write(std::string(pad, '\0').data(), static_cast<std::streamsize>(pad));
  }
  std::string end(2 * kBlock, '\0');
  out.write(end.data(), static_cast<std::streamsize>(end.size()));
  out.flush();
  if (!out) throw std::runtime_error("cannot write the bundle " + archive);
}

}  // namespace velko::sim_commands
