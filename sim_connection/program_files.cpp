#include "sim_connection/program_files.h"

#ifndef VELKO_PRIVATE_DIR
#define VELKO_PRIVATE_DIR "lib/velko"
#endif

namespace velko::sim_connection {

namespace fs = std::filesystem;

std::vector<fs::path> program_file_dirs(const fs::path& bin_dir) {
  return {bin_dir, (bin_dir.parent_path() / VELKO_PRIVATE_DIR).lexically_normal()};
}

std::optional<fs::path> find_program_file(std::string_view name) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  for (const fs::path& dir : program_file_dirs(self.parent_path())) {
    fs::path candidate = dir / name;
    if (fs::is_regular_file(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

}  // namespace velko::sim_connection
