// Signed sets as a publisher makes them, with the real minisign and sha256sum programs: key pairs,
// signatures, and the signed manifest of a directory.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_MINISIGN_H_
#define FILEREPOSITORY_TESTS_SUPPORT_MINISIGN_H_

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/temp_dir.h"

namespace testing_support {

// A minisign key pair without a password, made by the minisign program in `dir`: its .pub file
// (pubPath, pubFile), the key's line alone (as `minisign -G` prints it) and the id in the .pub
// file's comment, with the leading zeros minisign leaves out.
class MinisignKey {
 public:
  static constexpr const char* kProgram = "/usr/bin/minisign";

  MinisignKey(const TempDir& dir, const std::string& name)
      : pubPath(dir / name + ".pub"), dir_(dir), secret_(dir / name + ".key") {
    Run({kProgram, "-G", "-W", "-p", pubPath, "-s", secret_});
    pubFile = ReadFile(pubPath);
    const std::size_t end = pubFile.find('\n'), idStart = pubFile.rfind(' ', end) + 1;
    keyLine = pubFile.substr(end + 1, pubFile.find('\n', end + 1) - end - 1);
    idInComment = std::string(16 - std::min<std::size_t>(16, end - idStart), '0') +
                  pubFile.substr(idStart, end - idStart);
  }

  std::string pubPath, pubFile, keyLine, idInComment;

  // Signs `file` into file + ".minisig" with `options` (-l, -t COMMENT) and returns the signature.
  std::string Sign(const std::string& file, std::vector<std::string> options = {}) const {
    std::vector<std::string> argv = {kProgram, "-S", "-s", secret_,
                                     "-m",     file, "-x", file + ".minisig"};
    argv.insert(argv.end(), options.begin(), options.end());
    Run(argv);
    return ReadFile(file + ".minisig");
  }

  // Publishes a signed set in `directory`: `trigger` + ".sha256" as sha256sum writes it over every
  // file there but the manifest and its signature, then signed.
  void SignDirectory(const std::string& directory, const std::string& trigger,
                     std::vector<std::string> options = {}) const {
    const std::string manifest = directory + "/" + trigger + ".sha256";
    const std::string script =
        "cd \"$0\" && rm -f \"$1\" \"$1.minisig\" && find . -maxdepth 1 -type f | sed 's|^./||' | "
        "LC_ALL=C sort | xargs -d '\\n' sha256sum > \"$2\" && mv \"$2\" \"$1\"";
    ASSERT_EQ(ChildProcess::Run(
                  {"/bin/sh", "-c", script, directory, trigger + ".sha256", dir_ / "manifest.part"},
                  dir_ / "sha256sum.log"),
              0)
        << ReadFile(dir_ / "sha256sum.log");
    Sign(manifest, std::move(options));
  }

 private:
  void Run(const std::vector<std::string>& argv) const {
    ASSERT_EQ(ChildProcess::Run(argv, dir_ / "minisign.log"), 0)
        << argv[1] << " failed (is minisign installed? scripts/install-deps.sh):\n"
        << ReadFile(dir_ / "minisign.log");
  }

  const TempDir& dir_;
  std::string secret_;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_MINISIGN_H_
