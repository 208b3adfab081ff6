// The internet layer's process-wide settings as the layer reads them, and the server's last
// response of the calling thread as the layer records it. Internal to the layer.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_SETTINGS_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_SETTINGS_H_

#include <string>

#include "platform/internet/ftp_reply.h"

namespace internet {

// The file set by SetInternetCaFile; empty for the system's store.
std::string CaFile();

// The thread's last complete server reply (what InternetGetLastResponseInfo reports).
void RecordLastResponse(const FtpReply& reply);
const FtpReply& LastResponse();

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_INTERNET_SETTINGS_H_
