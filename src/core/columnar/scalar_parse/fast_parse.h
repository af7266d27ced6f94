#pragma once
// Inline fast paths of the column parsers for the per-value loops of the
// accumulators. Each one settles the common shapes of a value itself and hands
// every other text to the general parser (scalar_parse.h), so the accepted
// language and every result are exactly the general parser's.
//
// `readable_end` bounds how far past the text the fast paths may load: the
// bytes [p, readable_end) must be readable. Pass p + n when nothing after the
// text may be touched; a column loop passes the end of its value buffer, which
// lets short texts be loaded as whole 8- or 16-byte words.
//
// The digit helpers come first, each written once: on eight bytes in a word
// (check, value, padding, separators, two-digit pairs), on runs of bytes, and
// on sixteen bytes in an SSE2 vector (x86-64 only; elsewhere the paths that
// use them are left out). The fast path of each type follows, built from them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define VORPEL_FAST_SSE2 1
#endif

#include <fast_float/fast_float.h>

#include "core/columnar/scalar_parse/calendar.h"
#include "core/columnar/scalar_parse/pow10.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel::fast {

// ---------------------------------------------------------------- words

[[gnu::always_inline]] inline std::uint64_t load_u64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

[[gnu::always_inline]] inline std::uint32_t load_u32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

[[gnu::always_inline]] inline std::uint16_t load_u16(const char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// `value` with its sign flipped when `negative`, without a branch.
[[gnu::always_inline]] inline double with_sign(double value, bool negative) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) ^ (static_cast<std::uint64_t>(negative) << 63));
}

// ---------------------------------------------------------------- digits in a word
//
// Eight text bytes loaded into a word, the first one in its lowest byte.

inline constexpr std::uint64_t kZeros = 0x3030303030303030ULL;  // eight '0'

// Nonzero unless the eight bytes of `x` are all ASCII digits. Faults of
// several words combine with | and are tested once, without a branch each.
[[gnu::always_inline, gnu::const]] inline std::uint64_t digit_faults(std::uint64_t x) {
  return ((x & 0xF0F0F0F0F0F0F0F0ULL) | (((x + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) ^
         0x3333333333333333ULL;
}

// Whether the eight bytes of `x` are all ASCII digits.
[[gnu::always_inline, gnu::const]] inline bool eight_digits(std::uint64_t x) { return digit_faults(x) == 0; }

// The value of eight ASCII digits.
[[gnu::always_inline]] inline std::uint32_t eight_digits_value(std::uint64_t x) {
  x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
  x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return static_cast<std::uint32_t>(((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32);
}

// `x` with the bytes outside `digit_mask` read as '0': only the bytes inside
// it must then be digits, and the others add nothing to a value.
[[gnu::always_inline]] inline std::uint64_t zeros_outside(std::uint64_t x, std::uint64_t digit_mask) {
  return (x & digit_mask) | (kZeros & ~digit_mask);
}

// The first `d` (1..8) bytes of `x` behind 8 - d '0's (the bytes after them
// dropped): d digits as eight of the same value.
[[gnu::always_inline]] inline std::uint64_t pad_front_zeros(std::uint64_t x, std::size_t d) {
  const auto shift = static_cast<unsigned>(8 * (8 - d));  // 0 to 56
  return (x << shift) | (kZeros & ((std::uint64_t{1} << shift) - 1));
}

// The last `d` (1..8) bytes of `x` followed by 8 - d '0's (the bytes before
// them dropped): d leading digits of a fraction, as eight.
[[gnu::always_inline]] inline std::uint64_t pad_back_zeros(std::uint64_t x, std::size_t d) {
  const auto shift = static_cast<unsigned>(8 * (8 - d));  // 0 to 56
  return (x >> shift) | (kZeros & ~(~std::uint64_t{0} >> shift));
}

// Byte k of the result is 10 * d[k] + d[k + 1], the two-digit number that
// starts at byte k of the eight digits `digits` (at most 99: no carries
// between bytes). Byte 7 holds anything.
[[gnu::always_inline]] inline std::uint64_t pair_values(std::uint64_t digits) {
  const std::uint64_t v = digits - kZeros;
  return v * 10 + (v >> 8);
}

// Byte k of a word of pair values: the two-digit number at byte k.
[[gnu::always_inline]] inline unsigned pair_at(std::uint64_t pairs, unsigned k) {
  return static_cast<unsigned>((pairs >> (8 * k)) & 0xFF);
}

// The four-digit number at byte 0 of a word of pair values.
[[gnu::always_inline]] inline unsigned four_digit_value(std::uint64_t pairs) {
  return pair_at(pairs, 0) * 100 + pair_at(pairs, 2);
}

// The value of two ASCII digits in the low bytes of `x`, the first one in
// the lowest (a byte of zero counts as 0).
[[gnu::always_inline]] inline unsigned two_digits_value(std::uint32_t x) {
  return (x & 0x0F) * 10 + ((x >> 8) & 0x0F);
}

// ---------------------------------------------------------------- digit runs

// The digits from `q` on, up to the first other byte or `end`, appended to
// `value` (times ten plus each); returns where they stop.
[[gnu::always_inline]] inline const char* read_digits(const char* q, const char* end, std::uint64_t& value) {
  for (; q < end; ++q) {
    const unsigned c = static_cast<unsigned char>(*q) - '0';
    if (c > 9) break;
    value = value * 10 + c;
  }
  return q;
}

// As read_digits, eight digits per step while eight bytes of the text remain.
[[gnu::always_inline]] inline const char* read_digits_by_eight(const char* q, const char* end, std::uint64_t& value) {
  while (end - q >= 8) {
    const std::uint64_t x = load_u64(q);
    if (!eight_digits(x)) break;
    value = value * 100000000u + eight_digits_value(x);
    q += 8;
  }
  return read_digits(q, end, value);
}

// As read_digits, appending only while `taken` is below `cap` (counting in
// `taken`); the digits after those are passed over.
[[gnu::always_inline]] inline const char* read_digits_capped(const char* q, const char* end, unsigned cap,
                                                             std::uint64_t& value, unsigned& taken) {
  for (; q < end; ++q) {
    const unsigned c = static_cast<unsigned char>(*q) - '0';
    if (c > 9) break;
    if (taken < cap) {
      value = value * 10 + c;
      ++taken;
    }
  }
  return q;
}

#ifdef VORPEL_FAST_SSE2
// ---------------------------------------------------------------- digits in a vector
//
// Sixteen text bytes in an SSE2 vector, the first one in byte 0.

[[gnu::always_inline]] inline __m128i load16(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One of the 16-byte aligned tables below.
[[gnu::always_inline]] inline __m128i load_shape(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }

// Byte k of the result is 10 * d[k] + d[k + 1], the two-digit number that
// starts at byte k, for digit values d (at most 9: the products stay within
// their bytes). Bytes past the digits hold anything.
[[gnu::always_inline]] inline __m128i pair_values(__m128i d) {
  return _mm_add_epi8(_mm_mullo_epi16(d, _mm_set1_epi16(10)), _mm_srli_si128(d, 1));
}

// The four-digit number at byte 0 of a vector of pair values.
[[gnu::always_inline]] inline unsigned four_digit_value(__m128i pairs) {
  const __m128i halves = _mm_and_si128(pairs, _mm_setr_epi16(0xFF, 0xFF, 0, 0, 0, 0, 0, 0));
  return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_madd_epi16(halves, _mm_setr_epi16(100, 1, 0, 0, 0, 0, 0, 0))));
}

// Byte K of `v`.
template <int K>
[[gnu::always_inline]] inline unsigned byte_at(__m128i v) {
  const auto word = static_cast<unsigned>(_mm_extract_epi16(v, K / 2));
  return K % 2 == 0 ? word & 0xFF : word >> 8;
}

// Whether no byte of `bad` is set.
[[gnu::always_inline]] inline bool none_set(__m128i bad) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) == 0xFFFF;
}

// Sixteen 0xFF bytes, then sixteen zero bytes: the sixteen bytes loaded from
// kLeadingBytes + 16 - k select the first k (0 to 16) bytes of a vector.
alignas(32) inline constexpr unsigned char kLeadingBytes[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

[[gnu::always_inline]] inline __m128i leading_bytes(std::size_t k) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeadingBytes + 16 - k));
}

