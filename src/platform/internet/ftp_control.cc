#include "platform/internet/ftp_control.h"

#include "platform/internet/internet_settings.h"
#include "platform/internet/tls_errors.h"

namespace internet {

namespace {

constexpr std::size_t kListingReadSize = 64 * 1024;

bool HasControlBytes(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Replies by which a server says it does not know a command (RFC 959: 500, 501, 502, 504).
bool IsUnknownCommandReply(int code) {
  return code == 500 || code == 501 || code == 502 || code == 504;
}

// The QUIT transfer must not open a connection of its own (see FtpControl::Close).
curl_socket_t RefuseNewSocket(void*, curlsocktype, curl_sockaddr*) {
  return CURL_SOCKET_BAD;
}

}  // namespace

// How a failed transfer maps onto WinInet's codes. A reply that refuses a command keeps the
// reply for InternetGetLastResponseInfo (12003); libcurl's reply-shaped errors without a
// refusing reply behind them mean the server said something that makes no sense (12152).
DWORD FtpErrorCode(const FtpFailureFacts& facts) {
  if (const auto shared = SharedFailureCode(facts.failure, facts.curlCode, facts.sslVerifyResult)) {
    return *shared;
  }
  const bool refused = facts.lastReplyCode >= 400;
  switch (facts.curlCode) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_OPERATION_TIMEDOUT:
      // libcurl reports a 421 reply ("service not available, closing control connection") as
      // a time-out; it is the server refusing, and its text says why.
      return facts.lastReplyCode == 421 ? ERROR_INTERNET_EXTENDED_ERROR : ERROR_INTERNET_TIMEOUT;
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
    case CURLE_FTP_CANT_GET_HOST:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_LOGIN_DENIED:
      if (facts.lastReplyCode == 332) return ERROR_INTERNET_LOGIN_FAILURE;  // account needed
      if (facts.lastCommand == "USER") return ERROR_INTERNET_INCORRECT_USER_NAME;
      if (facts.lastCommand == "PASS") return ERROR_INTERNET_INCORRECT_PASSWORD;
      return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_REMOTE_ACCESS_DENIED:  // CWD refused
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:  // RETR, LIST or MLSD refused
    case CURLE_QUOTE_ERROR:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_WEIRD_SERVER_REPLY:  // also a greeting other than 220, such as 421
      return refused ? ERROR_INTERNET_EXTENDED_ERROR : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
      return ERROR_FTP_NO_PASSIVE_MODE;
    case CURLE_FTP_ACCEPT_FAILED:
      return refused ? ERROR_INTERNET_EXTENDED_ERROR : ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return facts.inBody ? ERROR_INTERNET_CONNECTION_ABORTED : ERROR_FTP_DROPPED;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size() * 3);
  for (unsigned char c : text) {
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0x0F]);
    }
  }
  return encoded;
}

// A download: holds the connection's transfer from OpenDownload until it is closed.
class FtpDownload : public RemoteFileSource {
 public:
  FtpDownload(std::shared_ptr<FtpControl> control, std::unique_ptr<Transfer> transfer)
      : control_(std::move(control)), transfer_(std::move(transfer)) {}
  ~FtpDownload() override { Close(); }

  DWORD Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got) override {
    *got = 0;
    if (transfer_ == nullptr) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (!transfer_->Read(buffer, count, atLeastOne, got)) {
      return control_->FailureCode(*transfer_, true);
    }
    return ERROR_SUCCESS;
  }

  void Close() override {
    if (transfer_ == nullptr) return;
    transfer_->Abort();
    control_->EndTransfer(transfer_.get());
    transfer_.reset();
  }

  void SetObserver(InternetFileObserver* observer) override {
    if (transfer_ != nullptr) transfer_->SetObserver(observer);
  }

 private:
  std::shared_ptr<FtpControl> control_;
  std::unique_ptr<Transfer> transfer_;
};

FtpControl::FtpControl(std::shared_ptr<CurlSession> session, CURL* easy, FtpLogin login)
    : session_(std::move(session)), easy_(easy), login_(std::move(login)) {}

FtpControl::~FtpControl() {
  Close();
  curl_easy_cleanup(easy_);
}

