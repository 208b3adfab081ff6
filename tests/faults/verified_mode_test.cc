// Verified mode as an administrator meets it: sets published with sha256sum and minisign on a real
// server (pyftpdlib), the repository-updater program configured with the publisher's key.
// The honest set installs; every forgery is refused with an entry that names the file and the
// reason, the definitions directory unchanged byte for byte; a key rotation is taken; a CRC-forged
// edit of an installed file is detected with the server away and put back once it is there.
#include <libdeflate.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/ftp_servers.h"
#include "support/minisign.h"

namespace faults {
namespace {

using testing::HasSubstr;
using testing_support::MinisignKey;
using testing_support::TempDir;
using testing_support::WriteFile;

// `content` with four bytes appended so that its CRC-32 is `target`: what anyone can do to pass a
// CRC check. The four CRC steps are run backwards from the target to find the table indices the
// appended bytes must produce.
std::string ForgeCrc(std::string content, std::uint32_t target) {
  std::uint32_t table[256];
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  std::uint8_t index[4];
  std::uint32_t want = ~target;
  for (int i = 3; i >= 0; --i) {
    std::uint32_t j = 0;
    while (table[j] >> 24 != want >> 24) ++j;
    index[i] = static_cast<std::uint8_t>(j);
    want = (want ^ table[j]) << 8;
  }
  std::uint32_t state = ~libdeflate_crc32(0, content.data(), content.size());
  for (std::uint8_t k : index) {
    content += static_cast<char>((state ^ k) & 0xFF);
    state = (state >> 8) ^ table[k];
  }
  return content;
}

std::uint32_t Crc(const std::string& content) {
  return libdeflate_crc32(0, content.data(), content.size());
}

// Bytes unlike from one piece of a download to the next: a digest of the wrong piece shows.
std::string Patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 4093);
  return bytes;
}

const FileSet kFirst = {
    {"a.dat", std::string(3000, 'a')}, {"b.dat", "bravo"}, {"c.cfg", "charlie"}};
// Its a.dat arrives in many pieces, whose SHA-256 is taken as they arrive.
// "update" is a file of the set that the integrity check leaves alone (extensions "dat,cfg"),
// named as the start of the engine's pending file "update.pending" is, not as it is.
const FileSet kSecond = {
    {"a.dat", Patterned(1 << 20)}, {"b.dat", "BRAVO"}, {"c.cfg", "charlie"}, {"update", "n"}};

// A processor "MailFilter0" (shown as "Mail Filter") rooted at dir/filter, its sets published in
// dir/served/updates, and the program run against them.
class VerifiedSite {
 public:
  VerifiedSite() { testing_support::MakeDirectories(Served()); }

  std::string Served() const { return dir_ / "served/updates"; }
  std::string Definitions() const { return dir_ / "filter/definitions"; }
  std::string Log() const { return testing_support::ReadFile(dir_ / "log"); }
  const TempDir& dir() const { return dir_; }

  // Publishes `files` with their trigger file, signed by `key` with minisign's `options`.
  void Publish(const FileSet& files, const MinisignKey& key,
               const std::vector<std::string>& options = {}) {
    testing_support::RemoveAll(Served());
    for (const auto& [name, content] : files) WriteFile(Served() + "/" + name, content);
    WriteFile(Served() + "/trigger.crc", TriggerFor(files));
    key.SignDirectory(Served(), "trigger.crc", options);
  }

  // `keys` are the TOML values of the processor's key settings ("public_key_file = ...").
  void Configure(const std::string& server, const std::string& keys) {
    program_test::WriteConfig(
        dir_, "[network]\nstall_timeout_ms = 5000\n[metrics]\ntextfile = \"m/updater.prom\"\n",
        "\"" + server + "\"", "user = \"updater\"\npassword = 'Filter'\nretries = 1\n" + keys);
  }

  program_test::Result Run(const std::vector<std::string>& command) {
    return program_test::RunUpdater(command, dir_ / "updater.toml");
  }
  program_test::Result Once() { return Run({"once"}); }

