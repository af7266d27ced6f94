#pragma once
// Numeric scanning shared by the parsers, the literal parser and the
// castability recogniser.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/columnar/scalar_parse/pow10.h"

namespace vorpel::scalar_detail {

// acc = acc * 10^n + digits for the decimal digits [p, end); false on a
// non-digit byte or when the value would exceed `limit`.
bool accumulate_digits(const char* p, const char* end, unsigned __int128 limit, unsigned __int128& acc);

bool all_digits(const char* p, const char* end);

// Exponents are read saturating at this magnitude.
inline constexpr std::int64_t kExponentCap = 100'000'000'000'000'000;
// From this magnitude on, the result is decided before conversion.
inline constexpr std::int64_t kLargeExponent = 1 << 27;

// The strict float64 grammar: sign, digits, fraction, exponent, or a special word.
struct FloatScan {
  enum class Kind : std::uint8_t { Number, NaN, Inf };
  Kind kind = Kind::Number;
  bool negative = false;
  const char* number = nullptr;  // first byte after the sign
  const char* int_begin = nullptr;
  const char* int_end = nullptr;
  const char* frac_begin = nullptr;
  const char* frac_end = nullptr;
  std::int64_t exponent = 0;  // explicit exponent, saturated at +-kExponentCap
};

bool scan_float(std::string_view text, FloatScan& out);

}  // namespace vorpel::scalar_detail