// The number whose sixteen decimal digits are the bytes of `t` (each 0 to 9,
// byte 0 the most significant): pairs, then groups of four and of eight.
[[gnu::always_inline]] inline std::uint64_t sixteen_digit_values(__m128i t) {
  // A 16-bit lane holds digits a (low byte) and b: times 1 + 10 * 256 it is
  // 10a + b in the high byte (at most 9 * 2561 + 9 * 256: no overflow).
  const __m128i pairs = _mm_srli_epi16(_mm_mullo_epi16(t, _mm_set1_epi16(1 + 10 * 256)), 8);
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010000 | 100));  // at most 9999: fits 16 bits
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00010000 | 10000));
  const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFFu) * 100000000u + (both >> 32);
}
#endif  // VORPEL_FAST_SSE2

// ---------------------------------------------------------------- int64

// `parse_int64`. A sign and up to 16 digits are read as one or two words:
// right-aligned behind '0's, checked and converted eight digits per step,
// with no branch per digit.
[[gnu::always_inline]] inline bool parse_int64_into(const char* p, std::size_t n, const char* readable_end,
                                                    std::int64_t& out) {
  const char c0 = n != 0 ? *p : '\0';
  const bool negative = c0 == '-';
  const std::size_t skip = static_cast<std::size_t>(negative | (c0 == '+'));
  const std::size_t d = n - skip;  // digits, when the text is valid
  if (d - 1 < 16 && readable_end - p >= 17) {
    const char* q = p + skip;
    std::uint64_t value;
    bool ok;
    if (d - 1 < 8) {
      const std::uint64_t x = pad_front_zeros(load_u64(q), d);
      ok = eight_digits(x);
      value = eight_digits_value(x);
    } else {
      // Sixteen bytes as one number, moved up by 16 - d bytes (dropping the
      // bytes past the text) behind '0's, as pad_front_zeros does with eight.
      using u128 = unsigned __int128;
      const unsigned shift = static_cast<unsigned>(8 * (16 - d));  // 0 to 56
      u128 w = (static_cast<u128>(load_u64(q + 8)) << 64) | load_u64(q);
      w <<= shift;
      w |= ((static_cast<u128>(kZeros) << 64) | kZeros) & ((static_cast<u128>(1) << shift) - 1);
      const auto high = static_cast<std::uint64_t>(w);  // the first eight of sixteen digits
      const auto low = static_cast<std::uint64_t>(w >> 64);
      ok = eight_digits(high) & eight_digits(low);
      value = static_cast<std::uint64_t>(eight_digits_value(high)) * 100000000u + eight_digits_value(low);
    }
    // At most 16 digits: far inside the range either way.
    out = ok ? (negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value)) : 0;
    return ok;
  }
  if (d - 17 < 3) {
    // 17 to 19 digits: one to three leading digits, then the last sixteen
    // (which end with the text) as two words; at most 999 * 10^16 + 10^16 - 1
    // stays within 64 bits, so the range check is one compare.
    const char* q = p + skip;
    const std::size_t head_digits = d - 16;
    std::uint64_t value = 0;
    bool ok = true;
    for (std::size_t i = 0; i < head_digits; ++i) {
      const unsigned c = static_cast<unsigned char>(q[i]) - '0';
      ok &= c <= 9;
      value = value * 10 + c;
    }
    const std::uint64_t high = load_u64(q + head_digits);
    const std::uint64_t low = load_u64(q + head_digits + 8);
    ok &= eight_digits(high) & eight_digits(low);
    value = value * 10000000000000000u +
            (static_cast<std::uint64_t>(eight_digits_value(high)) * 100000000u + eight_digits_value(low));
    // The magnitude of INT64_MIN is one more than INT64_MAX.
    ok &= value <= static_cast<std::uint64_t>(INT64_MAX) + negative;
    out = ok ? static_cast<std::int64_t>(negative ? 0 - value : value) : 0;
    return ok;
  }
  const std::optional<std::int64_t> v = vorpel::parse_int64(std::string_view(p, n));
  out = v.value_or(0);
  return v.has_value();
}

