// The service program's configuration file (TOML): the property store, the log, the network time
// limits and one [[processor]] table per content processor.
//
// Loading validates everything before anything is started: unknown tables and keys, missing
// required keys, wrong types, numbers out of range and processors that would share an update slot
// are refused with the file, the line and what is wrong ("FILE:LINE: ...").
#ifndef FILEREPOSITORY_PROGRAM_PROGRAM_CONFIG_H_
#define FILEREPOSITORY_PROGRAM_PROGRAM_CONFIG_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/mail_server.h"
#include "integrity/signed_manifest.h"

namespace updater {

// How a processor key is checked, and what it maps onto in the library's configuration block.
enum class KeyKind {
  kText,          // any text without NUL characters
  kName,          // a non-empty text
  kServer,        // a host name or an ftp://, ftps://, http://, https:// address
  kPath,          // a local path; relative to the configuration file's directory
  kSubdirectory,  // a relative path below the root directory
  kFileName,      // a plain file name
  kCommand,       // a shell command for a host callback
  kNumber,        // an unsigned 32-bit number within [minimum, maximum]
  kBoolean,
};

struct ProcessorKey {
  const char* key;
  KeyKind kind;
  int word;  // the UpdateConfig word, -1 when the key has none
  bool required;
  const char* textDefault;  // null: none
  const char* fallback;     // another key whose value is the default; null: none
  std::uint32_t numberDefault;
  std::uint32_t minimum;
  std::uint32_t maximum;
};

// Every key a [[processor]] table may hold, in the order the reference documents them.
const std::vector<ProcessorKey>& ProcessorKeys();

// One processor as configured. Texts and numbers are keyed by their configuration key; every key
// with a default is present after loading, keys without one (user, password, remote_dir, the
// callback commands) only when the file gives them. Booleans are numbers 0 or 1.
struct ProcessorSettings {
  int line = 0;  // the line of its [[processor]] header
  std::map<std::string, std::string, std::less<>> texts;
  std::map<std::string, std::uint32_t, std::less<>> numbers;
  // Verified mode: the keys of public_key and public_key_file (the files read and parsed when the
  // configuration loads) and the key files, absolute. No key: the classic mode.
  std::vector<integrity::PublicKey> publicKeys;
  std::vector<std::string> publicKeyFiles;
  // Every address `server` gives, in its order: one, or the mirrors of a list. The text of
  // "server" is the first.
  std::vector<std::string> servers;

  // The text of `key`, or null when it is absent.
  const std::string* FindText(std::string_view key) const;
  // The text of `key`; "" when absent.
  const std::string& Text(std::string_view key) const;
  // The number of `key`; 0 when absent.
  std::uint32_t Number(std::string_view key) const;

  const std::string& Name() const { return Text("name"); }
  const std::string& DisplayName() const { return Text("display_name"); }
  // The processor's directories, absolute.
  const std::string& RootDir() const { return Text("root_dir"); }
  std::string DefinitionsDir() const;
  std::string BackupDir() const;
  std::string MasterDir() const;
};

struct ProgramConfig {
  std::string file;       // the configuration file as named on the command line
  std::string storePath;  // absolute
  LogFormat logFormat = LogFormat::kText;
  std::string logFile;  // absolute; empty: stderr
  std::optional<std::uint32_t> connectTimeoutMs;
  std::optional<std::uint32_t> stallTimeoutMs;
  std::optional<std::uint32_t> minRateBytesPerS;
  std::optional<std::uint32_t> maxFileSize;
  std::string caFile;  // absolute; empty: the system's trust store
  std::string metricsFile;  // absolute; empty: no metrics are written
  std::vector<ProcessorSettings> processors;

  // The processor of that name, compared without regard to case as property sections are; null
  // when there is none.
  const ProcessorSettings* FindProcessor(std::string_view name) const;
};

// Loads and validates `file`. On failure returns nullopt and sets `error` to the complete message:
// one line "FILE:LINE: what is wrong" per problem found, in the order of the lines ("FILE: ..."
// where no line applies).
std::optional<ProgramConfig> LoadProgramConfig(const std::string& file, std::string* error);

// True for the processor name that the library serves in its own update slot ("MailFilter0",
// compared without regard to case); every other name shares the second slot.
bool UsesFilterSlot(std::string_view processorName);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROGRAM_CONFIG_H_
