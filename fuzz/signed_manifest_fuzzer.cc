// The readers of a signed set, as a hostile server or a careless administrator would hand them
// over: a minisign public key, a signature file and a manifest, in one input separated by two NUL
// bytes ("KEY\0\0SIGNATURE\0\0MANIFEST"; a missing part is empty). The seeds were signed by the
// minisign program with the key below, so mutations reach the signature checks too.
//
// Also checks: the whole check agrees with its steps taken one by one; an accepted signature file
// and an accepted manifest read the same with CR LF line ends; what a manifest accepts holds only
// names that can be written back, and its text form reads back to the same entries.
#include <sodium.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"

namespace {

using namespace integrity;

// The public key of the seeds (minisign -G -W), key id A93E9CAE634B7468.
constexpr std::string_view kSeedKey = "RWRodEtjrpw+qejCar9LqwpGz6FC9oXn6PQ2QyxFcbAKfVi6qzrbsvcG";

std::vector<std::string_view> Parts(std::string_view input) {
  constexpr std::string_view kSeparator("\0\0", 2);
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = input.find(kSeparator, start);
    if (end == std::string_view::npos || parts.size() == 2) {
      parts.push_back(input.substr(start));
      break;
    }
    parts.push_back(input.substr(start, end - start));
    start = end + kSeparator.size();
  }
  parts.resize(3);
  return parts;
}

