// The readers of a signed set, as a hostile server or a careless administrator would hand them
// over: a minisign public key, a signature file and a manifest, in one input separated by two NUL
// bytes ("KEY\0\0SIGNATURE\0\0MANIFEST"; a missing part is empty). The seeds were signed by the
// minisign program with the key below, so mutations reach the signature checks too.
//
// What each reader returns is judged by a small model written apart from it: the framing of a key
// and of a signature file, the version in a trusted comment, and which manifest lines are accepted
// and the entries they give. Also checks: the whole check agrees with its steps taken one by one,
// and a manifest's text form reads back to the same entries.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <regex>
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
  std::vector<std::string_view> parts;
  for (int i = 0; i < 2; ++i) {
    const std::size_t end = input.find(std::string_view("\0\0", 2));
    parts.push_back(input.substr(0, end));
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 2);
  }
  parts.push_back(input);
  return parts;
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

bool Matches(const std::string& line, const char* pattern) {
  return std::regex_match(line, std::regex(pattern));
}

// A key is "RW..." (the base64 of "Ed", id and key), alone or after an untrusted comment.
void CheckKeyModel(std::string_view text, const Checked<PublicKey>& key) {
  const std::vector<std::string> lines = Lines(text, true);
  const bool commented = lines.size() == 2 && lines[0].starts_with("untrusted comment: ");
  const bool framed =
      commented || (lines.size() == 1 && !lines[0].starts_with("untrusted comment: "));
  const std::string line = framed ? lines.back() : "";
  FUZZ_CHECK(key.ok() == (framed && Matches(line, "RW[Q-T][A-Za-z0-9+/]{53}")));
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
  if (signature.ok()) FUZZ_CHECK("trusted comment: " + signature.value.trustedComment == lines[2]);
  if (signature.ok()) FUZZ_CHECK(signature.value.prehashed == (lines[1][1] == 'U'));
}

// The version: the digits of the first "timestamp:" token, up to a blank or the end.
void CheckVersionModel(std::string_view comment, const Checked<std::uint64_t>& version) {
  const std::string text(comment);
  std::smatch m;
  const bool found = std::regex_search(text, m, std::regex("(^|[ \\t])timestamp:([^ \\t]*)"));
  const std::string digits = found ? m[2].str() : "";
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  const bool valid = found && error == std::errc() && end == digits.data() + digits.size();
  FUZZ_CHECK(version.ok() == valid && (!valid || version.value == value));
}

// A manifest: lines of 64 lower-case hex digits, a space, a space or '*', and a name without
// '/', CR or NUL, listed once.
void CheckManifestModel(std::string_view text, const Checked<Manifest>& manifest) {
  Manifest::Entries expected;
  bool valid = true;
  for (const std::string& line : Lines(text, false)) {
    std::smatch m;
    Sha256Digest digest{};
    valid = valid && std::regex_match(line, m, std::regex("([0-9a-f]{64}) [ *]([^/\\r]+)")) &&
            m[2].str().find('\0') == std::string::npos && Sha256FromHex(m[1].str(), &digest) &&
            expected.emplace(m[2], digest).second;
  }
  FUZZ_CHECK(manifest.ok() == valid && (!valid || manifest.value.entries() == expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts =
      Parts(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view keyText = parts[0], signatureText = parts[1], manifestText = parts[2];

  std::vector<PublicKey> keys = {ParsePublicKey(kSeedKey).value};
  const Checked<PublicKey> key = ParsePublicKey(keyText);
  FUZZ_CHECK(key.ok() || key.outcome.verdict == Verdict::kMalformedKey);
  CheckKeyModel(keyText, key);
  if (key.ok()) keys.push_back(key.value);

  const Checked<SignatureFile> signature = ParseSignatureFile(signatureText);
  FUZZ_CHECK(signature.ok() || signature.outcome.verdict == Verdict::kMalformedSignature);
  FUZZ_CHECK(signature.ok() || !signature.outcome.detail.empty());
  CheckSignatureModel(signatureText, signature);
  if (signature.ok()) {
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
