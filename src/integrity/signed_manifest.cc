#include "integrity/signed_manifest.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace integrity {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kTimestampToken = "timestamp:";

// The algorithm names at the start of a decoded key or signature line.
constexpr std::array<std::uint8_t, 2> kLegacyAlgorithm = {'E', 'd'};
constexpr std::array<std::uint8_t, 2> kPrehashedAlgorithm = {'E', 'D'};

// The decoded lines: algorithm, key id, and the key or the signature.
constexpr std::size_t kKeyLineBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureLineBytes = 2 + 8 + 64;

// Hostile text shown in a detail is cut to this many bytes.
constexpr std::size_t kShownBytes = 80;

Outcome Refuse(Verdict verdict, std::string detail) {
  return Outcome{verdict, std::move(detail)};
}

// Text from a file, fit for a one-line detail: control bytes and bytes above 0x7E escaped, and
// cut short.
std::string Shown(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < kShownBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7E || byte == '\\') {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
    } else {
      shown += static_cast<char>(byte);
    }
  }
  if (text.size() > kShownBytes) shown += "...";
  return shown;
}

std::string Quoted(std::string_view text) {
  return "\"" + Shown(text) + "\"";
}

// The lines of a text, each without its line end (LF, or CR LF). A last line without a line end
// counts; the empty text after a final line end does not. Blank lines at the end are dropped
// when `dropTrailingBlank`.
std::vector<std::string_view> SplitLines(std::string_view text, bool dropTrailingBlank) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) {
      end = text.size();
    } else if (end > start && text[end - 1] == '\r') {
      --end;
    }
    lines.push_back(text.substr(start, end - start));
    start = next;
  }
  while (dropTrailingBlank && !lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Strict base64 (the standard alphabet, with padding, nothing else on the line) of exactly
// `bytes.size()` bytes.
bool DecodeBase64(std::string_view line, std::span<std::uint8_t> bytes) {
  // A longer line cannot decode to the size wanted; checking first keeps the work bounded.
  if (line.size() != sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL) - 1) {
    return false;
  }
  // libsodium reads any byte above 0x7F as '/': two texts would read as one key or signature.
  if (line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
      std::string_view::npos) {
    return false;
  }
  std::size_t decoded = 0;
  return sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &decoded,
                           nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
         decoded == bytes.size();
}

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

std::string KeyIdList(std::span<const PublicKey> keys) {
  if (keys.empty()) return "no key is configured";
  std::string list = "configured: ";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) list += ", ";
    list += KeyIdText(keys[i].id);
  }
  return list;
}

bool IsTokenSeparator(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk:
      return "verified";
    case Verdict::kNoSignature:
      return "no signature";
    case Verdict::kMalformedSignature:
      return "malformed signature";
    case Verdict::kUnknownKey:
      return "unknown key";
    case Verdict::kBadSignature:
      return "bad signature";
    case Verdict::kNoVersion:
      return "no version in the signature";
    case Verdict::kMalformedManifest:
      return "malformed manifest";
    case Verdict::kNotInManifest:
      return "not in the manifest";
    case Verdict::kDigestMismatch:
      return "SHA-256 mismatch";
    case Verdict::kOlderThanInstalled:
      return "older than installed";
    case Verdict::kMalformedKey:
      return "malformed public key";
  }
  return "unknown verdict";
}

std::string KeyIdText(const KeyId& id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = id.size(); i-- > 0;) {
    text += kHex[id[i] >> 4];
    text += kHex[id[i] & 0x0F];
  }
  return text;
}

Checked<PublicKey> ParsePublicKey(std::string_view text) {
  Checked<PublicKey> result;
  const std::vector<std::string_view> lines = SplitLines(text, /*dropTrailingBlank=*/true);
  std::string_view keyLine;
  if (lines.size() == 1 && !StartsWith(lines[0], kUntrustedPrefix)) {
    keyLine = lines[0];
  } else if (lines.size() == 2 && StartsWith(lines[0], kUntrustedPrefix)) {
    keyLine = lines[1];
  } else {
    result.outcome =
        Refuse(Verdict::kMalformedKey, lines.empty() ? "the public key is empty"
                                                     : "a public key is one line \"RW...\", or an "
                                                       "\"untrusted comment:\" line and that line");
    return result;
  }
  std::array<std::uint8_t, kKeyLineBytes> bytes{};
  if (!DecodeBase64(keyLine, bytes)) {
    result.outcome = Refuse(Verdict::kMalformedKey,
                            "the public key " + Quoted(keyLine) +
                                " is not the base64 of a minisign key (56 characters, \"RW...\")");
    return result;
  }
  if (!std::equal(kLegacyAlgorithm.begin(), kLegacyAlgorithm.end(), bytes.begin())) {
    result.outcome = Refuse(Verdict::kMalformedKey,
                            "the public key " + Quoted(keyLine) + " is not an Ed25519 key");
    return result;
  }
  std::copy_n(bytes.begin() + 2, result.value.id.size(), result.value.id.begin());
  std::copy_n(bytes.begin() + 10, result.value.key.size(), result.value.key.begin());
  return result;
}

