#include <utility>

#include "core/columnar/accumulator.h"

namespace vorpel {

void ValidityBitmap::reserve(std::uint64_t bits) { bytes_.reserve((bits + 7) / 8); }

std::vector<std::uint8_t> ValidityBitmap::take_bytes() {
  std::vector<std::uint8_t> out = std::move(bytes_);
  bytes_ = {};
  len_ = 0;
  null_count_ = 0;
  return out;
}

}  // namespace vorpel
