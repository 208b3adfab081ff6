// The internet layer: the operations of WinInet and of the framework's internet classes that the
// transports rely on, over libcurl, with WinInet's results and error codes.
//
// A CInternetSession belongs to one run object and so to one thread. Connections, finders and
// files made from it belong to the same thread and must be deleted before the session.
// Failures surface as a CInternetException (login, opening a file, sending a request, reading) or
// as a FALSE result with the thread's last error set (SetCurrentDirectory, FindFile), as the
// framework does. Memory stays bounded by what the caller asks for: a read never buffers more
// than one network chunk beyond the caller's buffer, and listings and reply texts have caps.
//
// Time limits are process-wide (SetInternetTimeouts): a connect limit, a stall limit on every
// exchange with a server and a least rate; a server that sends nothing for the stall limit, or
// less than the least rate allows over that long, fails the operation with ERROR_INTERNET_TIMEOUT,
// so that neither a stalled nor a trickling server holds a thread for long. A session given a
// stop event (SetStopEvent) ends every wait soon after that event is signalled.
//
// The first session made in the process sets SIGPIPE to be ignored if it still has its default
// action: a write to a connection the server has closed must fail, not end the process.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win32.h"

// WinInet error codes.
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_USER_NAME = 12013;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
inline constexpr DWORD ERROR_INTERNET_LOGIN_FAILURE = 12015;
inline constexpr DWORD ERROR_INTERNET_INVALID_OPERATION = 12016;
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
inline constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
inline constexpr DWORD ERROR_FTP_TRANSFER_IN_PROGRESS = 12110;
inline constexpr DWORD ERROR_FTP_DROPPED = 12111;
inline constexpr DWORD ERROR_FTP_NO_PASSIVE_MODE = 12112;
inline constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;
inline constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
inline constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

// Flags and values the transports pass.
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr DWORD INTERNET_FLAG_DONT_CACHE = 0x04000000;
inline constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD FTP_TRANSFER_TYPE_BINARY = 2;
inline constexpr int HTTP_VERB_GET = 1;
inline constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;
inline constexpr std::uint16_t INTERNET_INVALID_PORT_NUMBER = 0;  // the scheme's default port

// --- Process-wide settings, made by the embedding program (like WinInet's options).
struct InternetTimeouts {
  DWORD connectMs = 30000;  // TCP (and TLS) connection set-up
  DWORD stallMs = 60000;    // longest time without a byte from the server in any exchange
  // Least rate of an exchange, in bytes a second, measured over windows of stallMs (the time the
  // layer drives the exchange; a caller that does not read is not counted): an exchange that
  // receives less in a window fails as a stall does. 0: no least rate.
  DWORD minRateBytesPerS = 1024;
};
void SetInternetTimeouts(const InternetTimeouts& timeouts);
InternetTimeouts GetInternetTimeouts();
// A file of PEM certificates that replaces the system's trust store for https:// and ftps://
// (null or "" returns to the system's store). Verification is always on.
void SetInternetCaFile(const char* path);

// --- Stopping. A session hands every wait of the layer to a StopGrace made from the event that
// another thread signals when the work must end (a service shutting down). Once the layer has
// seen that event signalled, the operation in progress may go on for kStopGraceMs; then every
// wait ends and the operation fails with ERROR_INTERNET_OPERATION_CANCELLED, as every later
// one does at once. Until the event is signalled nothing changes.
inline constexpr DWORD kStopGraceMs = 2000;
class StopGrace {
 public:
  using Clock = std::chrono::steady_clock;
  // `event` may be null: then the grace never runs out.
  explicit StopGrace(HANDLE event) : event_(event) {}
  StopGrace(const StopGrace&) = delete;
  StopGrace& operator=(const StopGrace&) = delete;

  // Whether the grace has run out at `now`. Looks at the event (at most every few milliseconds,
  // for it is cheap but not free); its first sighting starts the grace. A waiter that calls this
  // between waits of at most a few milliseconds ends within the grace.
  bool Expired(Clock::time_point now = Clock::now());

 private:
  HANDLE event_;
  bool seen_ = false;
  Clock::time_point deadline_{};
  Clock::time_point nextLook_{};
};

// The platform's text for an internet error code: one short sentence of our own, ending in CR LF
// as the platform's message texts do; empty for a code it does not know.
std::string InternetErrorText(DWORD code);

