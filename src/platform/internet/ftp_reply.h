// FTP control-connection text, without I/O: assembling the lines a server sends into replies
// (multi-line replies whole), and naming the command a client line sends.
//
// Pure functions and a small value class, so that a fuzzer can drive them and tests need no
// network. Every input is treated as hostile: stored text is capped and an endless or malformed
// reply is reported, never buffered without bound.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_FTP_REPLY_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_FTP_REPLY_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace internet {

// One complete server reply: its numeric code and its lines as the server sent them, each ended
// with CR LF (a bare LF from the server becomes CR LF).
struct FtpReply {
  int code = 0;
  std::string text;
};

// Builds replies from the lines of a control connection, one line at a time.
//
// A reply is a line "ddd text" (or just "ddd"), or a first line "ddd-text", any further lines,
// and a last line "ddd text" with the same code (RFC 959, 4.2). A line that cannot begin a reply,
// a code outside 100..599 and a multi-line reply longer than kMaxReplyLines lines are malformed;
// after a malformed line the assembler starts afresh with the next line.
class FtpReplyAssembler {
 public:
  // The stored text of one reply is cut at this many bytes (the reply still counts as whole).
  static constexpr std::size_t kMaxReplyText = 8192;
  static constexpr std::size_t kMaxReplyLines = 1000;

  enum class Status {
    kIncomplete,  // the line belongs to a multi-line reply that goes on
    kComplete,    // the line completed a reply: see reply()
    kMalformed,   // the line breaks the reply syntax
  };

  // Adds one line, with or without its line end.
  Status AddLine(std::string_view line);
  // The reply completed by the last AddLine that returned kComplete.
  const FtpReply& reply() const { return complete_; }

 private:
  void Append(std::string_view line);

  bool inMultiLine_ = false;
  std::size_t lines_ = 0;
  FtpReply building_;
  FtpReply complete_;
};

// The reply code a line begins with when it is a well-formed start of a reply ("ddd", "ddd " or
// "ddd-" followed by anything), else 0. `multiLine` tells whether it was "ddd-".
int ReplyCodeOfLine(std::string_view line, bool* multiLine);

// The command word of a line the client sends ("USER" for "USER anonymous\r\n"), in upper case.
// Never returns the argument: a PASS line must not leave its password anywhere.
std::string CommandVerb(std::string_view line);

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_FTP_REPLY_H_
