// The program's own messages, apart from the library's log entries.
#ifndef FILEREPOSITORY_PROGRAM_CONSOLE_H_
#define FILEREPOSITORY_PROGRAM_CONSOLE_H_

#include <string_view>

namespace updater {

inline constexpr const char* kProgramName = "repository-updater";
// Kept in step with the project's version.
inline constexpr const char* kProgramVersion = FR_VERSION;  // the project version, from the build

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;  // bad command line, bad configuration, refused input
inline constexpr int kExitInvalidDefinitions = 3;

// "repository-updater: <message>" on stderr, as one write so that lines of concurrent threads
// and of the library's log do not interleave.
void PrintError(std::string_view message);
// `message` and a line end on stderr, without the prefix.
void PrintDiagnostic(std::string_view message);
// The same on stdout.
void PrintLine(std::string_view line);
// `text` on stdout as it stands; false when it could not all be written.
bool WriteOut(std::string_view text);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_CONSOLE_H_
