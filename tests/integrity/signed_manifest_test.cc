// Signed manifests as a publisher makes them with the real minisign and sha256sum programs:
// what verifies, and each forgery refused for its own reason and words; key ids as minisign
// prints them; the caps and the words of a check. The grammar of the three texts is the fuzz
// target's (fuzz/signed_manifest_fuzzer.cc), which checks it against a model.
#include "integrity/signed_manifest.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "integrity/sha256.h"
#include "support/minisign.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace integrity;
using testing_support::ChildProcess;
using testing_support::MinisignKey;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

PublicKey Key(const std::string& text) {
  const Checked<PublicKey> key = ParsePublicKey(text);
  EXPECT_TRUE(key.ok()) << key.outcome.detail;
  return key.value;
}

// The signature file with line `index` (from 0) changed by `edit`.
std::string EditLine(const std::string& signature, std::size_t index,
                     const std::function<std::string(std::string)>& edit) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < signature.size();) {
    const std::size_t end = signature.find('\n', start);
    lines.push_back(signature.substr(start, end - start));
    start = end + 1;
  }
  lines.at(index) = edit(lines.at(index));
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// A key or signature line with its first two decoded bytes, the algorithm, replaced.
std::string WithAlgorithm(const std::string& line, const char* algorithm) {
  std::vector<unsigned char> bytes(line.size());
  std::size_t length = 0;
  EXPECT_EQ(sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr,
                              &length, nullptr, sodium_base64_VARIANT_ORIGINAL),
            0);
  std::copy_n(algorithm, 2, bytes.begin());
  std::string encoded(sodium_base64_encoded_len(length, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(encoded.data(), encoded.size(), bytes.data(), length,
                    sodium_base64_VARIANT_ORIGINAL);
  encoded.pop_back();  // the terminating NUL
  return encoded;
}

TEST(SignedManifestTest, VerifiesWhatMinisignSignsAndRefusesEachForgery) {
  TempDir dir;
  const MinisignKey publisher(dir, "publisher"), other(dir, "other");
  // The manifest of a small set, as sha256sum writes it in the set's directory.
  WriteFile(dir / "set/a.dat", "alpha");
  WriteFile(dir / "set/trigger.crc", "1 a.dat\r\n");
  ASSERT_EQ(ChildProcess::Run(
                {"/bin/sh", "-c", "cd \"$0\" && exec sha256sum a.dat trigger.crc", dir / "set"},
                dir / "trigger.crc.sha256"),
            0);
  const std::string path = dir / "trigger.crc.sha256";
  const std::string manifest = ReadFile(path);
  const std::time_t before = std::time(nullptr);
  const std::string prehashed = publisher.Sign(path);
  const std::time_t after = std::time(nullptr);
  const std::string legacy = publisher.Sign(path, {"-l"});
  const std::string custom =
      other.Sign(path, {"-t", "xtimestamp:5 timestamp:1700000000 release 7"});
  const std::string noVersion = publisher.Sign(path, {"-t", "release 7"});
  // A publisher's slip: the trigger file signed in place of the manifest.
  const std::string trigger = ReadFile(dir / "set/trigger.crc");
  const std::string triggerSigned = publisher.Sign(dir / "set/trigger.crc");

  // Keys as a .pub file and as the bare line; the id as minisign prints it.
  const PublicKey publisherKey = Key(publisher.pubFile);
  const PublicKey otherKey = Key(other.keyLine);
  EXPECT_EQ(KeyIdText(publisherKey.id), publisher.idInComment);
  const std::vector<PublicKey> both = {otherKey, publisherKey};  // a rotation

  // What verifies: the digests are sha256sum's, the version the signing time or the given one.
  for (const auto& [signature, keys, version] :
       std::vector<std::tuple<std::string, std::vector<PublicKey>, std::uint64_t>>{
           {prehashed, {publisherKey}, 0}, {legacy, both, 0}, {custom, both, 1700000000}}) {
    const Checked<VerifiedManifest> verified = VerifyManifest(manifest, signature, keys);
    ASSERT_TRUE(verified.ok()) << verified.outcome.detail << "\n" << signature;
    if (version != 0) {
      EXPECT_EQ(verified.value.version, version);
    } else {
      EXPECT_GE(verified.value.version, static_cast<std::uint64_t>(before));
      EXPECT_LE(verified.value.version, static_cast<std::uint64_t>(after) + 1);
    }
    EXPECT_TRUE(verified.value.manifest.Check("a.dat", Sha256OfBuffer("alpha", 5)).ok());
    EXPECT_EQ(verified.value.manifest.entries().size(), 2u);
  }

  // Each forgery, refused for its reason.
  std::string altered = manifest;
  altered[0] = altered[0] == '0' ? '1' : '0';
  const auto otherTime = [](std::string line) {  // a version of the attacker's choice
    char& digit = line.at(line.find("timestamp:") + 10);
    digit = digit == '9' ? '8' : '9';
    return line;
  };
  for (const auto& [text, signature, keys, verdict, detail] : std::vector<
           std::tuple<std::string, std::string, std::vector<PublicKey>, std::string, std::string>>{
           {manifest, prehashed, std::vector<PublicKey>(2, otherKey), "unknown key",
            "(configured: " + other.idInComment + ", " + other.idInComment + ")"},
           {manifest, prehashed, {}, "unknown key", "no key is configured"},
           {altered, prehashed, both, "bad signature", "altered after signing"},
           {altered, legacy, both, "bad signature", "altered after signing"},
           {manifest, EditLine(prehashed, 2, otherTime), both, "bad signature", "trusted comment"},
           {manifest, EditLine(prehashed, 1, [](std::string l) { return WithAlgorithm(l, "Ed"); }),
            both, "bad signature", "altered after signing"},
           {manifest, EditLine(prehashed, 1, [](std::string l) { return WithAlgorithm(l, "E\\"); }),
            both, "malformed signature", "\"E\\x5C\""},
           {manifest, noVersion, both, "no version in the signature", "\"release 7\""},
           {trigger, triggerSigned, both, "malformed manifest", "line 1"},
           {manifest, prehashed.substr(0, prehashed.rfind('\n', prehashed.size() - 2)), both,
            "malformed signature", "3 lines"},
           {manifest, prehashed + "more\n", both, "malformed signature", "5 lines"},
           {manifest, prehashed.substr(0, prehashed.size() - 10), both, "malformed signature",
            "line 4"},
           {manifest, EditLine(prehashed, 1, [](std::string) { return std::string(100, '!'); }),
            both, "malformed signature", "\"" + std::string(80, '!') + "...\""},  // cut short
           {manifest, EditLine(prehashed, 0, [](std::string) { return "comment: x"; }), both,
            "malformed signature", "untrusted comment"},
           {manifest, EditLine(prehashed, 2, [](std::string l) { return l.substr(2); }), both,
            "malformed signature", "trusted comment"},
           {manifest, "", both, "malformed signature", "0 lines"},
           {manifest, prehashed + std::string(kMaxSignatureFileBytes, '\n'), both,
            "malformed signature", "more than"},
       }) {
    const Checked<VerifiedManifest> refused = VerifyManifest(text, signature, keys);
    EXPECT_EQ(VerdictName(refused.outcome.verdict), verdict) << refused.outcome.detail;
    EXPECT_NE(refused.outcome.detail.find(detail), std::string::npos) << refused.outcome.detail;
  }

  // Byte order and width of a key id: minisign's "8CCC59BEDF0AC49" for these stored bytes.
  EXPECT_EQ(KeyIdText({0x49, 0xAC, 0xF0, 0xED, 0x9B, 0xC5, 0xCC, 0x08}), "08CCC59BEDF0AC49");
}

TEST(SignedManifestTest, ManifestCapsAndTheWordsOfACheck) {
  // The digest of "abc" from FIPS 180-2, appendix B.1.
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string a(64, 'a');
  Sha256Digest digestA{};
  ASSERT_TRUE(Sha256FromHex(a, &digestA));
  const Sha256Digest digestAbc = Sha256OfBuffer("abc", 3);
  // The caps: entries and bytes.
  std::string many;
  for (std::size_t i = 0; i <= kMaxManifestEntries; ++i)
    many += a + "  " + std::to_string(i) + "\n";
  EXPECT_EQ(ParseManifest(many).outcome.verdict, Verdict::kMalformedManifest);
  many.resize(many.rfind(a));
  EXPECT_EQ(ParseManifest(many).value.entries().size(), kMaxManifestEntries);
  EXPECT_EQ(ParseManifest(std::string(kMaxManifestBytes + 1, 'a')).outcome.verdict,
            Verdict::kMalformedManifest);

  // What a check of a file says.
  const Manifest manifest({{"x.dat", digestAbc}});
  const Outcome mismatch = manifest.Check("x.dat", digestA);
  EXPECT_EQ(mismatch.verdict, Verdict::kDigestMismatch);
  EXPECT_EQ(mismatch.detail, "\"x.dat\" has the SHA-256 " + a + ", the manifest lists " + abc);
  EXPECT_EQ(manifest.Check("X.DAT", digestAbc).verdict, Verdict::kNotInManifest);
}

}  // namespace
