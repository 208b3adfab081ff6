// check-config: a configuration as the service would load it, then what the service needs of the
// file system, checked as the user who runs the command. It creates and changes nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "program/commands.h"
#include "program/console.h"

namespace updater {
namespace {

struct Problem {
  int line;
  std::string message;
};

// Where each key of the file stands, so that a problem points at the line that names the path.
class KeyLines {
 public:
  explicit KeyLines(const std::string& file) {
    try {
      root_ = toml::parse_file(file);
    } catch (const toml::parse_error&) {
      // The loader has read it already; a file changed since then points at no line.
    }
  }

  // The line of `key` in [table], or in the index-th [[processor]] table; `fallback` when the
  // file does not give the key (a default applies).
  int Line(std::string_view table, std::size_t index, std::string_view key, int fallback) const {
    const toml::table* holder = nullptr;
    if (table == "processor") {
      const toml::array* processors = root_["processor"].as_array();
      if (processors != nullptr && index < processors->size()) {
        holder = (*processors)[index].as_table();
      }
    } else {
      holder = root_[table].as_table();
    }
    const toml::node* node = holder != nullptr ? holder->get(key) : nullptr;
    return node != nullptr ? static_cast<int>(node->source().begin.line) : fallback;
  }

 private:
  toml::table root_;
};

enum class Need { kRead, kWrite };

// "" when the calling user may use `path` as `need` says; else why not.
std::string Refusal(const std::string& path, Need need, bool directory) {
  int mode = R_OK;
  if (need == Need::kWrite) mode |= W_OK;
  if (directory) mode |= X_OK;
  if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0) return "";
  return std::strerror(errno);
}

// For a path that does not exist yet: "" when the service can make it, that is, when its nearest
// existing ancestor is a directory the calling user may write to; else why not.
std::string CannotMake(const std::string& path) {
  std::filesystem::path ancestor = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  while (!ancestor.empty() && !std::filesystem::exists(ancestor, ignored)) {
    ancestor = ancestor.parent_path();
  }
  if (ancestor.empty()) return "";
  if (!std::filesystem::is_directory(ancestor, ignored)) {
    return "it cannot be made: " + ancestor.string() + " is not a directory";
  }
  const std::string refusal = Refusal(ancestor.string(), Need::kWrite, true);
  if (refusal.empty()) return "";
  return "it cannot be made in " + ancestor.string() + ": " + refusal;
}

class FileSystemCheck {
 public:
  explicit FileSystemCheck(std::vector<Problem>& problems) : problems_(problems) {}

  // A file the service writes (made when missing); `store` also checks that an existing file is
  // an SQLite database and that its directory takes the database's companion files.
  void WritableFile(int line, const std::string& what, const std::string& path, bool store) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
      Report(line, what, path, CannotMake(path));
      return;
    }
    if (!std::filesystem::is_regular_file(path, ignored)) {
      Report(line, what, path, "it is not a regular file");
      return;
    }
    std::string refusal = Refusal(path, Need::kWrite, false);
    if (refusal.empty() && store) {
      refusal = Refusal(std::filesystem::path(path).parent_path().string(), Need::kWrite, true);
      if (!refusal.empty()) refusal = "its directory is not writable: " + refusal;
    }
    if (refusal.empty() && store && !IsDatabase(path)) refusal = "it is not an SQLite database";
    Report(line, what, path, refusal);
  }

  // A directory the service reads, or writes and makes when missing. False after a problem.
  bool Directory(int line, const std::string& what, const std::string& path, Need need) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
      // A missing directory to read holds nothing to read.
      return need == Need::kRead || Report(line, what, path, CannotMake(path));
    }
    if (!std::filesystem::is_directory(path, ignored)) {
      return Report(line, what, path, "it is not a directory");
    }
    return Report(line, what, path, Refusal(path, need, true));
  }

  // A file the service only reads.
  void ReadableFile(int line, const std::string& what, const std::string& path) {
    Report(line, what, path, Refusal(path, Need::kRead, false));
  }

 private:
  static bool IsDatabase(const std::string& path) {
    static constexpr char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
    char header[sizeof kMagic] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(header, sizeof header);
    return in.gcount() == 0 || std::memcmp(header, kMagic, sizeof kMagic) == 0;
  }

  // False, after recording it, when there is a problem.
  bool Report(int line, const std::string& what, const std::string& path,
              const std::string& refusal) {
    if (refusal.empty()) return true;
    problems_.push_back({line, what + " \"" + path + "\": " + refusal});
    return false;
  }

  std::vector<Problem>& problems_;
};

// Every check of a path that the configuration names, so that keys added later are checked here
// with the rest.
std::vector<Problem> CheckFileSystem(const ProgramConfig& config) {
  std::vector<Problem> problems;
  const KeyLines lines(config.file);
  FileSystemCheck check(problems);
  check.WritableFile(lines.Line("store", 0, "path", 0), "store.path", config.storePath, true);
  if (!config.logFile.empty()) {
    check.WritableFile(lines.Line("log", 0, "file", 0), "log.file", config.logFile, false);
  }
  if (!config.caFile.empty()) {
    check.ReadableFile(lines.Line("network", 0, "ca_file", 0), "network.ca_file", config.caFile);
  }
  if (!config.metricsFile.empty()) {  // written under a temporary name and renamed: the directory
    check.Directory(lines.Line("metrics", 0, "textfile", 0), "metrics.textfile's directory",
                    std::filesystem::path(config.metricsFile).parent_path().string(), Need::kWrite);
  }
  for (std::size_t i = 0; i < config.processors.size(); ++i) {
    const ProcessorSettings& p = config.processors[i];
    auto line = [&](const char* key) { return lines.Line("processor", i, key, p.line); };
    // What is wrong with the root directory is wrong with everything below it: said once.
    if (!check.Directory(line("root_dir"), "processor.root_dir", p.RootDir(), Need::kWrite)) {
      continue;
    }
    check.Directory(line("definitions_dir"), "processor.definitions_dir", p.DefinitionsDir(),
                    Need::kWrite);
    check.Directory(line("backup_dir"), "processor.backup_dir", p.BackupDir(), Need::kWrite);
    if (p.MasterDir() != p.DefinitionsDir()) {  // by default it is the definitions directory
      check.Directory(line("master_dir"), "processor.master_dir", p.MasterDir(), Need::kRead);
    }
    for (const std::string& file : p.publicKeyFiles) {
      check.ReadableFile(line("public_key_file"), "processor.public_key_file", file);
    }
  }
  return problems;
}

}  // namespace

int CheckConfig(const ProgramConfig& config) {
  std::vector<Problem> problems = CheckFileSystem(config);
  if (problems.empty()) {
    PrintLine("ok");
    return kExitOk;
  }
  std::stable_sort(problems.begin(), problems.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  for (const Problem& problem : problems) {
    PrintDiagnostic(config.file + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") +
                    ": " + problem.message);
  }
  return kExitUsage;
}

}  // namespace updater
