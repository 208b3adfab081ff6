#include "platform/internet/http_request.h"

#include "platform/internet/internet_settings.h"
#include "platform/internet/tls_errors.h"

namespace internet {

namespace {

// Options every HTTP handle of the layer shares: no proxy from the environment, IPv4 as the
// probe, the connect limit, and certificates verified against the store in force.
void ApplyConnectionOptions(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(GetInternetTimeouts().connectMs));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string caFile = CaFile();
  if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
}

HttpFailureFacts FactsOf(const Transfer& transfer) {
  HttpFailureFacts facts;
  facts.failure = transfer.failure();
  facts.curlCode = transfer.curlCode();
  facts.sslVerifyResult = transfer.sslVerifyResult();
  return facts;
}

}  // namespace

// How a failed request maps onto WinInet's codes. Before the response's head a broken
// connection is a reset (12031) or no valid response (12152); once the body flows it is an
// aborted transfer (12030).
DWORD HttpErrorCode(const HttpFailureFacts& facts) {
  if (const auto shared = SharedFailureCode(facts.failure, facts.curlCode, facts.sslVerifyResult)) {
    return *shared;
  }
  switch (facts.curlCode) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // A redirect to a scheme that is not allowed, or a "response" without a status line,
      // which libcurl takes for HTTP/0.9 and refuses.
      return facts.redirected ? ERROR_HTTP_REDIRECT_FAILED : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_GOT_NOTHING:
      return facts.headReceived ? ERROR_INTERNET_CONNECTION_ABORTED
                                : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return facts.headReceived ? ERROR_INTERNET_CONNECTION_ABORTED
                                : ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

std::unique_ptr<HttpRequest> HttpRequest::Create(std::shared_ptr<CurlSession> session,
                                                 const HttpRequestOptions& options) {
  if (session == nullptr) return nullptr;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return nullptr;
  curl_slist* headers = nullptr;
  for (const std::string& line : options.headers) {
    curl_slist* grown = curl_slist_append(headers, line.c_str());
    if (grown == nullptr) {
      curl_slist_free_all(headers);
      curl_easy_cleanup(easy);
      return nullptr;
    }
    headers = grown;
  }
  std::unique_ptr<HttpRequest> request(new HttpRequest(std::move(session), easy, headers));

  curl_easy_setopt(easy, CURLOPT_URL, options.url.c_str());
  // Redirects as the platform follows them by default, but never from https down to http. The
  // protocols allowed at all bound those of redirects too: https must be among them for http.
  const char* protocols = options.tls ? "https" : "http,https";
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxHttpRedirects);
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, options.version);
  // The target is made already (HttpRequestTarget); libcurl must not rework it.
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  // The body as the server sends it: Content-Length counts those bytes. Chunks are undone.
  curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, options.agent.c_str());
  if (!options.referrer.empty()) curl_easy_setopt(easy, CURLOPT_REFERER, options.referrer.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  ApplyConnectionOptions(easy);
  return request;
}

HttpRequest::HttpRequest(std::shared_ptr<CurlSession> session, CURL* easy, curl_slist* headers)
    : session_(std::move(session)), easy_(easy), headers_(headers) {}

HttpRequest::~HttpRequest() {
  transfer_.reset();  // detaches the handle before it goes
  curl_easy_cleanup(easy_);
  curl_slist_free_all(headers_);
}

DWORD HttpRequest::FailureCode() const {
  HttpFailureFacts facts = FactsOf(*transfer_);
  facts.headReceived = head_.complete();
  facts.redirected = head_.redirected();
  return HttpErrorCode(facts);
}

DWORD HttpRequest::Send() {
  if (closed_ || sent_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  sent_ = true;
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(GetInternetTimeouts().connectMs));
  transfer_ = std::make_unique<Transfer>(session_, easy_, this);
  if (!transfer_->Start()) return FailureCode();
  const bool ok = transfer_->DriveUntil(
      [this] { return head_.complete() || transfer_->receivedBytes() > kMaxBytesBeforeHead; });
  // A transfer that fails once the head is in failed while reading: Read reports it.
  if (head_.complete()) return ERROR_SUCCESS;
  if (!ok) return FailureCode();
  transfer_->Abort();
  return ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

std::string HttpRequest::EffectiveUrl() const {
  char* url = nullptr;
  if (!head_.complete() || curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK ||
      url == nullptr) {
    return "";
  }
  return url;
}

DWORD HttpRequest::Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got) {
  *got = 0;
  if (closed_ || transfer_ == nullptr || !head_.complete()) {
    return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  }
  if (!transfer_->Read(buffer, count, atLeastOne, got)) return FailureCode();
  return ERROR_SUCCESS;
}

void HttpRequest::Close() {
  closed_ = true;
  // A body read to its end has already given its connection back to the cache; one stopped
  // before its end closes it.
  if (transfer_ != nullptr) transfer_->Abort();
}

void HttpRequest::SetObserver(InternetFileObserver* observer) {
  if (transfer_ != nullptr) transfer_->SetObserver(observer);
}

void HttpRequest::OnLineReceived(std::string_view line) {
  if (head_.AddLine(line) == HttpHeadParser::Status::kMalformed && transfer_ != nullptr) {
    transfer_->MarkProtocolViolation();
  }
}

DWORD VerifyTlsServer(const std::shared_ptr<CurlSession>& session, const std::string& host,
                      std::uint16_t port) {
  if (session == nullptr) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return ERROR_INTERNET_INTERNAL_ERROR;
  const std::string url = "https://" + host + ":" + std::to_string(port) + "/";
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  // Connect (with the TLS handshake) and stop; the connection serves nothing else.
  curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  ApplyConnectionOptions(easy);
  DWORD code = ERROR_SUCCESS;
  {
    Transfer transfer(session, easy, nullptr);
    if (!transfer.Start() || !transfer.DriveUntil(nullptr)) code = HttpErrorCode(FactsOf(transfer));
  }
  curl_easy_cleanup(easy);
  return code;
}

}  // namespace internet
