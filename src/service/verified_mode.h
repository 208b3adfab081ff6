// Verified mode: a processor whose definition sets must come signed.
//
// A processor given settings here takes only sets whose manifest (the trigger file's name +
// ".sha256", in sha256sum's format) is signed with minisign by one of the configured keys, and
// keeps the last verified manifest as the reference of its integrity check. Without settings (the
// default) every path of the update run is the classic one. integrity/signed_manifest.h holds the
// formats; this header is what the embedding program and the update run share.
//
// Threading: the settings are fixed while the slot's worker runs (ConfigureVerifiedMode refuses to
// change them then), so the worker reads them without a lock. The slot's cached reference is
// touched only by its worker.
#ifndef FILEREPOSITORY_SERVICE_VERIFIED_MODE_H_
#define FILEREPOSITORY_SERVICE_VERIFIED_MODE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"

struct VerifiedModeSettings {
  // The keys a set may be signed with (more than one during a key rotation); never empty.
  std::vector<integrity::PublicKey> keys;
  // A warning entry each cycle once the signed version is older than this; 0: no warning.
  std::uint64_t maxSignatureAgeSecs = 0;
  // The text properties, in the processor's section, that keep the accepted version (decimal
  // seconds) and the verified reference (VerifiedReference::Encode).
  std::string versionProperty = "VerifiedVersion";
  std::string referenceProperty = "VerifiedFiles";
};

// What a verified set left installed: its version, and for each of its files (the trigger file
// itself not included) the manifest's SHA-256 and the size of the file as installed.
struct VerifiedReference {
  struct File {
    integrity::Sha256Digest digest{};
    std::uint64_t size = 0;
    bool operator==(const File&) const = default;
  };
  std::uint64_t version = 0;
  std::map<std::string, File> files;

  bool operator==(const VerifiedReference&) const = default;
  bool Empty() const { return files.empty(); }
  // One line per file: "<64 hex digits> <size> <name>\n", names in byte order.
  std::string Encode() const;
  // The files of an encoded text; false (and no files) for any malformed line.
  bool DecodeFiles(const std::string& text);
};

// Puts the processor's slot (the slot that serves `processorName`, as StartRepositoryUpdateThread
// chooses it) in verified mode with `settings`, or back in the classic mode with null. Call it
// before the slot's worker starts: while the worker runs the settings stay as they are and the
// call returns false. The slot forgets the reference it cached, so that the next check reads it
// from the properties that `settings` name.
bool ConfigureVerifiedMode(const char* processorName,
                           std::shared_ptr<const VerifiedModeSettings> settings);

#endif  // FILEREPOSITORY_SERVICE_VERIFIED_MODE_H_
