// One FTP connection of the layer: a libcurl easy handle with the connection's options, whose
// transfers run one at a time on the session's multi handle and so share its logged-in control
// connection. Every operation is one transfer: the login, a directory change (sent as CWD), a
// listing (MLSD, else LIST), a download (RETR).
//
// How the protocol maps onto libcurl:
// - Directories and names go into the URL percent-encoded and are sent with CURLFTPMETHOD_
//   SINGLECWD, so a CWD carries the directory byte for byte. On a reused control connection
//   libcurl first returns to the login directory (a CWD to the path PWD gave) unless the
//   directory is absolute, and skips the CWD altogether when the directory is the one the
//   previous transfer used.
// - Listings and downloads stream; a download reads until the server closes the data connection
//   (no SIZE, so a file longer or shorter than a listing said arrives as it is).
// - Replies are followed through the debug callback: the thread's last response (with the login
//   password masked, for a server may echo it and the response goes into logs), the command a
//   refusal answered (user name or password), the 150/125 reply that opens a download, and
//   replies that break the protocol (which end the operation with 12152).
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_FTP_CONTROL_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_FTP_CONTROL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/internet/ftp_listing.h"
#include "platform/internet/ftp_reply.h"
#include "platform/internet/internet_state.h"
#include "platform/internet/transfer.h"

namespace internet {

struct FtpLogin {
  std::string host;
  std::uint16_t port = 21;
  std::string user;  // "" logs in as "anonymous"
  std::string password;
  bool passive = true;
  bool tls = false;  // explicit TLS (AUTH TLS) on control and data connections
};

// What the layer knows about a failed transfer, for turning it into a WinInet code.
struct FtpFailureFacts {
  TransferFailure failure = TransferFailure::kNone;
  CURLcode curlCode = CURLE_OK;
  long sslVerifyResult = 0;
  std::string lastCommand;  // the verb of the last command sent in the transfer
  int lastReplyCode = 0;    // the code of the last complete reply in the transfer, 0 if none
  bool inBody = false;      // the failure broke a body that had begun to flow
};
// The WinInet code of a failed transfer (pure; see the table in ftp_control.cc).
DWORD FtpErrorCode(const FtpFailureFacts& facts);

// Percent-encodes every byte but the URL's unreserved characters.
std::string PercentEncode(std::string_view text);

class FtpControl : public TransferObserver, public std::enable_shared_from_this<FtpControl> {
 public:
  // Logs in. ERROR_SUCCESS and *control, or the WinInet code of the failure;
  // ERROR_INTERNET_INVALID_OPERATION at once for TLS in active mode.
  static DWORD Login(std::shared_ptr<CurlSession> session, const FtpLogin& login,
                     std::shared_ptr<FtpControl>* control);
  ~FtpControl() override;
  FtpControl(const FtpControl&) = delete;
  FtpControl& operator=(const FtpControl&) = delete;

  // CWD: `directory` relative to the current one, or absolute. ERROR_SUCCESS or the code.
  DWORD ChangeDirectory(const std::string& directory);
  const std::string& directory() const { return directory_; }

  // The listing of the current directory. ERROR_SUCCESS (entries possibly empty) or the code.
  DWORD List(std::vector<FtpListEntry>* entries);

  // Starts a binary download of `name` in the current directory and drives it until the server
  // has accepted it: in passive mode the 150/125 reply, in active mode (where the server opens
  // the data connection only after that reply) the first body byte; or the end of the transfer.
  DWORD OpenDownload(const std::string& name, std::unique_ptr<RemoteFileSource>* file);

  // Ends any running transfer and the control connection (QUIT). Later operations fail with
  // ERROR_INTERNET_INCORRECT_HANDLE_STATE.
  void Close();
  bool closed() const { return closed_; }

  // TransferObserver.
  void OnLineReceived(std::string_view line) override;
  void OnLineSent(std::string_view line) override;

 private:
  friend class FtpDownload;
  FtpControl(std::shared_ptr<CurlSession> session, CURL* easy, FtpLogin login);

  // Checks that no other transfer holds the connection and applies the options every
  // transfer reads afresh (time limits). ERROR_SUCCESS or the code.
  DWORD Prepare();
  std::string Url(const std::string& directory, const std::string& name) const;
  // Runs a transfer without a body to its end.
  DWORD RunWithoutBody(const std::string& url);
  DWORD ListWith(const char* command, std::vector<FtpListEntry>* entries);
  DWORD FailureCode(const Transfer& transfer, bool inBody) const;
  void BeginTransfer(Transfer* transfer);
  void EndTransfer(const Transfer* transfer);

  std::shared_ptr<CurlSession> session_;
  CURL* easy_;
  FtpLogin login_;
  std::string directory_;
  bool closed_ = false;
  bool mlsdRefused_ = false;

  // The transfer that holds the connection (a download may hold it between calls).
  Transfer* active_ = nullptr;
  FtpReplyAssembler replies_;
  std::string lastCommand_;
  int lastReplyCode_ = 0;
  bool downloadAccepted_ = false;  // a 1xx reply answered RETR, LIST or MLSD
};

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_FTP_CONTROL_H_
