// Numeric and boolean column parsers: int64, float64, boolean, decimal128.

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#include <fast_float/fast_float.h>

#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/numeric_internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {

using uint128 = unsigned __int128;

namespace scalar_detail {


bool accumulate_digits(const char* p, const char* end, uint128 limit, uint128& acc) {
  while (p < end) {
    // Up to 18 digits fit a uint64 without any check.
    const std::ptrdiff_t n = std::min<std::ptrdiff_t>(end - p, 18);
    std::uint64_t chunk = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
      const unsigned d = static_cast<unsigned char>(p[i]) - '0';
      if (d > 9) return false;
      chunk = chunk * 10 + d;
    }
    p += n;
    if (acc == 0) {
      acc = chunk;
    } else {
      uint128 scaled;
      if (__builtin_mul_overflow(acc, kPow10_128[n], &scaled)) return false;
      if (__builtin_add_overflow(scaled, static_cast<uint128>(chunk), &acc)) return false;
    }
    if (acc > limit) return false;
  }
  return true;
}

bool all_digits(const char* p, const char* end) {
  for (; p < end; ++p) {
    if (static_cast<unsigned>(static_cast<unsigned char>(*p) - '0') > 9) return false;
  }
  return true;
}

namespace {

inline bool is_digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') <= 9; }

// Compares `p[0..n)` with the lower-case ASCII word `w`, ignoring ASCII case.
inline bool equals_word_nocase(const char* p, std::size_t n, std::string_view w) {
  if (n != w.size()) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if ((static_cast<unsigned char>(p[i]) | 0x20) != static_cast<unsigned char>(w[i])) return false;
  }
  return true;
}

}  // namespace

bool scan_float(std::string_view text, FloatScan& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return false;
  out.negative = false;
  if (*p == '+' || *p == '-') {
    out.negative = *p == '-';
    ++p;
  }
  out.number = p;
  out.int_begin = p;
  while (p < end && is_digit(*p)) ++p;
  out.int_end = p;
  out.frac_begin = out.frac_end = p;
  if (p < end && *p == '.') {
    ++p;
    out.frac_begin = p;
    while (p < end && is_digit(*p)) ++p;
    out.frac_end = p;
  }
  if (out.int_begin == out.int_end && out.frac_begin == out.frac_end) {
    // No digits: only a special word may follow the sign.
    if (p != out.number) return false;  // a lone "."
    const auto n = static_cast<std::size_t>(end - p);
    if (equals_word_nocase(p, n, "nan")) {
      out.kind = FloatScan::Kind::NaN;
      return true;
    }
    if (equals_word_nocase(p, n, "inf") || equals_word_nocase(p, n, "infinity")) {
      out.kind = FloatScan::Kind::Inf;
      return true;
    }
    return false;
  }
  out.kind = FloatScan::Kind::Number;
  out.exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return false;
    std::int64_t e = 0;
    for (; p < end && is_digit(*p); ++p) {
      // Saturates: any exponent this large already decides the result.
      if (e < kExponentCap) e = e * 10 + (*p - '0');
    }
    out.exponent = exp_negative ? -e : e;
  }
  return p == end;
}

}  // namespace scalar_detail

using scalar_detail::FloatScan;

std::optional<std::int64_t> parse_int64(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return std::nullopt;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (p == end) return std::nullopt;
  }
  std::uint64_t acc = 0;
  for (; p < end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - '0';
    if (d > 9) return std::nullopt;
    if (__builtin_mul_overflow(acc, 10u, &acc) || __builtin_add_overflow(acc, d, &acc)) return std::nullopt;
  }
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (acc > kMaxPositive + (negative ? 1 : 0)) return std::nullopt;
  return negative ? static_cast<std::int64_t>(0 - acc) : static_cast<std::int64_t>(acc);
}

bool float64_grammar_accepts(std::string_view text) {
  FloatScan scan;
  return scalar_detail::scan_float(text, scan);
}

std::optional<double> parse_float64(std::string_view text) {
  FloatScan s;
  if (!scalar_detail::scan_float(text, s)) return std::nullopt;
  const double sign = s.negative ? -1.0 : 1.0;
  if (s.kind == FloatScan::Kind::NaN) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  if (s.kind == FloatScan::Kind::Inf) return sign * std::numeric_limits<double>::infinity();

  if (s.exponent >= scalar_detail::kLargeExponent || s.exponent <= -scalar_detail::kLargeExponent) {
    // The converter's own exponent reading saturates; settle these by the
    // decimal position of the leading significant digit instead.
    const char* q = s.int_begin;
    while (q < s.int_end && *q == '0') ++q;
    std::int64_t lead;  // value is in [10^lead, 10^(lead+1))
    if (q < s.int_end) {
      lead = (s.int_end - q) - 1;
    } else {
      q = s.frac_begin;
      while (q < s.frac_end && *q == '0') ++q;
      if (q == s.frac_end) return sign * 0.0;
      lead = -((q - s.frac_begin) + 1);
    }
    lead += s.exponent;
    if (lead >= 309) return sign * std::numeric_limits<double>::infinity();  // above DBL_MAX
    if (lead <= -325) return sign * 0.0;  // below half the smallest subnormal
  }
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto r = fast_float::from_chars(s.number, end, value);
  if (r.ec != std::errc() || r.ptr != end) return std::nullopt;  // unreachable after the scan
  return s.negative ? -value : value;
}

std::optional<bool> parse_boolean(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

std::optional<int128> parse_decimal128(std::string_view text, std::uint8_t scale) {
  if (scale > 38) return std::nullopt;
  const std::string_view t = scalar_detail::trim_fast(text);
  const char* p = t.data();
  const char* const end = p + t.size();
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // An empty view may carry a null pointer, which memchr must not be given.
  const char* dot =
      p < end ? static_cast<const char*>(std::memchr(p, '.', static_cast<std::size_t>(end - p))) : nullptr;
  const char* int_end = dot ? dot : end;
  const char* frac_begin = dot ? dot + 1 : end;
  if (int_end == p && frac_begin == end) return std::nullopt;  // no digit at all

  constexpr uint128 kMax = (static_cast<uint128>(1) << 127) - 1;
  uint128 u = 0;
  if (!scalar_detail::accumulate_digits(p, int_end, kMax, u)) return std::nullopt;
  if (__builtin_mul_overflow(u, kPow10_128[scale], &u) || u > kMax) return std::nullopt;

  const std::size_t frac_len = static_cast<std::size_t>(end - frac_begin);
  const std::size_t taken = std::min<std::size_t>(scale, frac_len);
  uint128 f = 0;
  // At most 38 digits: below 10^38, no overflow possible.
  if (!scalar_detail::accumulate_digits(frac_begin, frac_begin + taken, kMax, f)) return std::nullopt;
  if (!scalar_detail::all_digits(frac_begin + taken, end)) return std::nullopt;
  if (f != 0) {
    if (__builtin_mul_overflow(f, kPow10_128[scale - taken], &f)) return std::nullopt;
    if (__builtin_add_overflow(u, f, &u) || u > kMax) return std::nullopt;
  }
  const auto value = static_cast<int128>(u);
  return negative ? -value : value;
}

std::optional<int128> parse_decimal38(std::string_view text, std::uint8_t scale) {
  const std::optional<int128> v = parse_decimal128(text, scale);
  return v && fits_decimal38(*v) ? v : std::nullopt;
}

}  // namespace vorpel
