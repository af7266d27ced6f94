// Date and timestamp parsers: the strftime-style pattern language, its compiled
// form for custom patterns, and a hand-written matcher for the built-in ISO
// patterns (the common case), which must agree with the general interpreter.

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/columnar/scalar_parse/fast_parse.h"
#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {
namespace scalar_detail {
namespace {

using Step = TimestampParser::Step;
using Op = Step::Op;

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

inline bool is_digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') <= 9; }

// 1 to `max_digits` ASCII digits, greedy.
inline bool read_digits(const char*& p, const char* end, int max_digits, unsigned& out) {
  unsigned v = 0;
  int n = 0;
  while (n < max_digits && p < end && is_digit(*p)) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
    ++n;
  }
  out = v;
  return n > 0;
}

// A numeric field: whitespace, then 1 to `max_digits` digits within [lo, hi].
inline bool read_field(const char*& p, const char* end, int max_digits, unsigned lo, unsigned hi,
                       unsigned& out) {
  p = skip_ws(p, end);
  return read_digits(p, end, max_digits, out) && out >= lo && out <= hi;
}

// %Y: whitespace, then a sign and one or more digits, or 1 to 4 digits.
inline bool read_year(const char*& p, const char* end, std::int64_t& out) {
  p = skip_ws(p, end);
  if (p < end && (*p == '+' || *p == '-')) {
    const bool negative = *p == '-';
    ++p;
    if (p == end || !is_digit(*p)) return false;
    std::uint64_t v = 0;
    for (; p < end && is_digit(*p); ++p) {
      if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, static_cast<unsigned>(*p - '0'), &v)) {
        return false;
      }
    }
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    out = negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
    return true;
  }
  unsigned v = 0;
  if (!read_digits(p, end, 4, v)) return false;
  out = v;
  return true;
}

// %.f: nothing unless the next byte is "."; then one or more digits, of which
// the first nine are the nanoseconds.
inline bool read_fraction(const char*& p, const char* end, std::uint32_t& nanos) {
  nanos = 0;
  if (p == end || *p != '.') return true;
  ++p;
  if (p == end || !is_digit(*p)) return false;
  std::uint32_t v = 0;
  int n = 0;
  for (; p < end && is_digit(*p); ++p) {
    if (n < 9) {
      v = v * 10 + static_cast<std::uint32_t>(*p - '0');
      ++n;
    }
  }
  for (; n < 9; ++n) v *= 10;
  nanos = v;
  return true;
}

// Year, month 1..12 and day 1..31 checked against the calendar, plus a time
// of day with second 0..60 (60 is second 59 plus one extra second).
inline bool make_instant(std::int64_t y, unsigned m, unsigned d, unsigned hour, unsigned minute,
                         unsigned second, std::uint32_t nanos, Instant& out) {
  if (d > days_in_month(y, m)) return false;
  out.days = days_from_civil(y, m, d);
  out.nanos = nanos;
  if (second == 60) {
    second = 59;
    out.nanos += kNanosPerSecond;
  }
  out.seconds = static_cast<std::int32_t>(hour * 3600 + minute * 60 + second);
  return true;
}

// "%Y-%m-%d" at the start of [p, end).
inline bool read_iso_date(const char*& p, const char* end, std::int64_t& y, unsigned& m, unsigned& d) {
  if (!read_year(p, end, y)) return false;
  if (p == end || *p != '-') return false;
  ++p;
  if (!read_field(p, end, 2, 1, 12, m)) return false;
  if (p == end || *p != '-') return false;
  ++p;
  return read_field(p, end, 2, 1, 31, d);
}

// ---------------------------------------------------------------- general interpreter

constexpr std::string_view kMonthNames[12] = {"january", "february", "march",     "april",   "may",      "june",
                                              "july",    "august",   "september", "october", "november", "december"};

inline bool equals_nocase(const char* p, std::string_view lower_word) {
  for (std::size_t i = 0; i < lower_word.size(); ++i) {
    if ((static_cast<unsigned char>(p[i]) | 0x20) != static_cast<unsigned char>(lower_word[i])) return false;
  }
  return true;
}

// An English month name, full or three-letter, ASCII case-insensitive; the
// full name is preferred when both match.
inline bool read_month_name(const char*& p, const char* end, unsigned& month) {
  const auto avail = static_cast<std::size_t>(end - p);
  for (unsigned i = 0; i < 12; ++i) {
    const std::string_view name = kMonthNames[i];
    if (avail >= name.size() && equals_nocase(p, name)) {
      p += name.size();
      month = i + 1;
      return true;
    }
  }
  for (unsigned i = 0; i < 12; ++i) {
    const std::string_view abbr = kMonthNames[i].substr(0, 3);
    if (avail >= 3 && equals_nocase(p, abbr)) {
      p += 3;
      month = i + 1;
      return true;
    }
  }
  return false;
}

