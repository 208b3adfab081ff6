#include "program/program_config.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>

#include <toml++/toml.h>

#include "platform/internet/internet.h"

namespace updater {
namespace {

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
// Intervals stay below a year so that "now + interval" fits the library's 32-bit times.
constexpr std::uint32_t kMaxInterval = 365u * 24 * 3600;
constexpr std::size_t kMaxProblemsShown = 20;

ProcessorKey Text(const char* key, KeyKind kind, int word, bool required = false,
                  const char* textDefault = nullptr, const char* fallback = nullptr) {
  return {key, kind, word, required, textDefault, fallback, 0, 0, 0};
}

ProcessorKey Number(const char* key, int word, std::uint32_t value, std::uint32_t minimum,
                    std::uint32_t maximum) {
  return {key, KeyKind::kNumber, word, false, nullptr, nullptr, value, minimum, maximum};
}

std::string Describe(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    default:
      return "a date or time";
  }
}

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}
int LineOf(const toml::key& key) {
  return static_cast<int>(key.source().begin.line);
}

class ConfigLoader {
 public:
  explicit ConfigLoader(const std::string& file) : file_(file) {
    std::error_code ignored;
    directory_ = std::filesystem::absolute(file, ignored).parent_path();
  }

  std::optional<ProgramConfig> Load(std::string* error) {
    std::error_code ignored;
    std::ifstream in(file_, std::ios::binary);
    if (!in || std::filesystem::is_directory(file_, ignored)) {
      *error = file_ + ": cannot read the configuration file";
      return std::nullopt;
    }
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
      *error = file_ + ": cannot read the configuration file";
      return std::nullopt;
    }
    toml::table root;
    try {
      root = toml::parse(std::string_view(content), std::string_view(file_));
    } catch (const toml::parse_error& failure) {
      Problem(static_cast<int>(failure.source().begin.line),
              "invalid TOML: " + std::string(failure.description()));
      *error = Report();
      return std::nullopt;
    }
    ProgramConfig config;
    config.file = file_;
    LoadRoot(root, config);
    if (!problems_.empty()) {
      *error = Report();
      return std::nullopt;
    }
    return config;
  }

 private:
  void Problem(int line, std::string message) { problems_.emplace_back(line, std::move(message)); }

  std::string Report() {
    std::stable_sort(problems_.begin(), problems_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string report;
    std::size_t shown = 0;
    for (const auto& [line, message] : problems_) {
      if (shown++ == kMaxProblemsShown) {
        report += file_ + ": ... and " + std::to_string(problems_.size() - kMaxProblemsShown) +
                  " more problems\n";
        break;
      }
      report +=
          file_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message + "\n";
    }
    if (!report.empty()) report.pop_back();
    return report;
  }

  std::string ResolvePath(const std::string& path) const {
    std::filesystem::path p(path);
    if (p.is_relative()) p = directory_ / p;
    return p.lexically_normal().string();
  }

  // --- Typed reads: each reports its own problem and returns nullopt.
  std::optional<std::string> ReadText(const toml::node& node, const std::string& what) {
    const toml::value<std::string>* value = node.as_string();
    if (value == nullptr) {
      Problem(LineOf(node), what + " must be a string, not " + Describe(node));
      return std::nullopt;
    }
    if (value->get().find('\0') != std::string::npos) {
      Problem(LineOf(node), what + " must not contain a NUL character");
      return std::nullopt;
    }
    return value->get();
  }

  std::optional<std::uint32_t> ReadNumber(const toml::node& node, const std::string& what,
                                          std::uint32_t minimum, std::uint32_t maximum) {
    const toml::value<std::int64_t>* value = node.as_integer();
    if (value == nullptr) {
      Problem(LineOf(node), what + " must be an integer, not " + Describe(node));
      return std::nullopt;
    }
    const std::int64_t number = value->get();
    if (number < static_cast<std::int64_t>(minimum) ||
        number > static_cast<std::int64_t>(maximum)) {
      Problem(LineOf(node), what + " must be between " + std::to_string(minimum) + " and " +
                                std::to_string(maximum) + ", not " + std::to_string(number));
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(number);
  }

  const toml::table* ReadTable(const toml::node& node, const std::string& name) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
      Problem(LineOf(node), name + " must be a table ([" + name + "]), not " + Describe(node));
    }
    return table;
  }

  // --- The top level and its tables.
  void LoadRoot(const toml::table& root, ProgramConfig& config) {
    bool haveStore = false;
    bool haveProcessors = false;
    for (auto&& [key, node] : root) {
      const std::string name(key.str());
      if (name == "store") {
        haveStore = true;
        if (const toml::table* table = ReadTable(node, name)) LoadStore(*table, config);
      } else if (name == "log") {
        if (const toml::table* table = ReadTable(node, name)) LoadLog(*table, config);
      } else if (name == "network") {
        if (const toml::table* table = ReadTable(node, name)) LoadNetwork(*table, config);
      } else if (name == "metrics") {
        if (const toml::table* table = ReadTable(node, name)) LoadMetrics(*table, config);
      } else if (name == "processor") {
        haveProcessors = true;
        LoadProcessors(node, config);
      } else if (node.is_table()) {
        Problem(LineOf(key), "unknown table [" + name + "]");
      } else {
        Problem(LineOf(key), "unknown key \"" + name + "\"");
      }
    }
    if (!haveStore) Problem(0, "missing the [store] table with the property store's path");
    if (!haveProcessors) Problem(0, "no [[processor]] table: nothing to keep up to date");
    CheckSlots(config);
    CheckPlaces(config);
  }

  void LoadStore(const toml::table& table, ProgramConfig& config) {
    for (auto&& [key, node] : table) {
      if (key.str() != "path") {
        Problem(LineOf(key), "unknown key \"" + std::string(key.str()) + "\" in [store]");
      } else if (auto path = ReadText(node, "store.path")) {
        if (path->empty()) {
          Problem(LineOf(node), "store.path must not be empty");
        } else {
          config.storePath = ResolvePath(*path);
        }
      }
    }
    if (table.find("path") == table.end()) {
      Problem(LineOf(table), "[store] is missing the required key \"path\"");
    }
  }

  void LoadLog(const toml::table& table, ProgramConfig& config) {
    for (auto&& [key, node] : table) {
      const std::string name(key.str());
      if (name == "format") {
        if (auto format = ReadText(node, "log.format")) {
          if (*format == "text") {
            config.logFormat = LogFormat::kText;
          } else if (*format == "json") {
            config.logFormat = LogFormat::kJson;
          } else {
            Problem(LineOf(node),
                    "log.format must be \"text\" or \"json\", not \"" + *format + "\"");
          }
        }
      } else if (name == "file") {
        if (auto file = ReadText(node, "log.file")) {
          if (file->empty()) {
            Problem(LineOf(node), "log.file must not be empty (leave it out to log to stderr)");
          } else {
            config.logFile = ResolvePath(*file);
          }
        }
      } else {
        Problem(LineOf(key), "unknown key \"" + name + "\" in [log]");
      }
    }
  }

  void LoadNetwork(const toml::table& table, ProgramConfig& config) {
    constexpr std::uint32_t kMaxTimeoutMs = 24u * 3600 * 1000;
    for (auto&& [key, node] : table) {
      const std::string name(key.str());
      if (name == "connect_timeout_ms") {
        config.connectTimeoutMs = ReadNumber(node, "network." + name, 1, kMaxTimeoutMs);
      } else if (name == "stall_timeout_ms") {
        config.stallTimeoutMs = ReadNumber(node, "network." + name, 1, kMaxTimeoutMs);
      } else if (name == "min_rate_bytes_per_s") {
        config.minRateBytesPerS = ReadNumber(node, "network." + name, 0, kMaxU32);
      } else if (name == "max_file_size") {
        config.maxFileSize = ReadNumber(node, "network." + name, 1, kMaxU32);
      } else if (name == "ca_file") {
        if (auto file = ReadText(node, "network.ca_file")) {
          config.caFile = ResolvePath(*file);
          if (file->empty() || !std::ifstream(config.caFile)) {
            Problem(LineOf(node), "network.ca_file \"" + config.caFile + "\" cannot be read");
          }
        }
      } else {
        Problem(LineOf(key), "unknown key \"" + name + "\" in [network]");
      }
    }
  }

  void LoadMetrics(const toml::table& table, ProgramConfig& config) {
    for (auto&& [key, node] : table) {
      if (key.str() != "textfile") {
        Problem(LineOf(key), "unknown key \"" + std::string(key.str()) + "\" in [metrics]");
      } else if (auto file = ReadText(node, "metrics.textfile")) {
        // The textfile collector reads only files named *.prom.
        if (file->size() <= 5 || !file->ends_with(".prom") || file->ends_with("/.prom")) {
          Problem(LineOf(node),
                  "metrics.textfile must name a file ending in .prom, not \"" + *file + "\"");
        } else {
          config.metricsFile = ResolvePath(*file);
        }
      }
    }
    if (table.find("textfile") == table.end()) {
      Problem(LineOf(table), "[metrics] is missing the required key \"textfile\"");
    }
  }

  void LoadProcessors(const toml::node& node, ProgramConfig& config) {
    const toml::array* array = node.as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      Problem(LineOf(node), "processor must be an array of tables: write each as [[processor]]");
      return;
    }
    for (const toml::node& element : *array) {
      ProcessorSettings settings;
      settings.line = LineOf(element);
      if (LoadProcessor(*element.as_table(), settings)) {
        config.processors.push_back(std::move(settings));
      }
    }
  }

  bool LoadProcessor(const toml::table& table, ProcessorSettings& settings) {
    const std::size_t problemsBefore = problems_.size();
    const std::vector<ProcessorKey>& keys = ProcessorKeys();
    for (auto&& [key, node] : table) {
      const std::string name(key.str());
      if (name == "public_key" || name == "public_key_file") {
        LoadPublicKeys(name, node, settings);
        continue;
      }
      auto known = std::find_if(keys.begin(), keys.end(),
                                [&](const ProcessorKey& k) { return name == k.key; });
      if (known == keys.end()) {
        Problem(LineOf(key), "unknown key \"" + name + "\" in [[processor]]");
        continue;
      }
      if (name == "server" && node.is_array()) {
        LoadMirrors(*node.as_array(), settings);
        continue;
      }
      LoadProcessorValue(*known, node, settings);
    }
    if (settings.servers.empty() && settings.FindText("server") != nullptr) {
      settings.servers = {settings.Text("server")};
    }
    for (const ProcessorKey& key : keys) {  // defaults first: fallbacks may name defaulted keys
      const bool present = settings.texts.count(key.key) || settings.numbers.count(key.key);
      if (present) continue;
      if (key.required) {
        Problem(settings.line,
                "[[processor]] is missing the required key \"" + std::string(key.key) + "\"");
      } else if (key.kind == KeyKind::kNumber || key.kind == KeyKind::kBoolean) {
        settings.numbers[key.key] = key.numberDefault;
      } else if (key.textDefault != nullptr) {
        settings.texts[key.key] = key.textDefault;
      }
    }
    for (const ProcessorKey& key : keys) {
      if (key.fallback != nullptr && !settings.texts.count(key.key)) {
        if (const std::string* value = settings.FindText(key.fallback)) {
          settings.texts[key.key] = *value;
        }
      }
    }
    CheckOrder(table, settings, "min_interval", "max_interval");
    CheckOrder(table, settings, "retry_interval", "max_retry_interval");
    CheckFtpsIsPassive(table, settings);
    return problems_.size() == problemsBefore;
  }

  void LoadProcessorValue(const ProcessorKey& key, const toml::node& node,
                          ProcessorSettings& settings) {
    const std::string what = "processor." + std::string(key.key);
    if (key.kind == KeyKind::kNumber) {
      if (auto number = ReadNumber(node, what, key.minimum, key.maximum)) {
        settings.numbers[key.key] = *number;
      }
      return;
    }
    if (key.kind == KeyKind::kBoolean) {
      if (const toml::value<bool>* value = node.as_boolean()) {
        settings.numbers[key.key] = value->get() ? 1 : 0;
      } else {
        Problem(LineOf(node), what + " must be true or false, not " + Describe(node));
      }
      return;
    }
    std::optional<std::string> text = ReadText(node, what);
    if (!text) return;
    const int line = LineOf(node);
    switch (key.kind) {
      case KeyKind::kName:
      case KeyKind::kCommand:
        if (text->empty()) return Problem(line, what + " must not be empty");
        break;
      case KeyKind::kServer:
        if (!CheckServer(*text, line, what)) return;
        break;
      case KeyKind::kPath:
        if (text->empty()) return Problem(line, what + " must not be empty");
        *text = ResolvePath(*text);
        break;
      case KeyKind::kSubdirectory: {
        const std::filesystem::path path(*text);
        const bool climbs =
            std::any_of(path.begin(), path.end(),
                        [](const std::filesystem::path& part) { return part == ".."; });
        if (text->empty() || path.is_absolute() || climbs) {
          return Problem(line,
                         what + " must name a directory below root_dir, not \"" + *text + "\"");
        }
        break;
      }
      case KeyKind::kFileName:
        if (text->empty() || *text == "." || *text == ".." ||
            text->find('/') != std::string::npos) {
          return Problem(line, what + " must be a plain file name, not \"" + *text + "\"");
        }
        break;
      default:
        break;
    }
    settings.texts[key.key] = std::move(*text);
  }

  // public_key and public_key_file: a string or an array of strings, each a key as minisign
  // writes it (the "RW..." line, or a .pub file); the files are read now.
  void LoadPublicKeys(const std::string& name, const toml::node& node,
                      ProcessorSettings& settings) {
    const std::string what = "processor." + name;
    std::vector<const toml::node*> values;
    if (const toml::array* array = node.as_array()) {
      if (array->empty()) Problem(LineOf(node), what + " must not be an empty array");
      for (const toml::node& element : *array) values.push_back(&element);
    } else {
      values.push_back(&node);
    }
    for (const toml::node* value : values) {
      std::optional<std::string> text = ReadText(*value, what);
      if (!text) continue;
      std::string keyText = *text;
      if (name == "public_key_file") {
        const std::string path = ResolvePath(*text);
        std::ifstream in(path, std::ios::binary);
        std::error_code ignored;
        if (text->empty() || !in || std::filesystem::is_directory(path, ignored)) {
          Problem(LineOf(*value), what + " \"" + path + "\" cannot be read");
          continue;
        }
        // A .pub file is two short lines; more is no key file.
        keyText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        settings.publicKeyFiles.push_back(path);
      }
      const integrity::Checked<integrity::PublicKey> key = integrity::ParsePublicKey(keyText);
      if (!key.ok()) {
        Problem(LineOf(*value), what + ": " + key.outcome.detail);
        continue;
      }
      settings.publicKeys.push_back(key.value);
    }
  }

  bool CheckServer(const std::string& text, int line, const std::string& what) {
    ServerAddress address;
    if (ParseServerAddress(text, &address)) return true;
    Problem(line, what + " \"" + text +
                      "\" is not a host name or an ftp://, ftps://, http:// or https:// address "
                      "with an optional port");
    return false;
  }

  // `server` as a list: mirrors of one updates service, each an address as `server` takes one.
  void LoadMirrors(const toml::array& list, ProcessorSettings& settings) {
    if (list.empty()) return Problem(LineOf(list), "processor.server must list an address");
    std::vector<std::string> servers;
    for (const toml::node& entry : list) {
      std::optional<std::string> text = ReadText(entry, "processor.server");
      if (!text || !CheckServer(*text, LineOf(entry), "processor.server")) continue;
      if (std::find(servers.begin(), servers.end(), *text) != servers.end()) {
        Problem(LineOf(entry), "processor.server lists \"" + *text + "\" twice");
        continue;
      }
      servers.push_back(std::move(*text));
    }
    // With a problem the processor is refused; the first address still counts as given.
    settings.texts["server"] = servers.empty() ? std::string() : servers.front();
    settings.servers = std::move(servers);
  }

  void CheckOrder(const toml::table& table, const ProcessorSettings& settings, const char* low,
                  const char* high) {
    if (!settings.numbers.count(low) || !settings.numbers.count(high)) return;
    if (settings.Number(low) <= settings.Number(high)) return;
    const toml::node* at = table.get(high);
    if (at == nullptr) at = table.get(low);
    Problem(at != nullptr ? LineOf(*at) : settings.line,
            "processor." + std::string(low) + " (" + std::to_string(settings.Number(low)) +
                ") must not exceed processor." + high + " (" +
                std::to_string(settings.Number(high)) + ")");
  }

  // The internet layer refuses FTP over TLS in active mode (libcurl 7.87 and 7.88 never start TLS
  // on an active data connection); say so now rather than in every cycle's log.
  void CheckFtpsIsPassive(const toml::table& table, const ProcessorSettings& settings) {
    if (!settings.numbers.count("passive") || settings.Number("passive") != 0) return;
    std::vector<const std::string*> servers;
    for (const std::string& server : settings.servers) servers.push_back(&server);
    servers.push_back(settings.FindText("default_server"));
    for (const std::string* server : servers) {
      ServerAddress address;
      if (server == nullptr || !ParseServerAddress(*server, &address) ||
          address.scheme != ServerScheme::kFtps) {
        continue;
      }
      const toml::node* at = table.get("passive");
      Problem(at != nullptr ? LineOf(*at) : settings.line,
              "processor.passive = false cannot serve the ftps:// server \"" + *server +
                  "\": this system's libcurl never starts TLS on an active-mode data connection, "
                  "so every transfer would hang until the stall limit; use passive = true");
      return;
    }
  }

  // The library serves "MailFilter0" in one slot and every other processor in the other: a
  // second processor for a slot would be silently ignored by it, so refuse it here.
  void CheckSlots(const ProgramConfig& config) {
    const ProcessorSettings* holder[2] = {nullptr, nullptr};
    for (const ProcessorSettings& processor : config.processors) {
      const ProcessorSettings*& first = holder[UsesFilterSlot(processor.Name()) ? 0 : 1];
      if (first == nullptr) {
        first = &processor;
        continue;
      }
      Problem(processor.line,
              "processor \"" + processor.Name() + "\" cannot run beside processor \"" +
                  first->Name() + "\" (line " + std::to_string(first->line) +
                  "): one processor named \"MailFilter0\" and one of any other name can be "
                  "updated, each in its own slot");
    }
  }

  // Where one processor's files lie, resolved as the file system resolves them.
  struct Places {
    const ProcessorSettings* processor;
    std::filesystem::path root, definitions, backup, master;
  };

  // Each processor's directories must stay apart from one another, from the updater's own files
  // and from every other processor's: a file the server names could otherwise replace the lock
  // file, the store or the log, and the installation could copy the download cache over the
  // engine's files or another processor's set.
  void CheckPlaces(const ProgramConfig& config) {
    std::vector<Places> all;
    for (const ProcessorSettings& processor : config.processors) {
      const Places places{&processor, PlaceOf(processor.RootDir()),
                          PlaceOf(processor.DefinitionsDir()), PlaceOf(processor.BackupDir()),
                          PlaceOf(processor.MasterDir())};
      CheckOwnPlaces(places);
      for (const auto& [what, file] :
           {std::pair{"store.path", &config.storePath}, std::pair{"log.file", &config.logFile},
            std::pair{"metrics.textfile", &config.metricsFile}}) {
        for (const std::filesystem::path& directory :
             {places.definitions, places.backup, places.master}) {
          if (file->empty() || !Within(PlaceOf(*file), directory)) continue;
          Problem(processor.line, std::string(what) + " lies in a directory of processor \"" +
                                      processor.Name() + "\" where files from the server go (\"" +
                                      *file + "\" in \"" + directory.string() + "\")");
          break;
        }
      }
      for (const Places& earlier : all) {
        const std::string shared = SharedPlace(places, earlier);
        if (shared.empty()) continue;
        Problem(processor.line, "processor \"" + processor.Name() + "\" and processor \"" +
                                    earlier.processor->Name() + "\" (line " +
                                    std::to_string(earlier.processor->line) + ") share " + shared +
                                    ": each needs directories of its own");
      }
      all.push_back(places);
    }
  }

  // The definitions and backup directories lie below the root directory, which holds the lock
  // file; the backup directory lies apart from the engine's files and from the files the
  // integrity check measures (which may be the engine's files themselves).
  void CheckOwnPlaces(const Places& places) {
    const int line = places.processor->line;
    bool inRoot = false;
    for (const auto& [key, path] : {std::pair{"definitions_dir", &places.definitions},
                                    std::pair{"backup_dir", &places.backup}}) {
      if (*path != places.root) continue;
      inRoot = true;
      Problem(line, "processor." + std::string(key) +
                        " must name a directory below root_dir, not root_dir itself, where the "
                        "updater keeps its lock file");
    }
    if (inRoot) return;
    for (const auto& [key, path] : {std::pair{"definitions_dir", &places.definitions},
                                    std::pair{"master_dir", &places.master}}) {
      if (!Within(places.backup, *path) && !Within(*path, places.backup)) continue;
      Problem(line, "processor.backup_dir overlaps processor." + std::string(key) + " (\"" +
                        places.backup.string() + "\", \"" + path->string() +
                        "\"): the download cache must lie apart from the files it installs");
      break;
    }
  }

  // The first place two processors share, as text; empty when they share none.
  static std::string SharedPlace(const Places& a, const Places& b) {
    if (a.root == b.root) return "the root directory \"" + a.root.string() + "\"";
    for (const std::filesystem::path* pathA : {&a.definitions, &a.backup, &a.master}) {
      for (const std::filesystem::path* pathB : {&b.definitions, &b.backup, &b.master}) {
        if (Within(*pathA, *pathB)) return "\"" + pathA->string() + "\"";
        if (Within(*pathB, *pathA)) return "\"" + pathB->string() + "\"";
      }
    }
    return {};
  }

  // A path as the file system resolves it, as far as it exists, without a trailing separator.
  static std::filesystem::path PlaceOf(const std::string& path) {
    std::error_code failure;
    std::filesystem::path place = std::filesystem::weakly_canonical(path, failure);
    if (failure) place = std::filesystem::path(path).lexically_normal();
    if (!place.has_filename() && place.has_parent_path() && place != place.root_path()) {
      place = place.parent_path();
    }
    return place;
  }

  // Whether `inner` is `outer` or lies below it.
  static bool Within(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first ==
           outer.end();
  }

  std::string file_;
  std::filesystem::path directory_;
  std::vector<std::pair<int, std::string>> problems_;
};

}  // namespace