std::string WithCrLf(std::string_view text) {
  std::string converted;
  for (char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return converted;
}

// A small model of the three texts' framing and of the manifest's lines, to judge what the
// readers return. The lines of a text: each ended by LF or CR LF, the last one's line end
// optional; blank lines at the end dropped when `dropTrailingBlank`.
std::vector<std::string> Lines(std::string_view text, bool dropTrailingBlank) {
  std::istringstream in{std::string(text)};
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
  }
  while (dropTrailingBlank && !lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// libsodium 1.0.18 reads any byte above 0x7F of a base64 text as '/'.
std::string AsSodiumReads(std::string line) {
  for (char& c : line) c = static_cast<unsigned char>(c) > 0x7F ? '/' : c;
  return line;
}

bool Matches(const std::string& line, const char* pattern) {
  return std::regex_match(AsSodiumReads(line), std::regex(pattern));
}

std::string Base64(std::string_view prefix, std::span<const std::uint8_t> a,
                   std::span<const std::uint8_t> b = {}) {
  std::vector<std::uint8_t> bytes(prefix.begin(), prefix.end());
  bytes.insert(bytes.end(), a.begin(), a.end());
  bytes.insert(bytes.end(), b.begin(), b.end());
  std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

// A key is "RW..." (the base64 of "Ed", id and key), alone or after an untrusted comment.
void CheckKeyModel(std::string_view text, const Checked<PublicKey>& key) {
  const std::vector<std::string> lines = Lines(text, true);
  const bool commented = lines.size() == 2 && lines[0].starts_with("untrusted comment: ");
  const bool framed =
      commented || (lines.size() == 1 && !lines[0].starts_with("untrusted comment: "));
  const std::string line = framed ? lines.back() : "";
  FUZZ_CHECK(key.ok() == (framed && Matches(line, "RW[Q-T][A-Za-z0-9+/]{53}")));
  if (key.ok()) FUZZ_CHECK(Base64("Ed", key.value.id, key.value.key) == AsSodiumReads(line));
}

// A signature file: four lines at most 16 KiB, the second and fourth the strict base64 of 74
// bytes ("ED" or "Ed" first) and of 64 bytes.
void CheckSignatureModel(std::string_view text, const Checked<SignatureFile>& signature) {
  const std::vector<std::string> lines = Lines(text, true);
  const bool framed = text.size() <= kMaxSignatureFileBytes && lines.size() == 4 &&
                      lines[0].starts_with("untrusted comment: ") &&
                      Matches(lines[1], "R[UW][Q-T][A-Za-z0-9+/]{95}[AEIMQUYcgkosw048]=") &&
                      lines[2].starts_with("trusted comment: ") &&
                      Matches(lines[3], "[A-Za-z0-9+/]{85}[AQgw]==");
  FUZZ_CHECK(signature.ok() == framed);
  if (!signature.ok()) return;
  const SignatureFile& value = signature.value;
  FUZZ_CHECK(Base64(value.prehashed ? "ED" : "Ed", value.keyId, value.signature) ==
             AsSodiumReads(lines[1]));
  FUZZ_CHECK("trusted comment: " + value.trustedComment == lines[2]);
  FUZZ_CHECK(Base64("", value.globalSignature) == AsSodiumReads(lines[3]));
}

// The version: the digits of the first "timestamp:" token, up to a blank or the end.
void CheckVersionModel(std::string_view comment, const Checked<std::uint64_t>& version) {
  const std::string text(comment);
  std::smatch m;
  std::optional<std::uint64_t> expected;
  if (std::regex_search(text, m, std::regex("(^|[ \\t])timestamp:([^ \\t]*)"))) {
    std::uint64_t value = 0;
    const std::string digits = m[2];
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc() && end == digits.data() + digits.size()) expected = value;
  }
  FUZZ_CHECK(version.ok() == expected.has_value());
  if (version.ok()) FUZZ_CHECK(version.value == *expected);
}

// A manifest: lines of 64 lower-case hex digits, a space, a space or '*', and a name without
// '/', CR or NUL, listed once.
void CheckManifestModel(std::string_view text, const Checked<Manifest>& manifest) {
  std::map<std::string, std::string> expected;
  bool valid = true;
  for (const std::string& line : Lines(text, false)) {
    std::smatch m;
    valid = valid && std::regex_match(line, m, std::regex("([0-9a-f]{64}) [ *]([\\s\\S]+)")) &&
            m[2].str().find_first_of(std::string_view("/\r\0", 3)) == std::string::npos &&
            expected.emplace(m[2], m[1]).second;
  }
  FUZZ_CHECK(manifest.ok() == valid);
  if (!manifest.ok()) return;
  FUZZ_CHECK(manifest.value.entries().size() == expected.size());
  for (const auto& [name, digest] : manifest.value.entries()) {
    FUZZ_CHECK(expected.count(name) != 0 && expected[name] == Sha256ToHex(digest));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts =
      Parts(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view keyText = parts[0], signatureText = parts[1], manifestText = parts[2];

  std::vector<PublicKey> keys = {ParsePublicKey(kSeedKey).value};
  FUZZ_CHECK(ParsePublicKey(kSeedKey).ok());
  const Checked<PublicKey> key = ParsePublicKey(keyText);
  FUZZ_CHECK(key.ok() || key.outcome.verdict == Verdict::kMalformedKey);
  CheckKeyModel(keyText, key);
  if (key.ok()) keys.push_back(key.value);

  const Checked<SignatureFile> signature = ParseSignatureFile(signatureText);
  FUZZ_CHECK(signature.ok() || signature.outcome.verdict == Verdict::kMalformedSignature);
  FUZZ_CHECK(signature.ok() || !signature.outcome.detail.empty());
  CheckSignatureModel(signatureText, signature);
  if (signature.ok()) {
    const std::string crlf = WithCrLf(signatureText);
    if (signatureText.find('\r') == std::string_view::npos &&
        crlf.size() <= kMaxSignatureFileBytes) {
      const Checked<SignatureFile> again = ParseSignatureFile(crlf);
      FUZZ_CHECK(again.ok() && again.value.signature == signature.value.signature &&
                 again.value.trustedComment == signature.value.trustedComment);
    }
    const Checked<std::uint64_t> version = VersionOfTrustedComment(signature.value.trustedComment);
    FUZZ_CHECK(version.ok() || version.outcome.verdict == Verdict::kNoVersion);
    CheckVersionModel(signature.value.trustedComment, version);
  }
  CheckVersionModel(signatureText, VersionOfTrustedComment(signatureText));

  const Checked<Manifest> manifest = ParseManifest(manifestText);
  FUZZ_CHECK(manifest.ok() || manifest.outcome.verdict == Verdict::kMalformedManifest);
  if (manifestText.size() <= kMaxManifestBytes) CheckManifestModel(manifestText, manifest);
  if (manifest.ok()) {
    const Manifest::Entries& entries = manifest.value.entries();
    for (const auto& [name, digest] : entries) FUZZ_CHECK(manifest.value.Check(name, digest).ok());
    const std::string formatted = manifest.value.Format();
    const Checked<Manifest> reread = ParseManifest(formatted);
    FUZZ_CHECK(reread.ok() && reread.value.entries() == entries);
    FUZZ_CHECK(reread.value.Format() == formatted);
    if (manifestText.find('\r') == std::string_view::npos) {
      const Checked<Manifest> crlf = ParseManifest(WithCrLf(manifestText));
      FUZZ_CHECK(crlf.ok() && crlf.value.entries() == entries);
    }
  }

  // The whole check is its steps in order, the first refusal winning.
  const Checked<VerifiedManifest> verified = VerifyManifest(manifestText, signatureText, keys);
  Outcome expected;
  if (manifestText.size() > kMaxManifestBytes) {
    expected = manifest.outcome;  // refused before it is hashed
  } else if (!signature.ok()) {
    expected = signature.outcome;
  } else {
    const Checked<SignedVersion> checked = VerifySignature(manifestText, signature.value, keys);
    expected = !checked.ok() ? checked.outcome : manifest.outcome;
    if (checked.ok() && verified.ok()) {
      FUZZ_CHECK(verified.value.version == checked.value.version);
      FUZZ_CHECK(verified.value.keyId == signature.value.keyId);
    }
  }
  FUZZ_CHECK(verified.outcome.verdict == expected.verdict);
  FUZZ_CHECK(verified.outcome.detail == expected.detail);
  if (verified.ok()) FUZZ_CHECK(verified.value.manifest.entries() == manifest.value.entries());
  return 0;
}
