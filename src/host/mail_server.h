// Stand-in for the mail server's configuration manager: the property store and the log.
//
// Properties live in sections; section and property names compare without regard to case. Values
// are typed: 1 NUL-terminated text, 4 32-bit unsigned number, 0 untyped bytes. The store is an
// SQLite database in WAL mode with a busy time-out, so both worker threads of one process and
// another process (an administrator's command) may read and write it at the same time.
//
// Where the store lives: the file named by SetPropertyStorePath when the embedding program has
// called it; otherwise the file named by the environment variable VELMORA_PROPERTY_STORE;
// otherwise an in-memory store that lives as long as the process.
#ifndef FILEREPOSITORY_HOST_MAIL_SERVER_H_
#define FILEREPOSITORY_HOST_MAIL_SERVER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"

#define HOST_API __attribute__((visibility("default")))

inline constexpr DWORD PROPERTY_TYPE_UNTYPED = 0;
inline constexpr DWORD PROPERTY_TYPE_TEXT = 1;
inline constexpr DWORD PROPERTY_TYPE_DWORD = 4;

extern "C" {

struct _tMailServer;

// Names the database file of the store for every handle opened afterwards (null or "" returns to
// the default). The file is created readable and writable by its owner only. Returns 0 with the
// last error set when the file cannot be opened or made.
HOST_API BOOL SetPropertyStorePath(const char* path);

// Opens a handle on the store; `reserved` must be 0. Null on failure (last error set).
HOST_API _tMailServer* OpenMailServer(int reserved);
// Closes a handle. Non-zero on success; a null handle fails with ERROR_INVALID_PARAMETER.
HOST_API BOOL CloseMailServer(_tMailServer* handle);

// Reads a property. On entry *size is the buffer's capacity in bytes; on return the value's size.
// Fails with ERROR_FILE_NOT_FOUND when the property does not exist, with ERROR_MORE_DATA and the
// size needed in *size when the buffer is too small (or null), and with ERROR_INVALID_PARAMETER
// for a null handle, section, name or size. `type` may be null.
HOST_API BOOL GetMailServerProperty(_tMailServer* handle, const char* section, const char* name,
                                    void* buffer, DWORD* size, DWORD* type);

// Writes (creates or replaces) a property. A null handle, section or name, null data with a
// non-zero size, a type other than 0, 1 or 4, or a number (type 4) that is not 4 bytes long fails
// with ERROR_INVALID_PARAMETER. A handle that was closed fails with ERROR_INVALID_HANDLE (also for
// the other calls). When another connection holds the database longer than the busy time-out,
// the call fails with ERROR_TIMEOUT; other storage failures map onto the nearest Windows code
// (ERROR_DISK_FULL, ERROR_GEN_FAILURE for I/O errors, ERROR_INVALID_DATA for a file that is not a
// store).
HOST_API BOOL SetMailServerProperty(_tMailServer* handle, const char* section, DWORD type,
                                    const char* name, const void* data, DWORD size);

}  // extern "C"

// In-process subscription to the writes of this process: after every successful
// SetMailServerProperty the subscriber hears the section and the property name as the writer gave
// them, on the writing thread. Returns a token for UnsubscribePropertyWrites; once that has
// returned the subscriber is never called again. Subscribers must not write properties themselves.
using PropertyWriteSubscriber = std::function<void(const char* section, const char* name)>;
HOST_API int SubscribePropertyWrites(PropertyWriteSubscriber subscriber);
HOST_API void UnsubscribePropertyWrites(int token);

// Holds a host handle. Wrap adopts a handle without owning it: the destructor closes nothing.
class HOST_API CMailServer {
 public:
  CMailServer() = default;
  ~CMailServer() = default;
  CMailServer(const CMailServer&) = delete;
  CMailServer& operator=(const CMailServer&) = delete;

  void Wrap(_tMailServer* handle) { m_hMailServer = handle; }
  operator _tMailServer*() const { return m_hMailServer; }

