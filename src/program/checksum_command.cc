// checksum: the checksum list of files, in the trigger file's format, for an updates server's
// operator.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "integrity/crc32.h"
#include "program/commands.h"
#include "program/console.h"

namespace updater {
namespace {

// The whitespace bytes of the C locale: a list reader splits names at any of them.
bool HoldsWhitespace(const std::string& name) {
  return name.find_first_of(" \t\n\v\f\r") != std::string::npos;
}

bool Readable(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

class ChecksumList {
 public:
  // Adds a file under its base name, or says why it cannot be listed.
  void AddFile(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const std::string shown = path.string();
    if (HoldsWhitespace(name)) {
      return Refuse(shown + ": the name holds whitespace, which a checksum list cannot carry");
    }
    if (auto earlier = paths_.find(name); earlier != paths_.end()) {
      return Refuse(shown + ": another file of the same name is listed: " + earlier->second);
    }
    std::string why;
    if (!Readable(shown, &why)) {
      ioFailed_ = true;
      PrintError(shown + ": cannot read: " + why);
      return;
    }
    const DWORD crc = CalculateFileCrc32(shown.c_str());
    if (crc == 0) {
      return Refuse(shown +
                    ": its CRC-32 is 0 (an empty file?), which a checksum list cannot "
                    "carry");
    }
    paths_.emplace(name, shown);
    crcs_.emplace(name, crc);
  }

  void AddOperand(const std::string& operand) {
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(operand, failure);
    if (failure) return Refuse(operand + ": " + failure.message());
    if (std::filesystem::is_regular_file(status)) return AddFile(operand);
    if (!std::filesystem::is_directory(status)) {
      return Refuse(operand + ": not a file or a directory");
    }
    std::filesystem::directory_iterator entries(operand, failure);
    if (failure) {
      ioFailed_ = true;
      PrintError(operand + ": cannot list: " + failure.message());
      return;
    }
    for (const std::filesystem::directory_entry& entry : entries) {
      std::error_code ignored;
      if (entry.is_regular_file(ignored)) AddFile(entry.path());  // subdirectories are not listed
    }
  }

  int Print() const {
    if (refused_) return kExitUsage;
    if (ioFailed_) return kExitFailed;
    std::string text;
    for (const auto& [name, crc] : crcs_) {  // std::map orders names byte-wise
      char value[16];
      std::snprintf(value, sizeof value, "%x ", crc);
      text += value + name + "\r\n";
    }
    if (!WriteOut(text)) {
      PrintError(std::string("cannot write the list: ") + std::strerror(errno));
      return kExitFailed;
    }
    return kExitOk;
  }

 private:
  void Refuse(const std::string& message) {
    refused_ = true;
    PrintError(message);
  }

  std::map<std::string, std::string> paths_;
  std::map<std::string, DWORD> crcs_;
  bool refused_ = false;
  bool ioFailed_ = false;
};

}  // namespace

int PrintChecksums(const CommandLine& line) {
  ChecksumList list;
  for (const std::string& operand : line.operands) list.AddOperand(operand);
  return list.Print();
}

}  // namespace updater
