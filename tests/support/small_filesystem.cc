#include "support/small_filesystem.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/temp_dir.h"

namespace testing_support {
namespace {

constexpr std::uint64_t kPage = 4096;

int MountTmpfs(const std::string& directory, std::uint64_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  return mount("tmpfs", directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str());
}

}  // namespace

std::string SmallFilesystem::Unavailable() {
  TempDir probe;
  if (MountTmpfs(probe.path(), 64 * 1024) != 0) {
    return std::string("cannot mount a tmpfs here (") + std::strerror(errno) +
           "); a full disk needs CAP_SYS_ADMIN to simulate";
  }
  umount2(probe.path().c_str(), MNT_DETACH);
  return "";
}

SmallFilesystem::SmallFilesystem(const std::string& directory, std::uint64_t bytes)
    : directory_(directory), filler_(directory + "/.filler") {
  MakeDirectories(directory);
  if (MountTmpfs(directory, bytes) != 0) {
    throw std::runtime_error("mount tmpfs on " + directory + ": " + std::strerror(errno));
  }
}

SmallFilesystem::~SmallFilesystem() {
  umount2(directory_.c_str(), MNT_DETACH);
}

void SmallFilesystem::Fill(std::uint64_t leave) {
  const int fd = open(filler_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("open " + filler_ + ": " + std::strerror(errno));
  // Write until the file system refuses, then give back what is to be left: a tmpfs counts whole
  // pages, so the filler's length decides the free space to the page.
  const std::vector<char> block(kPage, 'f');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  const off_t length = lseek(fd, 0, SEEK_END);
  const std::uint64_t giveBack = (leave + kPage - 1) / kPage * kPage;
  const off_t kept =
      length > static_cast<off_t>(giveBack) ? length - static_cast<off_t>(giveBack) : 0;
  const bool truncated = ftruncate(fd, kept) == 0;
  close(fd);
  if (!truncated) throw std::runtime_error("truncate " + filler_ + ": " + std::strerror(errno));
}

void SmallFilesystem::Free() {
  unlink(filler_.c_str());
}

void SmallFilesystem::ReadOnly(bool on) {
  const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (on ? MS_RDONLY : 0);
  if (mount(nullptr, directory_.c_str(), nullptr, flags, nullptr) != 0) {
    throw std::runtime_error("remount " + directory_ + ": " + std::strerror(errno));
  }
}

}  // namespace testing_support