Checked<SignatureFile> ParseSignatureFile(std::string_view text) {
  Checked<SignatureFile> result;
  auto refuse = [&](const std::string& why) {
    result.outcome = Refuse(Verdict::kMalformedSignature, "the signature file " + why);
    return result;
  };
  if (text.size() > kMaxSignatureFileBytes) {
    return refuse("is " + std::to_string(text.size()) + " bytes long, more than the " +
                  std::to_string(kMaxSignatureFileBytes) + " a signature file may have");
  }
  const std::vector<std::string_view> lines = SplitLines(text, /*dropTrailingBlank=*/true);
  if (lines.size() != 4) {
    return refuse("has " + std::to_string(lines.size()) + " lines, not the 4 minisign writes");
  }
  if (!StartsWith(lines[0], kUntrustedPrefix)) {
    return refuse("does not begin with \"untrusted comment: \"");
  }
  std::array<std::uint8_t, kSignatureLineBytes> bytes{};
  if (!DecodeBase64(lines[1], bytes)) {
    return refuse("holds no signature on line 2 (the base64 of 74 bytes): " + Quoted(lines[1]));
  }
  SignatureFile& signature = result.value;
  if (std::equal(kPrehashedAlgorithm.begin(), kPrehashedAlgorithm.end(), bytes.begin())) {
    signature.prehashed = true;
  } else if (!std::equal(kLegacyAlgorithm.begin(), kLegacyAlgorithm.end(), bytes.begin())) {
    return refuse("names the signature algorithm " +
                  Quoted({reinterpret_cast<const char*>(bytes.data()), 2}) +
                  ", neither \"ED\" nor \"Ed\"");
  }
  std::copy_n(bytes.begin() + 2, signature.keyId.size(), signature.keyId.begin());
  std::copy_n(bytes.begin() + 10, signature.signature.size(), signature.signature.begin());
  if (!StartsWith(lines[2], kTrustedPrefix)) {
    return refuse("does not carry \"trusted comment: \" on line 3");
  }
  signature.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
  if (!DecodeBase64(lines[3], signature.globalSignature)) {
    return refuse(
        "holds no signature of the trusted comment on line 4 (the base64 of 64 "
        "bytes): " +
        Quoted(lines[3]));
  }
  return result;
}

Checked<std::uint64_t> VersionOfTrustedComment(std::string_view comment) {
  Checked<std::uint64_t> result;
  auto refuse = [&](const std::string& why) {
    result.outcome =
        Refuse(Verdict::kNoVersion, "the trusted comment " + Quoted(comment) + " " + why);
    return result;
  };
  std::size_t at = 0;
  for (;; ++at) {
    at = comment.find(kTimestampToken, at);
    if (at == std::string_view::npos) return refuse("holds no \"timestamp:<seconds>\"");
    if (at == 0 || IsTokenSeparator(comment[at - 1])) break;
  }
  std::size_t end = at + kTimestampToken.size();
  std::uint64_t version = 0;
  const std::size_t digitsStart = end;
  for (; end < comment.size() && comment[end] >= '0' && comment[end] <= '9'; ++end) {
    const std::uint64_t digit = static_cast<std::uint64_t>(comment[end] - '0');
    if (version > (UINT64_MAX - digit) / 10) return refuse("holds a timestamp beyond 2^64 - 1");
    version = version * 10 + digit;
  }
  if (end == digitsStart || (end < comment.size() && !IsTokenSeparator(comment[end]))) {
    return refuse("holds no number of seconds after \"timestamp:\"");
  }
  result.value = version;
  return result;
}

Checked<SignedVersion> VerifySignature(std::string_view message, const SignatureFile& signature,
                                       std::span<const PublicKey> keys) {
  Checked<SignedVersion> result;
  const std::string id = KeyIdText(signature.keyId);
  const auto key = std::find_if(keys.begin(), keys.end(),
                                [&](const PublicKey& k) { return k.id == signature.keyId; });
  if (key == keys.end()) {
    result.outcome = Refuse(Verdict::kUnknownKey, "signed with key " + id + ", which is not " +
                                                      "a trusted key (" + KeyIdList(keys) + ")");
    return result;
  }
  if (!SodiumReady()) {
    result.outcome = Refuse(Verdict::kBadSignature, "libsodium could not be initialised");
    return result;
  }
  std::array<std::uint8_t, crypto_generichash_BYTES_MAX> hash{};
  const auto* signedBytes = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t signedLength = message.size();
  if (signature.prehashed) {
    crypto_generichash(hash.data(), hash.size(), signedBytes, signedLength, nullptr, 0);
    signedBytes = hash.data();
    signedLength = hash.size();
  }
  if (crypto_sign_verify_detached(signature.signature.data(), signedBytes, signedLength,
                                  key->key.data()) != 0) {
    result.outcome = Refuse(Verdict::kBadSignature,
                            "the signature by key " + id +
                                " does not match the manifest: the manifest was altered after "
                                "signing, or the signature belongs to another file");
    return result;
  }
  std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
  if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(),
                                  key->key.data()) != 0) {
    result.outcome =
        Refuse(Verdict::kBadSignature, "the trusted comment " + Quoted(signature.trustedComment) +
                                           " does not match its signature by key " + id +
                                           ": it was altered after signing");
    return result;
  }
  const Checked<std::uint64_t> version = VersionOfTrustedComment(signature.trustedComment);
  if (!version.ok()) {
    result.outcome = version.outcome;
    return result;
  }
  result.value = SignedVersion{signature.keyId, version.value, signature.trustedComment};
  return result;
}

