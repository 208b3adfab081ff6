// One HTTP request of the layer: its own libcurl easy handle, run on the multi handle of the
// connection it was made from (whose connection cache keeps the server's connection alive from
// one request to the next), and the response's head and body.
//
// Send drives the request until the response's head has arrived, so that a request that cannot
// be sent or gets no valid head fails there; the body is then read as a stream into the
// caller's buffer (Read), and a body that breaks off fails the read.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_HTTP_REQUEST_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_HTTP_REQUEST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/internet/http_head.h"
#include "platform/internet/internet_state.h"
#include "platform/internet/transfer.h"

namespace internet {

// What the layer knows about a failed request, for turning it into a WinInet code.
struct HttpFailureFacts {
  TransferFailure failure = TransferFailure::kNone;
  CURLcode curlCode = CURLE_OK;
  long sslVerifyResult = 0;
  bool headReceived = false;  // the failure broke the body
  bool redirected = false;    // a redirect had been followed
};
// The WinInet code of a failed request (pure; see the table in http_request.cc).
DWORD HttpErrorCode(const HttpFailureFacts& facts);

// At most this many redirects are followed for one request.
inline constexpr long kMaxHttpRedirects = 5;
// A response whose head has not come after this many bytes (the bodies of redirects included,
// which libcurl reads past) is refused, so that an endless one cannot hold the caller.
inline constexpr std::uint64_t kMaxBytesBeforeHead = 1024 * 1024;

struct HttpRequestOptions {
  std::string url;  // scheme, host, port and the request target
  bool tls = false;
  std::string agent;
  std::string referrer;              // "" for none
  std::vector<std::string> headers;  // whole header lines, "Name: value", or "Name:" to drop one
  long version = CURL_HTTP_VERSION_1_1;
};

class HttpRequest : public RemoteFileSource, public TransferObserver {
 public:
  // Null when libcurl cannot make a handle.
  static std::unique_ptr<HttpRequest> Create(std::shared_ptr<CurlSession> session,
                                             const HttpRequestOptions& options);
  ~HttpRequest() override;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Sends the request and drives it until the response's head has arrived. ERROR_SUCCESS or the
  // WinInet code of the failure; ERROR_INTERNET_INCORRECT_HANDLE_STATE when sent before.
  DWORD Send();
  // The response's head: complete after a successful Send.
  const HttpHeadParser& head() const { return head_; }
  // The URL the response came from (after the redirects followed); "" before one.
  std::string EffectiveUrl() const;

  // RemoteFileSource: the body.
  DWORD Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got) override;
  void Close() override;
  void SetObserver(InternetFileObserver* observer) override;

  // TransferObserver.
  void OnLineReceived(std::string_view line) override;
  void OnLineSent(std::string_view) override {}

 private:
  HttpRequest(std::shared_ptr<CurlSession> session, CURL* easy, curl_slist* headers);
  DWORD FailureCode() const;

  std::shared_ptr<CurlSession> session_;
  CURL* easy_;
  curl_slist* headers_;
  HttpHeadParser head_{true};
  std::unique_ptr<Transfer> transfer_;
  bool sent_ = false;
  bool closed_ = false;
};

// Connects to an https server and verifies its certificate, then closes the connection.
// ERROR_SUCCESS or the WinInet code of the failure.
DWORD VerifyTlsServer(const std::shared_ptr<CurlSession>& session, const std::string& host,
                      std::uint16_t port);

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_HTTP_REQUEST_H_
