// Signed manifests as a publisher makes them with the real minisign and sha256sum programs:
// what verifies, and each forgery refused for its own reason; the manifest grammar line by line;
// and the SHA-256 of files where the system lets the reader down.
#include "integrity/signed_manifest.h"

#include <sodium.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "integrity/sha256.h"
#include "platform/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace integrity;
using namespace std::string_literals;
using testing_support::ChildProcess;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

constexpr char kMinisign[] = "/usr/bin/minisign";

// A minisign key pair without a password, made by the minisign program in `dir`.
class MinisignKey {
 public:
  MinisignKey(const TempDir& dir, const std::string& name)
      : dir_(dir), pub_(dir / name + ".pub"), secret_(dir / name + ".key") {
    Run({kMinisign, "-G", "-W", "-p", pub_, "-s", secret_});
  }

  std::string PubFile() const { return ReadFile(pub_); }
  // The key's line alone, as `minisign -G` prints it.
  std::string KeyLine() const {
    const std::string text = PubFile();
    const std::size_t start = text.find('\n') + 1;
    return text.substr(start, text.find('\n', start) - start);
  }
  // The id minisign writes in the .pub file's comment, with the leading zeros it leaves out.
  std::string IdInComment() const {
    const std::string text = PubFile();
    const std::size_t end = text.find('\n');
    const std::string id = text.substr(text.rfind(' ', end) + 1, end - text.rfind(' ', end) - 1);
    return std::string(16 - std::min<std::size_t>(16, id.size()), '0') + id;
  }
  // The signature file of `file` made with `options` (-l, -t COMMENT).
  std::string Sign(const std::string& file, std::vector<std::string> options = {}) const {
    std::vector<std::string> argv = {kMinisign, "-S", "-s", secret_,
                                     "-m",      file, "-x", file + ".minisig"};
    argv.insert(argv.end(), options.begin(), options.end());
    Run(argv);
    return ReadFile(file + ".minisig");
  }

 private:
  void Run(const std::vector<std::string>& argv) const {
    ASSERT_EQ(ChildProcess::Run(argv, dir_ / "minisign.log"), 0)
        << argv[1] << " failed (is minisign installed? scripts/install-deps.sh):\n"
        << ReadFile(dir_ / "minisign.log");
  }

  const TempDir& dir_;
  std::string pub_, secret_;
};

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
  const std::string custom = other.Sign(path, {"-t", "timestamp:1700000000 release 7"});
  const std::string noVersion = publisher.Sign(path, {"-t", "release 7"});
  // A publisher's slip: the trigger file signed in place of the manifest.
  const std::string trigger = ReadFile(dir / "set/trigger.crc");
  const std::string triggerSigned = publisher.Sign(dir / "set/trigger.crc");

  // Keys as a .pub file and as the bare line; the id as minisign prints it.
  const PublicKey publisherKey = Key(publisher.PubFile());
  const PublicKey otherKey = Key(other.KeyLine());
  EXPECT_EQ(KeyIdText(publisherKey.id), publisher.IdInComment());
  const std::vector<PublicKey> both = {otherKey, publisherKey};  // a rotation

  // What verifies: the digests are sha256sum's, the version the signing time or the given one.
  for (const auto& [signature, keys, version] :
       std::vector<std::tuple<std::string, std::vector<PublicKey>, std::uint64_t>>{
           {prehashed, {publisherKey}, 0},
           {legacy, both, 0},
           {custom, both, 1700000000},
           {custom, {otherKey}, 1700000000}}) {
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
  std::string crlf;
  for (char c : prehashed) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  EXPECT_TRUE(VerifyManifest(manifest, crlf, both).ok()) << "CR LF line ends";

  // Each forgery, refused for its reason.
  std::string altered = manifest;
  altered[0] = altered[0] == '0' ? '1' : '0';
  const auto otherTime = [](std::string line) {  // a version of the attacker's choice
    char& digit = line.at(line.find("timestamp:") + 10);
    digit = digit == '9' ? '8' : '9';
    return line;
  };
  for (const auto& [text, signature, keys, verdict, detail] : std::vector<
           std::tuple<std::string, std::string, std::vector<PublicKey>, Verdict, std::string>>{
           {manifest, prehashed, {otherKey}, Verdict::kUnknownKey, publisher.IdInComment()},
           {manifest, prehashed, {}, Verdict::kUnknownKey, "no key is configured"},
           {altered, prehashed, both, Verdict::kBadSignature, "altered after signing"},
           {altered, legacy, both, Verdict::kBadSignature, "altered after signing"},
           {manifest, EditLine(prehashed, 2, otherTime), both, Verdict::kBadSignature,
            "trusted comment"},
           {manifest, EditLine(prehashed, 1, [](std::string l) { return WithAlgorithm(l, "Ed"); }),
            both, Verdict::kBadSignature, "altered after signing"},
           {manifest, EditLine(prehashed, 1, [](std::string l) { return WithAlgorithm(l, "Ex"); }),
            both, Verdict::kMalformedSignature, "\"Ex\""},
           {manifest, noVersion, both, Verdict::kNoVersion, "\"release 7\""},
           {trigger, triggerSigned, both, Verdict::kMalformedManifest, "line 1"},
           {manifest, prehashed.substr(0, prehashed.rfind('\n', prehashed.size() - 2)), both,
            Verdict::kMalformedSignature, "3 lines"},
           {manifest, prehashed.substr(0, prehashed.size() - 10), both,
            Verdict::kMalformedSignature, "line 4"},
           {manifest, EditLine(prehashed, 1, [](std::string l) { return l.replace(5, 1, "!"); }),
            both, Verdict::kMalformedSignature, "line 2"},
           {manifest, EditLine(prehashed, 0, [](std::string) { return "comment: x"; }), both,
            Verdict::kMalformedSignature, "untrusted comment"},
           {manifest, EditLine(prehashed, 2, [](std::string l) { return l.substr(2); }), both,
            Verdict::kMalformedSignature, "trusted comment"},
           {manifest, "", both, Verdict::kMalformedSignature, "0 lines"},
           {manifest, prehashed + std::string(kMaxSignatureFileBytes, '\n'), both,
            Verdict::kMalformedSignature, "more than"},
       }) {
    const Checked<VerifiedManifest> refused = VerifyManifest(text, signature, keys);
    EXPECT_EQ(refused.outcome.verdict, verdict) << detail << ": " << refused.outcome.detail;
    EXPECT_NE(refused.outcome.detail.find(detail), std::string::npos) << refused.outcome.detail;
  }
}

