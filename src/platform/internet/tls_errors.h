// The WinInet codes that the FTP and HTTP sides of the layer share: those of the transfer driver's
// own failures and of TLS failures.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_

#include <curl/curl.h>

#include <optional>

#include "platform/internet/transfer.h"
#include "platform/win32.h"

namespace internet {

// The WinInet code of a libcurl result that concerns TLS (ERROR_INTERNET_INVALID_CA for a
// certificate no trusted authority vouches for, ..._SEC_CERT_CN_INVALID for one issued to another
// name, ..._SEC_CERT_DATE_INVALID, ..._SECURITY_CHANNEL_ERROR for any other TLS failure), given
// the verification result libcurl reports; ERROR_SUCCESS for a result that does not concern TLS.
DWORD TlsErrorCode(CURLcode code, long verifyResult);

// The WinInet code of a failure that means the same whatever the protocol: no failure
// (ERROR_SUCCESS), one the transfer driver decided (a stall, a protocol violation, an abort, an
// operation libcurl refused) or a TLS failure. Empty when libcurl's code must be read in the
// protocol's own table.
std::optional<DWORD> SharedFailureCode(TransferFailure failure, CURLcode code, long verifyResult);

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_TLS_ERRORS_H_