// ---------------------------------------------------------------- boolean

inline constexpr std::uint64_t kTrueWord = 0x65757274ULL;     // "true"
inline constexpr std::uint64_t kFalseWord = 0x65736C6166ULL;   // "false"

inline std::optional<bool> parse_boolean(const char* p, std::size_t n) {
  if (n == 4 && load_u32(p) == kTrueWord) return true;
  if (n == 5 && load_u32(p) == static_cast<std::uint32_t>(kFalseWord) && p[4] == 'e') return false;
  return std::nullopt;
}

// `parse_boolean` into a 0/1 byte; true when the text is "true" or "false".
// Without branches on the text when eight bytes are readable.
[[gnu::always_inline]] inline bool parse_boolean_into(const char* p, std::size_t n, const char* readable_end, std::uint8_t& out) {
  if (readable_end - p >= 8) {
    const std::uint64_t x = load_u64(p);
    const bool is_true = (n == 4) & ((x & 0xFFFFFFFFULL) == kTrueWord);
    const bool is_false = (n == 5) & ((x & 0xFFFFFFFFFFULL) == kFalseWord);
    out = static_cast<std::uint8_t>(is_true);
    return is_true | is_false;
  }
  const std::optional<bool> v = parse_boolean(p, n);
  out = static_cast<std::uint8_t>(v.value_or(false));
  return v.has_value();
}

// ---------------------------------------------------------------- calendar

// For every year 0 to 9999: the day count of its January 1, times 32, plus
// 16 for a leap year, the offset of the leap year's row in kMonths (so a
// four-digit year costs one load instead of the divisions of the calendar
// arithmetic, and the month's entry one more).
struct YearTable {
  std::int32_t start32_leap16[10000];
  constexpr YearTable() : start32_leap16{} {
    for (unsigned y = 0; y < 10000; ++y) {
      const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
      start32_leap16[y] = static_cast<std::int32_t>(scalar_detail::days_from_civil(y, 1, 1) * 32 + (leap ? 16 : 0));
    }
  }
};
inline constexpr YearTable kYears{};

// Per month (1-based) of a common year (entries 0-15) and of a leap year
// (16-31): the days before it in the year, times 32, plus its length. Month
// 0 and months 13 to 15 have length 0: no day exists in them.
alignas(64) inline constexpr std::uint16_t kMonths[32] = {
    0, 0 * 32 + 31, 31 * 32 + 28, 59 * 32 + 31, 90 * 32 + 30, 120 * 32 + 31, 151 * 32 + 30, 181 * 32 + 31,
    212 * 32 + 31, 243 * 32 + 30, 273 * 32 + 31, 304 * 32 + 30, 334 * 32 + 31, 0, 0, 0,
    0, 0 * 32 + 31, 31 * 32 + 29, 60 * 32 + 31, 91 * 32 + 30, 121 * 32 + 31, 152 * 32 + 30, 182 * 32 + 31,
    213 * 32 + 31, 244 * 32 + 30, 274 * 32 + 31, 305 * 32 + 30, 335 * 32 + 31, 0, 0, 0};

// The day count of year-month-day for a year 0 to 9999 and a month 0 to 15;
// false when the day does not exist in that month.
[[gnu::always_inline]] inline bool table_days(unsigned year, unsigned month, unsigned day, std::int64_t& days) {
  const std::int32_t entry = kYears.start32_leap16[year];
  const unsigned info = kMonths[static_cast<unsigned>(entry & 16) | month];
  days = static_cast<std::int64_t>(entry >> 5) + (info >> 5) + day - 1;
  return day - 1 < (info & 31);
}

// ---------------------------------------------------------------- date32

