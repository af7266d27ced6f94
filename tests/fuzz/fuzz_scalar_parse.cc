// Every scalar parser on the same text, checked against independent oracles
// (std::from_chars for integers, glibc's correctly rounded strtod for floats,
// a separate calendar algorithm for dates) and against each other (units of
// one instant, decimal scales of one number, the built-in timestamp matcher
// against the general pattern interpreter), plus render -> parse round trips.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/columnar/scalar_parse/fast_parse.h"
#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/columnar/utf8_check.h"
#include "fuzz_util.h"

namespace {

using namespace vorpel;
using fuzz::show;
using fuzz::show_i128;

using fuzz::floor_div;
using fuzz::kI64Max;
using fuzz::kI64Min;
using fuzz::kUnits;

// ---------------------------------------------------------------- oracles

// int64 through std::from_chars, which knows no '+' sign.
std::optional<std::int64_t> oracle_int64(std::string_view t) {
  if (!t.empty() && t.front() == '+') {
    t.remove_prefix(1);
    if (t.empty() || t.front() == '-') return std::nullopt;
  }
  if (t.empty()) return std::nullopt;
  std::int64_t v = 0;
  const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
  return v;
}

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm),
// written independently of the calendar code under test.
struct Ymd {
  std::int64_t y;
  unsigned m, d;
};
Ymd oracle_civil(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<std::uint64_t>(z - era * 146097);
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  const auto d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return Ymd{static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

std::string two(unsigned v) { return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10); }

// "%Y-%m-%d" with a four-digit year, or a signed year outside 0..9999.
std::string oracle_date_text(std::int64_t days) {
  const Ymd c = oracle_civil(days);
  std::string year = std::to_string(c.y < 0 ? -c.y : c.y);
  while (year.size() < 4) year.insert(year.begin(), '0');
  if (c.y < 0) year.insert(year.begin(), '-');
  if (c.y > 9999) year.insert(year.begin(), '+');
  return year + "-" + two(c.m) + "-" + two(c.d);
}

bool is_ws_cp(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes valid UTF-8 only.
std::uint32_t cp_at(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b = static_cast<unsigned char>(s[i]);
  len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

std::uint32_t last_cp(std::string_view s) {
  std::size_t i = s.size() - 1;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  std::size_t len = 0;
  return cp_at(s, i, len);
}

bool contains_view(std::string_view outer, std::string_view inner) {
  if (inner.empty()) return true;
  return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

// Optional sign and digits whose value fits signed 128 bits (down to -2^127).
bool oracle_integer128(std::string_view t) {
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return false;
  for (const char c : t) {
    if (c < '0' || c > '9') return false;
  }
  while (t.size() > 1 && t.front() == '0') t.remove_prefix(1);
  const std::string_view limit =
      negative ? "170141183460469231731687303715884105728" : "170141183460469231731687303715884105727";
  return t.size() < limit.size() || (t.size() == limit.size() && t <= limit);
}

// ---------------------------------------------------------------- checks

void check_int64(std::string_view t) {
  const auto v = parse_int64(t);
  const auto expected = oracle_int64(t);
  FUZZ_CHECK(v == expected, show(t));
  FUZZ_CHECK(castable_to(FieldTag::Int64, t) == v.has_value(), show(t));
  const auto lit = parse_literal_as(FieldTag::Int64, TimeUnit::Second, 0, t);
  FUZZ_CHECK(lit.has_value() == v.has_value() && (!v || lit->i64 == *v), show(t));
  const auto ts_lit = parse_literal_as(FieldTag::Timestamp, TimeUnit::Nanosecond, 0, t);
  FUZZ_CHECK(ts_lit.has_value() == v.has_value() && (!v || (ts_lit->i64 == *v && ts_lit->unit == TimeUnit::Nanosecond)),
             show(t));
  const bool in32 = v && *v >= std::numeric_limits<std::int32_t>::min() && *v <= std::numeric_limits<std::int32_t>::max();
  const auto day_lit = parse_literal_as(FieldTag::Date32, TimeUnit::Second, 0, t);
  FUZZ_CHECK(day_lit.has_value() == in32 && (!in32 || day_lit->date == *v), show(t));
}

void check_float64(std::string_view t) {
  const auto v = parse_float64(t);
  FUZZ_CHECK(float64_grammar_accepts(t) == v.has_value(), show(t));
  FUZZ_CHECK(castable_to(FieldTag::Float64, t) == v.has_value(), show(t));
  const auto lit = parse_literal_as(FieldTag::Float64, TimeUnit::Second, 0, t);
  FUZZ_CHECK(lit.has_value() == v.has_value() && (!v || same_double(lit->f64, *v)), show(t));

  const std::string z(t);  // NUL-terminated for strtod
  char* end = nullptr;
  const double ref = std::strtod(z.c_str(), &end);
  const bool ref_whole = !z.empty() && end == z.c_str() + z.size();
  if (v) {
    FUZZ_CHECK(ref_whole, show(t) + " accepted, strtod stops early");
    FUZZ_CHECK(same_double(*v, ref), show(t) + " differs from strtod");
  } else if (ref_whole) {
    // strtod also takes leading white space, hexadecimal and "nan(...)"; the
    // strict grammar takes none of these, and everything else strtod reads.
    const bool strtod_only = std::strchr(" \t\n\v\f\r", z.front()) != nullptr ||
                             z.find_first_of("xX(") != std::string::npos;
    FUZZ_CHECK(strtod_only, show(t) + " rejected, strtod reads it");
  }
}

void check_boolean(std::string_view t) {
  const auto v = parse_boolean(t);
  FUZZ_CHECK(v == (t == "true" ? std::optional<bool>(true) : t == "false" ? std::optional<bool>(false) : std::nullopt),
             show(t));
  std::string lower(t);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const bool castable = lower == "0" || lower == "1" || lower == "no" || lower == "yes" || lower == "true" || lower == "false";
  FUZZ_CHECK(castable_to(FieldTag::Boolean, t) == castable, show(t));
  const auto lit = parse_literal_as(FieldTag::Boolean, TimeUnit::Second, 0, t);
  const bool lit_true = t == "true" || t == "True" || t == "TRUE";
  const bool lit_false = t == "false" || t == "False" || t == "FALSE";
  FUZZ_CHECK(lit.has_value() == (lit_true || lit_false) && (!lit || lit->b == lit_true), show(t));
}

void check_date32(std::string_view t) {
  const auto d = parse_date32(t);
  FUZZ_CHECK(castable_to(FieldTag::Date32, t) == d.has_value(), show(t));
  FUZZ_CHECK(castable_to(FieldTag::Timestamp, t) == (d.has_value() || parse_int64(t).has_value()), show(t));
  if (!d) return;
  const std::string text = render_date32(*d);
  FUZZ_CHECK(text == oracle_date_text(*d), show(t) + " renders " + text);
  FUZZ_CHECK(parse_date32(text) == d, show(t) + " renders " + text);
  // A date is a timestamp at midnight in every unit (these cannot overflow).
  const std::int64_t s = std::int64_t{*d} * 86400;
  FUZZ_CHECK(parse_timestamp(t, TimeUnit::Second, std::nullopt) == s, show(t));
  FUZZ_CHECK(parse_timestamp(t, TimeUnit::Millisecond, std::nullopt) == s * 1000, show(t));
}

void check_timestamp(std::string_view t) {
  std::optional<std::int64_t> v[4];
  for (int u = 0; u < 4; ++u) v[u] = parse_timestamp(t, kUnits[u], std::nullopt);
  // One instant in four units: coarser units are floors of finer ones; only
  // nanoseconds saturate, the others are absent when out of range.
  if (v[2]) FUZZ_CHECK(v[1] && *v[1] == floor_div(*v[2], 1000), show(t));
  // Seconds drop the fraction, including the extra second of a leap second
  // (23:59:60 is 23:59:59 in seconds but the next midnight in milliseconds).
  if (v[1]) {
    FUZZ_CHECK(v[0] && (*v[0] == floor_div(*v[1], 1000) || *v[0] == floor_div(*v[1], 1000) - 1), show(t));
  }
  if (v[0]) FUZZ_CHECK(v[3].has_value(), show(t));
  if (v[3] && *v[3] != kI64Max && *v[3] != kI64Min) {
    FUZZ_CHECK(v[2] && *v[2] == floor_div(*v[3], 1000), show(t));
  }
  for (int u = 0; u < 4; ++u) {
    if (!v[u]) continue;
    const std::string text = render_timestamp(*v[u], kUnits[u]);
    FUZZ_CHECK(parse_timestamp(text, kUnits[u], std::nullopt) == v[u], show(t) + " renders " + text);
  }

  // The hand-written matcher of the built-in patterns agrees with the general
  // pattern interpreter running the same three patterns.
  const std::string_view trimmed = trim_whitespace(t);
  const auto fast = scalar_detail::match_builtin(trimmed);
  auto slow = scalar_detail::match_pattern("%Y-%m-%dT%H:%M:%S%.f", trimmed);
  if (!slow) slow = scalar_detail::match_pattern("%Y-%m-%d %H:%M:%S%.f", trimmed);
  if (!slow) slow = scalar_detail::match_pattern("%Y-%m-%d", trimmed);
  FUZZ_CHECK(fast.has_value() == slow.has_value() && (!fast || *fast == *slow), show(t));
  // date32 is "%Y-%m-%d" alone, limited to 32-bit day counts.
  const auto iso = scalar_detail::match_iso_date(trimmed);
  const bool fits = iso && iso->days >= std::numeric_limits<std::int32_t>::min() &&
                    iso->days <= std::numeric_limits<std::int32_t>::max();
  const auto d = parse_date32(t);
  FUZZ_CHECK(d.has_value() == fits && (!d || *d == iso->days), show(t));
}

void check_decimal128(std::string_view t) {
  std::optional<int128> prev;
  for (unsigned s = 0; s <= 39; ++s) {
    const auto scale = static_cast<std::uint8_t>(s);
    const auto v = parse_decimal128(t, scale);
    if (s == 39) {
      FUZZ_CHECK(!v.has_value(), show(t));
      break;
    }
    // Digits past the scale are cut off: one more place is ten times the
    // value plus a digit, so dividing it by ten (toward zero) gives it back.
    if (v && s > 0) {
      FUZZ_CHECK(prev.has_value() && *prev == *v / 10, show(t) + " at scale " + std::to_string(s));
    }
    if (v) {
      const std::string text = render_decimal128(*v, scale);
      FUZZ_CHECK(parse_decimal128(text, scale) == v, show(t) + " renders " + text);
    }
    const auto lit = parse_literal_as(FieldTag::Decimal128, TimeUnit::Second, scale, t);
    FUZZ_CHECK(lit.has_value() == v.has_value() && (!v || (lit->dec == *v && lit->scale == scale)), show(t));
    prev = v;
  }
  const bool castable = oracle_integer128(trim_whitespace(t)) || float64_grammar_accepts(t);
  FUZZ_CHECK(castable_to(FieldTag::Decimal128, t) == castable, show(t));
}

void check_text_helpers(std::string_view t) {
  const std::string_view trimmed = trim_whitespace(t);
  FUZZ_CHECK(contains_view(t, trimmed), show(t));
  FUZZ_CHECK(trim_whitespace(trimmed) == trimmed, show(t));
  FUZZ_CHECK(trim_whitespace_end(trim_whitespace_start(t)) == trimmed, show(t));
  FUZZ_CHECK(trim_whitespace_start(trim_whitespace_end(t)) == trimmed, show(t));
  const bool valid = utf8::is_valid(t);
  if (valid) {
    // What was trimmed off either end is white space, by a decoder of its own.
    const auto all_ws = [](std::string_view s) {
      for (std::size_t i = 0, len = 0; i < s.size(); i += len) {
        if (!is_ws_cp(cp_at(s, i, len))) return false;
      }
      return true;
    };
    const auto off = static_cast<std::size_t>(trimmed.data() - t.data());
    FUZZ_CHECK(all_ws(t.substr(0, off)) && all_ws(t.substr(off + trimmed.size())), show(t));
    if (!trimmed.empty()) {
      std::size_t len = 0;
      FUZZ_CHECK(!is_ws_cp(cp_at(trimmed, 0, len)) && !is_ws_cp(last_cp(trimmed)), show(t));
    }
  }
  const std::string lossy = utf8::lossy(t);
  FUZZ_CHECK(utf8::is_valid(lossy), show(t));
  FUZZ_CHECK(!valid || lossy == t, show(t));
  const std::string quoted = quote_text(t);
  FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"' && utf8::is_valid(quoted), show(t));
  for (const char c : quoted) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, show(t));
}

// The inline fast paths of the column loops give exactly the general
// parsers' results, whether or not bytes after the text may be loaded.
void check_fast_paths(std::string_view t) {
  // The same text followed by digits, which a misplaced word load would read.
  const std::string longer = std::string(t) + "98765432109876543210";
  const fuzz::ExactCopy longer_copy(longer);
  const char* q = longer_copy.view().data();
  const char* const q_end = q + longer.size();
  const char* p = t.data();
  const std::size_t n = t.size();

  // Each fast path reports absence as false with a zero value.
  const auto i64 = parse_int64(t);
  for (const auto& [from, readable_end] : {std::pair{p, p + n}, std::pair{q, q_end}}) {
    std::int64_t v = -1;
    const bool ok = fast::parse_int64_into(from, n, readable_end, v);
    FUZZ_CHECK(ok == i64.has_value() && v == i64.value_or(0), show(t));
    std::uint8_t b = 9;
    const bool is_bool = fast::parse_boolean_into(from, n, readable_end, b);
    const auto boolean = parse_boolean(t);
    FUZZ_CHECK(is_bool == boolean.has_value() && b == (boolean.value_or(false) ? 1 : 0), show(t));
  }
  FUZZ_CHECK(fast::parse_boolean(p, n) == parse_boolean(t), show(t));
  std::int32_t day = -1;
  const auto date = parse_date32(t);
  FUZZ_CHECK(fast::parse_date32_into(p, n, day) == date.has_value() && day == date.value_or(0), show(t));
  const auto f64 = parse_float64(t);
  for (const auto& [from, readable_end] : {std::pair{p, p + n}, std::pair{q, q_end}}) {
    double f = -1;
    const bool f_ok = fast::parse_float64_into(from, n, readable_end, f);
    FUZZ_CHECK(f_ok == f64.has_value() && same_double(f, f64.value_or(0.0)), show(t));
  }
  for (unsigned s = 0; s <= 39; ++s) {
    const auto scale = static_cast<std::uint8_t>(s);
    const auto dec = parse_decimal128(t, scale);
    int128 d = -1;
    FUZZ_CHECK(fast::parse_decimal128_into(p, n, scale, d) == dec.has_value() && d == dec.value_or(0),
               show(t) + " at scale " + std::to_string(s));
  }
}

// Renderings of arbitrary values read back to the same value.
void check_renderings(const std::uint8_t* data, std::size_t size) {
  std::uint8_t raw[16] = {};
  std::memcpy(raw, data, size < 16 ? size : 16);
  std::int64_t i64;
  std::memcpy(&i64, raw, 8);
  double f64;
  std::memcpy(&f64, raw + 8, 8);
  int128 i128;
  std::memcpy(&i128, raw, 16);

  FUZZ_CHECK(parse_int64(render_int64(i64)) == i64, render_int64(i64));
  const auto back = parse_float64(render_float64(f64));
  // "NaN" carries no sign; every other double comes back bit for bit.
  FUZZ_CHECK(back && (std::isnan(f64) ? std::isnan(*back) : same_double(*back, f64)), render_float64(f64));
  const auto days = static_cast<std::int32_t>(i64);
  FUZZ_CHECK(render_date32(days) == oracle_date_text(days), render_date32(days));
  FUZZ_CHECK(parse_date32(render_date32(days)) == days, render_date32(days));
  for (const TimeUnit u : kUnits) {
    const std::string text = render_timestamp(i64, u);
    FUZZ_CHECK(parse_timestamp(text, u, std::nullopt) == i64, text + " from " + std::to_string(i64));
  }
  if (i128 != std::numeric_limits<int128>::min()) {  // -2^127 has no positive magnitude to parse
    for (unsigned s = 0; s <= 38; ++s) {
      const std::string text = render_decimal128(i128, static_cast<std::uint8_t>(s));
      FUZZ_CHECK(parse_decimal128(text, static_cast<std::uint8_t>(s)) == i128,
                 text + " from " + show_i128(i128) + " at scale " + std::to_string(s));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::ExactCopy input(data, size);
  const std::string_view t = input.view();
  check_int64(t);
  check_float64(t);
  check_boolean(t);
  check_date32(t);
  check_timestamp(t);
  check_decimal128(t);
  check_text_helpers(t);
  check_fast_paths(t);
  check_renderings(data, size);
  return 0;
}