 private:
  _tMailServer* m_hMailServer = nullptr;
};

// --- The log.

// One entry as the sinks see it.
struct LogEntry {
  std::string time;    // UTC, ISO 8601 to the second, e.g. 2026-12-05T19:44:16Z
  bool error = false;  // error entry; otherwise an operation entry
  std::string source;  // log source name
  DWORD event = 0;
  std::string first;
  std::vector<std::string> texts;
};

// Entries go to every sink. By default one text line per entry on stderr; when the environment
// variable VELMORA_LOG_FORMAT is "json", one JSON object per line:
//   {"time":"...","kind":"operation"|"error","source":"...","event":N,"first":"...","texts":[...]}
// When VELMORA_LOG_FILE names a file, lines are appended there instead of stderr. The embedding
// program may set both explicitly with ConfigureLog, which takes precedence over the environment.
// The environment is read at the first entry and again at the first entry after
// ResetLogConfiguration. A log file that cannot be opened or written sends the line to stderr.
enum class LogFormat { kText, kJson };
HOST_API void ConfigureLog(LogFormat format, const char* file /* null: stderr */);
// Returns to the environment's choice.
HOST_API void ResetLogConfiguration();
// Closes the log file and opens it again by its name, so that after a rotation (the file moved
// away and a new one created, or none) the entries go to a file of that name. True when there is
// no log file or it is open again; when it cannot be opened, entries go to stderr until a later
// entry manages to open it.
HOST_API bool ReopenLogFile();

// The meaning of a numeric detail, for the text form only: a short phrase for a code the
// describer knows, or "" for one it does not. The embedding program installs one (the log cannot
// know every layer's codes); null, the default, adds nothing. Safe to call at any time.
using LogCodeDescriber = std::string (*)(DWORD code);
HOST_API void SetLogCodeDescriber(LogCodeDescriber describer);

// Formats one entry as the sink would write it (without the final line break). JSON keeps every
// text exactly. The text form is for people: a line break inside a text (CR LF or LF) continues
// the entry on a new line indented by four spaces (line breaks at a text's end are dropped), other
// control bytes are escaped, and a detail that is a decimal number the describer knows is
// followed by its meaning in brackets: "| 1460 [the operation timed out]".
HOST_API std::string FormatLogLine(const LogEntry& entry, LogFormat format);

// In-process subscription: every entry is handed to the subscriber, on the logging thread, after
// the line sinks. Returns a token for UnsubscribeLog. Subscribers must not log themselves.
using LogSubscriber = std::function<void(const LogEntry&)>;
HOST_API int SubscribeLog(LogSubscriber subscriber);
HOST_API void UnsubscribeLog(int token);
// When false, the line sinks are silent (tests that capture entries keep stderr quiet).
HOST_API void SetLogLineSinkEnabled(bool enabled);
HOST_API bool LogLineSinkEnabled();

// A log record of one update run.
class HOST_API CLogRecord {
 public:
  // `handle` is the host handle of the run, `source` the log source name; `reserved` is null.
  CLogRecord(_tMailServer* handle, const char* source, void* reserved);
  virtual ~CLogRecord();
  CLogRecord(const CLogRecord&) = delete;
  CLogRecord& operator=(const CLogRecord&) = delete;

  // Write one entry: `first` text, event id, and `count` texts. Null texts are written as "".
  void LogOperationVa(const char* first, DWORD eventId, DWORD count, const char* const* texts);
  void LogErrorVa(const char* first, DWORD eventId, DWORD count, const char* const* texts);

  // Flushes the sinks, so that what was logged is on disk before the host is called back.
  virtual void Flush();

 private:
  void Log(bool error, const char* first, DWORD eventId, DWORD count, const char* const* texts);
  std::string m_source;
};

#endif  // FILEREPOSITORY_HOST_MAIL_SERVER_H_
