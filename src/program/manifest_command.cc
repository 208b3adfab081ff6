// manifest: the SHA-256 manifest of files, byte for byte what sha256sum prints for them when it
// is run on their bare names in name order, for a publisher who signs a definitions set.
#include <cerrno>
#include <cstring>
#include <string>

#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"
#include "platform/win32.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/set_files.h"

namespace updater {

int PrintManifest(const CommandLine& line) {
  // A checksum list cannot carry whitespace in a name, and sha256sum escapes a backslash.
  SetFiles set(" \t\n\v\f\r\\",
               "whitespace or a backslash, which a definitions set cannot carry");
  set.AddOperands(line.operands);
  integrity::Manifest::Entries digests;
  for (const auto& [name, path] : set.files()) {
    integrity::Sha256Digest digest{};
    errno = 0;
    if (!integrity::Sha256OfFile(path.c_str(), &digest, nullptr)) {
      const int reason = errno;
      set.Fail(path + ": cannot read: " +
               (reason != 0 ? std::strerror(reason) : "error " + std::to_string(GetLastError())));
      continue;
    }
    digests.emplace(name, digest);
  }
  if (set.Status() != kExitOk) return set.Status();
  if (!WriteOut(integrity::Manifest(digests).Format())) {
    PrintError(std::string("cannot write the manifest: ") + std::strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace updater
