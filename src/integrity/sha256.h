// SHA-256 (FIPS 180-4) of buffers, of files and of bytes given piece by piece, through OpenSSL's
// libcrypto, which uses the CPU's SHA instructions where there are any; and the digest's text
// form, 64 lower-case hexadecimal digits as sha256sum writes it.
//
// All functions are re-entrant and may run on any thread at once; a Sha256Hasher belongs to one
// thread at a time. None of them logs.
#ifndef FILEREPOSITORY_INTEGRITY_SHA256_H_
#define FILEREPOSITORY_INTEGRITY_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // libcrypto's EVP_MD_CTX

namespace integrity {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `length` bytes (the data is not read when `length` is 0).
Sha256Digest Sha256OfBuffer(const void* data, std::size_t length);

// The digest of bytes that come in pieces (a download as it arrives). Cheap to make: libcrypto's
// state is set up at the first piece.
class Sha256Hasher {
 public:
  Sha256Hasher() = default;
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  // Adds the next `length` bytes (the data is not read when `length` is 0).
  void Update(const void* data, std::size_t length);
  // How many bytes were added since the start.
  std::uint64_t length() const { return length_; }
  // The digest of every byte added since the start. False (*digest untouched) when libcrypto
  // failed on the way, or when called a second time: a hasher gives one digest.
  bool Finish(Sha256Digest* digest);

 private:
  bool Start();  // sets libcrypto's state up at the first use; false once spent

  evp_md_ctx_st* context_ = nullptr;
  bool spent_ = false;  // libcrypto failed, or Finish was called
  std::uint64_t length_ = 0;
};

// The digest of a regular file's bytes, read from start to end in large blocks, and the number of
// bytes it read (the file's size, unless it changed meanwhile). Memory stays constant, whatever
// the file's size.
//   - true: *digest and *size set;
//   - false: the file does not open (last error 2 or 3; a directory or anything but a regular
//     file: 5), a read fails (last error the reason), or the hash cannot be set up (last error
//     ERROR_NOT_ENOUGH_MEMORY); *digest and *size untouched.
// A null `path` or `digest` fails with ERROR_INVALID_PARAMETER; `size` may be null.
bool Sha256OfFile(const char* path, Sha256Digest* digest, std::uint64_t* size);

// 64 lower-case hexadecimal digits.
std::string Sha256ToHex(const Sha256Digest& digest);
// Exactly 64 lower-case hexadecimal digits into a digest; false for anything else (upper-case
// digits included), *digest then untouched.
bool Sha256FromHex(std::string_view hex, Sha256Digest* digest);

}  // namespace integrity

#endif  // FILEREPOSITORY_INTEGRITY_SHA256_H_