// --- The server address forms: a plain host name or IPv4 address (FTP, port 21), or a URL
// ftp://host[:port], ftps://host[:port] (FTP with explicit TLS), http://host[:port],
// https://host[:port]. A trailing '/' after the authority is accepted.
enum class ServerScheme { kFtp, kFtps, kHttp, kHttps };
struct ServerAddress {
  ServerScheme scheme = ServerScheme::kFtp;
  std::string host;
  std::uint16_t port = 0;  // 0 when the text names none: the scheme's default applies
  bool IsHttp() const { return scheme == ServerScheme::kHttp || scheme == ServerScheme::kHttps; }
  bool UsesTls() const { return scheme == ServerScheme::kFtps || scheme == ServerScheme::kHttps; }
  std::uint16_t PortOr(std::uint16_t fallback) const { return port != 0 ? port : fallback; }
};
// False for a text that is neither form (unknown scheme, empty host, bad port, path after the
// authority).
bool ParseServerAddress(const std::string& text, ServerAddress* address);

// --- The exception of the internet classes.
class CInternetException {
 public:
  explicit CInternetException(DWORD error) : m_dwError(error) {}
  DWORD m_dwError;
};

// The server's last response seen by the calling thread: its numeric code and text (the reply
// lines as the server sent them, CR LF between and after lines). FALSE with ERROR_INSUFFICIENT_
// BUFFER and the length needed (with the NUL) in *length when the buffer is too small.
BOOL InternetGetLastResponseInfo(DWORD* code, char* buffer, DWORD* length);

class CInternetFile;
class CFtpConnection;
class CHttpConnection;
struct InternetSessionState;

class CInternetSession {
 public:
  CInternetSession(const char* agent, DWORD context, DWORD accessType, const char* proxyName,
                   const char* proxyBypass, DWORD flags);
  virtual ~CInternetSession();
  CInternetSession(const CInternetSession&) = delete;
  CInternetSession& operator=(const CInternetSession&) = delete;

  virtual void Close();

  // Makes `event` the session's stop event (see StopGrace); null takes it away. The session and
  // everything made from it afterwards watch it; the event must stay open while they live.
  void SetStopEvent(HANDLE event);
  // The session's stop grace, for waits outside the layer that must end with the session's (the
  // reachability probe); null without a stop event. Valid while the session lives.
  StopGrace* GetStopGrace() const;

  // Connects and logs in (USER/PASS); the caller owns the connection. Throws CInternetException:
  // ERROR_INTERNET_NAME_NOT_RESOLVED, _CANNOT_CONNECT, _TIMEOUT, _INCORRECT_USER_NAME (the server
  // refused the user name), _INCORRECT_PASSWORD (refused the password), _LOGIN_FAILURE (another
  // refusal), the TLS codes for ftps. Port 0 means 21. An empty user logs in as "anonymous".
  // FTP over TLS is offered in passive mode only: libcurl 7.87 and 7.88 (Debian 12's) never start
  // TLS on an active-mode data connection, so every transfer would wait out the stall limit.
  // Asked for active mode with TLS, it throws ERROR_INTERNET_INVALID_OPERATION at once.
  // Replies from the server are kept (InternetGetLastResponseInfo) with the password masked.
  CFtpConnection* GetFtpConnection(const char* server, const char* userName, const char* password,
                                   std::uint16_t port, BOOL passive, bool explicitTls = false);

  // An HTTP connection object with its own cache of keep-alive connections, which requests made
  // from it share and which its deletion closes. Port 0 means 80 (443 with TLS). Over plain HTTP
  // nothing is sent until a request. With TLS one connection is made at once to verify the
  // server's certificate (against the system's trust store or SetInternetCaFile's), so that a
  // server that cannot be trusted is refused here. Credentials are not used. Throws
  // CInternetException: ERROR_INTERNET_INVALID_URL for an invalid server name; with TLS also
  // ERROR_INTERNET_INVALID_CA, _SEC_CERT_CN_INVALID, _SEC_CERT_DATE_INVALID, _SECURITY_CHANNEL_
  // ERROR, _NAME_NOT_RESOLVED, _CANNOT_CONNECT, _TIMEOUT.
  CHttpConnection* GetHttpConnection(const char* server, std::uint16_t port, const char* userName,
                                     const char* password, bool tls = false);

 private:
  friend class CFtpConnection;
  friend class CHttpConnection;
  std::unique_ptr<InternetSessionState> m_state;
};

struct FtpConnectionState;
class CFtpConnection {
 public:
  virtual ~CFtpConnection();  // ends the connection
  CFtpConnection(const CFtpConnection&) = delete;
  CFtpConnection& operator=(const CFtpConnection&) = delete;

  virtual void Close();

