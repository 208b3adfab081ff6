// Puts the configuration's process-wide settings in force before any update worker starts: the
// property store first, then the log and the internet layer's time limits and trust store.
#ifndef FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_
#define FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_

#include <string>

#include "program/program_config.h"

namespace updater {

bool ApplyHostSettings(const ProgramConfig& config, std::string* error);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_
