#include "program/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace updater {
namespace {

struct CommandSpec {
  const char* name;
  const char* synopsis;
  const char* summary;
  const char* details;
  bool config;     // takes -c (and requires it)
  bool processor;  // takes -p
  bool timeout;    // takes --timeout
  bool text;       // takes --text
  std::size_t minOperands;
  std::size_t maxOperands;
  bool json = false;    // takes --json
  bool force = false;   // takes --force
  bool dryRun = false;  // takes --dry-run
};

constexpr std::size_t kMany = static_cast<std::size_t>(-1);
constexpr std::uint32_t kMaxTimeoutSecs = 7u * 24 * 3600;

const CommandSpec kCommands[] = {
    {"run", "run -c FILE", "keep every configured processor up to date until SIGINT or SIGTERM",
     "Starts the update worker of every processor in FILE and keeps running until SIGINT or\n"
     "SIGTERM, then stops the workers (a cycle in progress stops between two downloads and\n"
     "installs nothing) and exits with status 0. The log goes to stderr or to the file that the\n"
     "configuration names; SIGHUP reopens that file (after a rotation). While it runs, the\n"
     "service holds a lock in each processor's root directory, and records detected invalid\n"
     "definition files in the processor's property InvalidDefinitionFiles.\n",
     true, false, false, false, 0, 0},
    {"once", "once -c FILE [-p NAME] [--timeout SECONDS | --dry-run]",
     "run one update cycle for every processor (or for NAME) and stop",
     "Runs one update cycle for every processor in FILE, or for processor NAME only, even when\n"
     "automatic updates are off, and prints one line per processor:\n"
     "  NAME: updated N files | NAME: restored N files | NAME: up to date | NAME: failed\n"
     "(restored: verified mode put back installed files that differed from the signed set).\n"
     "A cycle that has no result after SECONDS (default 3600) is stopped and counts as failed.\n"
     "Exit status: 0 every cycle succeeded, 1 a cycle failed, 3 invalid definition files were\n"
     "detected, 2 bad command line or configuration.\n"
     "\n"
     "With --dry-run it connects, reads the trigger file and the listing (in verified mode the\n"
     "signed manifest too) and prints, per processor, what a cycle would fetch, install, restore\n"
     "and leave in the definitions directory, and whether it would signal the engine; or \"up to\n"
     "date\", \"cannot connect: ENTRY\", \"would be refused: REASON\", \"would fail: REASON\". It\n"
     "writes nothing to the processors' directories or to the store (it does not make a missing\n"
     "one), runs no callback and takes no lock, so it may run beside the service; the library's\n"
     "entries go to stderr, not to the log file. Exit status: 0 every plan was made, 1 a plan\n"
     "could not be made or foresees a failed cycle.\n",
     true, true, true, false, 0, 0, false, false, true},
    {"status", "status -c FILE [--json]", "show each processor's schedule and state",
     "Shows, per processor: display name, update interval, last successful update, next\n"
     "update, whether an update-now request is pending, the number of installed files recorded,\n"
     "whether invalid definition files were detected and whether on_updates_available is to run\n"
     "again. It never creates or changes the store: without one it shows \"no state yet\".\n",
     true, false, false, false, 0, 0, true},
    {"update-now", "update-now -c FILE NAME", "ask for an update of processor NAME now",
     "Sets the update-now property of processor NAME to 1. A running service starts a cycle\n"
     "within one wait step.\n",
     true, false, false, false, 1, 1},
    {"get", "get -c FILE SECTION PROPERTY", "print a property of the store",
     "Prints a property of the property store: numbers in decimal, texts as they are, and a\n"
     "processor's record of installed files as its list, one \"<crc32 in hex> <name>\" line per\n"
     "file. A property that does not exist is reported, with exit status 1.\n",
     true, false, false, false, 2, 2},
    {"set", "set -c FILE SECTION PROPERTY VALUE [--text] [--force]",
     "write a property of the store",
     "Writes a property of the property store: VALUE is an unsigned 32-bit number (decimal, or\n"
     "hexadecimal with 0x), or with --text a text stored as it is. A SECTION that names no\n"
     "configured processor, or a PROPERTY that no configured processor uses, is refused (status\n"
     "2) unless --force is given.\n",
     true, false, false, true, 3, 3, false, true},
    {"check-config", "check-config -c FILE", "check a configuration file and the paths it names",
     "Loads FILE as the service would and checks what it needs of the file system, as the\n"
     "user who runs the command: the store readable and writable (or its directory writable\n"
     "when it does not exist yet), the log file and the processors' directories writable, the\n"
     "master directories readable. Prints every problem as \"FILE:LINE: what is wrong\" and\n"
     "exits with status 2, or prints \"ok\" and exits with status 0. It creates nothing. Run it\n"
     "as the service's user (sudo -u repository-updater ...).\n",
     true, false, false, false, 0, 0},
    {"checksum", "checksum PATH...", "print the checksum list (trigger file) of files",
     "Prints the checksum list of the files given and of the files directly inside the\n"
     "directories given, one line \"<crc32 in hex> <name>\" with CR LF per file, names sorted\n"
     "byte-wise: the content of an updates server's trigger file. Redirect it to a file outside\n"
     "the directories listed. Refused (status 2): an empty file or any file whose CRC-32 is 0,\n"
     "a name holding whitespace, and two files of the same name.\n",
     false, false, false, false, 1, kMany},
    {"manifest", "manifest PATH...", "print the SHA-256 manifest of files, for signing a set",
     "Prints the SHA-256 manifest of the files given and of the files directly inside the\n"
     "directories given, one line \"<sha256 in hex>  <name>\" with LF per file, names sorted\n"
     "byte-wise: what sha256sum prints for the same files. A signed set's manifest names every\n"
     "file of the set and its trigger file; sign it with 'minisign -Sm MANIFEST'. Redirect it to\n"
     "a file outside the directories listed. Refused (status 2): a name holding whitespace or a\n"
     "backslash, and two files of the same name.\n",
     false, false, false, false, 1, kMany},
};

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& spec : kCommands) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

