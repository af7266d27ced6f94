#include <algorithm>
#include <utility>

#include "core/columnar/accumulator.h"

namespace vorpel {

void ValidityBitmap::reserve(std::uint64_t bits) { bytes_.reserve((bits + 7) / 8); }

void ValidityBitmap::reserve_more(std::uint64_t extra) {
  const std::uint64_t needed = (len_ + extra + 7) / 8;
  if (needed <= bytes_.capacity()) return;
  bytes_.reserve(std::max<std::uint64_t>(needed, 2 * bytes_.capacity()));
}

void ValidityBitmap::append_run(bool valid, std::uint64_t count) {
  if (!valid) {
    // New bytes start at 0, and so do the bits above the old length.
    len_ += count;
    null_count_ += count;
    bytes_.resize(static_cast<std::size_t>((len_ + 7) / 8));
    return;
  }
  reserve_more(count);
  for (; count >= 64; count -= 64) append_word(~std::uint64_t{0}, 64);
  if (count != 0) append_word(~std::uint64_t{0}, static_cast<unsigned>(count));
}

std::vector<std::uint8_t> ValidityBitmap::take_bytes() {
  std::vector<std::uint8_t> out = std::move(bytes_);
  bytes_ = {};
  len_ = 0;
  null_count_ = 0;
  return out;
}

}  // namespace vorpel
