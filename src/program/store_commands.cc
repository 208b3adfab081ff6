// The commands that only read or write the property store: status, update-now, get and set. They
// take no lock: the store serves a running service and these commands at the same time.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "integrity/trigger_file_data.h"
#include "platform/win32.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/mirrors.h"
#include "program/processor_block.h"
#include "program/property_store.h"
#include "service/verified_mode.h"

namespace updater {
namespace {

// Opens the configuration's store; prints why not and returns null when it cannot.
std::unique_ptr<PropertyStore> OpenStore(const ProgramConfig& config) {
  std::string error;
  if (!UsePropertyStore(config, &error)) {
    PrintError(error);
    return nullptr;
  }
  auto store = std::make_unique<PropertyStore>();
  if (!store->IsOpen()) {
    PrintError("cannot open the property store " + config.storePath);
    return nullptr;
  }
  return store;
}

// Sections and property names cannot be empty; false after saying so.
bool CheckNames(const std::string& section, const std::string& name) {
  if (!section.empty() && !name.empty()) return true;
  PrintError("the section and the property name must not be empty");
  return false;
}

std::string IsoTime(std::uint32_t seconds) {
  const std::time_t time = seconds;
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

bool SameName(const std::string& a, const std::string& b) {
  return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The interval the worker would run at: the property, or the default when it cannot be read (or
// there is no store yet), clamped to the limits; 0 when automatic updates are off.
std::uint32_t EffectiveInterval(PropertyStore* store, const ProcessorSettings& p) {
  const std::uint32_t value =
      (store != nullptr ? store->GetNumber(p.Name(), p.Text("interval_property")) : std::nullopt)
          .value_or(p.Number("default_interval"));
  if (value == 0) return 0;
  if (value > p.Number("max_interval")) return p.Number("max_interval");
  if (value < p.Number("min_interval")) return p.Number("min_interval");
  return value;
}

// What status shows of one processor.
struct ProcessorStatus {
  bool state = false;  // the store exists
  std::uint32_t interval = 0;
  std::uint32_t lastUpdate = 0;
  std::uint32_t nextUpdate = 0;
  bool updateNow = false;
  std::size_t installedFiles = 0;
  bool invalidFiles = false;
  bool announcementPending = false;
  // Verified mode: the installed set's signed version (0: none recorded yet).
  std::uint64_t verifiedVersion = 0;
  std::string mirror;  // with mirrors: the one in use
};

// The configured key ids, as minisign prints them, separated by ", ".
std::string KeyIds(const ProcessorSettings& p) {
  std::string ids;
  for (const integrity::PublicKey& key : p.publicKeys) {
    ids += (ids.empty() ? "" : ", ") + integrity::KeyIdText(key.id);
  }
  return ids;
}

// The age of a signed version now, in words: "3 days", "5 hours", "12 seconds".
std::string AgeText(std::uint64_t version) {
  const std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  const std::uint64_t age = now > version ? now - version : 0;
  for (const auto& [seconds, unit] :
       {std::pair<std::uint64_t, const char*>{86400, "days"}, {3600, "hours"}, {60, "minutes"}}) {
    if (age >= 2 * seconds) return std::to_string(age / seconds) + " " + unit;
  }
  return std::to_string(age) + (age == 1 ? " second" : " seconds");
}

ProcessorStatus ReadStatus(PropertyStore* store, const ProcessorSettings& p) {
  ProcessorStatus status;
  status.interval = EffectiveInterval(store, p);
  if (store == nullptr) return status;
  const std::string& section = p.Name();
  status.state = true;
  status.lastUpdate = store->GetNumber(section, p.Text("last_update_property")).value_or(0);
  status.nextUpdate = store->GetNumber(section, p.Text("next_update_property")).value_or(0);
  status.updateNow = store->GetNumber(section, p.Text("update_now_property")).value_or(0) != 0;
  CTriggerFileData installed;
  if (std::optional<std::string> record =
          store->GetText(section, p.Text("installed_files_property"))) {
    installed.Decode(record->c_str());
  }
  status.installedFiles = installed.GetCount();
  status.invalidFiles = store->GetNumber(section, kInvalidDefinitionFilesProperty).value_or(0) != 0;
  status.announcementPending =
      store->GetNumber(section, kUpdatesAvailablePendingProperty).value_or(0) != 0;
  if (std::optional<std::string> version =
          store->GetText(section, VerifiedModeSettings().versionProperty)) {
    status.verifiedVersion = std::strtoull(version->c_str(), nullptr, 10);
  }
  if (HasMirrors(p)) {
    status.mirror = p.servers[MirrorInUse(p, store->GetText(section, kMirrorInUseProperty))];
  }
  return status;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

void PrintJson(const ProgramConfig& config, const std::vector<ProcessorStatus>& statuses) {
  auto time = [](std::uint32_t seconds) {
    return seconds != 0 ? JsonString(IsoTime(seconds)) : std::string("null");
  };
  auto boolean = [](bool value) { return value ? "true" : "false"; };
  std::string out = "{\"store\":" + JsonString(config.storePath) + ",\"processors\":[";
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    const ProcessorSettings& p = config.processors[i];
    const ProcessorStatus& s = statuses[i];
    if (i > 0) out += ',';
    out += "{\"name\":" + JsonString(p.Name()) +
           ",\"display_name\":" + JsonString(p.DisplayName()) + ",\"state\":" + boolean(s.state) +
           ",\"update_interval\":" + std::to_string(s.interval) +
           ",\"last_update\":" + time(s.lastUpdate) + ",\"next_update\":" + time(s.nextUpdate) +
           ",\"update_now\":" + boolean(s.updateNow) +
           ",\"installed_files\":" + std::to_string(s.installedFiles) +
           ",\"invalid_definition_files\":" + boolean(s.invalidFiles) +
           ",\"updates_available_pending\":" + boolean(s.announcementPending) +
           (s.mirror.empty() ? "" : ",\"mirror_in_use\":" + JsonString(s.mirror));
    // Verified mode adds its fields; a processor without a key shows what it always showed.
    if (!p.publicKeys.empty()) {
      out += ",\"verified\":true,\"key_ids\":[";
      for (std::size_t k = 0; k < p.publicKeys.size(); ++k) {
        out += (k > 0 ? "," : "") + JsonString(integrity::KeyIdText(p.publicKeys[k].id));
      }
      out += "],\"verified_version\":" +
             (s.verifiedVersion != 0 ? std::to_string(s.verifiedVersion) : std::string("null")) +
             ",\"verified_version_time\":" +
             (s.verifiedVersion != 0 && s.verifiedVersion <= 0xFFFFFFFFu
                  ? time(static_cast<std::uint32_t>(s.verifiedVersion))
                  : std::string("null"));
    }
    out += "}";
  }
  PrintLine(out + "]}");
}

void PrintField(const char* label, const std::string& value) {
  std::string line = "  ";
  line += label;
  line.resize(29, ' ');
  PrintLine(line + value);
}

bool ParseNumber(const std::string& text, std::uint32_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  for (char c : digits) {
    if (hex ? !std::isxdigit(static_cast<unsigned char>(c))
            : !std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  errno = 0;
  const unsigned long long number = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno != 0 || number > 0xFFFFFFFFull) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

// Whether a configured processor uses the property `name` (compared without regard to case); when
// not, `suggestion` gets a used name within two edits of it, if there is one.
bool IsUsedPropertyName(const ProgramConfig& config, const std::string& name,
                        std::string* suggestion) {
  std::vector<std::string> names = {
      kInvalidDefinitionFilesProperty, kUpdatesAvailablePendingProperty, kMirrorInUseProperty,
      VerifiedModeSettings().versionProperty, VerifiedModeSettings().referenceProperty};
  for (const ProcessorSettings& p : config.processors) {
    for (const ProcessorKey& key : ProcessorKeys()) {
      const std::string_view keyName = key.key;
      if (keyName.ends_with("_property")) names.push_back(p.Text(keyName));
    }
  }
  auto distance = [](const std::string& a, const std::string& b) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= b.size(); ++j) {
        const std::size_t above = row[j];
        row[j] = std::min(
            {row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) != lower(b[j - 1]) ? 1 : 0)});
        diagonal = above;
      }
    }
    return row[b.size()];
  };
  std::size_t best = 3;
  for (const std::string& used : names) {
    if (SameName(used, name)) return true;
    if (const std::size_t d = distance(used, name); d < best) {
      best = d;
      *suggestion = used;
    }
  }
  return false;
}

}  // namespace

int ShowStatus(const CommandLine& line, const ProgramConfig& config) {
  // Looking never makes a store: without one there is no state to show yet.
  std::unique_ptr<PropertyStore> store;
  std::error_code ignored;
  if (std::filesystem::exists(config.storePath, ignored)) {
    store = OpenStore(config);
    if (store == nullptr) return kExitFailed;
  }
  std::vector<ProcessorStatus> statuses;
  for (const ProcessorSettings& p : config.processors)
    statuses.push_back(ReadStatus(store.get(), p));
  if (line.json) {
    PrintJson(config, statuses);
    return kExitOk;
  }
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    const ProcessorSettings& p = config.processors[i];
    const ProcessorStatus& status = statuses[i];
    if (i > 0) PrintLine("");
    PrintLine(p.Name());
    PrintField("display name:", p.DisplayName());
    if (!p.publicKeys.empty()) PrintField("verified mode:", "on, keys " + KeyIds(p));
    if (!status.state) {
      PrintLine("  no state yet");
      continue;
    }
    PrintField("update interval:", status.interval != 0 ? std::to_string(status.interval) + " s"
                                                        : "off (only requested updates run)");
    PrintField("last successful update:",
               status.lastUpdate != 0 ? IsoTime(status.lastUpdate) : "never");
    PrintField("next update:",
               status.nextUpdate != 0 ? IsoTime(status.nextUpdate) : "not scheduled");
    PrintField("update now pending:", status.updateNow ? "yes" : "no");
    PrintField("installed files recorded:", std::to_string(status.installedFiles));
    PrintField("invalid definition files:", status.invalidFiles ? "detected" : "none detected");
    if (status.announcementPending) {
      PrintField("engine told of updates:", "no (on_updates_available runs again)");
    }
    if (!status.mirror.empty()) PrintField("mirror in use:", status.mirror);
    if (!p.publicKeys.empty()) {
      PrintField("installed signed version:",
                 status.verifiedVersion == 0
                     ? "none yet"
                     : std::to_string(status.verifiedVersion) + " (" +
                           (status.verifiedVersion <= 0xFFFFFFFFu
                                ? IsoTime(static_cast<std::uint32_t>(status.verifiedVersion)) + ", "
                                : std::string()) +
                           AgeText(status.verifiedVersion) + " old)");
    }
  }
  return kExitOk;
}

