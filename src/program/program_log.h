// The program's own entries in the log, beside the library's: service start and stop, the log file
// reopened, the outcome of each update cycle, callback commands that failed, the mirror of each
// cycle, and a metrics file that cannot be written. They carry the
// source name "repository-updater" and the program's own event ids, and go to the same sinks.
//
// Never call these from a log subscriber: subscribers run while the log delivers an entry.
#ifndef FILEREPOSITORY_PROGRAM_PROGRAM_LOG_H_
#define FILEREPOSITORY_PROGRAM_PROGRAM_LOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "program/log_monitor.h"

namespace updater {

inline constexpr const char* kProgramLogSource = "repository-updater";

// The program's event ids.
inline constexpr DWORD kEventServiceStarted = 1;
inline constexpr DWORD kEventServiceStopped = 2;
inline constexpr DWORD kEventLogReopened = 3;
inline constexpr DWORD kEventCycleOutcome = 10;
inline constexpr DWORD kEventCallbackFailed = 11;
inline constexpr DWORD kEventCallbackRetried = 12;
inline constexpr DWORD kEventMirrorChosen = 13;
inline constexpr DWORD kEventNoMirrorAnswers = 14;
inline constexpr DWORD kEventMetricsNotWritten = 15;

// `first` is the processor's name, or "" for an entry of the whole service.
void LogProgramOperation(DWORD event, const std::string& first,
                         const std::vector<std::string>& texts);
void LogProgramError(DWORD event, const std::string& first, const std::vector<std::string>& texts);

// One cycle's outcome as `once` prints it and the log shows it: "up to date", "updated N files",
// "restored N files" (verified mode put back altered installed files, some perhaps downloaded
// again) or "failed".
std::string CycleOutcomeText(bool succeeded, const FileCounts& files);
void LogCycleOutcome(const std::string& processor, const std::string& displayName, bool succeeded,
                     const FileCounts& files);

// The meaning of a Windows or internet error code as the log's text form shows it after a
// numeric detail ("the operation timed out"); "" for a code it does not know. Installed into the
// log by the program's host settings.
std::string DescribeErrorCode(DWORD code);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROGRAM_LOG_H_
