#include "program/console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace updater {
namespace {

bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

// A closed stdout or stderr loses the line, nothing more.
void PrintError(std::string_view message) {
  WriteAll(STDERR_FILENO, std::string(kProgramName) + ": " + std::string(message) + "\n");
}

void PrintDiagnostic(std::string_view message) {
  WriteAll(STDERR_FILENO, std::string(message) + "\n");
}

void PrintLine(std::string_view line) {
  WriteAll(STDOUT_FILENO, std::string(line) + "\n");
}

bool WriteOut(std::string_view text) {
  return WriteAll(STDOUT_FILENO, text);
}

}  // namespace updater
