// Signed manifests of a definitions set, made by a publisher with standard tools only:
//
//   - the manifest, in the format sha256sum writes: one line per file, "<64 lower-case hex
//     digits><two spaces><name>" ended by LF or CR LF, naming every file of the set and the
//     trigger file itself (sha256sum's binary marker, " *" in place of the second space, is
//     accepted too);
//   - its signature, as `minisign -Sm MANIFEST` writes it: Ed25519 over the BLAKE2b-512 hash of
//     the manifest (algorithm "ED", minisign's default) or over the manifest itself ("Ed", its
//     legacy form), and a second signature over the first and the trusted comment;
//   - the set's version: the number after "timestamp:" in the trusted comment, the signing time
//     that minisign writes by default (a publisher may give `-t "timestamp:<seconds> ..."`).
//
// The module does no I/O: callers hand it texts they read or downloaded and digests they made
// (integrity/sha256.h). Every function is re-entrant, and every input may be hostile: malformed
// text is refused with a reason, never read out of bounds. Ed25519 and BLAKE2b come from
// libsodium.
//
// A verified set is used this way:
//   1. the configured keys: ParsePublicKey for each (a bare "RW..." line or a .pub file's text);
//   2. VerifyManifest(manifest text, signature text, keys): signature, key id, trusted comment,
//      version, then the manifest's entries (a missing signature file is the caller's to report,
//      as Verdict::kNoSignature);
//   3. CheckVersion against the version installed before;
//   4. Manifest::Check for the trigger file as downloaded, for every name the trigger file lists
//      and for every file fetched or installed.
// Each step's Outcome names the reason of a refusal (Verdict) and says it in words (detail).
#ifndef FILEREPOSITORY_INTEGRITY_SIGNED_MANIFEST_H_
#define FILEREPOSITORY_INTEGRITY_SIGNED_MANIFEST_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "integrity/sha256.h"

namespace integrity {

// Why a set, or a step of its check, is refused. Every value but kOk is a distinct refusal.
enum class Verdict {
  kOk,
  kNoSignature,         // the signature file is missing (reported by the caller, which fetches)
  kMalformedSignature,  // not a signature file as minisign writes it
  kUnknownKey,          // signed with a key that is not configured
  kBadSignature,        // a signature (over the manifest or the trusted comment) does not verify
  kNoVersion,           // the trusted comment holds no "timestamp:<seconds>"
  kMalformedManifest,   // not a manifest in sha256sum's format, or one beyond the caps
  kNotInManifest,       // a name (the trigger file's or a listed file's) the manifest lacks
  kDigestMismatch,      // a file's SHA-256 differs from the manifest's
  kOlderThanInstalled,  // a validly signed set older than the installed one
  kMalformedKey,        // a configured public key that is not minisign's
};

// A short fixed name for the verdict, for logs and messages: "bad signature", "unknown key", ...
const char* VerdictName(Verdict verdict);

// The result of a step: the verdict, and for a refusal a one-line detail in words that names
// what was refused and why (key ids, names, versions; hostile text in it is cut short and its
// control bytes are shown escaped).
struct Outcome {
  Verdict verdict = Verdict::kOk;
  std::string detail;

  bool ok() const { return verdict == Verdict::kOk; }
};

// A step's outcome with its value; the value is meaningful only when ok().
template <typename T>
struct Checked {
  Outcome outcome;
  T value{};

