// Local path and file-name helpers of the update run.
#ifndef FILEREPOSITORY_UPDATE_LOCAL_PATHS_H_
#define FILEREPOSITORY_UPDATE_LOCAL_PATHS_H_

#include <string>
#include <string_view>
#include <vector>

// directory + "/" + name, without doubling a separator that ends the directory.
std::string JoinLocalPath(std::string_view directory, std::string_view name);

// A name that the server's trigger file may bring into a local directory: not empty, not "." or
// "..", and free of '/', '\' and NUL. Anything else could write outside the directory.
bool IsPlainFileName(std::string_view name);

// The pieces of a comma-separated list of file-name extensions, in order; empty pieces are
// skipped ("*" is a piece like any other).
std::vector<std::string> SplitExtensions(std::string_view extensions);

#endif  // FILEREPOSITORY_UPDATE_LOCAL_PATHS_H_
