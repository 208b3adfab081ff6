#include "platform/internet/transfer.h"

#include <signal.h>
#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/internet/internet.h"

namespace internet {

namespace {

// Longest single wait inside the driver loop; curl_multi_poll returns earlier on activity on
// the sockets libcurl names.
constexpr std::chrono::milliseconds kPollSlice{10};
// libcurl does not always name a socket when it has work left: after the reply to EPSV or PASV
// it names none until the next curl_multi_perform opens the data connection, so a wait there
// would last the whole slice (10 ms on every download, nearly a second over a hundred files).
// When it names no socket, the driver performs again at once, this many times in a row at most
// before it waits, so that a libcurl that truly waits for nothing cannot make it spin.
constexpr int kImmediatePerforms = 4;
// A protocol line longer than this is kept cut; libcurl itself clips longer reply lines.
constexpr std::size_t kMaxLine = 16384;

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Transfers run with CURLOPT_NOSIGNAL (several threads use libcurl), and then libcurl leaves
    // SIGPIPE alone: a write to a connection the server closed must not end the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
}

std::atomic<std::uint64_t> g_waitsWithoutSocket{0};

// Whether libcurl names a socket to wait on. curl_multi_fdset leaves out descriptors beyond
// FD_SETSIZE; with so many open, the answer is no and the driver merely performs again sooner.
bool NamesAnySocket(CURLM* multi) {
  fd_set read, write, error;
  FD_ZERO(&read);
  FD_ZERO(&write);
  FD_ZERO(&error);
  int highest = -1;
  return curl_multi_fdset(multi, &read, &write, &error, &highest) == CURLM_OK && highest >= 0;
}

}  // namespace

std::uint64_t WaitsWithoutSocket() {
  return g_waitsWithoutSocket.load(std::memory_order_relaxed);
}

std::shared_ptr<CurlSession> CurlSession::Create(std::shared_ptr<StopGrace> stop) {
  InitialiseCurlOnce();
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) return nullptr;
  std::shared_ptr<CurlSession> session(new CurlSession(multi));
  session->stop_ = std::move(stop);
  return session;
}

CurlSession::~CurlSession() {
  curl_multi_cleanup(multi_);
}

Transfer::Transfer(std::shared_ptr<CurlSession> session, CURL* easy, TransferObserver* observer)
    : session_(std::move(session)), easy_(easy), observer_(observer) {}

Transfer::~Transfer() {
  Abort();
}

bool Transfer::Start() {
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_DEBUGFUNCTION, &Transfer::OnDebug);
  curl_easy_setopt(easy_, CURLOPT_DEBUGDATA, this);
  curl_easy_setopt(easy_, CURLOPT_VERBOSE, 1L);  // the debug callback only runs when verbose
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  if (curl_multi_add_handle(session_->multi(), easy_) != CURLM_OK) {
    Fail(TransferFailure::kInternal);
    finished_ = true;
    return false;
  }
  attached_ = true;
  Received();
  return true;
}

void Transfer::Abort() {
  if (!attached_) return;
  attached_ = false;
  curl_multi_remove_handle(session_->multi(), easy_);
  // The handle may serve another transfer later: it must not point at this object any more.
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, nullptr);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(easy_, CURLOPT_DEBUGDATA, nullptr);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, nullptr);
  curl_easy_setopt(easy_, CURLOPT_DEBUGFUNCTION, nullptr);
  curl_easy_setopt(easy_, CURLOPT_VERBOSE, 0L);
  if (!finished_) {
    finished_ = true;
    Fail(TransferFailure::kAborted);
  }
}

void Transfer::Fail(TransferFailure failure) {
  if (failure_ == TransferFailure::kNone) failure_ = failure;
}

void Transfer::Finish(CURLcode code) {
  finished_ = true;
  curlCode_ = code;
  if (code != CURLE_OK) {
    long verify = 0;
    if (curl_easy_getinfo(easy_, CURLINFO_SSL_VERIFYRESULT, &verify) == CURLE_OK) {
      sslVerifyResult_ = verify;
    }
    Fail(violation_ ? TransferFailure::kProtocol : TransferFailure::kCurl);
  } else if (violation_) {
    Fail(TransferFailure::kProtocol);
  }
}

void Transfer::CollectMessages() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(session_->multi(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    char* owner = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
    Transfer* transfer = reinterpret_cast<Transfer*>(owner);
    if (transfer == nullptr) continue;
    transfer->Finish(code);
    // Detach at once: libcurl has already put the connection back in the session's cache.
    transfer->Abort();
  }
}

