#include "platform/internet/ftp_reply.h"

namespace internet {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

int ReplyCodeOfLine(std::string_view line, bool* multiLine) {
  line = WithoutLineEnd(line);
  if (multiLine != nullptr) *multiLine = false;
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (code < 100 || code > 599) return 0;
  if (line.size() == 3) return code;
  if (line[3] == ' ') return code;
  if (line[3] == '-') {
    if (multiLine != nullptr) *multiLine = true;
    return code;
  }
  return 0;
}

void FtpReplyAssembler::Append(std::string_view line) {
  line = WithoutLineEnd(line);
  std::string& text = building_.text;
  // Keep room for the line end so that a cut reply still ends in CR LF; a line that finds no
  // room even for that is dropped.
  if (text.size() + 2 > kMaxReplyText) return;
  const std::size_t room = kMaxReplyText - text.size() - 2;
  if (line.size() > room) line = line.substr(0, room);
  text.append(line);
  text.append("\r\n");
}

FtpReplyAssembler::Status FtpReplyAssembler::AddLine(std::string_view line) {
  if (!inMultiLine_) {
    bool multi = false;
    const int code = ReplyCodeOfLine(line, &multi);
    if (code == 0) return Status::kMalformed;
    building_ = FtpReply{code, {}};
    lines_ = 1;
    Append(line);
    if (multi) {
      inMultiLine_ = true;
      return Status::kIncomplete;
    }
    complete_ = std::move(building_);
    building_ = {};
    return Status::kComplete;
  }

  if (++lines_ > kMaxReplyLines) {
    inMultiLine_ = false;
    building_ = {};
    return Status::kMalformed;
  }
  Append(line);
  bool multi = false;
  const int code = ReplyCodeOfLine(line, &multi);
  // Only "ddd " (or a bare "ddd") with the opening code ends the reply; lines in between may
  // hold anything, digits included.
  if (code == building_.code && !multi) {
    inMultiLine_ = false;
    complete_ = std::move(building_);
    building_ = {};
    return Status::kComplete;
  }
  return Status::kIncomplete;
}

std::string CommandVerb(std::string_view line) {
  std::string verb;
  for (char c : line) {
    if (c == ' ' || c == '\r' || c == '\n' || c == '\t') break;
    if (verb.size() >= 16) break;  // no FTP command word is longer
    verb.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return verb;
}

}  // namespace internet