  // CWD `directory`, sent byte for byte ("" changes nothing and succeeds: after the login, the
  // login directory stays). A relative directory is taken from the current one. FALSE with the
  // last error: ERROR_INTERNET_EXTENDED_ERROR and the reply kept for InternetGetLastResponseInfo
  // when the server refuses, ERROR_INVALID_NAME for a directory with control characters,
  // ERROR_FTP_TRANSFER_IN_PROGRESS while a file of the connection is still being transferred,
  // or the connection's failure code. On a reused control connection the server first sees a
  // CWD back to the login directory (libcurl's way to know where it stands).
  BOOL SetCurrentDirectory(const char* directory);
  // The current directory as this object holds it.
  const std::string& GetCurrentDirectory() const;

  // Opens a remote file of the current directory for binary reading (RETR). Throws
  // CInternetException when the server refuses the file (ERROR_INTERNET_EXTENDED_ERROR, reply
  // kept) or the data connection cannot be made; a transfer that breaks later fails at Read.
  // Only binary reading is offered: another access fails with ERROR_INVALID_PARAMETER, and the
  // transfer type flag is accepted but reading is always binary. One transfer runs at a time on
  // a connection (ERROR_FTP_TRANSFER_IN_PROGRESS while another file is still being received).
  CInternetFile* OpenFile(const char* name, DWORD access = GENERIC_READ,
                          DWORD flags = FTP_TRANSFER_TYPE_BINARY, DWORD context = 1);

 private:
  friend class CInternetSession;
  friend class CFtpFileFind;
  explicit CFtpConnection(std::unique_ptr<FtpConnectionState> state);
  std::unique_ptr<FtpConnectionState> m_state;
};

// The listing of the connection's current directory: MLSD where the server has it, else LIST in
// the Unix ls -l and the DOS formats.
struct FtpFileFindState;
class CFtpFileFind {
 public:
  CFtpFileFind(CFtpConnection* connection, DWORD context = 1);
  virtual ~CFtpFileFind();
  CFtpFileFind(const CFtpFileFind&) = delete;
  CFtpFileFind& operator=(const CFtpFileFind&) = delete;

  // Reads the listing (`pattern` null: every name; else the names the pattern matches without
  // regard to case). Non-zero when it holds at least one entry; otherwise FALSE with the last
  // error (ERROR_NO_MORE_FILES for an empty listing, or the code of the failure: refused, data
  // connection failed, time-out, ERROR_HTTP_INVALID_SERVER_RESPONSE for a listing beyond the size
  // cap of 16 MiB or 100,000 entries). Entries come in the server's order.
  BOOL FindFile(const char* pattern = nullptr, DWORD flags = INTERNET_FLAG_RELOAD);
  // Makes the next entry current (the first call the first entry); non-zero while another entry
  // follows the one it made current, zero when that one is the last.
  BOOL FindNextFile();
  std::string GetFileName() const;
  std::uint64_t GetLength() const;
  bool IsDirectory() const;
  void Close();

 private:
  std::unique_ptr<FtpFileFindState> m_state;
};

// A remote file being read: an FTP download or the body of an HTTP response.
struct InternetFileState;
// Sees the bytes a CInternetFile hands to its reader, piece by piece in their order, each as it
// reaches the reader's buffer (while the transfer goes on), through Read and InternetReadFile
// alike. Called on the file's thread from inside those calls; it must not use the file. Lets a
// reader work on a download while it arrives instead of in a second pass over the buffer.
class InternetFileObserver {
 public:
  virtual ~InternetFileObserver() = default;
  virtual void OnDelivered(const void* data, std::size_t size) = 0;
};

class CInternetFile {
 public:
  virtual ~CInternetFile();  // ends the transfer if it is still running
  CInternetFile(const CInternetFile&) = delete;
  CInternetFile& operator=(const CInternetFile&) = delete;

  // Hint for the size of reads; accepted and ignored beyond bounding the read-ahead.
  BOOL SetReadBufferSize(UINT size);
  // Makes `observer` (null: none) see every byte the file delivers from now on. It must stay
  // valid until it is replaced or the file is closed.
  void SetObserver(InternetFileObserver* observer);
  // Reads until `count` bytes have arrived or the file ends; returns the count. Throws
  // CInternetException when the transfer breaks (ERROR_INTERNET_CONNECTION_ABORTED,
  // ERROR_INTERNET_TIMEOUT after the stall limit, ...).
  virtual UINT Read(void* buffer, UINT count);
  virtual void Close();

 protected:
  friend class CFtpConnection;
  friend class CHttpConnection;
  friend BOOL InternetReadFile(CInternetFile* file, void* buffer, DWORD count, DWORD* read);
  explicit CInternetFile(std::unique_ptr<InternetFileState> state);
  std::unique_ptr<InternetFileState> m_state;
};

