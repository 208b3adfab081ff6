// manifest: the SHA-256 manifest of files, byte for byte what sha256sum prints for them when it
// is run on their bare names in name order, for a publisher who signs a definitions set.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"
#include "platform/win32.h"
#include "program/commands.h"
#include "program/console.h"

namespace updater {
namespace {

class ManifestBuilder {
 public:
  void AddOperand(const std::string& operand) {
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(operand, failure);
    if (failure) return Refuse(operand + ": " + failure.message());
    if (std::filesystem::is_regular_file(status)) return AddFile(operand);
    if (!std::filesystem::is_directory(status)) {
      return Refuse(operand + ": not a file or a directory");
    }
    std::filesystem::directory_iterator entries(operand, failure);
    if (failure) return Fail(operand + ": cannot list: " + failure.message());
    for (const std::filesystem::directory_entry& entry : entries) {
      std::error_code ignored;
      if (entry.is_regular_file(ignored)) AddFile(entry.path());  // subdirectories are not listed
    }
  }

  int Print() const {
    if (refused_) return kExitUsage;
    if (failed_) return kExitFailed;
    if (!WriteOut(integrity::Manifest(digests_).Format())) {
      PrintError(std::string("cannot write the manifest: ") + std::strerror(errno));
      return kExitFailed;
    }
    return kExitOk;
  }

 private:
  void AddFile(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const std::string shown = path.string();
    // A checksum list cannot carry whitespace in a name, and sha256sum escapes a backslash.
    if (name.find_first_of(" \t\n\v\f\r\\") != std::string::npos) {
      return Refuse(shown +
                    ": the name holds whitespace or a backslash, which a definitions "
                    "set cannot carry");
    }
    if (auto earlier = paths_.find(name); earlier != paths_.end()) {
      return Refuse(shown + ": another file of the same name is listed: " + earlier->second);
    }
    integrity::Sha256Digest digest{};
    errno = 0;
    if (!integrity::Sha256OfFile(shown.c_str(), &digest, nullptr)) {
      const int reason = errno;
      return Fail(
          shown + ": cannot read: " +
          (reason != 0 ? std::strerror(reason) : "error " + std::to_string(GetLastError())));
    }
    paths_.emplace(name, shown);
    digests_.emplace(name, digest);
  }

  void Refuse(const std::string& message) {
    refused_ = true;
    PrintError(message);
  }
  void Fail(const std::string& message) {
    failed_ = true;
    PrintError(message);
  }

  std::map<std::string, std::string> paths_;
  integrity::Manifest::Entries digests_;
  bool refused_ = false;
  bool failed_ = false;
};

}  // namespace

int PrintManifest(const CommandLine& line) {
  ManifestBuilder manifest;
  for (const std::string& operand : line.operands) manifest.AddOperand(operand);
  return manifest.Print();
}

}  // namespace updater
