#include "program/program_log.h"

#include <cctype>

#include "host/mail_server.h"
#include "platform/internet/internet.h"

namespace updater {
namespace {

void Log(bool error, DWORD event, const std::string& first, const std::vector<std::string>& texts) {
  std::vector<const char*> pointers;
  for (const std::string& text : texts) pointers.push_back(text.c_str());
  CLogRecord log(nullptr, kProgramLogSource, nullptr);
  const DWORD count = static_cast<DWORD>(pointers.size());
  if (error) {
    log.LogErrorVa(first.c_str(), event, count, pointers.data());
  } else {
    log.LogOperationVa(first.c_str(), event, count, pointers.data());
  }
}

struct CodeMeaning {
  DWORD code;
  const char* meaning;
};

// The Windows codes the updater sets or logs, in the sense it gives them.
constexpr CodeMeaning kSystemCodes[] = {
    {ERROR_FILE_NOT_FOUND, "the file does not exist"},
    {ERROR_PATH_NOT_FOUND, "the path or the remote file does not exist"},
    {ERROR_TOO_MANY_OPEN_FILES, "too many files are open"},
    {ERROR_ACCESS_DENIED, "access is denied"},
    {ERROR_INVALID_HANDLE, "the handle is not valid"},
    {ERROR_NOT_ENOUGH_MEMORY, "not enough memory"},
    {ERROR_INVALID_DATA, "the data is not valid"},
    {ERROR_NO_MORE_FILES, "there are no more files"},
    {ERROR_CRC, "the CRC-32 does not match the trigger file"},
    {ERROR_GEN_FAILURE, "the system call failed"},
    {ERROR_SHARING_VIOLATION, "the file is busy"},
    {ERROR_FILE_EXISTS, "the file already exists"},
    {ERROR_INVALID_PARAMETER, "a parameter is not valid"},
    {ERROR_DISK_FULL, "the disk is full"},
    {ERROR_INSUFFICIENT_BUFFER, "more data came than the listing announced"},
    {ERROR_INVALID_NAME, "the file name is not allowed"},
    {ERROR_FILENAME_EXCED_RANGE, "the file name is too long"},
    {ERROR_MORE_DATA, "more data is available"},
    {ERROR_NO_DATA_DETECTED, "less data came than the listing announced"},
    {ERROR_TIMEOUT, "the operation timed out"},
    {ERROR_INVALID_DATATYPE, "the property has another type"},
};

}  // namespace

void LogProgramOperation(DWORD event, const std::string& first,
                         const std::vector<std::string>& texts) {
  Log(false, event, first, texts);
}

void LogProgramError(DWORD event, const std::string& first, const std::vector<std::string>& texts) {
  Log(true, event, first, texts);
}

std::string CycleOutcomeText(bool succeeded, const FileCounts& files) {
  if (!succeeded) return "failed";
  if (files.restored != 0) return "restored " + std::to_string(files.restored) + " files";
  if (files.updated == 0) return "up to date";
  return "updated " + std::to_string(files.updated) + " files";
}

void LogCycleOutcome(const std::string& processor, const std::string& displayName, bool succeeded,
                     const FileCounts& files) {
  LogProgramOperation(kEventCycleOutcome, processor,
                      {"Update cycle of the " + displayName + " definition files",
                       CycleOutcomeText(succeeded, files)});
}

std::string DescribeErrorCode(DWORD code) {
  for (const CodeMeaning& entry : kSystemCodes) {
    if (entry.code == code) return entry.meaning;
  }
  // The internet layer's sentences, made to read as a phrase: "The server did not answer within
  // the time limit.\r\n" becomes "the server did not answer within the time limit".
  std::string text = InternetErrorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

}  // namespace updater
