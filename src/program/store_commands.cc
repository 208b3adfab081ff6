// The commands that only read or write the property store: status, update-now, get and set. They
// take no lock: the store serves a running service and these commands at the same time.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "integrity/trigger_file_data.h"
#include "platform/win32.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/property_store.h"

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

// The interval the worker would run at: the property, or the default when it cannot be read,
// clamped to the limits; 0 when automatic updates are off.
std::uint32_t EffectiveInterval(PropertyStore& store, const ProcessorSettings& p) {
  const std::uint32_t value =
      store.GetNumber(p.Name(), p.Text("interval_property")).value_or(p.Number("default_interval"));
  if (value == 0) return 0;
  if (value > p.Number("max_interval")) return p.Number("max_interval");
  if (value < p.Number("min_interval")) return p.Number("min_interval");
  return value;
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

}  // namespace

int ShowStatus(const ProgramConfig& config) {
  std::unique_ptr<PropertyStore> store = OpenStore(config);
  if (store == nullptr) return kExitFailed;
  bool first = true;
  for (const ProcessorSettings& p : config.processors) {
    const std::string& section = p.Name();
    if (!first) PrintLine("");
    first = false;
    PrintLine(section);
    PrintField("display name:", p.DisplayName());

    const std::uint32_t interval = EffectiveInterval(*store, p);
    PrintField("update interval:", interval != 0 ? std::to_string(interval) + " s"
                                                 : "off (only requested updates run)");
    const std::uint32_t last =
        store->GetNumber(section, p.Text("last_update_property")).value_or(0);
    PrintField("last successful update:", last != 0 ? IsoTime(last) : "never");
    const std::uint32_t next =
        store->GetNumber(section, p.Text("next_update_property")).value_or(0);
    // All ones is what an interrupted `once` may leave behind; it schedules nothing.
    PrintField("next update:", next != 0 && next != 0xFFFFFFFF ? IsoTime(next) : "not scheduled");
    const std::uint32_t now = store->GetNumber(section, p.Text("update_now_property")).value_or(0);
    PrintField("update now pending:", now != 0 ? "yes" : "no");

    CTriggerFileData installed;
    if (std::optional<std::string> record =
            store->GetText(section, p.Text("installed_files_property"))) {
      installed.Decode(record->c_str());
    }
    PrintField("installed files recorded:", std::to_string(installed.GetCount()));
    const std::uint32_t invalid =
        store->GetNumber(section, kInvalidDefinitionFilesProperty).value_or(0);
    PrintField("invalid definition files:", invalid != 0 ? "detected" : "none detected");
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
  } else {
    PrintLine(std::string(buffer.data(), strnlen(buffer.data(), size)));
  }
  return kExitOk;
}

int SetProperty(const CommandLine& line, const ProgramConfig& config) {
  const std::string& section = line.operands[0];
  const std::string& name = line.operands[1];
  const std::string& value = line.operands[2];
  if (!CheckNames(section, name)) return kExitUsage;
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
