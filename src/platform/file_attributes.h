// Internal to the platform layer: Windows attributes of a POSIX file status.
#ifndef FILEREPOSITORY_PLATFORM_FILE_ATTRIBUTES_H_
#define FILEREPOSITORY_PLATFORM_FILE_ATTRIBUTES_H_

#include <sys/stat.h>

#include "platform/files.h"

namespace platform_internal {

// FILE_ATTRIBUTE_NORMAL means "no other attribute" on Windows, so it never goes with another.
inline DWORD AttributesFromMode(mode_t mode) {
  DWORD attributes = S_ISDIR(mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace platform_internal

#endif  // FILEREPOSITORY_PLATFORM_FILE_ATTRIBUTES_H_
