// checksum: the checksum list of files, in the trigger file's format, for an updates server's
// operator.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "integrity/crc32.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/set_files.h"

namespace updater {
namespace {

bool Readable(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace

int PrintChecksums(const CommandLine& line) {
  // A list reader splits names at any whitespace byte of the C locale.
  SetFiles set(" \t\n\v\f\r", "whitespace, which a checksum list cannot carry");
  set.AddOperands(line.operands);
  std::string text;
  for (const auto& [name, path] : set.files()) {  // names in byte order
    std::string why;
    if (!Readable(path, &why)) {
      set.Fail(path + ": cannot read: " + why);
      continue;
    }
    const DWORD crc = CalculateFileCrc32(path.c_str());
    if (crc == 0) {
      set.Refuse(path + ": its CRC-32 is 0 (an empty file?), which a checksum list cannot carry");
      continue;
    }
    char value[16];
    std::snprintf(value, sizeof value, "%x ", crc);
    text += value + name + "\r\n";
  }
  if (set.Status() != kExitOk) return set.Status();
  if (!WriteOut(text)) {
    PrintError(std::string("cannot write the list: ") + std::strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace updater
