// The one-pass check of a string column's offsets and texts on offsets that
// may be anything: each implementation must read nothing outside the offsets
// and bytes it is given (both sit in allocations of exactly their size, so
// the sanitizer sees any overread), find every unsound set of offsets, and
// on sound ones agree with checking each text on its own.
//
// Input: rows (2 bytes, up to 2999), the length of the cycle of offset steps
// and the first offset (a byte each), the steps (a byte each: 0..23, or a
// step back of 1..6 for 250..255), then the value bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/columnar/utf8_check.h"

namespace {

using namespace vorpel;

bool sound(const std::int32_t* offsets, std::size_t rows, std::size_t size) {
  if (offsets[0] < 0 || static_cast<std::size_t>(offsets[rows]) > size) return false;  // (a negative last is huge here)
  for (std::size_t i = 0; i < rows; ++i) {
    if (offsets[i] > offsets[i + 1]) return false;
  }
  return true;
}

bool each_text_valid(const std::uint8_t* bytes, const std::int32_t* offsets, std::size_t rows) {
  for (std::size_t i = 0; i < rows; ++i) {
    const std::string_view text(reinterpret_cast<const char*>(bytes) + offsets[i],
                                static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
    if (!utf8::is_valid(text)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t n) {
  if (n < 4) return 0;
  const std::size_t rows = (in[0] | static_cast<std::size_t>(in[1]) << 8) % 3000;
  const std::size_t cycle = in[2] % 32 + 1;
  const std::int32_t first = in[3] % 8;
  in += 4;
  n -= 4;
  if (n < cycle) return 0;
  const std::uint8_t* steps = in;
  in += cycle;
  n -= cycle;

  const std::unique_ptr<std::int32_t[]> offsets(new std::int32_t[rows + 1]);
  offsets[0] = first;
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint8_t s = steps[i % cycle];
    offsets[i + 1] = offsets[i] + (s >= 250 ? -static_cast<std::int32_t>(s - 249) : s % 24);
  }
  const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[n]);  // not a byte more, none when n is 0
  if (n != 0) std::memcpy(bytes.get(), in, n);

  const bool offsets_sound = sound(offsets.get(), rows, n);
  const bool valid = offsets_sound && each_text_valid(bytes.get(), offsets.get(), rows);
  for (const utf8::Impl impl : {utf8::Impl::Scalar, utf8::Impl::Avx2, utf8::Impl::Avx512}) {
    if (!utf8::impl_available(impl)) continue;
    const utf8::TextColumnCheck got = utf8::check_text_column(bytes.get(), n, offsets.get(), rows, impl);
    if (!offsets_sound) {
      if (got == utf8::TextColumnCheck::Valid) std::abort();  // unsound offsets passed
    } else if (got != (valid ? utf8::TextColumnCheck::Valid : utf8::TextColumnCheck::InvalidUtf8)) {
      std::abort();
    }
  }
  return 0;
}
