// Files and directories the Windows way, over POSIX: status and attribute queries, copy, delete,
// single-level directory creation, a small file object for whole-file reads and writes, and the
// directory search with the Windows matching rules.
//
// Every failure sets the thread's last error to a Windows code (win32.h). Local paths use '/'.
//
// Every system call that can fail goes through PosixCalls(), a table of function pointers that a
// test may override to make a chosen call fail with a chosen errno (disk full mid-write, a copy
// that cannot open its target, a directory that cannot be made) without touching the real file
// system.
#ifndef FILEREPOSITORY_PLATFORM_FILES_H_
#define FILEREPOSITORY_PLATFORM_FILES_H_

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::size_t MAX_PATH = 260;

// The overridable system-call table. All members start as the real calls (retrying EINTR where
// the call can be interrupted). Tests replace members and restore the table with
// ResetPosixCalls(); the table is process-wide and not synchronised, so tests change it only
// while no other thread does file work.
struct PosixCallTable {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t count);
  ssize_t (*write)(int fd, const void* buffer, std::size_t count);
  int (*fstat)(int fd, struct stat* status);
  int (*stat)(const char* path, struct stat* status);
  int (*lstat)(const char* path, struct stat* status);
  int (*mkdir)(const char* path, mode_t mode);
  int (*unlink)(const char* path);
  int (*rename)(const char* from, const char* to);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  DIR* (*opendir)(const char* path);
  // Returns null at the end (errno unchanged) or on failure (errno set).
  struct dirent* (*readdir)(DIR* directory);
  int (*closedir)(DIR* directory);
};
PosixCallTable& PosixCalls();
void ResetPosixCalls();

// Closes a descriptor through the call table unless it was handed on.
class DescriptorGuard {
 public:
  explicit DescriptorGuard(int fd) : fd_(fd) {}
  ~DescriptorGuard() {
    if (fd_ >= 0) PosixCalls().close(fd_);
  }
  DescriptorGuard(const DescriptorGuard&) = delete;
  DescriptorGuard& operator=(const DescriptorGuard&) = delete;

  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// CFile::GetStatus: succeeds when the path exists, file or directory.
struct FileStatus {
  std::int64_t modifiedTime = 0;  // seconds since 1 January 1970 UTC
  std::uint64_t size = 0;
  DWORD attributes = 0;
};
BOOL GetFileStatus(const char* path, FileStatus* status);

// GetFileAttributesA: INVALID_FILE_ATTRIBUTES (last error 2 or 3) when the path does not exist,
// else FILE_ATTRIBUTE_DIRECTORY or FILE_ATTRIBUTE_NORMAL, with FILE_ATTRIBUTE_READONLY when no
// write permission bit is set. As on Windows, FILE_ATTRIBUTE_NORMAL stands only alone: a
// read-only file is FILE_ATTRIBUTE_READONLY, a read-only directory DIRECTORY | READONLY.
DWORD GetFileAttributesA(const char* path);

// CopyFileA: copies the bytes of `from` to `to`, overwriting `to` unless failIfExists (then
// ERROR_FILE_EXISTS). A directory as source fails with ERROR_ACCESS_DENIED. The target is written
// under a temporary name beside it and renamed into place, so a reader never sees a half copy;
// on failure the temporary file is removed and the old target is left as it was. A directory
// standing where the target goes fails with ERROR_ACCESS_DENIED; a symbolic link there is
// replaced by the copy, never written through, whatever it points at. The copy keeps the
// source's permission bits and last-write time, as a Windows copy keeps attributes and time.
BOOL CopyFileA(const char* from, const char* to, BOOL failIfExists);

// Whether `name` (a file name without directory, in any letter case) has the form of the
// temporary files CopyFileA writes beside its targets: ".copy-<pid>-<n>.partial". What a killed
// copy leaves behind has such a name, and nothing else should.
bool IsCopyTemporaryName(std::string_view name);

// DeleteFileA: removes a file; fails (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED for a directory).
BOOL DeleteFileA(const char* path);

// MoveFileExA: renames `from` to `to` on one file system. With MOVEFILE_REPLACE_EXISTING a file at
// `to` is replaced in one step, so a reader finds the old file or the new one, never neither and
// never a part; without it an existing `to` fails with ERROR_ALREADY_EXISTS. A directory standing
// at `to` fails with ERROR_ACCESS_DENIED; a move to another file system fails (ERROR_GEN_FAILURE).
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
BOOL MoveFileExA(const char* from, const char* to, DWORD flags);

// CreateDirectoryA: makes one directory; fails with ERROR_ALREADY_EXISTS (183) when it exists and
// ERROR_PATH_NOT_FOUND when its parent does not.
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
BOOL CreateDirectoryA(const char* path, void* security);

// A file opened for whole-file reading or writing.
class PlatformFile {
 public:
  enum class Mode {
    kRead,  // existing file, read only
    // Created or truncated, write only, mode 0644. A symbolic link at the path, or a file that
    // other names share through hard links, is replaced by a new file, never written through:
    // the write lands at the path named and nowhere else.
    kCreateWrite,
  };
  PlatformFile() = default;
  ~PlatformFile();
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;

  // False with the last error set (a directory opened for reading fails with ERROR_ACCESS_DENIED).
  bool Open(const char* path, Mode mode);
  bool IsOpen() const { return fd_ >= 0; }
  // The file's length in bytes.
  bool Length(std::uint64_t* length);
  // Tells the kernel that the file will be read from start to end, so that it reads further
  // ahead. Only a hint: nothing fails when it is not taken.
  void AdviseSequentialRead();
  // Reads up to `count` bytes, as many as are there; `*got` is 0 at the end of the file.
  bool Read(void* buffer, std::size_t count, std::size_t* got);
  // Writes all `count` bytes (short writes are continued).
  bool WriteAll(const void* buffer, std::size_t count);
  // Closes; false when the close reported an error (last error set). Harmless when not open.
  bool Close();

 private:
  int fd_ = -1;
};

// --- Directory search (FindFirstFileA / FindNextFileA / FindClose).
// The pattern is a directory, '/', and a wildcard. The wildcard matches without regard to case;
// '*' matches any run of bytes and '?' one byte; "*" and "*.*" match every entry, "." and ".."
// included; "*.ext" matches names whose extension (after the last dot) is "ext". Directories are
// entries too. Entries come sorted by name in byte order, so that runs are reproducible.
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes = 0;
  std::uint64_t nFileSize = 0;
  std::int64_t ftLastWriteTime = 0;  // seconds since 1 January 1970 UTC
  char cFileName[MAX_PATH] = {};
};
// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND when
// the directory does not exist.
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
// FALSE with ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
// Search handles are closed with FindClose only; CloseHandle and the waits refuse them.
BOOL FindClose(HANDLE find);

// The matching rule alone, for tests and callers that filter names themselves.
bool WildcardMatches(const std::string& wildcard, const std::string& name);

#endif  // FILEREPOSITORY_PLATFORM_FILES_H_
