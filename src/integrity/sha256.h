// SHA-256 (FIPS 180-4) of buffers and files, through OpenSSL's libcrypto, which uses the CPU's
// SHA instructions where there are any; and the digest's text form, 64 lower-case hexadecimal
// digits as sha256sum writes it.
//
// All functions are re-entrant and may run on any thread at once. None of them logs.
#ifndef FILEREPOSITORY_INTEGRITY_SHA256_H_
#define FILEREPOSITORY_INTEGRITY_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace integrity {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `length` bytes (the data is not read when `length` is 0).
Sha256Digest Sha256OfBuffer(const void* data, std::size_t length);

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