  // Every file of the definitions directory, byte for byte.
  FileSet Installed() const {
    FileSet files;
    for (const auto& entry : std::filesystem::directory_iterator(Definitions())) {
      files[entry.path().filename()] = testing_support::ReadFile(entry.path());
    }
    return files;
  }

 private:
  TempDir dir_;
};

TEST(VerifiedMode, OverFtpHonestSetsInstallForgeriesAreRefusedAndTamperingIsRepaired) {
  VerifiedSite site;
  const MinisignKey publisher(site.dir(), "publisher"), other(site.dir(), "other"),
      successor(site.dir(), "successor");
  testing_support::PyFtpServer server({site.dir() / "served", {{"updater", "Filter"}}});
  const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port());
  // Keys that are no keys are refused with the line that gives them.
  site.Configure(url, "public_key = [\"RWQ\"]\npublic_key_file = \"missing.pub\"\n");
  const program_test::Result refused = site.Once();
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr("updater.toml:20: processor.public_key: "));
  EXPECT_THAT(refused.err, HasSubstr("updater.toml:21: processor.public_key_file \""));

  // The honest set installs, signed long enough ago for max_signature_age to warn; status tells
  // the mode, the key and the installed version with its age (in minutes below two hours).
  site.Configure(url, "public_key_file = \"publisher.pub\"\nmax_signature_age = 100\n");
  const std::string signedAt = std::to_string(std::time(nullptr) - 5400);
  site.Publish(kFirst, publisher, {"-t", "timestamp:" + signedAt});
  ASSERT_EQ(site.Once().status, 0) << site.Log();
  EXPECT_THAT(site.Log(), HasSubstr("older than max_signature_age (100 seconds)"));
  const FileSet installed = site.Installed();
  EXPECT_EQ(installed.at("a.dat"), kFirst.at("a.dat"));
  EXPECT_EQ(installed.at("trigger.crc"), TriggerFor(kFirst));
  const program_test::Result status = site.Run({"status"});
  EXPECT_THAT(status.out, HasSubstr("on, keys " + publisher.idInComment + "\n"));
  EXPECT_THAT(status.out, testing::ContainsRegex(signedAt + " \\(.+, [0-9]+ minutes old\\)"));
  EXPECT_THAT(site.Run({"status", "--json"}).out,
              HasSubstr("\"verified\":true,\"key_ids\":[\"" + publisher.idInComment + "\"]"));
  EXPECT_THAT(
      testing_support::ReadFile(site.dir() / "m/updater.prom"),
      HasSubstr("\nrepository_updater_verified_set_timestamp_seconds{processor=\"MailFilter0\"} " +
                signedAt + "\n"));

  // Each forgery of the second set: a refusal (exit 1) with its entry, nothing of it installed.
  struct Forgery {
    const char* what;
    std::function<void()> publish;
    std::string entry;
  };
  const std::string crcForged = ForgeCrc("forged content", Crc(kSecond.at("b.dat")));
  const std::vector<Forgery> forgeries = {
      {"the checksum list re-made in another order, every file as signed",
       [&] {
         site.Publish(kSecond, publisher);
         std::string reordered;
         for (auto it = kSecond.rbegin(); it != kSecond.rend(); ++it)
           reordered += TriggerFor({*it});
         WriteFile(site.Served() + "/trigger.crc", reordered);
       },
       "Updating the \"\"updates/trigger.crc\"\" file | SHA-256 mismatch: \"trigger.crc\""},
      {"a CRC-forged file",
       [&] {
         site.Publish(kSecond, publisher);
         WriteFile(site.Served() + "/b.dat", crcForged);
       },
       "Updating the \"\"updates/b.dat\"\" file | SHA-256 mismatch: \"b.dat\""},
      {"a set signed by another key", [&] { site.Publish(kSecond, other); },
       "Updating the \"\"updates/trigger.crc.sha256.minisig\"\" file | unknown key: "},
      {"a set without signature",
       [&] {
         site.Publish(kSecond, publisher);
         std::filesystem::remove(site.Served() + "/trigger.crc.sha256.minisig");
       },
       "Updating the \"\"updates/trigger.crc.sha256.minisig\"\" file | no signature: the server "
       "has no trigger.crc.sha256.minisig: the set is not signed"},
      {"a signature file beyond its limit",
       [&] {
         site.Publish(kSecond, publisher);
         WriteFile(site.Served() + "/trigger.crc.sha256.minisig", std::string(16385, '\n'));
       },
       "minisig\"\" file | malformed signature: the server gives it as larger than the limit of "
       "16384 bytes"},
      {"a manifest beyond its limit",
       [&] {
         site.Publish(kSecond, publisher);
         WriteFile(site.Served() + "/trigger.crc.sha256", std::string((16 << 20) + 1, '\n'));
       },
       "sha256\"\" file | malformed manifest: the server gives it as larger than the limit of "
       "16777216 bytes"},
      {"a name the manifest lacks",
       [&] {
         site.Publish(kSecond, publisher);
         FileSet more = kSecond;
         more["d.dat"] = "delta";
         WriteFile(site.Served() + "/d.dat", "delta");
         WriteFile(site.Served() + "/trigger.crc", TriggerFor(more));
         publisher.SignDirectory(site.Served(), "trigger.crc");
         // The manifest signed again without d.dat.
         std::string manifest = testing_support::ReadFile(site.Served() + "/trigger.crc.sha256");
         manifest.erase(manifest.find("  d.dat\n") - 64, 72);
         WriteFile(site.Served() + "/trigger.crc.sha256", manifest);
         publisher.Sign(site.Served() + "/trigger.crc.sha256");
       },
       "Updating the \"\"updates/trigger.crc.sha256\"\" file | not in the manifest: \"d.dat\""},
      {"an older signed set",
       [&] {
         site.Publish(kSecond, publisher, {"-t", "timestamp:1000"});
       },
       "Updating the \"\"updates/trigger.crc.sha256\"\" file | older than installed: "},
  };
  for (const Forgery& forgery : forgeries) {
    SCOPED_TRACE(forgery.what);
    forgery.publish();
    // A dry run says why the set would be refused; a CRC-forged file shows only in its download.
    const program_test::Result plan = site.Run({"once", "--dry-run"});
    if (forgery.entry.find("b.dat") == std::string::npos) {
      EXPECT_THAT(plan.out, HasSubstr("would be refused: " +
                                      forgery.entry.substr(forgery.entry.find(" | ") + 3)));
    }
    const std::string before = site.Log();
    EXPECT_EQ(site.Once().status, 1);
    const std::string entries = site.Log().substr(before.size());
    EXPECT_EQ(Occurrences(entries, forgery.entry), 1u) << entries;
    EXPECT_EQ(site.Installed(), installed);
  }
  // The CRC-forged download was tried twice (retries = 1), each time a failed attempt.
  EXPECT_THAT(site.Log(), HasSubstr("Updating the \"\"updates/b.dat\"\" file | 23"));

  // A key rotation: the successor's key beside the publisher's takes the set it signed. Without
  // max_signature_age the set's age goes unmentioned.
  // A refused callback fails the cycle once the set is installed: the new files are its own work.
  const std::string rotation = "public_key_file = [\"publisher.pub\", \"successor.pub\"]\n";
  site.Configure(url, rotation + "on_updates_available = \"kill -TERM $$\"\n");
  const std::string rotatedAt = std::to_string(std::time(nullptr) - 500);
  site.Publish(kSecond, successor, {"-t", "timestamp:" + rotatedAt});
  const std::size_t logged = site.Log().size();
  EXPECT_EQ(site.Once().status, 1) << site.Log();
  EXPECT_THAT(site.Log(), HasSubstr("| kill -TERM $$ | killed by SIGTERM\n"));
  site.Configure(url, rotation);
  ASSERT_EQ(site.Once().status, 0) << site.Log();
  EXPECT_EQ(site.Log().find("older than", logged), std::string::npos) << site.Log();
  EXPECT_EQ(site.Once().status, 0);  // nothing new: the reference stays the verified manifest

  // An edit of an installed file that keeps its CRC-32 and its size, with the server away:
  // detected (exit 3).
  const std::string tampered = ForgeCrc(std::string((1 << 20) - 4, 'e'), Crc(kSecond.at("a.dat")));
  // A removed file counts too, even with its backup copy forged alike.
  WriteFile(site.Definitions() + "/a.dat", tampered);
  std::filesystem::remove(site.Definitions() + "/c.cfg");
  WriteFile(site.Definitions() + "/update", "edited");
  WriteFile(site.dir() / "filter/backup/c.cfg", ForgeCrc("evil", Crc(kSecond.at("c.cfg"))));
  site.Configure("ftp://127.0.0.1:1", "public_key = \"" + successor.keyLine + "\"\n");
  EXPECT_EQ(site.Once().status, 3);
  EXPECT_THAT(site.Log(), HasSubstr("Invalid Mail Filterdefinition files detected."));
  EXPECT_THAT(site.Log(), HasSubstr("2 installed files are missing or differ from the verified "
                                    "set: a.dat, c.cfg"));

  // The next cycle that reaches the server puts them back, a.dat from its backup copy and c.cfg
  // from the server, and signals the engine again.
  site.Configure(url, rotation + "on_updates_available = \"true\"\n");
  // A restore that cannot complete (the server's c.cfg forged too) fails and withdraws the signal;
  // an engine that has not absorbed the last set is not prompted over it (counted below).
  WriteFile(site.Definitions() + "/update.pending", "");
  WriteFile(site.Served() + "/c.cfg", "forged");
  EXPECT_EQ(site.Once().status, 3);
  EXPECT_FALSE(FileExists(site.Definitions() + "/trigger.crc"));
  WriteFile(site.Served() + "/c.cfg", kSecond.at("c.cfg"));
  const auto fetches = [&](const char* name) {
    return program_test::Count(server.Transcript(), std::string("RETR ") + name);
  };
  const long aBefore = fetches("a.dat"), cBefore = fetches("c.cfg");
  // The dry run plans the restore.
  EXPECT_EQ(site.Run({"once", "--dry-run"}).out,
            "MailFilter0: signed set verified: key " + successor.idInComment + ", version " +
                rotatedAt + " (installed: " + rotatedAt +
                ")\nMailFilter0: would fetch 1 file (7 bytes): c.cfg\nMailFilter0: "
                "would restore 3 files that differ from the signed set: a.dat, c.cfg, "
                "update\nMailFilter0: would signal the engine\n");
  EXPECT_EQ(site.Once().out, "MailFilter0: restored 3 files\n") << site.Log();
  EXPECT_EQ(fetches("a.dat"), aBefore);
  EXPECT_EQ(fetches("c.cfg"), cBefore + 1);
  FileSet restored = kSecond;
  restored["trigger.crc"] = TriggerFor(kSecond);
  restored["update.pending"] = "";
  EXPECT_EQ(site.Installed(), restored);
  EXPECT_THAT(site.Log(), HasSubstr("Restored 3 installed files that differed from the verified "
                                    "set: a.dat, c.cfg, update"));
  // Put back from the backup copies alone, nothing fetched: still a restore, not "up to date",
  // and the definitions directory made again.
  std::filesystem::remove_all(site.Definitions());
  EXPECT_EQ(site.Once().out, "MailFilter0: restored 4 files\n");
  // The engine has not absorbed it: a plan and a cycle that find the set intact tell it again.
  WriteFile(site.Definitions() + "/update.pending", "");
  EXPECT_THAT(site.Run({"once", "--dry-run"}).out, HasSubstr(": would tell the engine again: "));
  EXPECT_EQ(site.Once().status, 0);  // prompts at the key rotation, both restores and here
  EXPECT_EQ(Occurrences(site.Log(), "UpdatesAvailable() | Attempting to absorb"), 4u) << site.Log();
}

}  // namespace
}  // namespace faults
