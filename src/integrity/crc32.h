// CRC-32 (CRC-32/ISO-HDLC: reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF; check value 0xCBF43926) of buffers and files, and the whole-file helpers.
//
// The value 0 also stands for "no value": a missing or unreadable file, an empty file, a failed
// allocation and a buffer too large to check all give 0. None of these functions logs; all are
// re-entrant.
#ifndef FILEREPOSITORY_INTEGRITY_CRC32_H_
#define FILEREPOSITORY_INTEGRITY_CRC32_H_

#include <cstdint>

#include "platform/win32.h"

// The standard 256-entry table (entry 1 is 0x77073096, entry 255 is 0x2D02EF8D).
extern const std::uint32_t kCrc32Table[256];

// CRC-32 of `length` bytes; 0 for a length of 0 (the data is not read then).
DWORD CalculateBufferCrc32(const void* data, DWORD length);
// CRC-32 of a file's bytes, streamed through one 32766-byte working buffer; 0 when the file does
// not open or the buffer cannot be allocated; after a read error, the CRC of the bytes before it.
DWORD CalculateFileCrc32(const char* path);
// Forwards to CalculateFileCrc32.
DWORD GetFileCrc(const char* path);
// 0 when `lengthHigh` is not 0 (without reading the data), else CalculateBufferCrc32.
DWORD GetBufferCrc(const void* data, DWORD lengthLow, DWORD lengthHigh);

// Continues a CRC-32 over more bytes: Crc32Update(0, data, n) == CalculateBufferCrc32(data, n),
// and the value of a concatenation is Crc32Update(Crc32Update(0, a, na), b, nb).
DWORD Crc32Update(DWORD crc, const void* data, std::size_t length);

#endif  // FILEREPOSITORY_INTEGRITY_CRC32_H_