// Field values collected while a program runs; a field given twice must agree.
struct Fields {
  template <class T>
  struct Slot {
    T value{};
    bool set = false;
    bool put(T v) {
      if (set && value != v) return false;
      value = v;
      set = true;
      return true;
    }
  };
  Slot<std::int64_t> year;
  Slot<unsigned> month, day, yday, hour, hour12, minute, second;
  Slot<bool> pm;
  Slot<std::uint32_t> nanos;
};

bool resolve(const Fields& f, Instant& out) {
  if (!f.year.set) return false;
  const std::int64_t y = f.year.value;
  unsigned m = 0;
  unsigned d = 0;
  if (f.yday.set) {
    unsigned left = f.yday.value;
    if (left > (is_leap_year(y) ? 366u : 365u)) return false;
    m = 1;
    while (left > days_in_month(y, m)) left -= days_in_month(y, m++);
    d = left;
    if (f.month.set && f.month.value != m) return false;
    if (f.day.set && f.day.value != d) return false;
  } else {
    if (!f.month.set || !f.day.set) return false;
    m = f.month.value;
    d = f.day.value;
  }
  unsigned hour = f.hour.set ? f.hour.value : 0;
  if (f.hour12.set) {
    if (!f.pm.set) return false;
    const unsigned h = f.hour12.value % 12 + (f.pm.value ? 12 : 0);
    if (f.hour.set && f.hour.value != h) return false;
    hour = h;
  }
  return make_instant(y, m, d, hour, f.minute.value, f.second.value, f.nanos.value, out);
}

std::optional<Instant> run_program(const Step* steps, std::size_t count, const char* literals, const char* p,
                                   const char* end) {
  Fields f;
  unsigned u = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Step& s = steps[i];
    bool ok = true;
    switch (s.op) {
      case Op::Literal:
        ok = static_cast<std::size_t>(end - p) >= s.length && std::memcmp(p, literals + s.offset, s.length) == 0;
        p += ok ? s.length : 0;
        break;
      case Op::Space:
        p = skip_ws(p, end);
        break;
      case Op::Year: {
        std::int64_t y = 0;
        ok = read_year(p, end, y) && f.year.put(y);
        break;
      }
      case Op::Year2:
        ok = read_field(p, end, 2, 0, 99, u) && f.year.put(u < 69 ? 2000 + u : 1900 + u);
        break;
      case Op::Month:
        ok = read_field(p, end, 2, 1, 12, u) && f.month.put(u);
        break;
      case Op::MonthName:
        ok = read_month_name(p, end, u) && f.month.put(u);
        break;
      case Op::Day:
        ok = read_field(p, end, 2, 1, 31, u) && f.day.put(u);
        break;
      case Op::DayOfYear:
        ok = read_field(p, end, 3, 1, 366, u) && f.yday.put(u);
        break;
      case Op::Hour24:
        ok = read_field(p, end, 2, 0, 23, u) && f.hour.put(u);
        break;
      case Op::Hour12:
        ok = read_field(p, end, 2, 1, 12, u) && f.hour12.put(u);
        break;
      case Op::AmPm: {
        ok = end - p >= 2 && ((static_cast<unsigned char>(p[1]) | 0x20) == 'm');
        const unsigned char c = ok ? (static_cast<unsigned char>(p[0]) | 0x20) : 0;
        ok = ok && (c == 'a' || c == 'p') && f.pm.put(c == 'p');
        p += ok ? 2 : 0;
        break;
      }
      case Op::Minute:
        ok = read_field(p, end, 2, 0, 59, u) && f.minute.put(u);
        break;
      case Op::Second:
        ok = read_field(p, end, 2, 0, 60, u) && f.second.put(u);
        break;
      case Op::Fraction: {
        const bool present = p < end && *p == '.';
        std::uint32_t ns = 0;
        ok = read_fraction(p, end, ns) && (!present || f.nanos.put(ns));
        break;
      }
    }
    if (!ok) return std::nullopt;
  }
  Instant out;
  if (p != end || !resolve(f, out)) return std::nullopt;
  return out;
}

