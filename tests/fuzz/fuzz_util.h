#pragma once
// Helpers shared by the libFuzzer targets: exact-size input copies and
// invariant checks that stop the run with a readable report.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel::fuzz {

inline constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
inline constexpr TimeUnit kUnits[] = {TimeUnit::Second, TimeUnit::Millisecond, TimeUnit::Microsecond,
                                      TimeUnit::Nanosecond};

// a / b rounded toward negative infinity (the unit conversions floor).
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if (a % b != 0 && ((a < 0) != (b < 0))) --q;
  return q;
}

// A heap copy of exactly `size` bytes, so that AddressSanitizer reports any
// read past the end. An empty input is the (nullptr, 0) view, the form an
// empty Arrow slot may take, so parsers must not touch its pointer either.
class ExactCopy {
 public:
  ExactCopy(const void* data, std::size_t size) : size_(size) {
    if (size != 0) {
      bytes_.reset(new char[size]);
      std::memcpy(bytes_.get(), data, size);
    }
  }
  explicit ExactCopy(std::string_view text) : ExactCopy(text.data(), text.size()) {}
  std::string_view view() const { return std::string_view(bytes_.get(), size_); }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// Printable form of arbitrary bytes for failure reports: ASCII as is,
// everything else as \xNN.
inline std::string show(std::string_view bytes) {
  std::string out = "\"";
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out.push_back(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::string show_i128(__int128 v) {
  const bool negative = v < 0;
  unsigned __int128 m = negative ? 0 - static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  return negative ? "-" + digits : digits;
}

[[noreturn]] inline void check_failed(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: invariant violated: %s\n  %s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace vorpel::fuzz

// Aborts (a libFuzzer finding) when `cond` is false; `detail` is an
// expression yielding std::string, evaluated only on failure.
#define FUZZ_CHECK(cond, detail)                                                  \
  do {                                                                            \
    if (!(cond)) ::vorpel::fuzz::check_failed(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)
