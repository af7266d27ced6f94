#pragma once
// Powers of ten for the parsers, the renderings, the array assembly and the
// predicate evaluator: exact integers of 64 and 128 bits, and doubles.

#include <cstddef>
#include <cstdint>

namespace vorpel {

template <class T, std::size_t N>
struct Pow10Table {
  T v[N];
  constexpr Pow10Table() : v{} {
    v[0] = 1;
    for (std::size_t i = 1; i < N; ++i) v[i] = v[i - 1] * 10;
  }
  constexpr T operator[](std::size_t i) const { return v[i]; }
};

// 10^0 .. 10^19, the largest power of ten below 2^64.
inline constexpr Pow10Table<std::uint64_t, 20> kPow10_64{};

// 10^0 .. 10^38. 10^38 is the smallest magnitude with 39 digits, one more
// than a decimal column's precision.
inline constexpr Pow10Table<unsigned __int128, 39> kPow10_128{};

// 10^0 .. 10^38 as doubles, each literal the correctly rounded double (a
// product of tens would round more than once past 10^22). Up to
// 10^kMaxExactPow10 they are exact.
inline constexpr int kMaxExactPow10 = 22;
inline constexpr double kPow10Double[39] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38};

}  // namespace vorpel
