#include "resources/messages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

struct MessageEntry {
  std::uint32_t id;
  std::string_view text;
};

// Sorted by id. The texts are the product's own, doubled quotation marks and double spaces
// included; they must not be tidied.
constexpr MessageEntry kMessages[] = {
    {IDS_UPDATING_DEFINITION_FILES, "Updating the %1 definition files"},
    {IDS_CONNECTING_TO_SERVER, "Connecting to the %1 updates server"},
    {IDS_NO_ROOT_DIRECTORY_NAME, "Failed to obtain a name for the %1 updates root directory."},
    {IDS_FAILED_TO_WRITE_FILE, "Failed to write to file \"\"%1\"\""},
    {IDS_CHECKING_INTEGRITY, "Checking the integrity of the %1 definition files"},
    {IDS_NO_REMOTE_UPDATES_DIRECTORY,
     "Failed to find the updates directory on the remote FTP server"},
    {IDS_UPDATING_FILE, "Updating the \"\"%1\"\" file"},
    {IDS_FAILED_TO_UPDATE_CONFIGURATION,
     "Failed to update the configuration information for the %1 processor."},
    {IDS_UPDATE_DEFINITION_FILES, "Update the %1 definition files"},
    {IDS_CONFIRM_UPDATES_ABSORBED,
     "Confirm that the updates have been absorbed by the %1 processor."},
    {IDS_ROOT_DIRECTORY_NOT_FOUND, "%1 root directory not found."},
    {IDS_CREATING_BACKUP_DIRECTORY,
     "Creating the backup directory \"\"%1\"\" for the  definitions.  Please create this directory "
     "manually."},
    {IDS_FAILED_TO_ENUMERATE_REMOTE,
     "Failed to enumerate the remote directory.  This is likely to be due to a firewall blocking "
     "the request.  Try changing to Passive FTP and check firewall settings."},
    {IDS_COPY_FILE_TO_DIRECTORY, "Copy the \"%1\" file to the \"%2\" directory"},
    {IDS_DEFINITIONS_DIRECTORY_NOT_FOUND, "Failed to find the CSS directory \"\"%1\"\"."},
    {IDS_INVALID_DEFINITION_FILES,
     "Invalid %1definition files detected.  Disabling %1 processing for this mail server.  Please "
     "contact technical support."},
    {IDS_NO_WORKING_CONFIGURATION, "Could not establish a working configuration."},
    {IDS_REMOTE_FILE_DOES_NOT_EXIST, "The remote file does not exist."},
    {IDS_SERVICE_SHUTTING_DOWN,
     "Service shutting down.  Update process suspended with %1 files still to update."},
    {IDS_UPDATED_FILES, "Updated %1 files: %2"},
    {IDS_FILE_NOT_CONSUMED,
     "The file already exists locally and has not been consumed by the  %1 engine.  This means "
     "that the %1 engine is either not running, or running using out of date definitions."},
    {IDS_ATTEMPTING_TO_ABSORB, "Attempting to absorb updates."},
};

static_assert(std::is_sorted(std::begin(kMessages), std::end(kMessages),
                             [](const MessageEntry& a, const MessageEntry& b) {
                               return a.id < b.id;
                             }));

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Parses a printf conversion of the form [flags][width][.precision][length]conversion as it may
// stand between the exclamation marks of %n!...!; the length modifier is dropped because every
// number insert is a long long. False when the text is not such a conversion.
bool ParseConversion(std::string_view spec, std::string* prefix, char* conversion) {
  // Width and precision take at most three digits each, so one insert stays small.
  auto skipDigits = [&spec](std::size_t i) {
    std::size_t start = i;
    while (i < spec.size() && IsDigit(spec[i]) && i - start < 3) ++i;
    return i;
  };
  std::size_t i = 0;
  while (i < spec.size() && std::string_view("-+ #0").find(spec[i]) != std::string_view::npos) ++i;
  i = skipDigits(i);
  if (i < spec.size() && spec[i] == '.') i = skipDigits(i + 1);
  std::size_t lengthStart = i;
  while (i < spec.size() && std::string_view("hlLqjzt").find(spec[i]) != std::string_view::npos) {
    ++i;
  }
  if (i + 1 != spec.size()) return false;
  if (std::string_view("diuoxXcs").find(spec[i]) == std::string_view::npos) return false;
  *prefix = std::string(spec.substr(0, lengthStart));
  *conversion = spec[i];
  return true;
}

void AppendNumber(std::string* out, long long value, const std::string& prefix, char conversion) {
  std::string format = "%" + prefix;
  switch (conversion) {
    case 'd':
    case 'i':
      format += "lld";
      break;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      format += "ll";
      format += conversion;
      break;
    default:  // c and s: a number shown as text is shown in decimal
      format = "%lld";
      break;
  }
  char buffer[128];
  int written = std::snprintf(buffer, sizeof buffer, format.c_str(), value);
  if (written > 0) out->append(buffer, std::min<std::size_t>(written, sizeof buffer - 1));
}

void AppendInsert(std::string* out, const MessageInsert* insert, const std::string& prefix,
                  char conversion) {
  if (insert == nullptr) return;
  if (const auto* text = std::get_if<std::string_view>(insert)) {
    out->append(*text);
  } else {
    AppendNumber(out, std::get<long long>(*insert), prefix, conversion);
  }
}

}  // namespace

std::string_view LoadMessage(std::uint32_t id) {
  auto it =
      std::lower_bound(std::begin(kMessages), std::end(kMessages), id,
                       [](const MessageEntry& entry, std::uint32_t key) { return entry.id < key; });
  if (it == std::end(kMessages) || it->id != id) return {};
  return it->text;
}

std::string FormatMessageText(std::string_view text, std::initializer_list<MessageInsert> inserts) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c != '%' || i + 1 >= text.size()) {
      out += c;
      ++i;
      continue;
    }
    char next = text[i + 1];
    if (next == '%') {
      out += '%';
      i += 2;
      continue;
    }
    if (next < '1' || next > '9') {  // not an insert: the % stands as it is
      out += c;
      ++i;
      continue;
    }
    // %1 to %99: one or two digits.
    std::size_t number = static_cast<std::size_t>(next - '0');
    i += 2;
    if (i < text.size() && IsDigit(text[i])) {
      number = number * 10 + static_cast<std::size_t>(text[i] - '0');
      ++i;
    }
    const MessageInsert* insert =
        number <= inserts.size() ? inserts.begin() + (number - 1) : nullptr;

    std::string prefix;
    char conversion = 'd';
    if (i < text.size() && text[i] == '!') {
      std::size_t close = text.find('!', i + 1);
      if (close != std::string_view::npos &&
          ParseConversion(text.substr(i + 1, close - i - 1), &prefix, &conversion)) {
        i = close + 1;
      }  // else the ! is ordinary text after a plain insert
    }
    AppendInsert(&out, insert, prefix, conversion);
  }
  return out;
}

std::string FormatMessageId(std::uint32_t id, std::initializer_list<MessageInsert> inserts) {
  return FormatMessageText(LoadMessage(id), inserts);
}