bool ParseSeconds(const std::string& text, std::uint32_t* value) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  errno = 0;
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || number == 0 || number > kMaxTimeoutSecs) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string* error) {
  CommandLine line;
  if (arguments.empty()) {
    *error = "no command given";
    return std::nullopt;
  }
  const std::string& first = arguments[0];
  if (first == "--help" || first == "-h" || first == "help") {
    line.help = true;
    if (first == "help" && arguments.size() > 1) line.command = arguments[1];
    if (!line.command.empty() && FindCommand(line.command) == nullptr) {
      *error = "unknown command '" + line.command + "'";
      return std::nullopt;
    }
    return line;
  }
  if (first == "--version" || first == "-V") {
    line.version = true;
    return line;
  }
  const CommandSpec* spec = FindCommand(first);
  if (spec == nullptr) {
    *error = first[0] == '-' ? "unknown option '" + first + "'" : "unknown command '" + first + "'";
    return std::nullopt;
  }
  line.command = first;

  bool optionsEnded = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
      line.operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") {
      line.help = true;
      return line;
    }
    // The option's name and, for options that take one, its value: "--name=value", "--name
    // value", "-c value" or "-cvalue".
    std::string name = argument;
    std::optional<std::string> value;
    if (argument.rfind("--", 0) == 0) {
      const std::size_t equals = argument.find('=');
      if (equals != std::string::npos) {
        name = argument.substr(0, equals);
        value = argument.substr(equals + 1);
      }
    } else if (argument.size() > 2) {
      name = argument.substr(0, 2);
      value = argument.substr(2);
    }
    const bool takesValue = (spec->config && (name == "-c" || name == "--config")) ||
                            (spec->processor && (name == "-p" || name == "--processor")) ||
                            (spec->timeout && name == "--timeout");
    bool* flag = spec->text && name == "--text"        ? &line.text
                 : spec->json && name == "--json"      ? &line.json
                 : spec->force && name == "--force"    ? &line.force
                 : spec->dryRun && name == "--dry-run" ? &line.dryRun
                                                       : nullptr;
    if (!takesValue && flag == nullptr) {
      *error = "unknown option '" + argument + "' for " + line.command;
      return std::nullopt;
    }
    if (flag != nullptr) {
      if (value) {
        *error = "option '" + name + "' takes no value";
        return std::nullopt;
      }
      *flag = true;
      continue;
    }
    if (!value) {
      if (i + 1 == arguments.size()) {
        *error = "option '" + name + "' needs a value";
        return std::nullopt;
      }
      value = arguments[++i];
    }
    if (name == "-c" || name == "--config") {
      line.configFile = *value;
    } else if (name == "-p" || name == "--processor") {
      line.processor = *value;
    } else {
      std::uint32_t seconds = 0;
      if (!ParseSeconds(*value, &seconds)) {
        *error = "--timeout needs a number of seconds from 1 to " +
                 std::to_string(kMaxTimeoutSecs) + ", not '" + *value + "'";
        return std::nullopt;
      }
      line.timeoutSecs = seconds;
    }
  }

  if (line.dryRun && line.timeoutSecs) {
    *error = "--dry-run makes no cycle, so it takes no --timeout";
    return std::nullopt;
  }
  if (spec->config && line.configFile.empty()) {
    *error = line.command + " needs the configuration file: -c FILE";
    return std::nullopt;
  }
  if (line.operands.size() < spec->minOperands || line.operands.size() > spec->maxOperands) {
    *error = "usage: " + std::string("repository-updater ") + spec->synopsis;
    return std::nullopt;
  }
  return line;
}

std::string ProgramHelp() {
  std::string help =
      "Usage: repository-updater COMMAND [OPTIONS]\n"
      "\n"
      "Keeps content processors' definition files up to date from an updates server.\n"
      "\n"
      "Commands:\n";
  for (const CommandSpec& spec : kCommands) {
    std::string name = spec.name;
    name.resize(14, ' ');
    help += "  " + name + spec.summary + "\n";
  }
  help +=
      "\n"
      "Options:\n"
      "  -h, --help     show this help, or a command's help after the command\n"
      "  -V, --version  show the version\n"
      "\n"
      "Run 'repository-updater COMMAND --help' for a command's usage. The commands other than\n"
      "checksum and manifest take the configuration file (TOML) with -c FILE; the README\n"
      "describes every key.\n";
  return help;
}

std::string CommandHelp(const std::string& command) {
  const CommandSpec* spec = FindCommand(command);
  if (spec == nullptr) return ProgramHelp();
  std::string help = "Usage: repository-updater " + std::string(spec->synopsis) + "\n\n" +
                     spec->details + "\nOptions:\n";
  if (spec->config) help += "  -c, --config FILE     the configuration file (TOML)\n";
  if (spec->processor) help += "  -p, --processor NAME  only the processor named NAME\n";
  if (spec->timeout) help += "  --timeout SECONDS     longest wait for a cycle (default 3600)\n";
  if (spec->text) help += "  --text                store VALUE as text\n";
  if (spec->force) help += "  --force               write a section or property not configured\n";
  if (spec->dryRun) help += "  --dry-run             print what a cycle would do; change nothing\n";
  if (spec->json) help += "  --json                one JSON object instead of text\n";
  help += "  -h, --help            show this help\n";
  return help;
}

}  // namespace updater
