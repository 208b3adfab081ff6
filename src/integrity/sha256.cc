#include "integrity/sha256.h"

#include <openssl/evp.h>

#include <memory>
#include <new>

#include "platform/files.h"

namespace integrity {
namespace {

// Large enough that a read costs little beside the hashing of what it brought, small enough to
// stay in the core's cache between the read that fills it and the hash that consumes it. Reads
// of 16 KiB to 1 MiB measured the same on the development machine: the hashing dominates
// (bench/RESULTS.md, case 8).
constexpr std::size_t kReadBlockSize = 256 * 1024;

// The implementation is looked up once: the lookup by name takes locks and is measurable over
// a thousand small files.
const EVP_MD* Sha256Method() {
  static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return method;
}

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Sha256Digest Sha256OfBuffer(const void* data, std::size_t length) {
  Sha256Digest digest{};
  static const unsigned char kNothing = 0;
  // libcrypto fails only when it cannot allocate; its one-shot call needs none for SHA-256.
  EVP_Digest(length == 0 ? &kNothing : data, length, digest.data(), nullptr, Sha256Method(),
             nullptr);
  return digest;
}

Sha256Hasher::~Sha256Hasher() {
  EVP_MD_CTX_free(context_);
}

bool Sha256Hasher::Start() {
  if (context_ == nullptr && !spent_) {
    context_ = EVP_MD_CTX_new();
    if (context_ == nullptr || Sha256Method() == nullptr ||
        EVP_DigestInit_ex(context_, Sha256Method(), nullptr) != 1) {
      spent_ = true;
    }
  }
  return !spent_;
}

void Sha256Hasher::Update(const void* data, std::size_t length) {
  length_ += length;
  if (Start() && length != 0 && EVP_DigestUpdate(context_, data, length) != 1) spent_ = true;
}

bool Sha256Hasher::Finish(Sha256Digest* digest) {
  if (!Start()) return false;
  spent_ = true;
  Sha256Digest result{};
  if (EVP_DigestFinal_ex(context_, result.data(), nullptr) != 1) return false;
  *digest = result;
  return true;
}

bool Sha256OfFile(const char* path, Sha256Digest* digest, std::uint64_t* size) {
  if (path == nullptr || digest == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  PlatformFile file;
  if (!file.Open(path, PlatformFile::Mode::kRead)) return false;
  file.AdviseSequentialRead();
  Sha256Hasher hasher;
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kReadBlockSize]);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(block.get(), kReadBlockSize, &got)) return false;
    if (got == 0) break;
    hasher.Update(block.get(), got);
  }
  Sha256Digest result{};
  if (!hasher.Finish(&result)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *digest = result;
  if (size != nullptr) *size = hasher.length();
  return true;
}

std::string Sha256ToHex(const Sha256Digest& digest) {
  std::string hex(2 * digest.size(), '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  return hex;
}

bool Sha256FromHex(std::string_view hex, Sha256Digest* digest) {
  Sha256Digest result{};
  if (digest == nullptr || hex.size() != 2 * result.size()) return false;
  for (std::size_t i = 0; i < result.size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    result[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  *digest = result;
  return true;
}

}  // namespace integrity
