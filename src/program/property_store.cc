#include "program/property_store.h"

#include <filesystem>
#include <system_error>

#include "platform/win32.h"
#include "service/property_helpers.h"

namespace updater {

bool UsePropertyStore(const ProgramConfig& config, std::string* error) {
  std::error_code failure;
  const std::filesystem::path directory = std::filesystem::path(config.storePath).parent_path();
  if (!directory.empty() && !std::filesystem::exists(directory, failure)) {
    std::filesystem::create_directories(directory, failure);
    if (failure) {
      *error = "cannot make the property store's directory " + directory.string() + ": " +
               failure.message();
      return false;
    }
  }
  if (!SetPropertyStorePath(config.storePath.c_str())) {
    *error = "cannot open the property store " + config.storePath + " (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

PropertyStore::PropertyStore() : handle_(OpenMailServer(0)) {}

PropertyStore::~PropertyStore() {
  if (handle_ != nullptr) CloseMailServer(handle_);
}

std::optional<std::uint32_t> PropertyStore::GetNumber(const std::string& section,
                                                      const std::string& name) {
  DWORD value = 0;
  if (!GetDwordProperty(handle_, section.c_str(), name.c_str(), value)) return std::nullopt;
  return value;
}

std::optional<std::string> PropertyStore::GetText(const std::string& section,
                                                  const std::string& name) {
  std::string value;
  if (!GetStringProperty(handle_, section.c_str(), name.c_str(), value)) return std::nullopt;
  return value;
}

bool PropertyStore::SetNumber(const std::string& section, const std::string& name,
                              std::uint32_t value) {
  return SetDwordProperty(handle_, section.c_str(), name.c_str(), value) != 0;
}

bool PropertyStore::SetText(const std::string& section, const std::string& name,
                            const std::string& value) {
  return SetMailServerProperty(handle_, section.c_str(), PROPERTY_TYPE_TEXT, name.c_str(),
                               value.c_str(), static_cast<DWORD>(value.size() + 1)) != 0;
}

}  // namespace updater
