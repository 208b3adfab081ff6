// The files of a definitions set as an updates server's operator names them on the command line
// (checksum, manifest): files, and the regular files directly inside directories.
#ifndef FILEREPOSITORY_PROGRAM_SET_FILES_H_
#define FILEREPOSITORY_PROGRAM_SET_FILES_H_

#include <map>
#include <string>
#include <vector>

namespace updater {

class SetFiles {
 public:
  // `forbidden`: bytes a name of the set may not hold; `why` ends the refusal's message.
  SetFiles(const char* forbidden, const char* why) : forbidden_(forbidden), why_(why) {}

  // Adds a file, or every regular file directly inside a directory (subdirectories are not
  // listed), each under its base name. Problems are printed as they are found.
  void AddOperands(const std::vector<std::string>& operands);

  // Base name to the path as named, in byte order of the names.
  const std::map<std::string, std::string>& files() const { return files_; }

  // A name or an operand the set cannot take (the command's usage is wrong).
  void Refuse(const std::string& message);
  // A file or directory that cannot be read.
  void Fail(const std::string& message);
  // The exit status so far: 0, or 2 for a refusal, else 1 for a read failure.
  int Status() const;

 private:
  void AddFile(const std::string& path);

  const char* forbidden_;
  const char* why_;
  std::map<std::string, std::string> files_;
  bool refused_ = false;
  bool failed_ = false;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_SET_FILES_H_
