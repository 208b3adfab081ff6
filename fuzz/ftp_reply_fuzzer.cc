// The FTP reply assembler over the lines of a control connection from a hostile server, checked
// against the reply syntax it promises: which lines are reply lines and with which code, a reply is
// completed exactly by a "ddd" or "ddd text" line with the opening code, a malformed line restarts
// the assembly, stored text is capped and always ends in CR LF, and a reply short enough to keep is
// kept whole, nothing lost. The same lines, as a client would send them, go through CommandVerb,
// which must never pass on an argument.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/internet/ftp_reply.h"

namespace {

using internet::FtpReplyAssembler;

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// The verb is the line up to its first separator, at most 16 bytes, in upper case.
void CheckCommandVerb(std::string_view line) {
  std::string expected(line.substr(0, std::min<std::size_t>(16, line.find_first_of(" \t\r\n"))));
  for (char& c : expected) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  FUZZ_CHECK(internet::CommandVerb(line) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  FtpReplyAssembler assembler;
  std::vector<std::string_view> pending;  // the lines of the reply being assembled
  int pendingCode = 0;

  while (!input.empty()) {
    const std::size_t newline = input.find('\n');
    const std::string_view line =
        newline == std::string_view::npos ? input : input.substr(0, newline + 1);
    input.remove_prefix(line.size());
    CheckCommandVerb(line);

    bool multiLine = false;
    const int code = internet::ReplyCodeOfLine(line, &multiLine);
    // A reply line: a code of three digits from 100 to 599, then nothing, a blank or a hyphen.
    const std::string_view bare = WithoutLineEnd(line);
    int expectedCode = 0;
    if (bare.size() >= 3 && bare.find_first_not_of("0123456789") >= 3 &&
        (bare.size() == 3 || bare[3] == ' ' || bare[3] == '-')) {
      expectedCode = std::stoi(std::string(bare.substr(0, 3)));
      if (expectedCode < 100 || expectedCode > 599) expectedCode = 0;
    }
    FUZZ_CHECK(code == expectedCode);
    FUZZ_CHECK(multiLine == (code != 0 && bare.size() > 3 && bare[3] == '-'));

    const FtpReplyAssembler::Status status = assembler.AddLine(line);
    if (pending.empty()) {
      if (code == 0) {
        FUZZ_CHECK(status == FtpReplyAssembler::Status::kMalformed);
        continue;
      }
      pendingCode = code;
      if (multiLine) {
        FUZZ_CHECK(status == FtpReplyAssembler::Status::kIncomplete);
        pending.push_back(line);
        continue;
      }
    } else if (pending.size() == FtpReplyAssembler::kMaxReplyLines) {
      FUZZ_CHECK(status == FtpReplyAssembler::Status::kMalformed);
      pending.clear();
      continue;
    } else if (code != pendingCode || multiLine) {
      FUZZ_CHECK(status == FtpReplyAssembler::Status::kIncomplete);
      pending.push_back(line);
      continue;
    }

    FUZZ_CHECK(status == FtpReplyAssembler::Status::kComplete);
    pending.push_back(line);
    std::string expected;
    for (std::string_view part : pending) {
      expected.append(WithoutLineEnd(part));
      expected.append("\r\n");
    }
    const internet::FtpReply& reply = assembler.reply();
    FUZZ_CHECK(reply.code == pendingCode);
    FUZZ_CHECK(reply.text.size() <= FtpReplyAssembler::kMaxReplyText);
    FUZZ_CHECK(reply.text.size() >= 5 && reply.text.compare(reply.text.size() - 2, 2, "\r\n") == 0);
    FUZZ_CHECK(reply.text.compare(0, 3, std::to_string(pendingCode)) == 0);
    if (expected.size() <= FtpReplyAssembler::kMaxReplyText) FUZZ_CHECK(reply.text == expected);
    pending.clear();
  }
  return 0;
}
