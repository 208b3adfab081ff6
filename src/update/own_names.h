// The updater's own files, which no name from a server's trigger file may replace.
//
// The library knows some of them itself: the pending file (word 36), the name the engine's
// trigger file is staged under, and the temporary names of the installation's copies. The
// embedding program knows the rest (its lock file, its property store, its log file) and reserves
// them here before it starts a worker. A name is the updater's own in any letter case, so that a
// case-insensitive file system cannot be used to reach it either.
#ifndef FILEREPOSITORY_UPDATE_OWN_NAMES_H_
#define FILEREPOSITORY_UPDATE_OWN_NAMES_H_

#include <string>
#include <string_view>

#include "filerepository/filerepository.h"

// Adds a file name (without directory) to the names of the embedding program's own files.
// Process-wide and kept for the life of the process; safe from any thread.
void ReserveOwnFileName(std::string_view name);

// Whether `name` is, in any letter case, a reserved name, the pending file of `config`, or a
// temporary name of the update run (IsLeftoverTemporaryName).
bool IsOwnFileName(std::string_view name, const UpdateConfig& config);

// The name the engine's trigger file is written under before it is renamed into place.
std::string TriggerStagingName(std::string_view triggerName);

// Whether `name` is one of the temporary names an update run writes in the definitions
// directory (the trigger file's staging name, a copy's temporary name): what a killed run leaves
// behind, and what the next cycle removes.
bool IsLeftoverTemporaryName(std::string_view name, const UpdateConfig& config);

#endif  // FILEREPOSITORY_UPDATE_OWN_NAMES_H_
