// The plan of one update cycle: what the cycle would fetch, install, restore and leave, and
// whether it would signal the engine, as the dry run finds it without making the cycle.
#ifndef FILEREPOSITORY_UPDATE_CYCLE_PLAN_H_
#define FILEREPOSITORY_UPDATE_CYCLE_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

struct CyclePlan {
  enum class Status {
    kPlanned,        // the plan below was made
    kCannotConnect,  // Connect failed; the transport logged why
    kRefused,        // verified mode: the set would be refused; the refusal was logged
    kFails,          // the cycle would fail before it fetched anything; `reason` says why
  };
  Status status = Status::kPlanned;
  std::string reason;

  bool newSet = false;  // the server's trigger file differs from the local copy
  // The pending file is present while a new set is announced: the cycle forgets the local copy
  // of the trigger file (and removes the engine's trigger file and the pending file) and fetches
  // every file of the set again.
  bool startsAfresh = false;

  // Downloads, in the order the cycle makes them, and their size as the server's listing gives
  // them (sizesKnown: the transport reads a listing; HTTP does not).
  std::vector<std::string> fetch;
  std::uint64_t fetchBytes = 0;
  bool sizesKnown = false;
  // Files of `fetch` the listing lacks, and names the cycle refuses to fetch (a path, or a name
  // of the updater's own): either makes the cycle fail, installing nothing.
  std::vector<std::string> notListed;
  std::vector<std::string> refused;

  // Copied into the definitions directory: downloads, and backup copies that differ from the
  // installed file (byte for byte, or in their permission bits or modification time).
  std::vector<std::string> install;
  // Verified mode: installed files that differ from the verified set and would be put back.
  std::vector<std::string> restore;
  // Entries of the definitions directory that the server's set does not name and that the
  // installation leaves as they are.
  std::vector<std::string> leave;

  bool signal = false;       // the trigger file would be dropped for the engine
  bool promptAgain = false;  // nothing to install, but the engine is told again (pending file)

  // Verified mode: the set's signature was checked, by key `keyId`, signed at `signedVersion`;
  // `installedVersion` is the installed set's (0: none yet).
  bool verified = false;
  std::string keyId;
  std::uint64_t signedVersion = 0;
  std::uint64_t installedVersion = 0;

  // Whether the cycle, as planned, would fail although the plan could be made.
  bool WouldFail() const { return !notListed.empty() || !refused.empty(); }
};

#endif  // FILEREPOSITORY_UPDATE_CYCLE_PLAN_H_