bool Transfer::DriveUntil(const std::function<bool()>& ready) {
  using Clock = std::chrono::steady_clock;
  const InternetTimeouts limits = GetInternetTimeouts();
  const auto stallLimit = std::chrono::milliseconds(limits.stallMs);
  // Bytes a window of the stall limit's length must bring at least.
  const std::uint64_t windowMinimum =
      static_cast<std::uint64_t>(limits.minRateBytesPerS) * limits.stallMs / 1000;
  StopGrace* stop = session_->stop().get();
  Received();
  Clock::time_point tick = lastActivity_;
  int immediate = 0;
  for (;;) {
    if (violation_ && !finished_) {
      Abort();
      failure_ = TransferFailure::kProtocol;
    }
    if (failed()) return false;
    if (finished_) return true;
    if (ready && ready()) return true;

    int running = 0;
    if (curl_multi_perform(session_->multi(), &running) != CURLM_OK) {
      Abort();
      failure_ = TransferFailure::kInternal;
      return false;
    }
    CollectMessages();
    if (violation_ || finished_ || (ready && ready())) continue;

    const Clock::time_point now = Clock::now();
    if (stop != nullptr && stop->Expired(now)) {
      Abort();
      failure_ = TransferFailure::kAborted;
      return false;
    }
    const auto idle = now - lastActivity_;
    if (idle >= stallLimit) {
      Abort();
      failure_ = TransferFailure::kStalled;
      return false;
    }
    windowDriven_ += now - tick;
    tick = now;
    if (windowDriven_ >= stallLimit) {
      if (receivedBytes_ - windowStartBytes_ < windowMinimum) {
        Abort();
        failure_ = TransferFailure::kStalled;
        return false;
      }
      windowDriven_ = Clock::duration::zero();
      windowStartBytes_ = receivedBytes_;
    }
    if (!NamesAnySocket(session_->multi())) {
      if (immediate < kImmediatePerforms) {
        ++immediate;
        continue;
      }
      g_waitsWithoutSocket.fetch_add(1, std::memory_order_relaxed);
    }
    immediate = 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stallLimit - idle);
    const auto wait = std::max(std::chrono::milliseconds(1), std::min(left, kPollSlice));
    curl_multi_poll(session_->multi(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
}

std::size_t Transfer::TakeOverflow(char* buffer, std::size_t count) {
  const std::size_t available = overflow_.size() - overflowOffset_;
  const std::size_t take = std::min(available, count);
  if (take == 0) return 0;
  std::memcpy(buffer, overflow_.data() + overflowOffset_, take);
  if (delivery_ != nullptr) delivery_->OnDelivered(buffer, take);
  overflowOffset_ += take;
  if (overflowOffset_ == overflow_.size()) {
    overflow_.clear();
    overflowOffset_ = 0;
  }
  return take;
}

bool Transfer::Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got) {
  char* out = static_cast<char*>(buffer);
  std::size_t filled = TakeOverflow(out, count);
  *got = filled;
  const std::size_t wanted = atLeastOne ? std::min<std::size_t>(count, 1) : count;
  if (filled >= wanted) return true;
  if (failed()) return false;
  if (finished_) return true;

  callerBuffer_ = out + filled;
  callerCapacity_ = count - filled;
  callerFilled_ = 0;
  bool ok = true;
  if (paused_) {
    paused_ = false;
    // libcurl hands over the chunk it held back from within this call.
    if (curl_easy_pause(easy_, CURLPAUSE_CONT) != CURLE_OK) {
      Abort();
      failure_ = TransferFailure::kInternal;
      ok = false;
    }
  }
  if (ok) {
    ok = DriveUntil([&] { return filled + callerFilled_ >= wanted; });
  }
  filled += callerFilled_;
  // From here on libcurl must not touch the caller's buffer.
  callerBuffer_ = nullptr;
  callerCapacity_ = 0;
  callerFilled_ = 0;
  *got = filled;
  if (!ok || (failed() && filled < wanted)) return false;
  return true;
}

std::size_t Transfer::Write(const char* data, std::size_t size) {
  Received();
  const std::size_t room = callerCapacity_ - callerFilled_;
  if (room == 0 && overflowOffset_ < overflow_.size()) {
    paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  const std::size_t direct = std::min(room, size);
  if (direct > 0) {
    std::memcpy(callerBuffer_ + callerFilled_, data, direct);
    if (delivery_ != nullptr) delivery_->OnDelivered(callerBuffer_ + callerFilled_, direct);
    callerFilled_ += direct;
  }
  if (direct < size) overflow_.assign(data + direct, size - direct);
  overflowOffset_ = 0;
  bodyBytes_ += size;
  return size;
}

std::size_t Transfer::OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
  Transfer* transfer = static_cast<Transfer*>(self);
  if (transfer == nullptr) return 0;
  try {
    return transfer->Write(data, size * count);
  } catch (...) {
    return 0;  // fails the transfer with CURLE_WRITE_ERROR
  }
}

int Transfer::OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* self) {
  Transfer* transfer = static_cast<Transfer*>(self);
  if (transfer == nullptr) return 0;
  try {
    switch (type) {
      case CURLINFO_HEADER_IN: {
        transfer->Received();
        transfer->receivedBytes_ += size;
        std::string_view rest(data, size);
        while (!rest.empty()) {
          const std::size_t newline = rest.find('\n');
          const std::string_view piece = rest.substr(0, newline);
          std::string& line = transfer->pendingLine_;
          line.append(piece.substr(0, kMaxLine > line.size() ? kMaxLine - line.size() : 0));
          if (newline == std::string_view::npos) break;
          line.push_back('\n');
          if (transfer->observer_ != nullptr) transfer->observer_->OnLineReceived(line);
          line.clear();
          rest.remove_prefix(newline + 1);
        }
        break;
      }
      case CURLINFO_HEADER_OUT: {
        std::string_view rest(data, size);
        while (!rest.empty()) {
          const std::size_t newline = rest.find('\n');
          const std::string_view line =
              rest.substr(0, newline == std::string_view::npos ? rest.size() : newline + 1);
          if (transfer->observer_ != nullptr) transfer->observer_->OnLineSent(line);
          rest.remove_prefix(line.size());
        }
        break;
      }
      case CURLINFO_DATA_IN:
        transfer->Received();
        transfer->receivedBytes_ += size;
        break;
      case CURLINFO_SSL_DATA_IN:
        transfer->Received();
        break;
      default:
        break;
    }
  } catch (...) {
    transfer->violation_ = true;  // out of memory: stop the transfer rather than lose a line
  }
  return 0;
}

}  // namespace internet