int RequestUpdateNow(const CommandLine& line, const ProgramConfig& config) {
  const ProcessorSettings* processor = config.FindProcessor(line.operands[0]);
  if (processor == nullptr) {
    PrintError(config.file + ": no processor named \"" + line.operands[0] + "\"");
    return kExitUsage;
  }
  std::unique_ptr<PropertyStore> store = OpenStore(config);
  if (store == nullptr) return kExitFailed;
  if (!store->SetNumber(processor->Name(), processor->Text("update_now_property"), 1)) {
    PrintError("cannot write to the property store (error " + std::to_string(GetLastError()) + ")");
    return kExitFailed;
  }
  PrintLine(processor->Name() + ": update requested");
  return kExitOk;
}

int GetProperty(const CommandLine& line, const ProgramConfig& config) {
  const std::string& section = line.operands[0];
  const std::string& name = line.operands[1];
  if (!CheckNames(section, name)) return kExitUsage;
  std::unique_ptr<PropertyStore> store = OpenStore(config);
  if (store == nullptr) return kExitFailed;

  std::vector<char> buffer(64);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = 0;
  BOOL read = GetMailServerProperty(store->handle(), section.c_str(), name.c_str(), buffer.data(),
                                    &size, &type);
  if (!read && GetLastError() == ERROR_MORE_DATA) {
    buffer.resize(size);
    read = GetMailServerProperty(store->handle(), section.c_str(), name.c_str(), buffer.data(),
                                 &size, &type);
  }
  if (!read) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) {
      PrintError("no property \"" + name + "\" in section \"" + section + "\"");
    } else {
      PrintError("cannot read \"" + name + "\" in section \"" + section + "\" (error " +
                 std::to_string(code) + ")");
    }
    return kExitFailed;
  }
  if (type == PROPERTY_TYPE_DWORD || (type == PROPERTY_TYPE_UNTYPED && size == 4)) {
    std::uint32_t value = 0;
    std::memcpy(&value, buffer.data(), size < 4 ? size : 4);
    PrintLine(std::to_string(value));
    return kExitOk;
  }
  const std::string text(buffer.data(), strnlen(buffer.data(), size));
  for (const ProcessorSettings& p : config.processors) {
    if (!SameName(p.Name(), section) || !SameName(p.Text("installed_files_property"), name)) {
      continue;
    }
    // The record of installed files is stored encoded: show the list it holds.
    CTriggerFileData installed;
    installed.Decode(text.c_str());
    if (installed.IsEmpty() && !text.empty()) {
      PrintError("the record of installed files cannot be decoded; it is shown as stored");
      break;
    }
    std::string list;
    for (const auto& [file, crc] : installed) {
      char value[16];
      std::snprintf(value, sizeof value, "%x ", static_cast<unsigned>(crc));
      list += value + file + "\n";
    }
    return WriteOut(list) ? kExitOk : kExitFailed;
  }
  PrintLine(text);
  return kExitOk;
}