// "YYYY-MM-DD" exactly (four-digit year, two-digit month and day): true with
// the day count in `days`, or false when the text has another shape or names
// no real date (the general parser then decides).
[[gnu::always_inline]] inline bool iso_date_days(const char* p, std::int64_t& days) {
  // Bytes 0-7: "YYYY-MM-", the dashes read as '0'; bytes 8-9: "DD".
  constexpr std::uint64_t kDashes = 0x2D00002D00000000ULL;  // '-' at bytes 4 and 7
  constexpr std::uint64_t kDashMask = 0xFF0000FF00000000ULL;
  const std::uint64_t x = load_u64(p);
  const std::uint64_t digits = zeros_outside(x, ~kDashMask);
  const std::uint16_t dd = load_u16(p + 8);
  const unsigned d0 = static_cast<unsigned>(dd & 0xFF) - '0';
  const unsigned d1 = static_cast<unsigned>(dd >> 8) - '0';
  if (((x & kDashMask) != kDashes) | !eight_digits(digits) | (d0 > 9) | (d1 > 9)) return false;
  // The year's halves at bytes 0 and 2 of the pairs, the month at byte 5.
  const std::uint64_t pairs = pair_values(digits);
  const unsigned year = four_digit_value(pairs);
  const unsigned month = pair_at(pairs, 5);
  const unsigned day = d0 * 10 + d1;
  return month <= 12 && table_days(year, month, day, days);
}

#ifdef VORPEL_FAST_SSE2
// The ISO shapes sixteen bytes at a time. A shape gives per byte the
// expected byte ('0' at a digit) and a limit: text minus shape must lie in
// 0..limit, i.e. 0..9 at a digit, exactly 0 at a separator, anything (255)
// where the bytes do not belong to the text. Subtracting the limits with
// saturation leaves all zeros exactly when every byte fits; the differences
// at the digits are then the digit values, zero at the separators.

// "YYYY-MM-DD" in bytes 0-9.
alignas(16) inline constexpr unsigned char kDateShape[16] = {'0', '0', '0', '0', '-', '0', '0', '-',
                                                             '0', '0', 0,   0,   0,   0,   0,   0};
alignas(16) inline constexpr unsigned char kDateLimit[16] = {9, 9, 9, 9, 0, 9, 9, 0, 9, 9, 255, 255, 255, 255, 255, 255};
// The largest two-digit numbers at pair places (see pair_values): the month
// at byte 5; 127 (any) elsewhere. Month 0 and day 0 fail the calendar table.
alignas(16) inline constexpr signed char kDateMax[16] = {127, 127, 127, 127, 127, 12,  127, 127,
                                                         127, 127, 127, 127, 127, 127, 127, 127};

// `iso_date_days` with sixteen bytes readable at p.
[[gnu::always_inline]] inline bool iso_date_days_wide(const char* p, std::int64_t& days) {
  const __m128i d = _mm_sub_epi8(load16(p), load_shape(kDateShape));
  const __m128i pairs = pair_values(d);
  const __m128i bad =
      _mm_or_si128(_mm_subs_epu8(d, load_shape(kDateLimit)), _mm_cmpgt_epi8(pairs, load_shape(kDateMax)));
  if (!none_set(bad)) return false;
  const unsigned year = four_digit_value(pairs);
  const unsigned month = byte_at<5>(pairs);
  const unsigned day = byte_at<8>(pairs);
  return table_days(year, month, day, days);
}
#endif

// `parse_date32`.
[[gnu::always_inline]] inline bool parse_date32_into(const char* p, std::size_t n, std::int32_t& out) {
  std::int64_t days = 0;
  if (n == 10 && iso_date_days(p, days)) {
    out = static_cast<std::int32_t>(days);
    return true;
  }
  const std::optional<std::int32_t> v = vorpel::parse_date32(std::string_view(p, n));
  out = v.value_or(0);
  return v.has_value();
}

// `parse_date32`, loading up to `readable_end`.
[[gnu::always_inline]] inline bool parse_date32_into(const char* p, std::size_t n, const char* readable_end,
                                                     std::int32_t& out) {
#ifdef VORPEL_FAST_SSE2
  std::int64_t days = 0;
  if (n == 10 && readable_end - p >= 16 && iso_date_days_wide(p, days)) {
    out = static_cast<std::int32_t>(days);
    return true;
  }
#else
  (void)readable_end;
#endif
  return parse_date32_into(p, n, out);
}

// ---------------------------------------------------------------- timestamp