Outcome CheckVersion(std::uint64_t signedVersion, std::uint64_t installedVersion) {
  if (signedVersion >= installedVersion) return Outcome{};
  return Refuse(Verdict::kOlderThanInstalled,
                "the signed set's version " + std::to_string(signedVersion) +
                    " is older than the installed set's " + std::to_string(installedVersion));
}

std::string Manifest::Format() const {
  std::string text;
  text.reserve(entries_.size() * 80);
  for (const auto& [name, digest] : entries_) {
    text += Sha256ToHex(digest);
    text += "  ";
    text += name;
    text += '\n';
  }
  return text;
}

const Sha256Digest* Manifest::Find(const std::string& name) const {
  const auto entry = entries_.find(name);
  return entry == entries_.end() ? nullptr : &entry->second;
}

Outcome Manifest::Check(const std::string& name, const Sha256Digest& digest) const {
  const Sha256Digest* listed = Find(name);
  if (listed == nullptr) {
    return Refuse(Verdict::kNotInManifest, Quoted(name) + " is not in the manifest");
  }
  if (*listed != digest) {
    return Refuse(Verdict::kDigestMismatch, Quoted(name) + " has the SHA-256 " +
                                                Sha256ToHex(digest) + ", the manifest lists " +
                                                Sha256ToHex(*listed));
  }
  return Outcome{};
}

Checked<Manifest> ParseManifest(std::string_view text) {
  Checked<Manifest> result;
  auto refuse = [&](const std::string& why) {
    result.outcome = Refuse(Verdict::kMalformedManifest, "the manifest" + why);
    return result;
  };
  if (text.size() > kMaxManifestBytes) {
    return refuse(" is " + std::to_string(text.size()) + " bytes long, more than the " +
                  std::to_string(kMaxManifestBytes) + " a manifest may have");
  }
  constexpr std::size_t kHexDigits = 64;
  Manifest::Entries entries;
  std::size_t number = 0;
  for (std::string_view line : SplitLines(text, /*dropTrailingBlank=*/false)) {
    const std::string where = "'s line " + std::to_string(++number);
    if (line.empty()) return refuse(where + " is empty");
    if (line[0] == '\\') {
      return refuse(where + " is escaped by sha256sum: its name holds a backslash or a line break");
    }
    Sha256Digest digest{};
    if (line.size() <= kHexDigits + 2 || !Sha256FromHex(line.substr(0, kHexDigits), &digest) ||
        line[kHexDigits] != ' ' || (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*')) {
      return refuse(where + " is not \"<64 lower-case hex digits>  <name>\": " + Quoted(line));
    }
    const std::string_view name = line.substr(kHexDigits + 2);
    if (name.find('/') != std::string_view::npos) {
      return refuse(where +
                    " names a path, not a file of the set (run sha256sum in the set's "
                    "directory): " +
                    Quoted(name));
    }
    if (name.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
      return refuse(where + " names a file holding a CR or NUL byte: " + Quoted(name));
    }
    if (entries.size() == kMaxManifestEntries) {
      return refuse(" has more than " + std::to_string(kMaxManifestEntries) + " entries");
    }
    if (!entries.emplace(name, digest).second) {
      return refuse(" names " + Quoted(name) + " twice (again on line " + std::to_string(number) +
                    ")");
    }
  }
  result.value = Manifest(std::move(entries));
  return result;
}

Checked<VerifiedManifest> VerifyManifest(std::string_view manifestText,
                                         std::string_view signatureText,
                                         std::span<const PublicKey> keys) {
  Checked<VerifiedManifest> result;
  // A manifest beyond the cap is refused before it is hashed.
  if (manifestText.size() > kMaxManifestBytes) {
    result.outcome = ParseManifest(manifestText).outcome;
    return result;
  }
  const Checked<SignatureFile> signature = ParseSignatureFile(signatureText);
  if (!signature.ok()) {
    result.outcome = signature.outcome;
    return result;
  }
  const Checked<SignedVersion> verified = VerifySignature(manifestText, signature.value, keys);
  if (!verified.ok()) {
    result.outcome = verified.outcome;
    return result;
  }
  Checked<Manifest> manifest = ParseManifest(manifestText);
  if (!manifest.ok()) {
    result.outcome = manifest.outcome;
    return result;
  }
  result.value.manifest = std::move(manifest.value);
  result.value.keyId = verified.value.keyId;
  result.value.version = verified.value.version;
  return result;
}

}  // namespace integrity
