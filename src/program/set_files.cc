#include "program/set_files.h"

#include <filesystem>
#include <system_error>

#include "program/console.h"

namespace updater {

void SetFiles::AddOperands(const std::vector<std::string>& operands) {
  for (const std::string& operand : operands) {
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(operand, failure);
    if (failure) {
      Refuse(operand + ": " + failure.message());
    } else if (std::filesystem::is_regular_file(status)) {
      AddFile(operand);
    } else if (!std::filesystem::is_directory(status)) {
      Refuse(operand + ": not a file or a directory");
    } else {
      std::filesystem::directory_iterator entries(operand, failure);
      if (failure) Fail(operand + ": cannot list: " + failure.message());
      for (const std::filesystem::directory_entry& entry : entries) {
        std::error_code ignored;
        if (entry.is_regular_file(ignored)) AddFile(entry.path().string());
      }
    }
  }
}

void SetFiles::AddFile(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  if (name.find_first_of(forbidden_) != std::string::npos) {
    return Refuse(path + ": the name holds " + why_);
  }
  if (auto earlier = files_.find(name); earlier != files_.end()) {
    return Refuse(path + ": another file of the same name is listed: " + earlier->second);
  }
  files_.emplace(name, path);
}

void SetFiles::Refuse(const std::string& message) {
  refused_ = true;
  PrintError(message);
}

void SetFiles::Fail(const std::string& message) {
  failed_ = true;
  PrintError(message);
}

int SetFiles::Status() const {
  if (refused_) return kExitUsage;
  return failed_ ? kExitFailed : kExitOk;
}

}  // namespace updater
