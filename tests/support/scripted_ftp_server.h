// An FTP server whose behaviour a test scripts, for what real servers will not do on demand:
// files shorter or longer than their listing says, transfers broken off, stalled, trickling or
// endless mid-way, replies that refuse or stall. It is tests/servers/scripted_server.py, on
// 127.0.0.1 at a free port, stopped with this object; it records every command received, PASS
// masked, so that a test can count commands. Content and faults may be changed at any time.
//
// Without a script it behaves as a small read-only server: USER/PASS (any user and password),
// PWD, CWD, TYPE, EPSV, MLSD, RETR, QUIT; other commands get 502. The working directory starts at
// "/".
#ifndef FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_FTP_SERVER_H_
#define FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_FTP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace testing_support {

struct ScriptedFile {
  std::string content;
  // The size listings show; the content's size when unset.
  std::optional<std::uint64_t> listedSize;
  enum class Fault {
    kNone,
    kBreakAfter,    // after faultOffset bytes the data connection closes and "426 ..." follows
    kDropAfter,     // after faultOffset bytes the data and control connections close, no reply
    kStallAfter,    // after faultOffset bytes nothing more comes; the connections stay open
    kDripAfter,     // after faultOffset bytes the rest comes one byte a second, then "226 ..."
    kEndlessAfter,  // after faultOffset bytes filler comes without end, until the client closes
  };
  Fault fault = Fault::kNone;
  std::size_t faultOffset = 0;
  int faultTimes = -1;  // how many downloads the fault spoils; -1 every one
};

// Decides how the server answers a command. The first rule that matches applies.
struct ScriptedRule {
  std::string verb;                     // upper case, such as "RETR"
  std::optional<std::string> argument;  // matched exactly; any argument when unset
  enum class Action {
    kReply,  // send `reply` instead of the normal handling
    kStall,  // send nothing, ever; the session ends when the client closes
    kClose,  // close the control connection without a word
  };
  Action action = Action::kReply;
  std::string reply;  // sent as it stands: CR LF, several lines or garbage are the test's choice
  int times = -1;     // how many commands it answers; -1 without limit
};

class ScriptedFtpServer : public ScriptedServerProcess {
 public:
  ScriptedFtpServer() : ScriptedServerProcess("ftp") {}

  // Paths are absolute ("/updates/a.bin"); parent directories are made as needed.
  void AddDirectory(const std::string& path);
  void AddFile(const std::string& path, ScriptedFile file);
  void AddFile(const std::string& path, const std::string& content);

  void AddRule(ScriptedRule rule);
  void Reply(const std::string& verb, const std::string& reply);  // kReply for every argument

  std::vector<std::string> Transcript() const;  // command lines, "PASS ****" for passwords
  std::size_t CountCommands(const std::string& verb) const;  // as sent: libcurl sends upper case

  // A port on 127.0.0.1 that refuses connections (bound once, then closed again).
  static std::uint16_t RefusingPort() { return FreeLoopbackPort(); }
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_FTP_SERVER_H_
