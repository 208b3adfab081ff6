// The transfer driver shared by the FTP and HTTP sides of the internet layer: one libcurl easy
// handle run on the session's multi handle by our own loop, so that every wait on the server is
// bounded by the stall limit, the least rate and the session's stop grace, and the body streams
// into the caller's buffer in bounded memory.
//
// Threading: a session and everything made from it belong to one thread; the callbacks run on
// that thread, inside the calls of this class.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_TRANSFER_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_TRANSFER_H_

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/internet/internet.h"

namespace internet {

// The libcurl state of one CInternetSession: the multi handle, which owns the connection cache,
// so that a logged-in FTP control connection serves the next transfer of the session. Shared by
// the session and everything made from it, so that it outlives the last transfer run on it.
class CurlSession {
 public:
  // Null when libcurl cannot be set up. `stop`, which may be null, bounds every transfer run on
  // the session (StopGrace).
  static std::shared_ptr<CurlSession> Create(std::shared_ptr<StopGrace> stop = nullptr);
  ~CurlSession();
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  CURLM* multi() const { return multi_; }
  const std::shared_ptr<StopGrace>& stop() const { return stop_; }
  void set_stop(std::shared_ptr<StopGrace> stop) { stop_ = std::move(stop); }

 private:
  explicit CurlSession(CURLM* multi) : multi_(multi) {}
  CURLM* multi_;
  std::shared_ptr<StopGrace> stop_;
};

// How many times, in this process, a transfer driver waited while libcurl named no socket to
// wait on (so that only the time limit of the wait could end it). Every such wait delays a
// transfer by a whole poll slice; the driver avoids them, and tests check that it does.
std::uint64_t WaitsWithoutSocket();

// Sees the protocol lines of a transfer: the lines the server sends besides the body (FTP
// replies, HTTP header lines) and the lines sent to it (FTP commands, the HTTP request head).
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  virtual void OnLineReceived(std::string_view line) = 0;
  virtual void OnLineSent(std::string_view line) = 0;
};

// How a transfer ended when it did not succeed.
enum class TransferFailure {
  kNone,
  kCurl,      // libcurl ended it: see curlCode()
  kStalled,   // nothing arrived from the server for the stall limit, or less than the least rate
  kProtocol,  // the observer reported a protocol violation (MarkProtocolViolation)
  kAborted,   // Abort() ended it before its end, or the session's stop grace ran out
  kInternal,  // libcurl refused an operation of ours
};

class Transfer {
 public:
  // `easy` stays owned by the caller and must outlive this object; the caller has set the URL
  // and the protocol's options. The transfer installs its own write, debug and private data.
  // `observer` may be null.
  Transfer(std::shared_ptr<CurlSession> session, CURL* easy, TransferObserver* observer);
  ~Transfer();  // aborts a transfer that is still running
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Puts the handle on the session's multi handle. False (failure() set) when libcurl refuses.
  bool Start();

  // Drives the transfer until `ready()` holds, the transfer ends, or it fails. True when ready
  // or ended successfully; false when failed. The stall limit is read at each call and applies
  // to the whole wait: any byte from the server restarts it. The least rate is measured over
  // windows of the stall limit's length of the time spent in this call and the earlier ones; the
  // session's stop grace ends the wait (kAborted).
  bool DriveUntil(const std::function<bool()>& ready);

  // Reads body bytes into `buffer`: until `count` bytes have arrived (or, with `atLeastOne`, at
  // least one), or the body ends. True with *got (0 only at the end); false when the transfer
  // failed before that. Bytes already received are handed out before the transfer is driven.
  bool Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got);

  // Makes `observer` (null: none) see the body bytes from now on as Read hands them out, each
  // piece once it is in the caller's buffer (CInternetFile::SetObserver).
  void SetObserver(InternetFileObserver* observer) { delivery_ = observer; }

  // Detaches the handle from the multi handle. A transfer stopped before its end fails with
  // kAborted, and libcurl closes its connection. Harmless when not running.
  void Abort();
  // Ends the transfer as failed with TransferFailure::kProtocol; the driver stops at once.
  void MarkProtocolViolation() { violation_ = true; }

  bool running() const { return attached_; }
  bool finished() const { return finished_; }
  bool failed() const { return failure_ != TransferFailure::kNone; }
  TransferFailure failure() const { return failure_; }
  CURLcode curlCode() const { return curlCode_; }
  // The TLS peer verification result libcurl reports (X509_V_OK, 0, when none failed).
  long sslVerifyResult() const { return sslVerifyResult_; }
  // Body bytes received from the server so far (handed out or not).
  std::uint64_t bodyBytes() const { return bodyBytes_; }
  // Every byte received from the server so far as libcurl reads it (after TLS): header lines,
  // bodies, and the bodies libcurl reads past on its own (those of redirects it follows).
  std::uint64_t receivedBytes() const { return receivedBytes_; }

 private:
  static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
  static int OnDebug(CURL* easy, curl_infotype type, char* data, std::size_t size, void* self);
  std::size_t Write(const char* data, std::size_t size);
  void Received() { lastActivity_ = std::chrono::steady_clock::now(); }
  void Fail(TransferFailure failure);
  void Finish(CURLcode code);
  // Reads the multi handle's completion messages, for this and any other transfer of the session.
  void CollectMessages();
  std::size_t TakeOverflow(char* buffer, std::size_t count);

  std::shared_ptr<CurlSession> session_;
  CURL* easy_;
  TransferObserver* observer_;
  bool attached_ = false;
  bool finished_ = false;
  bool violation_ = false;
  TransferFailure failure_ = TransferFailure::kNone;
  CURLcode curlCode_ = CURLE_OK;
  long sslVerifyResult_ = 0;
  std::uint64_t bodyBytes_ = 0;
  std::uint64_t receivedBytes_ = 0;
  std::chrono::steady_clock::time_point lastActivity_;
  // The window of the least rate: time driven in it so far, and receivedBytes_ at its start.
  std::chrono::steady_clock::duration windowDriven_{};
  std::uint64_t windowStartBytes_ = 0;

  // Body bytes go straight into the caller's buffer while a Read waits; what does not fit is kept
  // here (at most one chunk of libcurl's), and with this full the transfer is paused.
  char* callerBuffer_ = nullptr;
  std::size_t callerCapacity_ = 0;
  std::size_t callerFilled_ = 0;
  std::string overflow_;
  std::size_t overflowOffset_ = 0;
  bool paused_ = false;
  InternetFileObserver* delivery_ = nullptr;
  // Set while the debug callback collects a line: libcurl may hand over a line in pieces.
  std::string pendingLine_;
};

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_TRANSFER_H_
