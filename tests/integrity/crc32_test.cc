// CRC-32 of buffers: published check values, and every bulk path against a bit-at-a-time
// reference.
#include "integrity/crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Crc32Test, KnownVectors) {
  EXPECT_EQ(CalculateBufferCrc32("123456789", 9), 0xCBF43926u);  // the CRC-32/ISO-HDLC check
  EXPECT_EQ(CalculateBufferCrc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
  EXPECT_EQ(CalculateBufferCrc32(std::string(32, '\xFF').data(), 32), 0xFF6CAB0Bu);
  // 2^32 bytes or more: the data is not read, whatever the low half says.
  EXPECT_EQ(GetBufferCrc("abc", 3, 1), 0u);
  EXPECT_EQ(GetBufferCrc(nullptr, 100, 2), 0u);
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

}  // namespace
