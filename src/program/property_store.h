// The program's access to the host's property store: opening the configured database, and typed
// reads and writes through one handle.
#ifndef FILEREPOSITORY_PROGRAM_PROPERTY_STORE_H_
#define FILEREPOSITORY_PROGRAM_PROPERTY_STORE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "host/mail_server.h"
#include "program/program_config.h"

namespace updater {

// Names the configuration's property store for every handle opened afterwards, making its
// directory when missing. False with `error` set when the store cannot be opened.
bool UsePropertyStore(const ProgramConfig& config, std::string* error);

// One handle on the store. Use from one thread at a time.
class PropertyStore {
 public:
  PropertyStore();
  ~PropertyStore();
  PropertyStore(const PropertyStore&) = delete;
  PropertyStore& operator=(const PropertyStore&) = delete;

  bool IsOpen() const { return handle_ != nullptr; }
  _tMailServer* handle() const { return handle_; }

  // Absent, unreadable or of another type: nullopt.
  std::optional<std::uint32_t> GetNumber(const std::string& section, const std::string& name);
  std::optional<std::string> GetText(const std::string& section, const std::string& name);
  bool SetNumber(const std::string& section, const std::string& name, std::uint32_t value);
  bool SetText(const std::string& section, const std::string& name, const std::string& value);

 private:
  _tMailServer* handle_;
};

// The property in each processor's section where the service records that the library detected
// invalid definition files for it (1).
inline constexpr const char* kInvalidDefinitionFilesProperty = "InvalidDefinitionFiles";

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROPERTY_STORE_H_
