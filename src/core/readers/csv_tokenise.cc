#include "core/readers/csv_tokenise.h"

#include <algorithm>

namespace vorpel::readers {

std::uint64_t count_line_breaks(const char* begin, const char* end) {
  if (end <= begin) return 0;
  const auto lf = static_cast<std::uint64_t>(std::count(begin, end, '\n'));
  const auto cr = static_cast<std::uint64_t>(std::count(begin, end, '\r'));
  if (cr == 0) return lf;
  // A CR followed by an LF ends one line, not two.
  std::uint64_t pairs = 0;
  for (const char* p = begin; p + 1 < end; ++p) pairs += (p[0] == '\r') & (p[1] == '\n');
  return lf + cr - pairs;
}

}  // namespace vorpel::readers