// The count of `unit` for a day of a four-digit year, seconds of the day and
// nanoseconds below one second, as the general conversion computes it; false
// when a nanosecond count leaves the 64-bit range (the general conversion
// saturates it). With the unit known at the call, the switch folds away.
[[gnu::always_inline]] inline bool count_of_unit(std::int64_t days, std::int64_t seconds, std::int64_t nanos,
                                                 TimeUnit unit, std::int64_t& out) {
  const std::int64_t s = days * 86400 + seconds;
  switch (unit) {
    case TimeUnit::Second: out = s; return true;
    case TimeUnit::Millisecond: out = s * 1000 + nanos / 1'000'000; return true;
    case TimeUnit::Microsecond: out = s * 1'000'000 + nanos / 1000; return true;
    case TimeUnit::Nanosecond:
      return !__builtin_mul_overflow(s, std::int64_t{1'000'000'000}, &out) && !__builtin_add_overflow(out, nanos, &out);
  }
  return false;
}

// "YYYY-MM-DD", and the same followed by "T" or " ", "HH:MM:SS" and an
// optional "." with digits: the common shapes of the built-in patterns, read
// by position, as a count of `unit`. False for any other text (the general parser
// then decides), and for a leap second or a nanosecond count out of range.
[[gnu::always_inline]] inline bool iso_timestamp_into(const char* p, std::size_t n, TimeUnit unit, std::int64_t& out) {
  if (n != 10 && n < 19) return false;
  std::int64_t days = 0;
  if (!iso_date_days(p, days)) return false;
  if (n == 10) return count_of_unit(days, 0, 0, unit, out);
  if (p[10] != 'T' && p[10] != ' ') return false;
  // "HH:MM:SS", the colons read as '0'.
  constexpr std::uint64_t kColons = 0x00003A00003A0000ULL;  // ':' at bytes 2 and 5
  constexpr std::uint64_t kColonMask = 0x0000FF0000FF0000ULL;
  const std::uint64_t x = load_u64(p + 11);
  const std::uint64_t digits = zeros_outside(x, ~kColonMask);
  if ((((x & kColonMask) ^ kColons) | digit_faults(digits)) != 0) return false;
  // Hours at byte 0 of the pairs, minutes at byte 3, seconds at byte 6.
  const std::uint64_t pairs = pair_values(digits);
  const unsigned hour = pair_at(pairs, 0);
  const unsigned minute = pair_at(pairs, 3);
  const unsigned second = pair_at(pairs, 6);
  if (hour > 23 || minute > 59 || second > 59) return false;
  std::uint32_t nanos = 0;
  if (n > 19) {
    if (p[19] != '.' || n == 20) return false;
    const std::size_t digits_after = n - 20;
    if (digits_after <= 8) {
      // The fraction ends the text: its last eight bytes hold it, followed
      // here by '0's up to eight places.
      const std::uint64_t eight = pad_back_zeros(load_u64(p + n - 8), digits_after);
      if (!eight_digits(eight)) return false;
      nanos = eight_digits_value(eight) * 10;
    } else {
      // The first nine digits count; the rest must be digits.
      std::uint64_t fraction = 0;
      unsigned kept = 0;
      if (read_digits_capped(p + 20, p + n, 9, fraction, kept) != p + n) return false;
      nanos = static_cast<std::uint32_t>(fraction);
    }
  }
  return count_of_unit(days, hour * 3600 + minute * 60 + second, nanos, unit, out);
}

#ifdef VORPEL_FAST_SSE2
// "YYYY-MM-DD HH:MM" in bytes 0-15. Byte 10 may also be 'T': there
// kHeadSwap turns the difference 'T' - ' ' into 0 (see iso_timestamp_wide).
alignas(16) inline constexpr unsigned char kHeadShape[16] = {'0', '0', '0', '0', '-', '0', '0', '-',
                                                             '0', '0', ' ', '0', '0', ':', '0', '0'};
alignas(16) inline constexpr unsigned char kHeadLimit[16] = {9, 9, 9, 9, 0, 9, 9, 0, 9, 9, 0, 9, 9, 0, 9, 9};
alignas(16) inline constexpr unsigned char kHeadSwap[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'T' - ' ', 0, 0, 0, 0, 0};
// Month at byte 5, hour at byte 11, minute at byte 14.
alignas(16) inline constexpr signed char kHeadMax[16] = {127, 127, 127, 127, 127, 12, 127, 127,
                                                         127, 127, 127, 23,  127, 127, 59, 127};
// Seconds at byte 1 of the tail (byte 17 of the text).
alignas(16) inline constexpr signed char kTailMax[16] = {127, 59,  127, 127, 127, 127, 127, 127,
                                                         127, 127, 127, 127, 127, 127, 127, 127};

// Bytes 16-31 of the timestamp texts of 19 and of 21 to 29 bytes (row
// n - 19; row 1, a '.' without digits, is never used): ":SS" and ".f..."
// with 1 to 9 fraction digits. `keep` selects the bytes of the text, so
// that the fraction digits followed by zeros give the count below one
// second in any unit.
struct IsoTails {
  alignas(16) unsigned char shape[11][16];
  alignas(16) unsigned char limit[11][16];
  alignas(16) unsigned char keep[11][16];
  constexpr IsoTails() : shape{}, limit{}, keep{} {
    for (unsigned row = 0; row < 11; ++row) {
      const unsigned end = row + 3;  // the text's end within the tail
      for (unsigned k = 0; k < 16; ++k) {
        const bool digit = k == 1 || k == 2 || k >= 4;
        shape[row][k] = k >= end ? 0 : k == 0 ? ':' : k == 3 ? '.' : '0';
        limit[row][k] = k >= end ? 255 : digit ? 9 : 0;
        keep[row][k] = k < end ? 0xFF : 0;
      }
    }
  }
};
inline constexpr IsoTails kIsoTails{};

// `iso_timestamp_into` for a text of 19 or of 21 to 29 bytes with 32 bytes
// readable at p: "YYYY-MM-DD", 'T' or ' ', "HH:MM:SS", and when longer a '.'
// with 1 to 9 digits. Two 16-byte loads check the whole shape and all field
// ranges but the day's (which the calendar table checks). The count below
// one second is built from as many fraction digits as the unit counts (the
// six digits are the microseconds): no division.
[[gnu::always_inline]] inline bool iso_timestamp_wide(const char* p, std::size_t n, TimeUnit unit, std::int64_t& out) {
  const std::size_t row = n - 19;
  __m128i head = _mm_sub_epi8(load16(p), load_shape(kHeadShape));
  // Byte 10 is 0 after a ' ' and 'T' - ' ' after a 'T': either way the
  // smaller of it and it ^ ('T' - ' ') is 0, and nonzero for any other byte.
  head = _mm_min_epu8(head, _mm_xor_si128(head, load_shape(kHeadSwap)));
  const __m128i tail = _mm_sub_epi8(load16(p + 16), load_shape(kIsoTails.shape[row]));
  const __m128i kept = _mm_and_si128(tail, load_shape(kIsoTails.keep[row]));
  const __m128i head_pairs = pair_values(head);
  const __m128i tail_pairs = pair_values(kept);
  const __m128i bad = _mm_or_si128(_mm_or_si128(_mm_subs_epu8(head, load_shape(kHeadLimit)),
                                                _mm_subs_epu8(tail, load_shape(kIsoTails.limit[row]))),
                                   _mm_or_si128(_mm_cmpgt_epi8(head_pairs, load_shape(kHeadMax)),
                                                _mm_cmpgt_epi8(tail_pairs, load_shape(kTailMax))));
  if (!none_set(bad)) return false;
  // Pairs of the head: year at bytes 0 and 2, month 5, day 8, hour 11,
  // minute 14; of the tail: seconds at byte 1, the fraction from byte 4.
  const auto hi = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(head_pairs, head_pairs)));
  const auto t = static_cast<std::uint64_t>(_mm_cvtsi128_si64(tail_pairs));
  const unsigned year = four_digit_value(head_pairs);
  const unsigned month = byte_at<5>(head_pairs);
  const unsigned day = pair_at(hi, 0);
  std::int64_t days = 0;
  if (!table_days(year, month, day, days)) return false;
  const std::int64_t hour = pair_at(hi, 3);
  const std::int64_t minute = pair_at(hi, 6);
  const std::int64_t second = pair_at(t, 1);
  const std::int64_t s = days * 86400 + hour * 3600 + minute * 60 + second;
  const std::int64_t f12 = pair_at(t, 4);  // fraction digits 1-2
  const std::int64_t f34 = pair_at(t, 6);
  switch (unit) {
    case TimeUnit::Second: out = s; return true;
    case TimeUnit::Millisecond: out = s * 1000 + f12 * 10 + byte_at<6>(kept); return true;
    case TimeUnit::Microsecond: out = s * 1'000'000 + f12 * 10000 + f34 * 100 + byte_at<8>(tail_pairs); return true;
    case TimeUnit::Nanosecond: {
      const std::int64_t nanos = f12 * 10'000'000 + f34 * 100'000 + byte_at<8>(tail_pairs) * 1000 +
                                 byte_at<10>(tail_pairs) * 10 + byte_at<12>(kept);
      return !__builtin_mul_overflow(s, std::int64_t{1'000'000'000}, &out) && !__builtin_add_overflow(out, nanos, &out);
    }
  }
  return false;
}
#endif

// `iso_timestamp_into`, loading up to `readable_end`.
[[gnu::always_inline]] inline bool iso_timestamp_into(const char* p, std::size_t n, const char* readable_end,
                                                      TimeUnit unit, std::int64_t& out) {
#ifdef VORPEL_FAST_SSE2
  if (readable_end - p >= 32) {
    if (n - 21 <= 8 || n == 19) return iso_timestamp_wide(p, n, unit, out);
    std::int64_t days = 0;
    if (n == 10) return iso_date_days_wide(p, days) && count_of_unit(days, 0, 0, unit, out);
  }
#else
  (void)readable_end;
#endif
  return iso_timestamp_into(p, n, unit, out);
}

// ---------------------------------------------------------------- float64

// `parse_float64` reading the text byte by byte, for any length and without
// loading past it; true with the value in `out` (false and 0 when absent).
// Plain decimal texts whose significant digits fit 2^53 and whose decimal
// exponent lies within +-22 are exact after one multiplication or division by
// a power of ten (both operands are exact doubles, so the one rounding is the
// correct one). Other plain decimals go straight to the correctly rounded
// converter; special words and huge exponents to the general parser.
[[gnu::noinline]] inline bool parse_float64_bytewise_into(const char* p, std::size_t n, double& out) {
  out = 0.0;
  const char* q = p;
  const char* const end = p + n;
  if (q == end) return false;
  const bool negative = *q == '-';
  q += static_cast<std::size_t>(negative | (*q == '+'));  // no branch on the sign
  const char* const number = q;
  // Every digit goes into the mantissa, leading zeros included: up to 19 of
  // them it holds the value exactly; with more, the converter decides.
  std::uint64_t mantissa = 0;
  const char* const int_begin = q;
  q = read_digits_by_eight(q, end, mantissa);
  std::ptrdiff_t digits = q - int_begin;
  int exponent = 0;
  if (q < end && *q == '.') {
    ++q;
    const char* const frac_begin = q;
    q = read_digits_by_eight(q, end, mantissa);
    exponent = -static_cast<int>(q - frac_begin);
    digits += q - frac_begin;
  }
  const bool any_digit = digits != 0;
  const bool exact = digits <= 19;
  if (!any_digit) {  // special words, or nothing valid
    const std::optional<double> v = vorpel::parse_float64(std::string_view(p, n));
    out = v.value_or(0.0);
    return v.has_value();
  }
  if (q < end) {
    if ((*q | 0x20) != 'e') return false;
    ++q;
    const bool exp_negative = q < end && *q == '-';
    if (q < end && (*q == '-' || *q == '+')) ++q;
    if (q == end) return false;
    int e = 0;
    for (; q < end; ++q) {
      const unsigned c = static_cast<unsigned char>(*q) - '0';
      if (c > 9) return false;
      if (e > 100000) {  // the general parser settles huge exponents
        const std::optional<double> v = vorpel::parse_float64(std::string_view(p, n));
        out = v.value_or(0.0);
        return v.has_value();
      }
      e = e * 10 + static_cast<int>(c);
    }
    exponent += exp_negative ? -e : e;
  }
  double value;
  if (exact & (mantissa <= (std::uint64_t{1} << 53)) & (exponent >= -kMaxExactPow10) & (exponent <= kMaxExactPow10)) {
    value = static_cast<double>(mantissa);
    value = exponent >= 0 ? value * kPow10Double[exponent] : value / kPow10Double[-exponent];
  } else {
    // Up to 19 digits the mantissa is exact: the converter's correctly
    // rounded step (Eisel-Lemire) takes it and the exponent as they are,
    // without reading the text again; it declines (power2 < 0) only for
    // values on a rounding boundary, which the whole converter settles.
    if (exact) {
      const fast_float::adjusted_mantissa am =
          fast_float::compute_float<fast_float::binary_format<double>>(exponent, mantissa);
      if (am.power2 >= 0) {
        fast_float::to_float(false, am, value);
        out = with_sign(value, negative);
        return true;
      }
    }
    // A valid plain decimal whose exponent is far from the converter's
    // saturation: the converter reads it correctly rounded.
    const auto r = fast_float::from_chars(number, end, value);
    if (r.ec != std::errc() || r.ptr != end) {
      const std::optional<double> v = vorpel::parse_float64(std::string_view(p, n));
      out = v.value_or(0.0);
      return v.has_value();
    }
  }
  out = with_sign(value, negative);
  return true;
}

#ifdef VORPEL_FAST_SSE2
// The inverse of an odd number modulo 2^64 (Newton's iteration: x = a is
// right in the low three bits, and each step doubles the right bits).
constexpr std::uint64_t inverse_mod_2_64(std::uint64_t a) {
  std::uint64_t x = a;
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}

// v[z] * 5^z == 1 (mod 2^64): a multiple of 5^z times v[z] is the exact
// quotient, with no division.
struct Pow5Inverses {
  std::uint64_t v[16];
  constexpr Pow5Inverses() : v{} {
    std::uint64_t pow5 = 1;
    for (unsigned z = 0; z < 16; ++z, pow5 *= 5) v[z] = inverse_mod_2_64(pow5);
  }
};
inline constexpr Pow5Inverses kPow5Inverse{};

// For a decimal exponent e within +-22: factor[e + 22][negative] and
// divisor[e + 22] are 10^|e| and +-1.0 (or +-1.0 and 10^|e|), so the value is
// the mantissa times the factor divided by the divisor, with one rounding and
// its sign (that of a zero too), and no branch on either sign.
struct ScaleByPow10 {
  double factor[45][2];
  double divisor[45];
  constexpr ScaleByPow10() : factor{}, divisor{} {
    for (int e = -22; e <= 22; ++e) {
      factor[e + 22][0] = e > 0 ? kPow10Double[e] : 1.0;
      factor[e + 22][1] = -factor[e + 22][0];
      divisor[e + 22] = e < 0 ? kPow10Double[-e] : 1.0;
    }
  }
};
inline constexpr ScaleByPow10 kScaleByPow10{};
#endif

// `parse_float64`, true with the value in `out` (false and 0 when absent).
//
// With SSE2 (every x86-64), a text of at most 16 bytes with 16 bytes readable
// is settled without a branch on its bytes. Byte compares give bit masks of
// its digits, '.', 'e' and signs; a few mask operations check the grammar's
// shape ([sign] digits [. digits] [e [sign] digits], a digit before any 'e')
// and find the '.' and the 'e'. The digits before the 'e' are converted as one
// sixteen-digit number, the fraction moved one byte down over the '.' and
// every other byte zeroed: that number is the mantissa times 10^z (z zero
// digits follow its last digit), divided out exactly as 2^z by a shift and 5^z
// by a multiplication with its inverse. The mantissa has at most 15 digits
// (below 2^53), or 16 and no exponent (its conversion is then the rounding);
// with a decimal exponent within +-22 the value is exact after one
// multiplication or division by an exact power of ten, so its one rounding is
// the correct one. Every other text (longer, special words, invalid, an
// exponent of more than two digits or beyond +-22) and every text without
// SSE2 goes to the byte-wise path.
[[gnu::always_inline]] inline bool parse_float64_into(const char* p, std::size_t n, const char* readable_end,
                                                      double& out) {
#ifdef VORPEL_FAST_SSE2
  if (n - 1 < 16 && readable_end - p >= 16) {
    const __m128i x = load16(p);
    const __m128i from_zero = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    // A digit's distance from '0' is at most 9 as an unsigned byte.
    const __m128i digit_bytes = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
    const __m128i minus_bytes = _mm_cmpeq_epi8(x, _mm_set1_epi8('-'));
    const __m128i sign_bytes = _mm_or_si128(minus_bytes, _mm_cmpeq_epi8(x, _mm_set1_epi8('+')));
    const __m128i exp_bytes = _mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'));
    const __m128i dot_bytes = _mm_cmpeq_epi8(x, _mm_set1_epi8('.'));
    // Bit i for byte i. The masks keep the bytes past the text: a bit there
    // can only make the checks below fail (then the byte-wise path decides),
    // never pass, and the values read are those inside the text.
    const std::uint32_t end_bit = std::uint32_t{1} << n;
    const std::uint32_t in_text = end_bit - 1;
    const auto digit = static_cast<std::uint32_t>(_mm_movemask_epi8(digit_bytes));
    const auto sign = static_cast<std::uint32_t>(_mm_movemask_epi8(sign_bytes));
    const auto exp = static_cast<std::uint32_t>(_mm_movemask_epi8(exp_bytes));
    const auto dot = static_cast<std::uint32_t>(_mm_movemask_epi8(dot_bytes));
    const auto minus = static_cast<std::uint32_t>(_mm_movemask_epi8(minus_bytes));

    // The first 'e' of the text, or the end of the text when it has none.
    const std::uint32_t exp_bit = (exp | end_bit) & (0 - (exp | end_bit));
    const std::uint32_t exp_in_text = exp_bit & in_text;
    const std::uint32_t exp_sign_bit = exp_bit << 1;
    const std::uint32_t dot_bit = dot & (0 - dot) & (exp_bit - 1);  // the first '.', when before the 'e'
    // Both operands are nonzero: no check for zero is needed.
    const auto exp_at = static_cast<std::size_t>(__builtin_ctzll(exp_bit));
    const auto dot_at = static_cast<std::size_t>(__builtin_ctzll(dot_bit | exp_bit));  // exp_at without a '.'
    const std::size_t has_dot = dot_bit != 0;
    const std::size_t has_exp = exp_in_text != 0;
    const std::size_t exp_len = n - exp_at - has_exp - ((sign & exp_sign_bit) != 0);  // 0 without an 'e'
    // The grammar's shape: the bytes other than digits are exactly a sign
    // first, a '.' before the 'e', the first 'e' and a sign right after it;
    // a digit comes before the 'e'; an 'e' has one or two digits after it.
    const std::uint32_t allowed = (sign & (1 | exp_sign_bit)) | dot_bit | exp_in_text;
    const bool shape =
        ((in_text & ~digit) == allowed) & ((digit & (exp_bit - 1)) != 0) & (exp_len - has_exp < 2);

    // The exponent's digits are the text's last exp_len bytes: the last two
    // bytes with the ones before them zeroed (a one-byte text has none; its
    // first two bytes are read instead).
    const std::uint32_t tail = load_u16(p + (n - 2 + (n < 2))) & ~(0xFFFFu >> (8 * (exp_len & 3)));
    const std::uint32_t exp_abs = two_digits_value(tail);
    const std::uint32_t exp_signed = (minus & exp_sign_bit) != 0 ? 0 - exp_abs : exp_abs;
    // The decimal exponent (minus the fraction's length) plus 22: 0 to 44
    // for the exact powers, far above when below -22.
    const std::uint32_t scale = exp_signed - static_cast<std::uint32_t>(exp_at - dot_at - has_dot) + 22;

    if (shape & (scale <= 44)) {
      // The mantissa: the digits before the '.' stay, those after it move
      // one byte down, so the digits fill bytes 0 to exp_at - has_dot - 1 (a
      // sign leaves a zero byte first).
      const __m128i before_dot = leading_bytes(dot_at);
      const __m128i digits = _mm_and_si128(_mm_and_si128(from_zero, digit_bytes), leading_bytes(exp_at));
      const __m128i joined =
          _mm_or_si128(_mm_and_si128(digits, before_dot), _mm_srli_si128(_mm_andnot_si128(before_dot, digits), 1));
      const std::size_t z = (16 - exp_at + has_dot) & 15;  // 0 to 15 with a digit before the 'e'
      const std::uint64_t mantissa = (sixteen_digit_values(joined) >> z) * kPow5Inverse.v[z];
      out = static_cast<double>(static_cast<std::int64_t>(mantissa)) * kScaleByPow10.factor[scale][minus & 1] /
            kScaleByPow10.divisor[scale];
      return true;
    }
  }
#else
  (void)readable_end;
#endif
  return parse_float64_bytewise_into(p, n, out);
}

// ---------------------------------------------------------------- decimal128

// `parse_decimal128`, true with the value in `out` (false and 0 when absent).
// A sign, digits and a fraction whose scaled value stays below 10^18 (leading
// zeros counted) are computed in 64 bits; every other text, including any
// with whitespace to trim, goes to the general parser.
[[gnu::always_inline]] inline bool parse_decimal128_into(const char* p, std::size_t n, std::uint8_t scale, int128& out) {
  const char* q = p;
  const char* const end = p + n;
  if (scale <= 18 && n != 0) {
    const bool negative = *q == '-';
    q += static_cast<std::size_t>(negative | (*q == '+'));  // no branch on the sign
    const char* const int_begin = q;
    std::uint64_t whole = 0;
    q = read_digits(q, end, whole);
    const auto int_len = static_cast<std::size_t>(q - int_begin);
    if (int_len + scale <= 18) {
      std::uint64_t fraction = 0;
      unsigned taken = 0;
      bool any_digit = int_len != 0;
      bool plain = true;  // only digits around at most one '.'
      if (q < end) {
        // A '.' and digits to the end, the first `scale` of them taken.
        plain = *q == '.';
        const char* const frac_begin = q + 1;
        if (plain) {
          const char* const stop = read_digits_capped(frac_begin, end, scale, fraction, taken);
          plain = stop == end;
          any_digit |= stop != frac_begin;
        }
      }
      if (plain && any_digit) {
        const std::uint64_t u = whole * kPow10_64[scale] + fraction * kPow10_64[scale - taken];
        out = negative ? -static_cast<int128>(u) : static_cast<int128>(u);
        return true;
      }
    }
  }
  const std::optional<int128> v = vorpel::parse_decimal128(std::string_view(p, n), scale);
  out = v.value_or(0);
  return v.has_value();
}

}  // namespace vorpel::fast
