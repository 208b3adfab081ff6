#include "service/verified_mode.h"

#include <charconv>

#include "service/update_slot.h"

std::string VerifiedReference::Encode() const {
  std::string text;
  for (const auto& [name, file] : files) {
    text +=
        integrity::Sha256ToHex(file.digest) + " " + std::to_string(file.size) + " " + name + "\n";
  }
  return text;
}

bool VerifiedReference::DecodeFiles(const std::string& text) {
  files.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    File file;
    if (line.size() < 68 || line[64] != ' ' ||
        !integrity::Sha256FromHex(line.substr(0, 64), &file.digest)) {
      files.clear();
      return false;
    }
    const char* digits = line.data() + 65;
    const auto [rest, error] = std::from_chars(digits, line.data() + line.size(), file.size);
    if (error != std::errc() || rest == digits || rest + 1 >= line.data() + line.size() ||
        *rest != ' ') {
      files.clear();
      return false;
    }
    files[std::string(rest + 1, line.data() + line.size())] = file;
  }
  return true;
}

bool ConfigureVerifiedMode(const char* processorName,
                           std::shared_ptr<const VerifiedModeSettings> settings) {
  UpdateSlot& slot = SlotForProcessor(processorName);
  EnterCriticalSection(&slot.m_lock);
  const bool idle = slot.m_nStarted.load() == 0;
  if (idle) {
    slot.m_verified = std::move(settings);
    slot.m_verifiedReference = VerifiedReference();
    slot.m_verifiedReferenceLoaded = false;
  }
  LeaveCriticalSection(&slot.m_lock);
  return idle;
}
