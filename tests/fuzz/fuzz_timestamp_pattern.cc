// The custom timestamp pattern engine with a fuzzed pattern and a fuzzed
// text: the same instant in four units must agree, a custom pattern never
// loses what the built-in patterns accept, the compiled parser and the
// one-off form agree, and every result renders to a text that reads back.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/columnar/scalar_parse/internal.h"
#include "core/columnar/scalar_parse/scalar_parse.h"
#include "fuzz_util.h"

namespace {

using namespace vorpel;
using fuzz::show;

using fuzz::floor_div;
using fuzz::kI64Max;
using fuzz::kI64Min;
using fuzz::kUnits;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool has_pattern = in.ConsumeBool();
  std::optional<std::string> pattern;
  if (has_pattern) pattern = in.ConsumeRandomLengthString(96);
  const std::string rest = in.ConsumeRemainingBytesAsString();
  const fuzz::ExactCopy text_copy(rest);
  const std::string_view text = text_copy.view();
  const std::string what = "pattern " + (pattern ? show(*pattern) : std::string("none")) + " text " + show(text);

  std::optional<std::int64_t> v[4];
  for (int u = 0; u < 4; ++u) {
    const TimestampParser parser(kUnits[u], pattern);
    v[u] = parser.parse(text);
    // The compiled parser is reusable: a second parse gives the same value.
    FUZZ_CHECK(parser.parse(text) == v[u], what);
    FUZZ_CHECK(parse_timestamp(text, kUnits[u], pattern) == v[u], what);
  }
  if (v[2]) FUZZ_CHECK(v[1] && *v[1] == floor_div(*v[2], 1000), what);
  // Seconds drop the fraction, including the extra second of a leap second
  // (23:59:60 is 23:59:59 in seconds but the next midnight in milliseconds).
  if (v[1]) {
    FUZZ_CHECK(v[0] && (*v[0] == floor_div(*v[1], 1000) || *v[0] == floor_div(*v[1], 1000) - 1), what);
  }
  if (v[0]) FUZZ_CHECK(v[3].has_value(), what);
  if (v[3] && *v[3] != kI64Max && *v[3] != kI64Min) FUZZ_CHECK(v[2] && *v[2] == floor_div(*v[3], 1000), what);

  for (int u = 0; u < 4; ++u) {
    const auto builtin = parse_timestamp(text, kUnits[u], std::nullopt);
    if (pattern) {
      // The built-in patterns stay a fallback behind any custom pattern; the
      // custom one decides only when it matches.
      const auto custom = scalar_detail::match_pattern(*pattern, trim_whitespace(text));
      if (custom) {
        FUZZ_CHECK(v[u] == scalar_detail::instant_to_unit(*custom, kUnits[u]), what);
        FUZZ_CHECK(custom->seconds >= 0 && custom->seconds < 86400 && custom->nanos >= 0 &&
                       custom->nanos < 2'000'000'000,
                   what);
      } else {
        FUZZ_CHECK(v[u] == builtin, what);
      }
    }
    if (v[u]) {
      const std::string rendered = render_timestamp(*v[u], kUnits[u]);
      FUZZ_CHECK(parse_timestamp(rendered, kUnits[u], std::nullopt) == v[u], what + " renders " + rendered);
    }
  }

  // Whitespace around the text is trimmed before any pattern sees it.
  const std::string padded = " \t" + rest + "\xE3\x80\x80";  // U+3000 IDEOGRAPHIC SPACE
  FUZZ_CHECK(TimestampParser(TimeUnit::Nanosecond, pattern).parse(padded) == v[3], what);
  return 0;
}
