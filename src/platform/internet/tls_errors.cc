#include "platform/internet/tls_errors.h"

#include "platform/internet/internet.h"

namespace internet {

namespace {

// Values libcurl reports through CURLINFO_SSL_VERIFYRESULT with OpenSSL: X509_V_ERR_* codes
// from the chain check, and 1 (not X509_V_OK) when its own host name check failed after the
// chain was trusted.
constexpr long kHostCheckFailed = 1;
constexpr long kCertNotYetValid = 9;
constexpr long kCertHasExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;

}  // namespace

DWORD TlsErrorCode(CURLcode code, long verifyResult) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      switch (verifyResult) {
        case kHostCheckFailed:
        case kHostnameMismatch:
        case kIpAddressMismatch:
          return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case kCertNotYetValid:
        case kCertHasExpired:
          return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        default:
          return ERROR_INTERNET_INVALID_CA;
      }
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_USE_SSL_FAILED:  // FTP: AUTH TLS refused
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    default:
      return ERROR_SUCCESS;
  }
}

std::optional<DWORD> SharedFailureCode(TransferFailure failure, CURLcode code, long verifyResult) {
  switch (failure) {
    case TransferFailure::kNone:
      return ERROR_SUCCESS;
    case TransferFailure::kStalled:
      return ERROR_INTERNET_TIMEOUT;
    case TransferFailure::kProtocol:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case TransferFailure::kAborted:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case TransferFailure::kInternal:
      return ERROR_INTERNET_INTERNAL_ERROR;
    case TransferFailure::kCurl:
      break;
  }
  if (const DWORD tls = TlsErrorCode(code, verifyResult)) return tls;
  return std::nullopt;
}

}  // namespace internet
