// Canonical texts of typed values. Dates whose year lies outside 0..9999 are
// written with an explicit sign ("+12345-01-01", "-0044-03-15"), the form the
// "%Y" directive reads back, so every day count has a date text.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/columnar/scalar_parse/calendar.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace {

// `value` as exactly `width` decimal digits (it has no more).
char* put_digits(char* out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// `value` zero-padded to at least `width` digits.
char* put_padded(char* out, std::uint64_t value, int width) {
  char digits[20];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  for (int n = static_cast<int>(r.ptr - digits); n < width; ++n) *out++ = '0';
  std::memcpy(out, digits, static_cast<std::size_t>(r.ptr - digits));
  return out + (r.ptr - digits);
}

char* put_text(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* put_date(char* out, std::int64_t days) {
  const scalar_detail::CivilDate c = scalar_detail::civil_from_days(days);
  if (c.year >= 0 && c.year <= 9999) {
    out = put_digits(out, static_cast<std::uint64_t>(c.year), 4);
  } else {
    *out++ = c.year < 0 ? '-' : '+';
    out = put_padded(out, c.year < 0 ? 0 - static_cast<std::uint64_t>(c.year) : static_cast<std::uint64_t>(c.year), 4);
  }
  *out++ = '-';
  out = put_digits(out, c.month, 2);
  *out++ = '-';
  return put_digits(out, c.day, 2);
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

template <class F>
std::string render_with(F&& render) {
  RenderBuffer buffer;
  return std::string(buffer.data(), render(buffer.data()));
}

}  // namespace

char* render_int64_to(char* out, std::int64_t v) { return std::to_chars(out, out + kRenderCapacity, v).ptr; }

char* render_float64_to(char* out, double v) {
  if (std::isnan(v)) return put_text(out, "NaN");
  if (std::isinf(v)) return put_text(out, v > 0 ? "inf" : "-inf");
  // Shortest round-trip digits in positional form.
  return std::to_chars(out, out + kRenderCapacity, v, std::chars_format::fixed).ptr;
}

char* render_boolean_to(char* out, bool v) { return put_text(out, v ? "true" : "false"); }

char* render_date32_to(char* out, std::int32_t days) { return put_date(out, days); }

char* render_timestamp_to(char* out, std::int64_t v, TimeUnit unit) {
  static constexpr std::int64_t kPerSecond[4] = {1, 1000, 1'000'000, 1'000'000'000};
  const std::int64_t per = kPerSecond[static_cast<int>(unit) & 3];
  std::int64_t seconds = 0, sub = 0, day = 0, second_of_day = 0;
  split_floor(v, per, seconds, sub);
  split_floor(seconds, 86400, day, second_of_day);
  const std::int64_t nanos = sub * (1'000'000'000 / per);

  out = put_date(out, day);
  *out++ = ' ';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  *out++ = ':';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  *out++ = ':';
  out = put_digits(out, static_cast<std::uint64_t>(second_of_day % 60), 2);
  if (nanos != 0) {
    *out++ = '.';
    if (nanos % 1'000'000 == 0) {
      out = put_digits(out, static_cast<std::uint64_t>(nanos / 1'000'000), 3);
    } else if (nanos % 1000 == 0) {
      out = put_digits(out, static_cast<std::uint64_t>(nanos / 1000), 6);
    } else {
      out = put_digits(out, static_cast<std::uint64_t>(nanos), 9);
    }
  }
  return out;
}

char* render_decimal128_to(char* out, int128 v, std::uint8_t scale) {
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
  if (v < 0) *out++ = '-';
  for (std::size_t i = 0; i < fill + ndigits; ++i) {
    if (scale != 0 && i == int_len) *out++ = '.';
    *out++ = i < fill ? '0' : p[i - fill];
  }
  return out;
}

std::string render_int64(std::int64_t v) {
  return render_with([&](char* out) { return render_int64_to(out, v); });
}

std::string render_float64(double v) {
  return render_with([&](char* out) { return render_float64_to(out, v); });
}

std::string render_boolean(bool v) { return render_with([v](char* out) { return render_boolean_to(out, v); }); }

std::string render_date32(std::int32_t days) {
  return render_with([&](char* out) { return render_date32_to(out, days); });
}

std::string render_timestamp(std::int64_t v, TimeUnit unit) {
  return render_with([&](char* out) { return render_timestamp_to(out, v, unit); });
}

std::string render_decimal128(int128 v, std::uint8_t scale) {
  return render_with([&](char* out) { return render_decimal128_to(out, v, scale); });
}

}  // namespace vorpel
