#include "common/file_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "common/file_descriptor.h"
#include "common/shared_library.h"

namespace velko {

namespace {

// Bytes read from a file at a time.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

// The libcrypto functions a digest needs. libcrypto is loaded when the first file is hashed:
// most commands hash nothing, and loading it runs its processor probes.
struct Crypto {
  EVP_MD_CTX* (*md_ctx_new)();
  void (*md_ctx_free)(EVP_MD_CTX* context);
  const EVP_MD* (*sha256)();
  int (*digest_init_ex)(EVP_MD_CTX* context, const EVP_MD* type, ENGINE* engine);
  int (*digest_update)(EVP_MD_CTX* context, const void* data, std::size_t count);
  int (*digest_final_ex)(EVP_MD_CTX* context, unsigned char* digest, unsigned int* size);
};

#ifndef VELKO_CRYPTO_SONAME
#define VELKO_CRYPTO_SONAME "libcrypto.so.3"
#endif

Crypto load_crypto() {
  SharedLibrary library(VELKO_CRYPTO_SONAME, "libssl3");
  Crypto crypto{};
  library.resolve("EVP_MD_CTX_new", crypto.md_ctx_new);
  library.resolve("EVP_MD_CTX_free", crypto.md_ctx_free);
  library.resolve("EVP_sha256", crypto.sha256);
  library.resolve("EVP_DigestInit_ex", crypto.digest_init_ex);
  library.resolve("EVP_DigestUpdate", crypto.digest_update);
  library.resolve("EVP_DigestFinal_ex", crypto.digest_final_ex);
  return crypto;
}

const Crypto& crypto() {
  static const Crypto loaded = load_crypto();
  return loaded;
}

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { crypto().md_ctx_free(context); }
};

}  // namespace

std::string sha256_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::filesystem::filesystem_error("Could not open the file to hash it", path,
                                            std::error_code(errno, std::system_category()));
  }
  FileDescriptor closer(fd);

  const Crypto& evp = crypto();
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(evp.md_ctx_new());
  if (!context || evp.digest_init_ex(context.get(), evp.sha256(), nullptr) != 1) {
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
    if (evp.digest_update(context.get(), chunk.get(), static_cast<std::size_t>(n)) != 1) {
      throw std::runtime_error("could not compute a SHA-256 digest");
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (evp.digest_final_ex(context.get(), digest, &length) != 1) {
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
