// Blocks of whole files from the tracing allocator ask for huge pages, and only those: a download
// into a fresh 100 MiB block otherwise takes 25,600 page faults.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/utility.h"

namespace {

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps; "" when none does.
std::string MappingFlags(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = begin <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line.substr(8);
    }
  }
  return "";
}

bool HasFlag(const std::string& flags, const std::string& flag) {
  std::istringstream words(flags);
  for (std::string word; words >> word;) {
    if (word == flag) return true;
  }
  return false;
}

TEST(LargeBlockTest, WholeFileBlocksAskForHugePagesSmallOnesDoNot) {
  if (::access("/sys/kernel/mm/transparent_hugepage/enabled", F_OK) != 0) {
    GTEST_SKIP() << "this kernel has no transparent huge pages";
  }
  const std::size_t before = CMemoryDebugging::OutstandingBlocks("LargeBlockTest");
  constexpr std::size_t kLarge = (std::size_t{9} << 20) + 12345;  // not a multiple of anything
  auto* large =
      static_cast<unsigned char*>(CMemoryDebugging::TraceAllocate(kLarge, "LargeBlockTest", 1));
  ASSERT_NE(large, nullptr);
  auto* small =
      static_cast<unsigned char*>(CMemoryDebugging::TraceAllocate(64 * 1024, "LargeBlockTest", 2));
  ASSERT_NE(small, nullptr);

  // "hg": advised for huge pages. The advice covers the block's whole 2 MiB pages only.
  EXPECT_TRUE(HasFlag(MappingFlags(large + kLarge / 2), "hg")) << MappingFlags(large + kLarge / 2);
  EXPECT_FALSE(HasFlag(MappingFlags(small), "hg")) << MappingFlags(small);

  // Every byte is the caller's, first and last included, and the advice changed no content.
  std::memset(large, 0x5A, kLarge);
  EXPECT_EQ(large[0], 0x5A);
  EXPECT_EQ(large[kLarge - 1], 0x5A);
  CMemoryDebugging::TraceDeallocate(large);
  CMemoryDebugging::TraceDeallocate(small);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("LargeBlockTest"), before);
}

}  // namespace