// InternetReadFile on a file's handle: reads up to `count` bytes (what has arrived, at least one
// unless the file ended); non-zero with *read 0 at the end; FALSE with the last error when the
// transfer failed.
BOOL InternetReadFile(CInternetFile* file, void* buffer, DWORD count, DWORD* read);

// The body is read through CInternetFile::Read and InternetReadFile; a body that breaks off
// before its Content-Length fails the read (ERROR_INTERNET_CONNECTION_ABORTED).
class CHttpFile : public CInternetFile {
 public:
  // Sends the request and receives the response head, following redirects (at most 5, to http
  // and https only; from https to https only). Throws CInternetException when it cannot be sent
  // or no valid response head arrives: ERROR_INTERNET_NAME_NOT_RESOLVED, _CANNOT_CONNECT,
  // _TIMEOUT (nothing from the server for the stall limit), _CONNECTION_RESET,
  // ERROR_HTTP_INVALID_SERVER_RESPONSE, ERROR_HTTP_REDIRECT_FAILED, the TLS codes. A request is
  // sent once: a second call throws ERROR_INTERNET_INCORRECT_HANDLE_STATE. Extra headers and a
  // body are not offered (ERROR_INVALID_PARAMETER).
  BOOL SendRequest(const char* headers = nullptr, DWORD headersLength = 0,
                   const void* optional = nullptr, DWORD optionalLength = 0);
  // The status of the response; FALSE (ERROR_INTERNET_INCORRECT_HANDLE_STATE) before a response.
  BOOL QueryInfoStatusCode(DWORD& statusCode) const;
  // The URL the response came from: the request's own, or where the redirects it followed led;
  // "" before a response.
  std::string GetFileURL() const;
  // With HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER and a 4-byte buffer: the
  // Content-Length header as a number; FALSE with ERROR_HTTP_HEADER_NOT_FOUND when it is
  // missing, ERROR_HTTP_INVALID_HEADER when it is not a decimal number below 2^32. Other levels
  // fail with ERROR_INVALID_PARAMETER.
  BOOL QueryInfo(DWORD level, void* buffer, DWORD* length, DWORD* index) const;

 private:
  friend class CHttpConnection;
  using CInternetFile::CInternetFile;
};

struct HttpConnectionState;
class CHttpConnection {
 public:
  virtual ~CHttpConnection();
  CHttpConnection(const CHttpConnection&) = delete;
  CHttpConnection& operator=(const CHttpConnection&) = delete;

  // No request can be made afterwards; the kept-alive connections close once no file made from
  // this object is open any more.
  virtual void Close();

  // Prepares a request; nothing is sent until SendRequest. The object path keeps its text as
  // given; the request target is made from it by HttpRequestTarget. With INTERNET_FLAG_RELOAD
  // the request asks every cache on the way for a fresh copy ("Cache-Control: no-cache",
  // "Pragma: no-cache"); the accepted types (a null-terminated list) make the Accept header.
  // Only HTTP_VERB_GET is offered, with the version null, "HTTP/1.1" or "HTTP/1.0". Null on
  // failure, with the last error: ERROR_INVALID_PARAMETER (another verb or version, a null
  // path, a referrer or type with control characters), ERROR_INTERNET_INTERNAL_ERROR.
  CHttpFile* OpenRequest(int verb, const char* objectPath, const char* referrer = nullptr,
                         DWORD context = 1, const char** acceptTypes = nullptr,
                         const char* version = nullptr,
                         DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE);

 private:
  friend class CInternetSession;
  explicit CHttpConnection(std::unique_ptr<HttpConnectionState> state);
  std::unique_ptr<HttpConnectionState> m_state;
};

// The request target an HTTP object path becomes, as a browser's URL parser makes it for http:
// '\' becomes '/', a missing leading '/' is added, "." and ".." segments are resolved, and
// bytes outside the URL character set are percent-encoded. A '?' begins the query, as in a URL;
// a '#' is encoded, since a request carries no fragment and a '#' can only belong to a name.
std::string HttpRequestTarget(const std::string& objectPath);

// A file name as an HTTP object path carries it: '%', '?' and '#' percent-encoded, so that the
// request target names that file whatever the name holds (HttpRequestTarget would take them for
// an escape, the query and the fragment); every other byte is left to HttpRequestTarget.
std::string HttpEscapeName(std::string_view name);

// `text` with every occurrence of `password` replaced by "********", for texts that come from a
// server or hold a URL on their way to a log. Passwords shorter than 4 bytes are not masked: they
// would match ordinary text everywhere.
std::string MaskPassword(std::string_view text, std::string_view password);

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_H_
