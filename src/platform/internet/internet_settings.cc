// Process-wide settings, the error texts and the thread's last server response.
#include "platform/internet/internet_settings.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/internet/internet.h"

namespace {

std::atomic<DWORD> g_connectMs{InternetTimeouts{}.connectMs};
std::atomic<DWORD> g_stallMs{InternetTimeouts{}.stallMs};
std::atomic<DWORD> g_minRate{InternetTimeouts{}.minRateBytesPerS};

std::mutex g_caFileMutex;
std::string g_caFile;

thread_local internet::FtpReply t_lastResponse;

}  // namespace

void SetInternetTimeouts(const InternetTimeouts& timeouts) {
  // A limit of 0 would fail every operation at once; it means "the default" instead.
  const InternetTimeouts defaults;
  g_connectMs = timeouts.connectMs != 0 ? timeouts.connectMs : defaults.connectMs;
  g_stallMs = timeouts.stallMs != 0 ? timeouts.stallMs : defaults.stallMs;
  g_minRate = timeouts.minRateBytesPerS;  // 0 asks for no least rate
}

InternetTimeouts GetInternetTimeouts() {
  InternetTimeouts timeouts;
  timeouts.connectMs = g_connectMs;
  timeouts.stallMs = g_stallMs;
  timeouts.minRateBytesPerS = g_minRate;
  return timeouts;
}

void SetInternetCaFile(const char* path) {
  std::lock_guard<std::mutex> lock(g_caFileMutex);
  g_caFile = path != nullptr ? path : "";
}

std::string InternetErrorText(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
      return "The server did not answer within the time limit.\r\n";
    case ERROR_INTERNET_EXTENDED_ERROR:
      return "The server refused the request; its reply gives the reason.\r\n";
    case ERROR_INTERNET_INTERNAL_ERROR:
      return "The internet layer failed internally.\r\n";
    case ERROR_INTERNET_INVALID_URL:
      return "The server address is not valid.\r\n";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "The server name could not be resolved.\r\n";
    case ERROR_INTERNET_INCORRECT_USER_NAME:
      return "The server did not accept the user name.\r\n";
    case ERROR_INTERNET_INCORRECT_PASSWORD:
      return "The server did not accept the password.\r\n";
    case ERROR_INTERNET_LOGIN_FAILURE:
      return "The server refused the login.\r\n";
    case ERROR_INTERNET_INVALID_OPERATION:
      return "The operation is not offered with these settings: FTP over TLS works in passive "
             "mode only.\r\n";
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return "The operation was cancelled.\r\n";
    case ERROR_INTERNET_INCORRECT_HANDLE_STATE:
      return "The connection is not in a state that allows this operation.\r\n";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "No connection to the server could be made.\r\n";
    case ERROR_INTERNET_CONNECTION_ABORTED:
      return "The transfer from the server was broken off.\r\n";
    case ERROR_INTERNET_CONNECTION_RESET:
      return "The server reset the connection.\r\n";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return "The server's certificate has expired or is not yet valid.\r\n";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return "The server's certificate was issued for another name.\r\n";
    case ERROR_INTERNET_INVALID_CA:
      return "The server's certificate could not be verified against a trusted authority.\r\n";
    case ERROR_FTP_TRANSFER_IN_PROGRESS:
      return "Another transfer is still running on this connection.\r\n";
    case ERROR_FTP_DROPPED:
      return "The server closed the control connection.\r\n";
    case ERROR_FTP_NO_PASSIVE_MODE:
      return "The server offers no usable passive mode.\r\n";
    case ERROR_HTTP_HEADER_NOT_FOUND:
      return "The response does not carry the requested header.\r\n";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return "The server's response could not be understood.\r\n";
    case ERROR_HTTP_INVALID_HEADER:
      return "The response carries a header whose value is not valid.\r\n";
    case ERROR_HTTP_REDIRECT_FAILED:
      return "The server redirected the request too often or to a place not allowed.\r\n";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "The secure channel to the server could not be set up.\r\n";
    default:
      return "";
  }
}

BOOL InternetGetLastResponseInfo(DWORD* code, char* buffer, DWORD* length) {
  if (code == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const internet::FtpReply& reply = t_lastResponse;
  *code = static_cast<DWORD>(reply.code);
  const DWORD needed = static_cast<DWORD>(reply.text.size() + 1);
  if (buffer == nullptr || *length < needed) {
    *length = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, reply.text.c_str(), needed);
  *length = needed - 1;
  return TRUE;
}

namespace internet {

std::string CaFile() {
  std::lock_guard<std::mutex> lock(g_caFileMutex);
  return g_caFile;
}

void RecordLastResponse(const FtpReply& reply) {
  t_lastResponse = reply;
}

const FtpReply& LastResponse() {
  return t_lastResponse;
}

}  // namespace internet
