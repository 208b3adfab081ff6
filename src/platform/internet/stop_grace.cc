// The stop grace of a session, and the masking of a password in server texts.
#include "platform/internet/internet.h"

namespace {

// How often the event is looked at, at most: the driver loop of a fast transfer turns far more
// often, and the handle-table lookup need not be on its path; the grace starts a few milliseconds
// late at worst.
constexpr std::chrono::milliseconds kLookEvery{5};

constexpr std::size_t kShortestMaskedPassword = 4;

}  // namespace

bool StopGrace::Expired(Clock::time_point now) {
  if (!seen_) {
    if (event_ == nullptr || now < nextLook_) return false;
    nextLook_ = now + kLookEvery;
    if (WaitForSingleObject(event_, 0) != WAIT_OBJECT_0) return false;
    seen_ = true;
    deadline_ = now + std::chrono::milliseconds(kStopGraceMs);
  }
  return now >= deadline_;
}

std::string MaskPassword(std::string_view text, std::string_view password) {
  std::string masked(text);
  if (password.size() < kShortestMaskedPassword) return masked;
  static constexpr std::string_view kMask = "********";
  for (std::size_t at = masked.find(password); at != std::string::npos;
       at = masked.find(password, at + kMask.size())) {
    masked.replace(at, password.size(), kMask);
  }
  return masked;
}
