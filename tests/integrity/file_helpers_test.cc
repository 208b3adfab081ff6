// CRC-32 of buffers: published check values, and every bulk path against a bit-at-a-time
// reference. Reading whole files where the system lets the reader down: short reads, a read that
// fails, a file that does not open, would block or is too large, for the CRC and the SHA-256 of a
// file and for the whole-file buffer, which is never leaked; a copy and a write that fail at
// their close.
#include "integrity/file_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "host/utility.h"
#include "integrity/crc32.h"
#include "integrity/sha256.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using namespace testing_support;

TEST(Crc32Test, KnownVectors) {
  EXPECT_EQ(CalculateBufferCrc32("123456789", 9), 0xCBF43926u);  // the CRC-32/ISO-HDLC check
  // 2^32 bytes or more: the data is not read, whatever the low half says.
  EXPECT_EQ(GetBufferCrc("abc", 3, 1), 0u);
}

TEST(Crc32Test, EveryLengthAndAlignmentMatchesABitwiseReference) {
  // Crosses, at every offset, the switches between the table loop and the bulk paths and the
  // 256-byte steps of the widest one; each value is also continued from a split.
  std::vector<std::size_t> lengths = {511, 512, 513, 767, 768, 769, 1023, 1024, 1025, 4113, 65539};
  for (std::size_t length = 0; length <= 300; length += 1 + length / 16) lengths.push_back(length);
  std::string data(65539 + 8, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 2654435761u >> 7);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t n : lengths) {
      const char* p = data.data() + offset;
      DWORD reg = 0xFFFFFFFF;
      for (std::size_t i = 0; i < n * 8; ++i) {
        if (i % 8 == 0) reg ^= static_cast<unsigned char>(p[i / 8]);
        reg = (reg >> 1) ^ ((reg & 1) ? 0xEDB88320u : 0);
      }
      ASSERT_EQ(CalculateBufferCrc32(p, static_cast<DWORD>(n)), ~reg) << offset << "+" << n;
      ASSERT_EQ(Crc32Update(Crc32Update(0, p, n / 3), p + n / 3, n - n / 3), ~reg) << "split";
    }
  }
}

// Through the platform's system-call table: each read returns at most `limit` bytes, and read
// number `failAt` (from 1; 0: none) fails with EIO.
std::size_t readLimit = 0;
int readFailAt = 0, readCalls = 0;
void Reads(std::size_t limit, int failAt = 0) {
  static ssize_t (*const realRead)(int, void*, std::size_t) = PosixCalls().read;
  readLimit = limit, readFailAt = failAt, readCalls = 0;
  PosixCalls().read = [](int fd, void* buffer, std::size_t count) -> ssize_t {
    if (++readCalls == readFailAt) return errno = EIO, -1;
    return realRead(fd, buffer, std::min(count, readLimit));
  };
}

TEST(FileReadTest, ShortReadsAReadErrorAndFilesThatCannotBeRead) {
  TempDir dir;
  const std::size_t blocksAtStart = CMemoryDebugging::OutstandingBlocks();
  std::string data(3 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 2654435761u >> 7);
  Reads(1000);  // around the 32766-byte working buffer of the CRC, 1000 bytes a read
  integrity::Sha256Digest digest{};
  std::uint64_t size = 0;
  for (std::size_t length : {0ul, 1ul, 32766ul, 32767ul, 65533ul, data.size()}) {
    const std::string path = dir / std::to_string(length);
    WriteFile(path, data.substr(0, length));
    EXPECT_EQ(GetFileCrc(path.c_str()), Crc32Update(0, data.data(), length)) << length;
    ASSERT_TRUE(integrity::Sha256OfFile(path.c_str(), &digest, &size));
    EXPECT_EQ(digest, integrity::Sha256OfBuffer(data.data(), length)) << length;
    EXPECT_EQ(size, length);
  }
  const std::string path = dir / std::to_string(data.size());
  BYTE* buffer = nullptr;
  DWORD length = 0;
  ASSERT_TRUE(ReadFileIntoBuffer(path.c_str(), &buffer, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), data);
  Reads(1 << 20, /*failAt=*/2);  // the bytes before the failing read count
  EXPECT_EQ(GetFileCrc(path.c_str()), CalculateBufferCrc32(data.data(), 32766));
  Reads(1 << 20, /*failAt=*/2);
  EXPECT_FALSE(ReadFileIntoBuffer(path.c_str(), &buffer, &length));
  EXPECT_EQ(buffer, nullptr);    // the earlier buffer released, the new one too
  Reads(1 << 20, /*failAt=*/2);  // no digest of part of a file
  EXPECT_FALSE(integrity::Sha256OfFile(path.c_str(), &digest, &size));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

  // Files that do not open, would block or are too large: no value, the caller's buffer kept.
  ResetPosixCalls();
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const auto& [name, error] : {std::pair{"missing", ERROR_FILE_NOT_FOUND},
                                    {"no/such", ERROR_PATH_NOT_FOUND},
                                    {".", ERROR_ACCESS_DENIED},
                                    {"fifo", ERROR_ACCESS_DENIED}}) {
    EXPECT_EQ(GetFileCrc((dir / name).c_str()), 0u);
    EXPECT_FALSE(integrity::Sha256OfFile((dir / name).c_str(), &digest, &size));
    EXPECT_EQ(GetLastError(), error) << name;
  }
  EXPECT_EQ(size, data.size());  // untouched by the failures
  const int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);  // so the write opens it
  EXPECT_FALSE(WriteBufferToFile("x", 1, 0, (dir / "fifo").c_str()));      // and refuses it
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  close(reader);
  const int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);  // 4 GiB, sparse
  ASSERT_TRUE(fd >= 0 && ftruncate(fd, off_t{1} << 32) == 0 && close(fd) == 0);
  buffer = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(3, "test", __LINE__));
  BYTE* const earlier = buffer;
  for (const char* name : {"missing", ".", "big"}) {
    EXPECT_FALSE(ReadFileIntoBuffer((dir / name).c_str(), &buffer, &length)) << name;
    EXPECT_EQ(buffer, earlier);
    EXPECT_EQ(length, data.size());
  }
  CMemoryDebugging::TraceDeallocate(buffer);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksAtStart);

  // A write error that shows only when the file is closed (a quota at write-back) fails a copy
  // and a write.
  static int (*const realClose)(int) = PosixCalls().close;
  PosixCalls().close = [](int fd) { return realClose(fd), errno = EDQUOT, -1; };
  EXPECT_FALSE(CopyFileA((dir / "1").c_str(), (dir / "late").c_str(), FALSE));
  EXPECT_FALSE(WriteBufferToFile("x", 1, 0, (dir / "late").c_str()));
  ResetPosixCalls();
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

}  // namespace
