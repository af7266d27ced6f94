// Canonical texts of typed values. Dates whose year lies outside 0..9999 are
// written with an explicit sign ("+12345-01-01", "-0044-03-15"), the form the
// "%Y" directive reads back, so every day count has a date text.

#include <charconv>
#include <algorithm>
#include <cmath>

#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

void append_padded(std::string& out, std::uint64_t v, int width) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  for (int n = static_cast<int>(r.ptr - buf); n < width; ++n) out.push_back('0');
  out.append(buf, r.ptr);
}

void append_date(std::string& out, std::int64_t days) {
  const scalar_detail::CivilDate c = scalar_detail::civil_from_days(days);
  if (c.year > 9999) {
    out.push_back('+');
  } else if (c.year < 0) {
    out.push_back('-');
  }
  const std::uint64_t abs_year =
      c.year < 0 ? 0 - static_cast<std::uint64_t>(c.year) : static_cast<std::uint64_t>(c.year);
  append_padded(out, abs_year, 4);
  out.push_back('-');
  append_padded(out, c.month, 2);
  out.push_back('-');
  append_padded(out, c.day, 2);
}

// Floor division with a non-negative remainder, without overflow at the
// edges of the 64-bit range.
inline void split_floor(std::int64_t v, std::int64_t per, std::int64_t& quot, std::int64_t& rem) {
  quot = v / per;
  rem = v % per;
  if (rem < 0) {
    rem += per;
    --quot;
  }
}

}  // namespace

std::string render_int64(std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string render_float64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in positional form: at most 309 integer digits
  // (DBL_MAX) or "0." and 342 fraction digits (subnormals), plus the sign.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string render_boolean(bool v) { return v ? "true" : "false"; }

std::string render_date32(std::int32_t days) {
  std::string out;
  out.reserve(16);
  append_date(out, days);
  return out;
}

std::string render_timestamp(std::int64_t v, TimeUnit unit) {
  static constexpr std::int64_t kPerSecond[4] = {1, 1000, 1'000'000, 1'000'000'000};
  const std::int64_t per = kPerSecond[static_cast<int>(unit) & 3];
  std::int64_t seconds = 0, sub = 0, day = 0, second_of_day = 0;
  split_floor(v, per, seconds, sub);
  split_floor(seconds, 86400, day, second_of_day);
  const std::int64_t nanos = sub * (1'000'000'000 / per);

  std::string out;
  out.reserve(32);
  append_date(out, day);
  out.push_back(' ');
  append_padded(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  out.push_back(':');
  append_padded(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  out.push_back(':');
  append_padded(out, static_cast<std::uint64_t>(second_of_day % 60), 2);
  if (nanos != 0) {
    out.push_back('.');
    if (nanos % 1'000'000 == 0) {
      append_padded(out, static_cast<std::uint64_t>(nanos / 1'000'000), 3);
    } else if (nanos % 1000 == 0) {
      append_padded(out, static_cast<std::uint64_t>(nanos / 1000), 6);
    } else {
      append_padded(out, static_cast<std::uint64_t>(nanos), 9);
    }
  }
  return out;
}

std::string render_decimal128(int128 v, std::uint8_t scale) {
  using uint128 = unsigned __int128;
  uint128 mag = v < 0 ? 0 - static_cast<uint128>(v) : static_cast<uint128>(v);
  char digits[40];  // 2^127 has 39 digits
  char* p = digits + sizeof digits;
  // 128-bit division is a library call: peel 18-digit chunks off with it,
  // then write the rest with 64-bit arithmetic.
  constexpr std::uint64_t kChunk = 1'000'000'000'000'000'000;
  while (mag > UINT64_MAX) {
    auto chunk = static_cast<std::uint64_t>(mag % kChunk);
    mag /= kChunk;
    for (int i = 0; i < 18; ++i, chunk /= 10) *--p = static_cast<char>('0' + chunk % 10);
  }
  auto low = static_cast<std::uint64_t>(mag);
  do {
    *--p = static_cast<char>('0' + low % 10);
    low /= 10;
  } while (low != 0);
  const auto ndigits = static_cast<std::size_t>(digits + sizeof digits - p);

  // Zero-fill to at least scale + 1 digits, then put the point before the
  // last `scale` of them.
  const std::size_t fill = ndigits < scale + 1u ? scale + 1u - ndigits : 0;
  const std::size_t int_len = fill + ndigits - scale;
  std::string body(fill, '0');
  body.append(p, ndigits);
  std::string out;
  out.reserve(body.size() + 2);
  if (v < 0) out.push_back('-');
  if (scale == 0) return out.append(body);
  out.append(body, 0, int_len);
  out.push_back('.');
  out.append(body, int_len);
  return out;
}

}  // namespace vorpel
