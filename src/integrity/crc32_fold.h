// Carry-less-multiply folding for the CRC-32 of long buffers, where the processor has 512-bit
// carry-less multiplication. Internal to the CRC-32 unit.
#ifndef FILEREPOSITORY_INTEGRITY_CRC32_FOLD_H_
#define FILEREPOSITORY_INTEGRITY_CRC32_FOLD_H_

#include <cstddef>

#include "platform/win32.h"

// Buffers shorter than this go elsewhere.
inline constexpr std::size_t kCrc32FoldMinimum = 512;

// Whether Crc32FoldUpdate may be called on this processor.
bool Crc32FoldAvailable();
// Crc32Update for `length` >= kCrc32FoldMinimum; only when Crc32FoldAvailable().
DWORD Crc32FoldUpdate(DWORD crc, const void* data, std::size_t length);

#endif  // FILEREPOSITORY_INTEGRITY_CRC32_FOLD_H_
