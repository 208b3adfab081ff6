// The ground the fault, crash and security scenarios stand on: definition sets published on a
// scripted FTP server, a configuration for the repository-updater program, its runs as child
// processes, and the one invariant every scenario checks: the engine is never signalled with a
// set that is not whole.
#ifndef FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_
#define FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_

#include <strings.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

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

// CRC-32 as checksum lists carry it (IEEE 802.3, reflected, as zlib computes it), computed here
// apart from the code under test so that the invariant does not trust what it checks.
inline std::uint32_t Crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> made{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      made[n] = c;
    }
    return made;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

inline std::string ChecksumLine(const std::string& name, std::uint32_t crc) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x ", crc);
  return hex + name + "\r\n";
}

// The trigger file of a set: one "%x name\r\n" line per file, in name order.
inline std::string TriggerFor(const FileSet& files) {
  std::string text;
  for (const auto& [name, content] : files) text += ChecksumLine(name, Crc32(content));
  return text;
}

// The invariant: when the trigger file is in the definitions directory, it is a whole checksum
// list naming at least one file, and every file it names is there with that CRC-32. Without a
// trigger file nothing is signalled and any mixture of files is allowed.
inline testing::AssertionResult SignalledSetIsWhole(const std::string& definitions,
                                                    const std::string& triggerName) {
  const std::string triggerPath = definitions + "/" + triggerName;
  if (!FileExists(triggerPath)) return testing::AssertionSuccess();
  const std::string text = ReadFile(triggerPath);
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    return testing::AssertionFailure()
           << "the signalled trigger file is cut short or empty: \"" << text << "\"";
  }
  std::istringstream lines(text);
  std::string crcText, name;
  std::size_t named = 0;
  while (lines >> crcText >> name) {
    char* end = nullptr;
    const unsigned long crc = std::strtoul(crcText.c_str(), &end, 16);
    if (end == crcText.c_str() || *end != '\0') {
      return testing::AssertionFailure()
             << "the signalled trigger file holds a bad value \"" << crcText << "\"";
    }
    ++named;
    if (strcasecmp(name.c_str(), triggerName.c_str()) == 0) continue;
    const std::string path = definitions + "/" + name;
    if (!FileExists(path)) {
      return testing::AssertionFailure()
             << "the engine is signalled with " << name << ", which is not installed";
    }
    if (Crc32(ReadFile(path)) != crc) {
      return testing::AssertionFailure()
             << "the engine is signalled with " << name << ", whose installed content differs";
    }
  }
  if (named == 0) return testing::AssertionFailure() << "the trigger file signals no files";
  return testing::AssertionSuccess();
}

// Where the program keeps a processor's files, and what else its configuration holds.
struct HarnessOptions {
  std::string definitionsDir = "definitions";  // below the root directory
  std::string backupDir = "backup";
  std::string processorKeys;  // further "key = value" lines of the processor
  std::string network = "connect_timeout_ms = 5000\nstall_timeout_ms = 5000\n";
  std::string logFormat = "text";
  std::string password = "s3cret-updates-pass";  // written as a TOML literal: no single quote
  std::string scheme = "ftp";
  std::uint16_t port = 0;  // 0: the harness's scripted server
};

// Publishes the files under /updates with their trigger file. `faulty` replaces the published
// form of some files (a stall, a wrong listed size...); their content stays what the trigger
// file announces.
inline void PublishSet(testing_support::ScriptedFtpServer& server, const FileSet& files,
                       const std::map<std::string, testing_support::ScriptedFile>& faulty = {}) {
  for (const auto& [name, content] : files) {
    testing_support::ScriptedFile file;
    if (const auto found = faulty.find(name); found != faulty.end()) file = found->second;
    file.content = content;
    server.AddFile("/updates/" + name, file);
  }
  server.AddFile("/updates/trigger.crc", TriggerFor(files));
}

// Sets on a scripted server under /updates, one processor ("MailFilter0", shown as "Mail
// Filter") rooted at dir/filter, and the program run against them with a log file of its own.
class UpdaterHarness {
 public:
  static constexpr const char* kTrigger = "trigger.crc";

  UpdaterHarness() { server_.AddDirectory("/updates"); }

  testing_support::ScriptedFtpServer& server() { return server_; }
  const testing_support::TempDir& dir() const { return dir_; }
  const HarnessOptions& options() const { return options_; }

  void Publish(const FileSet& files,
               const std::map<std::string, testing_support::ScriptedFile>& faulty = {}) {
    PublishSet(server_, files, faulty);
  }
  void PublishTrigger(const std::string& text) { server_.AddFile("/updates/" + Trigger(), text); }