const std::vector<ProcessorKey>& ProcessorKeys() {
  static const std::vector<ProcessorKey> keys = {
      Text("name", KeyKind::kName, 5, true),
      Text("display_name", KeyKind::kName, 0, false, nullptr, "name"),
      Text("server", KeyKind::kServer, 1, true),
      Text("remote_dir", KeyKind::kText, 2),
      Text("user", KeyKind::kText, 3),
      Text("password", KeyKind::kText, 4),
      Text("root_dir", KeyKind::kPath, 31, true),
      Text("definitions_dir", KeyKind::kSubdirectory, 32, false, "definitions"),
      Text("backup_dir", KeyKind::kSubdirectory, 33, false, "backup"),
      Text("master_dir", KeyKind::kSubdirectory, 34, false, nullptr, "definitions_dir"),
      Text("trigger_file", KeyKind::kFileName, 35, true),
      Text("pending_file", KeyKind::kFileName, 36, false, "update.pending"),
      Text("extensions", KeyKind::kName, 37, true),
      Number("retries", 38, 2, 0, 100),
      Number("probe_timeout_ms", 30, 10000, 1, 600000),
      Number("default_interval", 17, 3600, 1, kMaxInterval),
      Number("min_interval", 25, 60, 0, kMaxInterval),
      Number("max_interval", 26, 7 * 24 * 3600, 1, kMaxInterval),
      Number("retry_interval", 27, 300, 1, kMaxInterval),
      Number("max_retry_interval", 28, 3600, 1, kMaxInterval),
      Number("wait_step_ms", 29, 1000, 1000, 3600 * 1000),
      {"passive", KeyKind::kBoolean, 18, false, nullptr, nullptr, 1, 0, 1},
      Text("integrity_check_property", KeyKind::kName, 6, false, "IntegrityCheck"),
      Text("server_property", KeyKind::kName, 7, false, "UpdateServer"),
      Text("interval_property", KeyKind::kName, 9, false, "UpdateInterval"),
      Text("passive_property", KeyKind::kName, 10, false, "PassiveFtp"),
      Text("last_update_property", KeyKind::kName, 11, false, "LastUpdateTime"),
      Text("next_update_property", KeyKind::kName, 12, false, "NextUpdateTime"),
      Text("update_now_property", KeyKind::kName, 13, false, "UpdateNow"),
      Text("trigger_time_property", KeyKind::kName, 14, false, "TriggerFileTime"),
      Text("installed_files_property", KeyKind::kName, 15, false, "InstalledFiles"),
      Text("default_server", KeyKind::kServer, 16, false, nullptr, "server"),
      Number("integrity_check_default", 19, 1, 0, kMaxU32),
      Number("integrity_check_off_value", 20, 0, 0, kMaxU32),
      Number("error_event_id", 21, 1001, 0, kMaxU32),
      Number("operation_event_id", 22, 1000, 0, kMaxU32),
      Text("error_log_text", KeyKind::kText, 23, false, nullptr, "name"),
      Text("operation_log_text", KeyKind::kText, 24, false, nullptr, "name"),
      Text("on_prepare", KeyKind::kCommand, -1),
      Text("on_updates_available", KeyKind::kCommand, -1),
      Text("on_nothing_to_absorb", KeyKind::kCommand, -1),
      Number("callback_timeout_ms", -1, 300000, 1, 24u * 3600 * 1000),
      Number("max_signature_age", -1, 0, 0, kMaxU32),
  };
  return keys;
}

