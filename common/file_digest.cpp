#include "common/file_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace velko {

namespace {

// Bytes read from a file at a time.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

// Closes a file descriptor when it goes out of scope.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { ::close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string sha256_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::filesystem::filesystem_error("Could not open the file to hash it", path,
                                            std::error_code(errno, std::system_category()));
  }
  FileCloser closer(fd);

  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("could not start a SHA-256 digest");
  }
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunkBytes]);
  for (;;) {
    ssize_t n = ::read(fd, chunk.get(), kChunkBytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::filesystem::filesystem_error("Could not read the file to hash it", path,
                                              std::error_code(errno, std::system_category()));
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.get(), static_cast<std::size_t>(n)) != 1) {
      throw std::runtime_error("could not compute a SHA-256 digest");
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    throw std::runtime_error("could not compute a SHA-256 digest");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex;
}

}  // namespace velko