// Compiles `pattern`; false when it uses an unsupported directive or cannot
// name a complete date.
bool compile_pattern(std::string_view pattern, std::vector<Step>& program, std::string& literals) {
  program.clear();
  literals.clear();
  bool has_year = false, has_month = false, has_day = false, has_yday = false, has_hour12 = false,
       has_ampm = false;
  auto literal = [&](char c) {
    if (!program.empty() && program.back().op == Op::Literal) {
      ++program.back().length;
    } else {
      program.push_back(Step{Op::Literal, static_cast<std::uint32_t>(literals.size()), 1});
    }
    literals.push_back(c);
  };
  auto op = [&](Op o) {
    switch (o) {
      case Op::Year:
      case Op::Year2: has_year = true; break;
      case Op::Month:
      case Op::MonthName: has_month = true; break;
      case Op::Day: has_day = true; break;
      case Op::DayOfYear: has_yday = true; break;
      case Op::Hour12: has_hour12 = true; break;
      case Op::AmPm: has_ampm = true; break;
      default: break;
    }
    if (o == Op::Space && !program.empty() && program.back().op == Op::Space) return;
    program.push_back(Step{o, 0, 0});
  };

  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == ' ') {
      op(Op::Space);
      continue;
    }
    if (c != '%') {
      literal(c);
      continue;
    }
    if (++i == pattern.size()) return false;
    switch (pattern[i]) {
      case 'Y': op(Op::Year); break;
      case 'y': op(Op::Year2); break;
      case 'm': op(Op::Month); break;
      case 'b':
      case 'h':
      case 'B': op(Op::MonthName); break;
      case 'd':
      case 'e': op(Op::Day); break;
      case 'j': op(Op::DayOfYear); break;
      case 'H': op(Op::Hour24); break;
      case 'I': op(Op::Hour12); break;
      case 'p': op(Op::AmPm); break;
      case 'M': op(Op::Minute); break;
      case 'S': op(Op::Second); break;
      case 'T': op(Op::Hour24), literal(':'), op(Op::Minute), literal(':'), op(Op::Second); break;
      case 'R': op(Op::Hour24), literal(':'), op(Op::Minute); break;
      case 'F': op(Op::Year), literal('-'), op(Op::Month), literal('-'), op(Op::Day); break;
      case 'D': op(Op::Month), literal('/'), op(Op::Day), literal('/'), op(Op::Year2); break;
      case '%': literal('%'); break;
      case '.':
        if (i + 1 == pattern.size() || pattern[i + 1] != 'f') return false;
        ++i;
        op(Op::Fraction);
        break;
      default: return false;
    }
  }
  if (literals.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  return has_year && ((has_month && has_day) || has_yday) && has_hour12 == has_ampm;
}

// ---------------------------------------------------------------- fixed-width fast path

using FixedLayout = TimestampParser::FixedLayout;

// Derives the fixed-width form of a compiled pattern (see FixedLayout). Only
// the seven plain directives qualify; a text of exactly the layout's shape is
// read by the general interpreter exactly as by position: each numeric field
// finds its full width of digits (so greedy reading takes all of them and
// skips no whitespace), every literal byte is where the layout says, and a
// Space step meets one blank followed by a byte that is not whitespace.
bool build_fixed_layout(const std::vector<Step>& program, const std::string& literals, FixedLayout& out) {
  out = FixedLayout{};
  std::string expected;
  std::string digit;  // 1 at digit positions
  auto field = [&](std::int32_t& slot, std::size_t width) {
    if (slot >= 0) return false;  // a field given twice must agree: leave it to the interpreter
    slot = static_cast<std::int32_t>(expected.size());
    expected.append(width, '0');
    digit.append(width, '\1');
    return true;
  };
  bool after_space = false;
  for (const Step& step : program) {
    bool ok = true;
    switch (step.op) {
      case Op::Literal: {
        const char* bytes = literals.data() + step.offset;
        // A blank step would also swallow whitespace at the start of the literal.
        if (after_space && ws_len_at(bytes, bytes + step.length) != 0) return false;
        expected.append(bytes, step.length);
        digit.append(step.length, '\0');
        break;
      }
      case Op::Space:
        expected.push_back(' ');
        digit.push_back('\0');
        break;
      case Op::Year: ok = field(out.year, 4); break;
      case Op::Month: ok = field(out.month, 2); break;
      case Op::Day: ok = field(out.day, 2); break;
      case Op::Hour24: ok = field(out.hour, 2); break;
      case Op::Minute: ok = field(out.minute, 2); break;
      case Op::Second: ok = field(out.second, 2); break;
      default: return false;
    }
    if (!ok) return false;
    after_space = step.op == Op::Space;
  }
  if (out.year < 0 || out.month < 0 || out.day < 0) return false;
  const std::size_t length = expected.size();
  if (length < 8 || length > 64) return false;
  auto word_at = [&](std::size_t offset) {
    FixedLayout::Word w;
    w.offset = static_cast<std::uint32_t>(offset);
    std::memcpy(&w.expected, expected.data() + offset, 8);
    for (std::size_t k = 0; k < 8; ++k) {
      const std::uint64_t byte = std::uint64_t{0xFF} << (8 * k);
      if (digit[offset + k] != 0) {
        w.digit_mask |= byte;
      } else {
        w.literal_mask |= byte;
      }
    }
    out.words.push_back(w);
  };
  for (std::size_t offset = 0; offset + 8 <= length; offset += 8) word_at(offset);
  if (length % 8 != 0) word_at(length - 8);
  out.length = static_cast<std::uint32_t>(length);
  return true;
}