const std::string* ProcessorSettings::FindText(std::string_view key) const {
  auto found = texts.find(key);
  return found != texts.end() ? &found->second : nullptr;
}

const std::string& ProcessorSettings::Text(std::string_view key) const {
  static const std::string empty;
  const std::string* value = FindText(key);
  return value != nullptr ? *value : empty;
}

std::uint32_t ProcessorSettings::Number(std::string_view key) const {
  auto found = numbers.find(key);
  return found != numbers.end() ? found->second : 0;
}

std::string ProcessorSettings::DefinitionsDir() const {
  return (std::filesystem::path(RootDir()) / Text("definitions_dir")).lexically_normal().string();
}

std::string ProcessorSettings::BackupDir() const {
  return (std::filesystem::path(RootDir()) / Text("backup_dir")).lexically_normal().string();
}

std::string ProcessorSettings::MasterDir() const {
  return (std::filesystem::path(RootDir()) / Text("master_dir")).lexically_normal().string();
}

const ProcessorSettings* ProgramConfig::FindProcessor(std::string_view name) const {
  for (const ProcessorSettings& processor : processors) {
    const std::string& own = processor.Name();
    if (own.size() == name.size() && ::strncasecmp(own.data(), name.data(), name.size()) == 0) {
      return &processor;
    }
  }
  return nullptr;
}

std::optional<ProgramConfig> LoadProgramConfig(const std::string& file, std::string* error) {
  return ConfigLoader(file).Load(error);
}

bool UsesFilterSlot(std::string_view processorName) {
  constexpr std::string_view kFilter = "MailFilter0";
  return processorName.size() == kFilter.size() &&
         ::strncasecmp(processorName.data(), kFilter.data(), kFilter.size()) == 0;
}

}  // namespace updater