TEST(SignedManifestTest, PublicKeysAsMinisignWritesThem) {
  TempDir dir;
  const MinisignKey key(dir, "k"), second(dir, "second");
  const std::string pub = key.PubFile();
  const std::string crlf = "untrusted comment: x\r\n" + key.KeyLine() + "\r\n\r\n";
  for (const std::string& text : {pub, key.KeyLine(), crlf}) {
    const Checked<PublicKey> parsed = ParsePublicKey(text);
    ASSERT_TRUE(parsed.ok()) << parsed.outcome.detail;
    EXPECT_EQ(KeyIdText(parsed.value.id), key.IdInComment());
  }
  // Byte order and width: minisign's "8CCC59BEDF0AC49" for these stored bytes.
  EXPECT_EQ(KeyIdText({0x49, 0xAC, 0xF0, 0xED, 0x9B, 0xC5, 0xCC, 0x08}), "08CCC59BEDF0AC49");
  const std::string line = key.KeyLine();
  for (const std::string& text :
       {""s, "\n"s, pub + second.PubFile(), line + "\n" + second.KeyLine(), "comment\n" + line,
        "untrusted comment: x\n"s, line.substr(0, 55), line + "=", " " + line,
        WithAlgorithm(line, "ED") /* a key is "Ed" */}) {
    const Checked<PublicKey> parsed = ParsePublicKey(text);
    EXPECT_EQ(parsed.outcome.verdict, Verdict::kMalformedKey) << text;
  }
}