// The value of the two digits at p (known to be digits).
inline unsigned two_digits(const char* p) { return fast::two_digits_value(fast::load_u16(p)); }

// The value of a text of exactly the layout's shape, in `unit`. False for
// any other text, and for the rare values the general path must settle (a
// leap second, a nanosecond count out of range); the interpreter decides those.
bool match_fixed(const FixedLayout& layout, std::string_view text, TimeUnit unit, std::int64_t& out) {
  if (text.size() != layout.length) return false;
  const char* p = text.data();
  for (const FixedLayout::Word& w : layout.words) {
    const std::uint64_t x = fast::load_u64(p + w.offset);
    if (((x ^ w.expected) & w.literal_mask) != 0) return false;
    if (!fast::eight_digits(fast::zeros_outside(x, w.digit_mask))) return false;
  }
  const char* y = p + layout.year;
  const unsigned year = two_digits(y) * 100 + two_digits(y + 2);
  const unsigned month = two_digits(p + layout.month);
  const unsigned day = two_digits(p + layout.day);
  const unsigned hour = layout.hour >= 0 ? two_digits(p + layout.hour) : 0;
  const unsigned minute = layout.minute >= 0 ? two_digits(p + layout.minute) : 0;
  const unsigned second = layout.second >= 0 ? two_digits(p + layout.second) : 0;
  if (month - 1 >= 12 || hour > 23 || minute > 59 || second > 59) return false;
  std::int64_t days = 0;
  if (!fast::table_days(year, month, day, days)) return false;
  return fast::count_of_unit(days, hour * 3600 + minute * 60 + second, 0, unit, out);
}

}  // namespace

