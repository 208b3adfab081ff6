// repository-updater: the host service program of the file-repository library.
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "program/command_line.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/program_config.h"

namespace updater {
namespace {

int Main(const std::vector<std::string>& arguments) {
  std::string error;
  const std::optional<CommandLine> line = ParseCommandLine(arguments, &error);
  if (!line) {
    PrintError(error);
    PrintError("try 'repository-updater --help'");
    return kExitUsage;
  }
  if (line->help) {
    WriteOut(line->command.empty() ? ProgramHelp() : CommandHelp(line->command));
    return kExitOk;
  }
  if (line->version) {
    PrintLine(std::string(kProgramName) + " " + kProgramVersion);
    return kExitOk;
  }
  if (line->command == "checksum") return PrintChecksums(*line);
  if (line->command == "manifest") return PrintManifest(*line);

  const std::optional<ProgramConfig> config = LoadProgramConfig(line->configFile, &error);
  if (!config) {
    // One "FILE:LINE: problem" line each, unprefixed, as compilers write them.
    PrintDiagnostic(error);
    return kExitUsage;
  }
  if (line->command == "run") return RunService(*config);
  if (line->command == "once") {
    return line->dryRun ? PlanOnce(*line, *config) : RunOnce(*line, *config);
  }
  if (line->command == "status") return ShowStatus(*line, *config);
  if (line->command == "check-config") return CheckConfig(*config);
  if (line->command == "update-now") return RequestUpdateNow(*line, *config);
  if (line->command == "get") return GetProperty(*line, *config);
  return SetProperty(*line, *config);
}

}  // namespace
}  // namespace updater

int main(int argc, char** argv) {
  // A closed pipe on stdout must end in a write error, not in death by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return updater::Main(std::vector<std::string>(argv + 1, argv + argc));
}
