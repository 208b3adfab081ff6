// The readers of a signed set, as a hostile server or a careless administrator would hand them
// over: a minisign public key, a signature file and a manifest, in one input separated by two NUL
// bytes ("KEY\0\0SIGNATURE\0\0MANIFEST"; a missing part is empty). The seeds were signed by the
// minisign program with the key below, so mutations reach the signature checks too.
//
// Also checks: the whole check agrees with its steps taken one by one; an accepted signature file
// and an accepted manifest read the same with CR LF line ends; what a manifest accepts holds only
// names that can be written back, and its text form reads back to the same entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts =
      Parts(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view keyText = parts[0], signatureText = parts[1], manifestText = parts[2];

  std::vector<PublicKey> keys = {ParsePublicKey(kSeedKey).value};
  FUZZ_CHECK(ParsePublicKey(kSeedKey).ok());
  const Checked<PublicKey> key = ParsePublicKey(keyText);
  FUZZ_CHECK(key.ok() || key.outcome.verdict == Verdict::kMalformedKey);
  if (key.ok()) keys.push_back(key.value);

  const Checked<SignatureFile> signature = ParseSignatureFile(signatureText);
  FUZZ_CHECK(signature.ok() || signature.outcome.verdict == Verdict::kMalformedSignature);
  FUZZ_CHECK(signature.ok() || !signature.outcome.detail.empty());
  if (signature.ok()) {
    FUZZ_CHECK(signature.value.trustedComment.find('\n') == std::string::npos);
    const std::string crlf = WithCrLf(signatureText);
    if (signatureText.find('\r') == std::string_view::npos &&
        crlf.size() <= kMaxSignatureFileBytes) {
      const Checked<SignatureFile> again = ParseSignatureFile(crlf);
      FUZZ_CHECK(again.ok() && again.value.signature == signature.value.signature &&
                 again.value.trustedComment == signature.value.trustedComment);
    }
    const Checked<std::uint64_t> version = VersionOfTrustedComment(signature.value.trustedComment);
    FUZZ_CHECK(version.ok() || version.outcome.verdict == Verdict::kNoVersion);
  }
  (void)VersionOfTrustedComment(signatureText);

  const Checked<Manifest> manifest = ParseManifest(manifestText);
  FUZZ_CHECK(manifest.ok() || manifest.outcome.verdict == Verdict::kMalformedManifest);
  if (manifest.ok()) {
    const Manifest::Entries& entries = manifest.value.entries();
    FUZZ_CHECK(entries.size() <= kMaxManifestEntries);
    for (const auto& [name, digest] : entries) {
      FUZZ_CHECK(!name.empty() &&
                 name.find_first_of(std::string_view("/\r\n\0", 4)) == std::string::npos);
      FUZZ_CHECK(manifest.value.Check(name, digest).ok());
    }
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
