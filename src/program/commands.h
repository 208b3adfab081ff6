// The commands of the service program. Each returns the process's exit status; each prints its
// own messages (errors on stderr prefixed with the program's name).
#ifndef FILEREPOSITORY_PROGRAM_COMMANDS_H_
#define FILEREPOSITORY_PROGRAM_COMMANDS_H_

#include <vector>

#include "program/command_line.h"
#include "program/program_config.h"

namespace updater {

// run: every processor until SIGINT or SIGTERM.
int RunService(const ProgramConfig& config);
// once: one cycle per processor (or for line.processor), bounded by line.timeoutSecs.
int RunOnce(const CommandLine& line, const ProgramConfig& config);
// once --dry-run: prints what one cycle per processor (or for line.processor) would do.
int PlanOnce(const CommandLine& line, const ProgramConfig& config);
// The processors once and its dry run work on: line.processor, or every one when it is empty.
// False, with the error printed, when no processor has that name.
bool SelectProcessors(const CommandLine& line, const ProgramConfig& config,
                      std::vector<const ProcessorSettings*>* selected);

int ShowStatus(const CommandLine& line, const ProgramConfig& config);
int RequestUpdateNow(const CommandLine& line, const ProgramConfig& config);
int GetProperty(const CommandLine& line, const ProgramConfig& config);
int SetProperty(const CommandLine& line, const ProgramConfig& config);

// check-config: what the configuration needs of the file system, once it has loaded.
int CheckConfig(const ProgramConfig& config);

// checksum and manifest: need no configuration.
int PrintChecksums(const CommandLine& line);
int PrintManifest(const CommandLine& line);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_COMMANDS_H_
