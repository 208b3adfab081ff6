// Deciding whether the installation's copy of a file would change anything.
#ifndef FILEREPOSITORY_UPDATE_INSTALL_COPY_H_
#define FILEREPOSITORY_UPDATE_INSTALL_COPY_H_

#include <string>

// True when `target` already is what copying `source` over it (CopyFileA: the bytes, the
// permission bits and the last-write time) would make of it: both regular files with the same
// size, permission bits and last-write time to the nanosecond, `target` neither a symbolic link
// nor shared with another name through a hard link (a copy would end both), and the same bytes.
// False at the least doubt, a file that cannot be opened or read included: then the caller
// copies, as it would have anyway.
//
// An installation copies the whole backup directory; of a large set usually one file changed.
// Replacing a file with its own bytes is not free: the new copy is renamed over the old one, and
// ext4 writes a file renamed over another to disk at once, so that a crash cannot leave it empty.
bool CopyWouldChangeNothing(const std::string& source, const std::string& target);

#endif  // FILEREPOSITORY_UPDATE_INSTALL_COPY_H_
