#include "integrity/crc32.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "integrity/posix_faults.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

// Bit-at-a-time reference, straight from the polynomial.
DWORD ReferenceCrc(const std::string& data) {
  DWORD reg = 0xFFFFFFFF;
  for (unsigned char byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1) ? 0xEDB88320u : 0);
  }
  return reg ^ 0xFFFFFFFF;
}

std::string RandomBytes(std::size_t length, unsigned seed = 7) {
  std::mt19937 generator(seed);
  std::string data(length, '\0');
  for (char& c : data) c = static_cast<char>(generator());
  return data;
}

DWORD BufferCrc(const std::string& data) {
  return CalculateBufferCrc32(data.data(), static_cast<DWORD>(data.size()));
}

TEST(Crc32Test, TableIsTheStandardOne) {
  EXPECT_EQ(kCrc32Table[1], 0x77073096u);
  EXPECT_EQ(kCrc32Table[255], 0x2D02EF8Du);
  for (DWORD n = 0; n < 256; ++n) {
    DWORD c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? 0xEDB88320u : 0);
    EXPECT_EQ(kCrc32Table[n], c) << "entry " << n;
  }
}

TEST(Crc32Test, KnownVectors) {
  // Check value of CRC-32/ISO-HDLC in the CRC catalogue (reveng.sourceforge.io/crc-catalogue).
  EXPECT_EQ(BufferCrc("123456789"), 0xCBF43926u);
  // Vectors shared by IEEE 802.3 / zlib implementations.
  EXPECT_EQ(BufferCrc("a"), 0xE8B7BE43u);
  EXPECT_EQ(BufferCrc("abc"), 0x352441C2u);
  EXPECT_EQ(BufferCrc("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_EQ(BufferCrc(std::string(32, '\0')), 0x190A55ADu);
  EXPECT_EQ(BufferCrc(std::string(32, '\xFF')), 0xFF6CAB0Bu);
  EXPECT_EQ(CalculateBufferCrc32(nullptr, 0), 0u);
  EXPECT_EQ(GetBufferCrc(nullptr, 100, 1), 0u);  // the data is not read
  EXPECT_EQ(GetBufferCrc("123456789", 9, 1), 0u);
  EXPECT_EQ(GetBufferCrc("123456789", 9, 0), 0xCBF43926u);
}

TEST(Crc32Test, EveryLengthAndAlignmentMatchesTheReference) {
  // Crosses, at every offset, the switches between the table loop and the bulk paths, and the
  // 256-byte steps of the widest one.
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 300; length += 1 + length / 16) lengths.push_back(length);
  for (std::size_t length : {511, 512, 513, 767, 768, 769, 1023, 1024, 1025, 4113, 65539}) {
    lengths.push_back(length);
  }
  std::string data = RandomBytes(65539 + 8);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length : lengths) {
      std::string part = data.substr(offset, length);
      ASSERT_EQ(BufferCrc(part), ReferenceCrc(part)) << offset << "+" << length;
    }
  }
}

TEST(Crc32Test, UpdateComposesOverConcatenation) {
  std::string data = RandomBytes(5000);
  for (std::size_t split : {0, 1, 63, 64, 65, 1000, 2500, 4999, 5000}) {
    DWORD first = Crc32Update(0, data.data(), split);
    EXPECT_EQ(Crc32Update(first, data.data() + split, data.size() - split), BufferCrc(data));
  }
}

TEST(Crc32Test, FileCrcEqualsBufferCrcAroundTheWorkingBufferSize) {
  TempDir dir;
  std::string data = RandomBytes(3 * 1024 * 1024 + 5);
  for (std::size_t length : {0, 1, 32765, 32766, 32767, 65532, 65533, 3 * 1024 * 1024 + 5}) {
    std::string path = dir / ("f" + std::to_string(length));
    WriteFile(path, data.substr(0, length));
    EXPECT_EQ(GetFileCrc(path.c_str()), BufferCrc(data.substr(0, length))) << length;
  }
  EXPECT_EQ(GetFileCrc((dir / "missing").c_str()), 0u);
  EXPECT_EQ(GetFileCrc(dir.path().c_str()), 0u);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(GetFileCrc((dir / "fifo").c_str()), 0u);  // and does not wait for a writer
  EXPECT_EQ(GetFileCrc(nullptr), 0u);
}

TEST(Crc32Test, FileCrcOverShortReadsAndAReadError) {
  TempDir dir;
  std::string data = RandomBytes(100000);
  WriteFile(dir / "f", data);
  PosixFaults faults;
  faults.Reads(1000);
  EXPECT_EQ(GetFileCrc((dir / "f").c_str()), BufferCrc(data));
  // The bytes before the failing read count; the working buffer takes 32766 at a time.
  faults.Reads(1 << 20, /*failAt=*/2);
  EXPECT_EQ(GetFileCrc((dir / "f").c_str()), BufferCrc(data.substr(0, 32766)));
}

}  // namespace
