// The WinInet codes of TLS failures, shared by the FTP and HTTP sides of the layer.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_

#include <curl/curl.h>

#include "platform/win32.h"

namespace internet {

// The WinInet code of a libcurl result that concerns TLS (ERROR_INTERNET_INVALID_CA for a
// certificate no trusted authority vouches for, ..._SEC_CERT_CN_INVALID for one issued to another
// name, ..._SEC_CERT_DATE_INVALID, ..._SECURITY_CHANNEL_ERROR for any other TLS failure), given
// the verification result libcurl reports; ERROR_SUCCESS for a result that does not concern TLS.
DWORD TlsErrorCode(CURLcode code, long verifyResult);

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_
