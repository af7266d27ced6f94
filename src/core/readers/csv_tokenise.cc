#include "core/readers/csv_tokenise.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpel::readers {

std::uint64_t count_line_breaks(const char* begin, const char* end) {
  // Line breaks are the LFs, plus the CRs that no LF follows.
  std::uint64_t lf = 0, cr = 0, crlf = 0;
  const char* p = begin;
#if defined(__SSE2__)
  const __m128i n = _mm_set1_epi8('\n'), r = _mm_set1_epi8('\r'), zero = _mm_setzero_si128();
  // Byte lanes count up to 255 hits; then they are summed into 64-bit lanes.
  while (end - p >= 17) {
    __m128i lf_lanes = zero, cr_lanes = zero, crlf_lanes = zero;
    for (int i = 0; i < 255 && end - p >= 17; ++i, p += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      const __m128i is_cr = _mm_cmpeq_epi8(x, r);
      lf_lanes = _mm_sub_epi8(lf_lanes, _mm_cmpeq_epi8(x, n));
      cr_lanes = _mm_sub_epi8(cr_lanes, is_cr);
      crlf_lanes = _mm_sub_epi8(crlf_lanes, _mm_and_si128(is_cr, _mm_cmpeq_epi8(next, n)));
    }
    auto sum = [&](__m128i lanes) {
      const __m128i s = _mm_sad_epu8(lanes, zero);
      return static_cast<std::uint64_t>(_mm_cvtsi128_si64(s)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
    };
    lf += sum(lf_lanes);
    cr += sum(cr_lanes);
    crlf += sum(crlf_lanes);
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\n') {
      ++lf;
    } else if (*p == '\r') {
      ++cr;
      crlf += p + 1 < end && p[1] == '\n';
    }
  }
  return lf + cr - crlf;
}

}  // namespace vorpel::readers
