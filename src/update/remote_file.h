// A helper both transports use on the remote files they read.
#ifndef FILEREPOSITORY_UPDATE_REMOTE_FILE_H_
#define FILEREPOSITORY_UPDATE_REMOTE_FILE_H_

#include "platform/internet/internet.h"

// Closes and deletes a remote file, keeping the thread's last error: the cause of a failed read
// must survive until it is logged.
void CloseRemoteFile(CInternetFile* file);

#endif  // FILEREPOSITORY_UPDATE_REMOTE_FILE_H_
