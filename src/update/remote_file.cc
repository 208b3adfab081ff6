#include "update/remote_file.h"

void CloseRemoteFile(CInternetFile* file) {
  const DWORD cause = GetLastError();
  file->Close();
  delete file;
  SetLastError(cause);
}
