#include "integrity/crc32_fold.h"

#include <libdeflate.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The bulk of the buffer is folded 256 bytes at a time in four 512-bit accumulators: each
// 128-bit lane L of an accumulator is replaced by L.lo * K.lo ^ L.hi * K.hi ^ the data 2048 bits
// further on, which keeps the message congruent modulo the polynomial. K holds, bit-reflected
// and shifted left by one, x^(D+32) mod P and x^(D-32) mod P for the fold distance D. The four
// accumulators are then folded into one (D = 512), whose 64 bytes, followed by the tail, have
// the same CRC as the whole buffer when the initial register value was XORed into the first
// four bytes; that short rest goes through the ordinary routine.

#if defined(__x86_64__)

namespace {

#define FR_FOLD_TARGET __attribute__((target("avx512f,vpclmulqdq")))

FR_FOLD_TARGET inline __m512i Fold(__m512i lanes, __m512i constants, __m512i next) {
  __m512i low = _mm512_clmulepi64_epi128(lanes, constants, 0x00);
  __m512i high = _mm512_clmulepi64_epi128(lanes, constants, 0x11);
  return _mm512_ternarylogic_epi64(low, high, next, 0x96);  // low ^ high ^ next
}

// The pair (for the low, for the high quadword) in every 128-bit lane.
FR_FOLD_TARGET inline __m512i Constants(long long low, long long high) {
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

FR_FOLD_TARGET inline __m512i Load(const unsigned char* p) {
  return _mm512_loadu_si512(p);
}

FR_FOLD_TARGET DWORD FoldAvx512(DWORD crc, const unsigned char* p, std::size_t length) {
  const __m512i by2048 = Constants(0x11542778aLL, 0x1322d1430LL);
  const __m512i by512 = Constants(0x154442bd4LL, 0x1c6e41596LL);

  __m512i initial =
      _mm512_inserti32x4(_mm512_setzero_si512(), _mm_cvtsi32_si128(static_cast<int>(~crc)), 0);
  __m512i a0 = _mm512_xor_si512(Load(p), initial);
  __m512i a1 = Load(p + 64);
  __m512i a2 = Load(p + 128);
  __m512i a3 = Load(p + 192);
  p += 256;
  length -= 256;
  for (; length >= 256; p += 256, length -= 256) {
    a0 = Fold(a0, by2048, Load(p));
    a1 = Fold(a1, by2048, Load(p + 64));
    a2 = Fold(a2, by2048, Load(p + 128));
    a3 = Fold(a3, by2048, Load(p + 192));
  }
  a1 = Fold(a0, by512, a1);
  a2 = Fold(a1, by512, a2);
  a3 = Fold(a2, by512, a3);

  alignas(64) unsigned char folded[64];
  _mm512_store_si512(folded, a3);
  // libdeflate_crc32(c, d) is ~R(~c, d) for the register walk R; starting it at all ones walks
  // from a zero register, as the initial value already sits in the folded bytes.
  DWORD rest = libdeflate_crc32(0xFFFFFFFFu, folded, sizeof folded);
  return libdeflate_crc32(rest, p, length);
}

#undef FR_FOLD_TARGET

}  // namespace

bool Crc32FoldAvailable() {
  static const bool available =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
  return available;
}

DWORD Crc32FoldUpdate(DWORD crc, const void* data, std::size_t length) {
  return FoldAvx512(crc, static_cast<const unsigned char*>(data), length);
}

#else  // not x86-64

bool Crc32FoldAvailable() {
  return false;
}

DWORD Crc32FoldUpdate(DWORD crc, const void* data, std::size_t length) {
  return libdeflate_crc32(crc, data, length);
}

#endif
