// The ground the fault, crash and security scenarios stand on: definition sets published on a
// scripted FTP server, the repository-updater program run against them, and the invariant every
// scenario checks: the engine is never signalled with a set that is not whole.
#ifndef FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_
#define FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_

#include <libdeflate.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace faults {

using FileSet = std::map<std::string, std::string>;
using program_test::Eventually;
using program_test::Result;
using program_test::Updater;
using testing_support::FileExists;
using testing_support::ReadFile;

// The checksum list of a set, "%x name\r\n" in name order. The CRC-32 comes from libdeflate, apart
// from the code under test, so that the invariant does not trust what it checks.
inline std::string TriggerFor(const FileSet& files) {
  std::string text;
  for (const auto& [name, content] : files) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%x ", libdeflate_crc32(0, content.data(), content.size()));
    text += crc + name + "\r\n";
  }
  return text;
}

// The invariant: a trigger file in the definitions directory is exactly the checksum list of a
// set of one or more files, and every file it names is there with that CRC-32. Without a trigger
// file nothing is signalled and any mixture of files is allowed.
inline testing::AssertionResult SignalledSetIsWhole(const std::string& definitions) {
  if (!FileExists(definitions + "/trigger.crc")) return testing::AssertionSuccess();
  const std::string text = ReadFile(definitions + "/trigger.crc");
  FileSet named;
  std::istringstream lines(text);
  for (std::string crc, name; lines >> crc >> name;) {
    named[name] = ReadFile(definitions + "/" + name);
  }
  if (!named.empty() && TriggerFor(named) == text) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "the engine is signalled with \"" << text << "\", which is not what is installed";
}

// Sets published under /updates on a scripted server, one processor ("MailFilter0", shown as "Mail
// Filter") rooted at dir/filter, configured with the defaults of Configure until a test says
// otherwise, and the program run against them with a log file of its own. The login password,
// "Filter", occurs in the display name: masking it must leave our own texts alone.
class UpdaterHarness {
 public:
  UpdaterHarness() { Configure(); }
  testing_support::ScriptedFtpServer& server() { return server_; }
  void Publish(const FileSet& files) {
    for (const auto& [name, content] : files) server_.AddFile("/updates/" + name, content);
    server_.AddFile("/updates/trigger.crc", TriggerFor(files));
  }

  // One processor: `backupDir`, the [network] table's keys, `server` (the scripted one when
  // empty) and `extra` processor keys.
  void Configure(const std::string& backupDir = "backup",
                 const std::string& network = "stall_timeout_ms = 5000\n",
                 const std::string& server = "", const std::string& extra = "") {
    backupDir_ = backupDir;
    const std::string url =
        server.empty() ? "ftp://127.0.0.1:" + std::to_string(server_.port()) : server;
    program_test::WriteConfig(
        dir_, "[network]\n" + network, "\"" + url + "\"",
        "user = \"updater\"\npassword = 'Filter'\nbackup_dir = \"" + backupDir + "\"\n" + extra);
  }

  Result Once() { return program_test::RunUpdater({"once"}, config_); }
  const std::string& config() const { return config_; }
  // A path beside the processor's root, for a second root or served files.
  std::string Path(const std::string& name) const { return dir_ / name; }
  std::string Root() const { return dir_ / "filter"; }
  std::string Definitions() const { return dir_ / "filter/definitions"; }
  std::string Backup() const { return Root() + "/" + backupDir_; }
  std::string Installed(const std::string& name) const {
    return ReadFile(Definitions() + "/" + name);
  }
  // Every log entry the program's runs wrote so far, one a line.
  std::string Log() const { return ReadFile(dir_ / "log"); }

  // The definitions directory holds `files` and signals them, and the backup directory's
  // reference describes them: the state after a successful installation, and the state a failed
  // one must leave as it found it.
  testing::AssertionResult HoldsSet(const FileSet& files) const {
    FileSet held = {{"reference", ReadFile(Backup() + "/trigger.crc")}}, expected = files;
    for (const auto& [name, content] : files) held[name] = Installed(name);
    held["trigger.crc"] = Installed("trigger.crc");
    expected["trigger.crc"] = expected["reference"] = TriggerFor(files);
    if (held == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "holds " << testing::PrintToString(held);
  }

 private:
  testing_support::TempDir dir_;
  testing_support::ScriptedFtpServer server_;
  const std::string config_ = dir_ / "updater.toml";
  std::string backupDir_;
};

// How often `part` occurs in `text`.
inline std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace faults

#endif  // FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_