  bool ok() const { return outcome.ok(); }
};

using KeyId = std::array<std::uint8_t, 8>;

// A minisign Ed25519 public key.
struct PublicKey {
  KeyId id{};
  std::array<std::uint8_t, 32> key{};
};

// The key id as minisign prints it (in `minisign -V` and in a .pub file's comment): the 8 stored
// bytes read as a little-endian number, in upper-case hexadecimal; always 16 digits here, where
// minisign leaves out leading zeros (its "8CCC59BEDF0AC49" is "08CCC59BEDF0AC49").
std::string KeyIdText(const KeyId& id);

// A public key from its text: the base64 line that `minisign -G` prints ("RW..."), or a .pub
// file's text ("untrusted comment: ..." line, then that line). Line ends LF or CR LF; blank
// lines after the key are allowed, anything else is not (a second key in the text included, so
// that none is dropped without a word). Refusal: kMalformedKey.
Checked<PublicKey> ParsePublicKey(std::string_view text);

// A signature file as minisign writes it: four lines, LF or CR LF, the last one's line end
// optional, blank lines after it allowed.
//   "untrusted comment: <anything>"
//   base64 of "Ed" or "ED", the 8-byte key id and the 64-byte signature
//   "trusted comment: <text>"
//   base64 of the 64-byte signature over the first signature's bytes and <text>
struct SignatureFile {
  bool prehashed = false;  // "ED": the signed message is the BLAKE2b-512 hash of the manifest
  KeyId keyId{};
  std::array<std::uint8_t, 64> signature{};
  std::string trustedComment;  // <text>, without the prefix and the line end
  std::array<std::uint8_t, 64> globalSignature{};
};

// Signature files above this size are refused unread: two lines of base64 and two comments of a
// line each need far less.
inline constexpr std::size_t kMaxSignatureFileBytes = 16 * 1024;

// Refusal: kMalformedSignature.
Checked<SignatureFile> ParseSignatureFile(std::string_view text);

// What a verified signature tells.
struct SignedVersion {
  KeyId keyId{};              // the key that signed
  std::uint64_t version = 0;  // from the trusted comment
  std::string trustedComment;
};

// Verifies `message` against a parsed signature file and a list of trusted keys (several keys
// allow a key rotation: a set signed by any of them is accepted). In this order: the signature's
// key id must be one of the keys' (kUnknownKey; an empty list knows no key); the signature must
// verify over the message, or over its BLAKE2b-512 hash for "ED" (kBadSignature); the global
// signature must verify over the signature and the trusted comment (kBadSignature); the trusted
// comment must carry the version (kNoVersion).
Checked<SignedVersion> VerifySignature(std::string_view message, const SignatureFile& signature,
                                       std::span<const PublicKey> keys);

// The version in a trusted comment: the decimal digits after the first "timestamp:" that starts
// the comment or follows a space or a tab, ending at the comment's end, a space or a tab. No such
// token, no digit, another byte after the digits or a number above 2^64 - 1: kNoVersion.
Checked<std::uint64_t> VersionOfTrustedComment(std::string_view comment);

// A validly signed set must not be older than the installed one: kOlderThanInstalled when
// `signedVersion` is below `installedVersion` (the same version is accepted: the same set again).
Outcome CheckVersion(std::uint64_t signedVersion, std::uint64_t installedVersion);

// Caps of a manifest: larger texts and more entries are refused (kMalformedManifest).
inline constexpr std::size_t kMaxManifestBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxManifestEntries = 100000;

// The entries of a manifest: file name (exact, byte-wise) to SHA-256.
class Manifest {
 public:
  using Entries = std::map<std::string, Sha256Digest>;

  Manifest() = default;
  explicit Manifest(Entries entries) : entries_(std::move(entries)) {}

  // The text in sha256sum's format: "<hex>  <name>\n" per entry, names in byte order. Parse
  // reads it back to the same entries when every name is one Parse accepts.
  std::string Format() const;

  const Entries& entries() const { return entries_; }
  // The listed digest, or null when the name is not listed.
  const Sha256Digest* Find(const std::string& name) const;
  // kNotInManifest when `name` is not listed, kDigestMismatch when its digest differs.
  Outcome Check(const std::string& name, const Sha256Digest& digest) const;

 private:
  Entries entries_;
};

// A manifest's text. Each line: 64 lower-case hexadecimal digits (upper-case digits are refused:
// sha256sum and the manifest command write lower case, and one spelling of a digest is one less
// way for two texts to mean the same), a space, a space or '*', and the name, up to the line end
// (LF or CR LF; the last line's is optional). Refused (kMalformedManifest): any other line, an
// empty line, a line sha256sum escaped (it begins with '\': the name holds a backslash, CR or
// LF), an empty name, a name holding '/' (a path, not a file of the set), CR or NUL, a name
// listed twice, more than kMaxManifestEntries entries or more than kMaxManifestBytes bytes. An
// empty text is a manifest without entries.
Checked<Manifest> ParseManifest(std::string_view text);

// The manifest that a verified signature vouches for.
struct VerifiedManifest {
  Manifest manifest;
  KeyId keyId{};
  std::uint64_t version = 0;
};

// The whole check of a downloaded manifest and its signature file: ParseSignatureFile,
// VerifySignature over the manifest's bytes as they are, then ParseManifest; the first refusal
// wins (so a manifest altered after signing is kBadSignature, not kMalformedManifest). Only a
// manifest above kMaxManifestBytes is refused first (kMalformedManifest), before it is hashed.
Checked<VerifiedManifest> VerifyManifest(std::string_view manifestText,
                                         std::string_view signatureText,
                                         std::span<const PublicKey> keys);

}  // namespace integrity

#endif  // FILEREPOSITORY_INTEGRITY_SIGNED_MANIFEST_H_