DWORD FtpControl::Login(std::shared_ptr<CurlSession> session, const FtpLogin& login,
                        std::shared_ptr<FtpControl>* control) {
  if (session == nullptr) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  // libcurl 7.87 and 7.88 never start TLS on an active-mode data connection: every transfer
  // would wait for the stall limit and then fail. Refused before any connection is made.
  if (login.tls && !login.passive) return ERROR_INTERNET_INVALID_OPERATION;
  // A line break would end the command and start another one of the caller's making.
  if (HasControlBytes(login.user)) return ERROR_INTERNET_INCORRECT_USER_NAME;
  if (HasControlBytes(login.password)) return ERROR_INTERNET_INCORRECT_PASSWORD;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return ERROR_INTERNET_INTERNAL_ERROR;
  std::shared_ptr<FtpControl> made(new FtpControl(std::move(session), easy, login));

  const std::string user = login.user.empty() ? "anonymous" : login.user;
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // no proxy from the environment
  curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  curl_easy_setopt(easy, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(easy, CURLOPT_PASSWORD, login.password.c_str());
  curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  // RETR without SIZE first: the bytes arrive as the server sends them, however many.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(easy, CURLOPT_FTP_USE_EPSV, 1L);
  // "-": the data connection listens on the address the control connection uses.
  curl_easy_setopt(easy, CURLOPT_FTPPORT, login.passive ? nullptr : "-");
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
  // libcurl's receive buffer (16 KiB by default): one read of the data connection per 16 KiB
  // costs a pass of the driver loop each, 6,400 of them for a 100 MiB file.
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  if (login.tls) {
    curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    // "AUTH TLS" (RFC 4217) first; libcurl tries "AUTH SSL" when a server refuses it.
    curl_easy_setopt(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string caFile = CaFile();
    if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
  }
  // libcurl keeps its own copy for the login; this object keeps one only to mask it in the
  // replies it records (a server may echo it).

  DWORD code = made->Prepare();
  if (code == ERROR_SUCCESS) code = made->RunWithoutBody(made->Url("", ""));
  if (code != ERROR_SUCCESS) {
    made->closed_ = true;  // nothing to QUIT: libcurl dropped a connection whose login failed
    return code;
  }
  *control = std::move(made);
  return ERROR_SUCCESS;
}

DWORD FtpControl::Prepare() {
  if (closed_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  if (active_ != nullptr && !active_->finished()) return ERROR_FTP_TRANSFER_IN_PROGRESS;
  const InternetTimeouts limits = GetInternetTimeouts();
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMs));
  // The driver applies the stall limit to every wait; this backstop bounds the waits libcurl
  // makes inside a call (the reply after a transfer, QUIT). It counts whole seconds.
  curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>((limits.stallMs + 999) / 1000));
  curl_easy_setopt(easy_, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(limits.stallMs));
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, nullptr);
  replies_ = FtpReplyAssembler();
  lastCommand_.clear();
  lastReplyCode_ = 0;
  downloadAccepted_ = false;
  return ERROR_SUCCESS;
}

std::string FtpControl::Url(const std::string& directory, const std::string& name) const {
  std::string url = "ftp://" + login_.host + ":" + std::to_string(login_.port) + "/";
  if (!directory.empty()) url += PercentEncode(directory) + "/";
  url += PercentEncode(name);
  return url;
}

void FtpControl::BeginTransfer(Transfer* transfer) {
  active_ = transfer;
}

void FtpControl::EndTransfer(const Transfer* transfer) {
  if (active_ == transfer) active_ = nullptr;
}

DWORD FtpControl::FailureCode(const Transfer& transfer, bool inBody) const {
  FtpFailureFacts facts;
  facts.failure = transfer.failure();
  facts.curlCode = transfer.curlCode();
  facts.sslVerifyResult = transfer.sslVerifyResult();
  facts.lastCommand = lastCommand_;
  facts.lastReplyCode = lastReplyCode_;
  facts.inBody = inBody || downloadAccepted_ || transfer.bodyBytes() > 0;
  return FtpErrorCode(facts);
}

DWORD FtpControl::RunWithoutBody(const std::string& url) {
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  Transfer transfer(session_, easy_, this);
  BeginTransfer(&transfer);
  const bool ok = transfer.Start() && transfer.DriveUntil(nullptr);
  const DWORD code = ok ? ERROR_SUCCESS : FailureCode(transfer, false);
  EndTransfer(&transfer);
  return code;
}

DWORD FtpControl::ChangeDirectory(const std::string& directory) {
  DWORD code = Prepare();
  if (code != ERROR_SUCCESS || directory.empty()) return code;
  if (HasControlBytes(directory)) return ERROR_INVALID_NAME;
  std::string target = directory;
  if (directory.front() != '/' && !directory_.empty()) {
    target = directory_;
    if (target.back() != '/') target.push_back('/');
    target += directory;
  }
  code = RunWithoutBody(Url(target, ""));
  if (code == ERROR_SUCCESS) directory_ = target;
  return code;
}

DWORD FtpControl::List(std::vector<FtpListEntry>* entries) {
  DWORD code = Prepare();
  if (code != ERROR_SUCCESS) return code;
  if (!mlsdRefused_) {
    code = ListWith("MLSD", entries);
    if (code != ERROR_INTERNET_EXTENDED_ERROR || !IsUnknownCommandReply(lastReplyCode_)) {
      return code;
    }
    // This server has no MLSD: LIST from now on, on this connection.
    mlsdRefused_ = true;
    code = Prepare();
    if (code != ERROR_SUCCESS) return code;
  }
  return ListWith(nullptr, entries);
}