std::optional<std::int64_t> instant_to_unit(const Instant& t, TimeUnit unit) {
  // Common case in 64-bit arithmetic: days within 2^40 keep S far inside the
  // range, and only the scaling to the unit can overflow.
  if (t.days >= -(std::int64_t{1} << 40) && t.days <= (std::int64_t{1} << 40)) {
    const std::int64_t s = static_cast<std::int64_t>(t.days) * 86400 + t.seconds;
    std::int64_t r = 0;
    bool overflow = false;
    switch (unit) {
      case TimeUnit::Second: return s;
      case TimeUnit::Millisecond:
        overflow = __builtin_mul_overflow(s, 1000, &r) || __builtin_add_overflow(r, t.nanos / 1'000'000, &r);
        break;
      case TimeUnit::Microsecond:
        overflow = __builtin_mul_overflow(s, 1'000'000, &r) || __builtin_add_overflow(r, t.nanos / 1000, &r);
        break;
      case TimeUnit::Nanosecond:
        overflow = __builtin_mul_overflow(s, kNanosPerSecond, &r) || __builtin_add_overflow(r, t.nanos, &r);
        break;
    }
    // An overflow of S x unit alone does not decide: near the lower end the
    // non-negative fraction brings the sum back into range. Settle it below.
    if (!overflow) return r;
  }
  constexpr __int128 kMax = std::numeric_limits<std::int64_t>::max();
  constexpr __int128 kMin = std::numeric_limits<std::int64_t>::min();
  const __int128 s = t.days * 86400 + t.seconds;
  __int128 r = 0;
  switch (unit) {
    case TimeUnit::Second: r = s; break;
    case TimeUnit::Millisecond: r = s * 1000 + t.nanos / 1'000'000; break;
    case TimeUnit::Microsecond: r = s * 1'000'000 + t.nanos / 1000; break;
    case TimeUnit::Nanosecond:
      r = s * kNanosPerSecond + t.nanos;
      if (r < kMin || r > kMax) {
        r = (s * 1'000'000 + t.nanos / 1000) * 1000;
        if (r > kMax) r = kMax;
        if (r < kMin) r = kMin;
      }
      break;
  }
  if (r < kMin || r > kMax) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

std::optional<Instant> match_iso_date(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  Instant out;
  if (!read_iso_date(p, end, y, m, d) || p != end || !make_instant(y, m, d, 0, 0, 0, 0, out)) return std::nullopt;
  return out;
}

std::optional<Instant> match_builtin(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  if (!read_iso_date(p, end, y, m, d)) return std::nullopt;
  Instant out;
  if (p == end) {
    // Only "%Y-%m-%d" can match: midnight.
    if (!make_instant(y, m, d, 0, 0, 0, 0, out)) return std::nullopt;
    return out;
  }
  // "T" selects the first pattern; anything else can only match the second,
  // whose space accepts any run of whitespace, including none.
  if (*p == 'T') {
    ++p;
  } else {
    p = skip_ws(p, end);
  }
  unsigned hour = 0, minute = 0, second = 0;
  std::uint32_t nanos = 0;
  if (!read_field(p, end, 2, 0, 23, hour)) return std::nullopt;
  if (p == end || *p != ':') return std::nullopt;
  ++p;
  if (!read_field(p, end, 2, 0, 59, minute)) return std::nullopt;
  if (p == end || *p != ':') return std::nullopt;
  ++p;
  if (!read_field(p, end, 2, 0, 60, second)) return std::nullopt;
  if (!read_fraction(p, end, nanos) || p != end) return std::nullopt;
  if (!make_instant(y, m, d, hour, minute, second, nanos, out)) return std::nullopt;
  return out;
}

std::optional<Instant> match_pattern(std::string_view pattern, std::string_view text) {
  std::vector<Step> program;
  std::string literals;
  if (!compile_pattern(pattern, program, literals)) return std::nullopt;
  return run_program(program.data(), program.size(), literals.data(), text.data(), text.data() + text.size());
}

}  // namespace scalar_detail

std::optional<std::int32_t> parse_date32(std::string_view text) {
  const auto instant = scalar_detail::match_iso_date(scalar_detail::trim_fast(text));
  if (!instant) return std::nullopt;
  const __int128 days = instant->days;
  if (days < std::numeric_limits<std::int32_t>::min() || days > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(days);
}

TimestampParser::TimestampParser(TimeUnit unit, const std::optional<std::string>& pattern)
    : unit_(unit), has_pattern_(pattern.has_value()) {
  if (has_pattern_) {
    pattern_valid_ = scalar_detail::compile_pattern(*pattern, program_, literals_);
    if (!pattern_valid_) {
      program_.clear();
      literals_.clear();
    } else if (!scalar_detail::build_fixed_layout(program_, literals_, fixed_)) {
      fixed_ = FixedLayout{};
    }
  }
}

bool TimestampParser::parse_into(std::string_view text, std::int64_t& out) const {
  const std::string_view t = scalar_detail::trim_fast(text);
  if (has_pattern_ && pattern_valid_) {
    if (fixed_.length != 0 && scalar_detail::match_fixed(fixed_, t, unit_, out)) return true;
    const char* p = t.data();
    if (auto instant = scalar_detail::run_program(program_.data(), program_.size(), literals_.data(), p,
                                                  p + t.size())) {
      const std::optional<std::int64_t> count = scalar_detail::instant_to_unit(*instant, unit_);
      out = count.value_or(0);
      return count.has_value();
    }
  }
  if (fast::iso_timestamp_into(t.data(), t.size(), unit_, out)) return true;
  if (auto instant = scalar_detail::match_builtin(t)) {
    const std::optional<std::int64_t> count = scalar_detail::instant_to_unit(*instant, unit_);
    out = count.value_or(0);
    return count.has_value();
  }
  out = 0;
  return false;
}

std::optional<std::int64_t> TimestampParser::parse(std::string_view text) const {
  std::int64_t count = 0;
  if (!parse_into(text, count)) return std::nullopt;
  return count;
}

std::optional<std::int64_t> parse_timestamp(std::string_view text, TimeUnit unit,
                                            const std::optional<std::string>& pattern) {
  return TimestampParser(unit, pattern).parse(text);
}

}  // namespace vorpel
