// Unicode White_Space trimming. Views into the caller's text; nothing is copied.

#include "core/white_space.h"

namespace vorpel {

std::string_view trim_whitespace_start(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  p = skip_ws(p, end);
  return std::string_view(p, static_cast<std::size_t>(end - p));
}

std::string_view trim_whitespace_end(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (end > begin) {
    const std::size_t n = ws_len_before(begin, end);
    if (n == 0) break;
    end -= n;
  }
  return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

std::string_view trim_whitespace(std::string_view text) {
  return trim_whitespace_end(trim_whitespace_start(text));
}

}  // namespace vorpel