  void Configure(HarnessOptions options = {}) {
    options_ = std::move(options);
    const std::uint16_t port = options_.port != 0 ? options_.port : server_.port();
    testing_support::WriteFile(
        config_,
        "[store]\npath = \"store.db\"\n"
        "[log]\nformat = \"" +
            options_.logFormat +
            "\"\nfile = \"updater.log\"\n"
            "[network]\n" +
            options_.network +
            "[[processor]]\nname = \"MailFilter0\"\ndisplay_name = \"Mail Filter\"\n"
            "server = \"" +
            options_.scheme + "://127.0.0.1:" + std::to_string(port) +
            "\"\nremote_dir = \"updates\"\nuser = \"updater\"\npassword = '" + options_.password +
            "'\nroot_dir = \"filter\"\ndefinitions_dir = \"" + options_.definitionsDir +
            "\"\nbackup_dir = \"" + options_.backupDir +
            "\"\ntrigger_file = \"trigger.crc\"\nextensions = \"dat,cfg\"\n"
            "probe_timeout_ms = 5000\n" +
            options_.processorKeys);
  }

  // `once` to its end.
  Result Once() { return program_test::RunUpdater({"once", "-c", config_}); }
  // `run`, left running.
  std::unique_ptr<Updater> Start() {
    return std::make_unique<Updater>(std::vector<std::string>{"run", "-c", config_});
  }
  Result Command(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin() + 1, {"-c", config_});
    return program_test::RunUpdater(arguments);
  }

  const std::string& config() const { return config_; }
  std::string Root() const { return dir_ / "filter"; }
  std::string Definitions() const { return Root() + "/" + options_.definitionsDir; }
  std::string Backup() const { return Root() + "/" + options_.backupDir; }
  std::string Trigger() const { return kTrigger; }
  std::string Installed(const std::string& name) const {
    return ReadFile(Definitions() + "/" + name);
  }
  // Every log entry the program runs wrote so far, one a line.
  std::string Log() const { return ReadFile(dir_ / "updater.log"); }

  testing::AssertionResult SetIsWhole() const {
    return SignalledSetIsWhole(Definitions(), Trigger());
  }

  // The definitions directory holds `files` and signals them with their trigger file, and the
  // backup directory's reference describes them: the state after a successful installation, and
  // the state a failed one must leave as it found it.
  testing::AssertionResult HoldsSet(const FileSet& files) const {
    const std::string trigger = TriggerFor(files);
    for (const auto& [name, content] : files) {
      if (Installed(name) != content) {
        return testing::AssertionFailure()
               << name << " holds \"" << Installed(name) << "\" instead of \"" << content << "\"";
      }
    }
    if (Installed(Trigger()) != trigger) {
      return testing::AssertionFailure() << "the engine's trigger file is \""
                                         << Installed(Trigger()) << "\", not \"" << trigger << "\"";
    }
    if (ReadFile(Backup() + "/" + Trigger()) != trigger) {
      return testing::AssertionFailure()
             << "the reference trigger file is \"" << ReadFile(Backup() + "/" + Trigger()) << "\"";
    }
    return SetIsWhole();
  }

  // Whether a `run` service has started its workers (it says so on stderr).
  static bool Started(const Updater& service) {
    return service.Err().find("updating MailFilter0 (") != std::string::npos;
  }

  // Waits until a running service has installed `files` and written its reference, then stops it
  // with SIGTERM; true when both happened and it exited with status 0.
  testing::AssertionResult ConvergeAndStop(Updater& service, const FileSet& files) {
    // A stop signal is the service's to handle only once it has started its workers; before, it
    // ends the process as it would end any.
    const bool started = Eventually([&] { return Started(service); });
    const bool converged =
        started && Eventually([&] { return static_cast<bool>(HoldsSet(files)); });
    service.Signal(SIGTERM);
    const int status = service.Wait();
    if (!converged) {
      return testing::AssertionFailure()
             << "the service did not converge: " << HoldsSet(files).message() << "\n"
             << service.Err();
    }
    if (status != 0) {
      return testing::AssertionFailure() << "the service exited with " << status << "\n"
                                         << service.Err();
    }
    return testing::AssertionSuccess();
  }

 private:
  testing_support::TempDir dir_;
  testing_support::ScriptedFtpServer server_;
  const std::string config_ = dir_ / "updater.toml";
  HarnessOptions options_;
};

// How often `part` occurs in `text`.
inline std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Fails the test when the program under test has not been built (it is a separate target).
inline bool UpdaterBuilt() {
  return access(program_test::UpdaterPath().c_str(), X_OK) == 0;
}

}  // namespace faults

#endif  // FILEREPOSITORY_TESTS_FAULTS_UPDATER_HARNESS_H_