TEST(SignedManifestTest, ManifestLinesAsSha256sumWritesThem) {
  const std::string a(64, 'a'), f(64, 'f');
  Sha256Digest digestA{}, digestF{};
  ASSERT_TRUE(Sha256FromHex(a, &digestA) && Sha256FromHex(f, &digestF));
  const std::vector<std::pair<std::string, Manifest::Entries>> good = {
      {"", {}},
      {a + "  x.dat\n" + f + " *y.cfg\r\n", {{"x.dat", digestA}, {"y.cfg", digestF}}},
      {a + "   lead and trail \t\n" + f + "  last-without-line-end",
       {{" lead and trail \t", digestA}, {"last-without-line-end", digestF}}},
  };
  for (const auto& [text, entries] : good) {
    const Checked<Manifest> parsed = ParseManifest(text);
    ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.outcome.detail;
    EXPECT_EQ(parsed.value.entries(), entries);
    EXPECT_EQ(ParseManifest(parsed.value.Format()).value.entries(), entries);  // round trip
  }
  std::string upper = a;
  upper[7] = 'A';
  for (const std::string& text :
       {"\n"s, a + "  x\n\n", a + "  x\n" + a + "  x\n", "\\" + a + "  x\\\\y\n", upper + "  x\n",
        a.substr(1) + "  x\n", a + "g  x\n", a + " x\n", a + "\tx\n", a + "  \n", a + "  \r\n",
        a + "  dir/x\n", a + "  x\ry\n", a + "  x\0y\n"s, "SHA256 (x) = " + a + "\n"}) {
    EXPECT_EQ(ParseManifest(text).outcome.verdict, Verdict::kMalformedManifest) << text;
  }
  // The caps: entries and bytes.
  std::string many;
  for (std::size_t i = 0; i <= kMaxManifestEntries; ++i)
    many += a + "  " + std::to_string(i) + "\n";
  EXPECT_EQ(ParseManifest(many).outcome.verdict, Verdict::kMalformedManifest);
  many.resize(many.rfind(a));
  EXPECT_EQ(ParseManifest(many).value.entries().size(), kMaxManifestEntries);
  EXPECT_EQ(ParseManifest(std::string(kMaxManifestBytes + 1, 'a')).outcome.verdict,
            Verdict::kMalformedManifest);

  // What a check of a file and a version says.
  const Manifest manifest({{"x.dat", digestA}});
  EXPECT_TRUE(manifest.Check("x.dat", digestA).ok());
  EXPECT_EQ(manifest.Check("x.dat", digestF).verdict, Verdict::kDigestMismatch);
  EXPECT_EQ(manifest.Check("X.DAT", digestA).verdict, Verdict::kNotInManifest);
  EXPECT_TRUE(CheckVersion(5, 5).ok());
  EXPECT_EQ(CheckVersion(4, 5).verdict, Verdict::kOlderThanInstalled);
}

// Through the platform's system-call table: each read returns at most `limit` bytes, and read
// number `failAt` (from 1; 0: none) fails with EIO.
std::size_t readLimit = 0;
int readFailAt = 0, readCalls = 0;
void Reads(std::size_t limit, int failAt = 0) {
  static ssize_t (*const realRead)(int, void*, std::size_t) = PosixCalls().read;
  readLimit = limit, readFailAt = failAt, readCalls = 0;
  PosixCalls().read = [](int fd, void* buffer, std::size_t count) -> ssize_t {
    if (++readCalls == readFailAt) return errno = EIO, -1;
    return realRead(fd, buffer, std::min(count, readLimit));
  };
}

TEST(Sha256Test, KnownAnswersAndFilesReadInPieces) {
  // FIPS 180-2, appendix B.1, and the digest of no bytes.
  EXPECT_EQ(Sha256ToHex(Sha256OfBuffer("abc", 3)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256ToHex(Sha256OfBuffer(nullptr, 0)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  TempDir dir;
  std::string data(3 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 2654435761u >> 7);
  WriteFile(dir / "data", data);
  Sha256Digest digest{};
  std::uint64_t size = 0;
  Reads(1000);
  ASSERT_TRUE(Sha256OfFile((dir / "data").c_str(), &digest, &size));
  EXPECT_EQ(digest, Sha256OfBuffer(data.data(), data.size()));
  EXPECT_EQ(size, data.size());

  // A read that fails mid-file, and files that cannot be hashed: false, the reason, nothing set.
  Reads(1 << 20, /*failAt=*/2);
  const Sha256Digest untouched = digest;
  EXPECT_FALSE(Sha256OfFile((dir / "data").c_str(), &digest, &size));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  ResetPosixCalls();
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const auto& [name, error] : {std::pair{"missing", ERROR_FILE_NOT_FOUND},
                                    {"no/such", ERROR_PATH_NOT_FOUND},
                                    {".", ERROR_ACCESS_DENIED},
                                    {"fifo", ERROR_ACCESS_DENIED}}) {
    EXPECT_FALSE(Sha256OfFile((dir / name).c_str(), &digest, &size)) << name;
    EXPECT_EQ(GetLastError(), error) << name;
  }
  EXPECT_EQ(digest, untouched);
  EXPECT_EQ(size, data.size());
}

}  // namespace
