#include "core/readers/csv_tokenise.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpel::readers {

std::uint64_t count_line_breaks(const char* begin, const char* end) {
  // Line breaks are the LFs, plus the CRs that no LF follows.
  std::uint64_t lf = 0, lone_cr = 0;
  const char* p = begin;
#if defined(__SSE2__)
  const __m128i n = _mm_set1_epi8('\n'), r = _mm_set1_epi8('\r');
  for (; end - p >= 17; p += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto lf_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, n)));
    const auto cr_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, r)));
    lf += static_cast<unsigned>(std::popcount(lf_bits));
    if (cr_bits != 0) {
      // The byte after each CR, the 17th byte included.
      const unsigned next_lf = (lf_bits >> 1) | (static_cast<unsigned>(p[16] == '\n') << 15);
      lone_cr += static_cast<unsigned>(std::popcount(cr_bits & ~next_lf));
    }
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\n') {
      ++lf;
    } else if (*p == '\r' && (p + 1 == end || p[1] != '\n')) {
      ++lone_cr;
    }
  }
  return lf + lone_cr;
}

}  // namespace vorpel::readers