int SetProperty(const CommandLine& line, const ProgramConfig& config) {
  const std::string& section = line.operands[0];
  const std::string& name = line.operands[1];
  const std::string& value = line.operands[2];
  if (!CheckNames(section, name)) return kExitUsage;
  if (!line.force) {
    std::string suggestion;
    if (config.FindProcessor(section) == nullptr) {
      PrintError("no processor named \"" + section + "\" in " + config.file +
                 "; --force writes it all the same");
      return kExitUsage;
    }
    if (!IsUsedPropertyName(config, name, &suggestion)) {
      PrintError("no configured processor uses a property \"" + name + "\"" +
                 (suggestion.empty() ? "" : " (did you mean \"" + suggestion + "\"?)") +
                 "; --force writes it all the same");
      return kExitUsage;
    }
  }
  std::uint32_t number = 0;
  if (!line.text && !ParseNumber(value, &number)) {
    PrintError("\"" + value +
               "\" is not an unsigned 32-bit number (decimal or 0x hexadecimal); use --text to "
               "store a text");
    return kExitUsage;
  }
  std::unique_ptr<PropertyStore> store = OpenStore(config);
  if (store == nullptr) return kExitFailed;
  const bool written =
      line.text ? store->SetText(section, name, value) : store->SetNumber(section, name, number);
  if (!written) {
    PrintError("cannot write \"" + name + "\" in section \"" + section + "\" (error " +
               std::to_string(GetLastError()) + ")");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace updater