DWORD FtpControl::ListWith(const char* command, std::vector<FtpListEntry>* entries) {
  curl_easy_setopt(easy_, CURLOPT_URL, Url(directory_, "").c_str());
  curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, command);
  FtpListingParser parser(command != nullptr ? ListingFormat::kMlsd : ListingFormat::kList);
  std::vector<char> buffer(kListingReadSize);
  Transfer transfer(session_, easy_, this);
  BeginTransfer(&transfer);
  DWORD code = ERROR_SUCCESS;
  if (!transfer.Start()) code = FailureCode(transfer, false);
  while (code == ERROR_SUCCESS) {
    std::size_t got = 0;
    if (!transfer.Read(buffer.data(), buffer.size(), true, &got)) {
      code = FailureCode(transfer, false);
    } else if (got == 0) {
      if (!parser.Finish()) code = ERROR_HTTP_INVALID_SERVER_RESPONSE;
      break;
    } else if (!parser.Feed(std::string_view(buffer.data(), got))) {
      // Beyond the caps: no updates directory holds such a listing.
      code = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    }
  }
  transfer.Abort();
  EndTransfer(&transfer);
  if (code == ERROR_SUCCESS) *entries = parser.TakeEntries();
  return code;
}

DWORD FtpControl::OpenDownload(const std::string& name, std::unique_ptr<RemoteFileSource>* file) {
  DWORD code = Prepare();
  if (code != ERROR_SUCCESS) return code;
  if (name.empty() || HasControlBytes(name)) return ERROR_INVALID_NAME;
  curl_easy_setopt(easy_, CURLOPT_URL, Url(directory_, name).c_str());
  auto transfer = std::make_unique<Transfer>(session_, easy_, this);
  Transfer* running = transfer.get();
  BeginTransfer(running);
  const bool passive = login_.passive;
  const auto accepted = [&] { return running->bodyBytes() > 0 || (passive && downloadAccepted_); };
  const bool ok = running->Start() && running->DriveUntil(accepted);
  // A transfer that breaks once the server has accepted it (the reply and the data race each
  // other on a fast link) broke while reading: Read hands out what arrived, then the failure.
  if (!ok && !accepted()) {
    code = FailureCode(*running, false);
    EndTransfer(running);
    return code;
  }
  *file = std::make_unique<FtpDownload>(shared_from_this(), std::move(transfer));
  return ERROR_SUCCESS;
}

void FtpControl::Close() {
  if (closed_) return;
  closed_ = true;
  if (active_ != nullptr) {
    active_->Abort();
    active_ = nullptr;
  }
  // libcurl ends a control connection with QUIT only when it closes it, and closes it after a
  // transfer that forbids its reuse. So run one that reuses the logged-in connection without
  // sending a command (an absolute root path with CURLFTPMETHOD_NOCWD needs no CWD, and no body
  // needs no transfer) and forbids reuse. Should the connection be gone already, the transfer
  // may not open a new one just to quit: opening a socket is refused.
  const InternetTimeouts limits = GetInternetTimeouts();
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMs));
  curl_easy_setopt(easy_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>((limits.stallMs + 999) / 1000));
  curl_easy_setopt(easy_, CURLOPT_URL, Url("/", "").c_str());
  curl_easy_setopt(easy_, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy_, CURLOPT_OPENSOCKETFUNCTION, &RefuseNewSocket);
  Transfer transfer(session_, easy_, this);
  if (transfer.Start()) transfer.DriveUntil(nullptr);
}

void FtpControl::OnLineSent(std::string_view line) {
  if (closed_) return;
  lastCommand_ = CommandVerb(line);
}

void FtpControl::OnLineReceived(std::string_view line) {
  // The replies to the QUIT of Close are not the caller's business: the last response stays
  // the one of the last operation.
  if (closed_) return;
  switch (replies_.AddLine(line)) {
    case FtpReplyAssembler::Status::kIncomplete:
      break;
    case FtpReplyAssembler::Status::kComplete: {
      FtpReply reply = replies_.reply();
      reply.text = MaskPassword(reply.text, login_.password);
      RecordLastResponse(reply);
      lastReplyCode_ = reply.code;
      if (reply.code < 200 &&
          (lastCommand_ == "RETR" || lastCommand_ == "LIST" || lastCommand_ == "MLSD")) {
        downloadAccepted_ = true;
      }
      break;
    }
    case FtpReplyAssembler::Status::kMalformed:
      if (active_ != nullptr) active_->MarkProtocolViolation();
      break;
  }
}

}  // namespace internet
