// The private state behind the internet classes of internet.h, shared by the FTP and HTTP sides
// of the layer. Internal to the layer.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_STATE_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/internet/ftp_listing.h"
#include "platform/internet/internet.h"
#include "platform/internet/transfer.h"

namespace internet {

class FtpControl;

// What a CInternetFile reads from: an FTP download or the body of an HTTP response.
class RemoteFileSource {
 public:
  virtual ~RemoteFileSource() = default;
  // Reads into `buffer`: until `count` bytes have arrived (with `atLeastOne`, at least one), or
  // the file ends. ERROR_SUCCESS with *got (0 only at the end), or the WinInet code of the
  // failure.
  virtual DWORD Read(void* buffer, std::size_t count, bool atLeastOne, std::size_t* got) = 0;
  // Ends the transfer if it is still running. Reads afterwards fail.
  virtual void Close() = 0;
  // CInternetFile::SetObserver.
  virtual void SetObserver(InternetFileObserver* observer) = 0;
};

}  // namespace internet

struct InternetSessionState {
  std::shared_ptr<internet::CurlSession> curl;  // null after Close
  std::string agent;                            // the User-Agent of HTTP requests
  std::shared_ptr<StopGrace> stop;              // null without a stop event
};

struct FtpConnectionState {
  std::shared_ptr<internet::FtpControl> control;
};

struct FtpFileFindState {
  std::shared_ptr<internet::FtpControl> control;  // null without a connection
  std::vector<internet::FtpListEntry> entries;
  std::size_t next = 0;  // index of the entry the next FindNextFile makes current
};

// An HTTP connection has a multi handle of its own, so that its kept-alive connections end with
// it; requests made from it share that handle and keep it alive while they are open.
struct HttpConnectionState {
  std::shared_ptr<internet::CurlSession> curl;  // null after Close
  std::string host;
  std::uint16_t port = 80;
  bool tls = false;
  std::string agent;
};

struct InternetFileState {
  std::unique_ptr<internet::RemoteFileSource> source;  // null after Close
};

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_STATE_H_
