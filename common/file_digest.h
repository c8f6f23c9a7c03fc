// The digest of a file's bytes, for the bundle hash of a sim build.
#pragma once

#include <string>

namespace velko {

// The lowercase hexadecimal SHA-256 of a file's bytes, read in 1 MiB chunks. Throws
// std::filesystem::filesystem_error when the file can't be opened or read.
std::string sha256_file(const std::string& path);

}  // namespace velko
