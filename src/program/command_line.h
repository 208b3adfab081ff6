// The command line: `repository-updater COMMAND [OPTIONS] [OPERANDS]`, the commands' options and
// their help texts.
#ifndef FILEREPOSITORY_PROGRAM_COMMAND_LINE_H_
#define FILEREPOSITORY_PROGRAM_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updater {

struct CommandLine {
  std::string command;  // empty for the program's own --help and --version
  bool help = false;
  bool version = false;
  std::string configFile;                    // -c, --config
  std::string processor;                     // -p, --processor
  bool text = false;                         // --text
  bool json = false;                         // --json
  bool force = false;                        // --force
  bool dryRun = false;                       // --dry-run
  std::optional<std::uint32_t> timeoutSecs;  // --timeout
  std::vector<std::string> operands;
};

// Parses the arguments after the program name. On a usage error returns nullopt with `error` set
// to the message (the caller prints it with a pointer to --help and exits with status 2).
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string* error);

// The program's help, and a command's.
std::string ProgramHelp();
std::string CommandHelp(const std::string& command);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_COMMAND_LINE_H_
