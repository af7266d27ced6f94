#pragma once
// The CSV tokeniser: records and fields of a run of bytes that starts at a
// record start. One loop serves every use (filling columns, reading a header,
// finding a field again for an error message) through its sink.
//
// Grammar (RFC 4180 and what real files need): fields separated by the
// delimiter; records ended by LF, CRLF or a lone CR; a field that starts with
// the quote character runs to the next quote not doubled, and may hold
// delimiters and line ends; a doubled quote inside it is one quote. A quote
// inside an unquoted field, or text between a closing quote and the next
// delimiter or line end, is an error: either would make the quote state of a
// position depend on more than the parity of the quotes before it, which is
// what lets a file be split at record starts without reading it in order.
// An empty line is no record.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/readers/csv_dialect.h"

namespace vorpel::readers {

enum class CsvProblemKind : std::uint8_t {
  None,
  FieldCount,        // a record whose field count differs from the columns'
  Unterminated,      // the input ends inside a quoted field
  QuoteInField,      // a quote inside an unquoted field
  TextAfterQuote,    // text after a quoted field's closing quote
};

struct CsvProblem {
  CsvProblemKind kind = CsvProblemKind::None;
  const char* where = nullptr;  // the record start (FieldCount) or the field start
  std::size_t found = 0;        // FieldCount: fields in the record
  std::size_t expected = 0;
};

struct TokeniseResult {
  // Where reading stopped: the end, the start of a record the bytes end inside
  // (when more input may follow), or where the sink asked to stop.
  const char* stop = nullptr;
  std::uint64_t records = 0;
  CsvProblem problem;
};

namespace detail {

// The first byte of [p, end) that is the delimiter, the quote or a line end;
// `end` when there is none.
inline const char* find_special(const char* p, const char* end, char delimiter, char quote) {
#if defined(__SSE2__)
  const __m128i d = _mm_set1_epi8(delimiter), q = _mm_set1_epi8(quote), lf = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r');
  for (; end - p >= 16; p += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, d), _mm_cmpeq_epi8(x, q)),
                                     _mm_or_si128(_mm_cmpeq_epi8(x, lf), _mm_cmpeq_epi8(x, cr)));
    if (const int mask = _mm_movemask_epi8(hit); mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (c == delimiter || c == quote || c == '\n' || c == '\r') return p;
  }
  return end;
}

}  // namespace detail

// Reads records from [begin, end), which starts at a record start, handing
// each field to `sink`:
//   sink.field(index, text, quoted_with_doubles) -> void   (index counts from 0 in the record;
//       with quoted_with_doubles the text still holds its doubled quotes)
//   sink.end_record(fields, record_start) -> bool          (false: stop after this record)
//   sink.drop_record(fields)                                (undo a record the bytes end inside)
// `at_end`: no bytes follow `end`, so a last record without a line end is
// whole. Without it, a record the bytes end inside is dropped and reading
// stops at its start. A problem stops reading at once.
template <class Sink>
TokeniseResult tokenise(const char* begin, const char* end, bool at_end, const CsvDialect& dialect, Sink& sink) {
  const char delimiter = dialect.delimiter;
  const bool quoting = dialect.quoting;
  // Without quoting, the search for special bytes looks for LF twice instead.
  const char quote = quoting ? dialect.quote : '\n';
  TokeniseResult result;
  const char* p = begin;
  while (p < end) {
    // An empty line is no record.
    if (*p == '\n') {
      ++p;
      continue;
    }
    if (*p == '\r') {
      if (p + 1 == end && !at_end) break;  // a CRLF may be split here
      p += (p + 1 < end && p[1] == '\n') ? 2 : 1;
      continue;
    }
    const char* record_start = p;
    std::size_t fields = 0;
    bool complete = false;
    for (;;) {
      const char* field_start = p;
      if (quoting && p < end && *p == quote) {
        // Quoted: to the next quote that is not doubled.
        const char* q = p + 1;
        bool doubled = false;
        for (;;) {
          q = static_cast<const char*>(std::memchr(q, quote, static_cast<std::size_t>(end - q)));
          if (q == nullptr) break;
          if (q + 1 < end && q[1] == quote) {
            doubled = true;
            q += 2;
            continue;
          }
          break;
        }
        if (q == nullptr || (q + 1 == end && !at_end)) {
          // The bytes end inside the field (or right after a quote that a
          // second one may follow in the next bytes).
          if (!at_end) break;
          result.problem = {CsvProblemKind::Unterminated, field_start, 0, 0};
          sink.drop_record(fields);
          result.stop = field_start;
          return result;
        }
        sink.field(fields++, std::string_view(p + 1, static_cast<std::size_t>(q - p - 1)), doubled);
        p = q + 1;
        if (p < end && *p != delimiter && *p != '\n' && *p != '\r') {
          result.problem = {CsvProblemKind::TextAfterQuote, field_start, 0, 0};
          sink.drop_record(fields);
          result.stop = field_start;
          return result;
        }
      } else {
        const char* q = detail::find_special(p, end, delimiter, quote);
        if (quoting && q < end && *q == quote) {
          result.problem = {CsvProblemKind::QuoteInField, field_start, 0, 0};
          sink.drop_record(fields);
          result.stop = field_start;
          return result;
        }
        if (q == end && !at_end) break;
        sink.field(fields++, std::string_view(p, static_cast<std::size_t>(q - p)), false);
        p = q;
      }
      if (p == end) {
        complete = at_end;
        break;
      }
      if (*p == delimiter) {
        ++p;
        continue;
      }
      // A line end.
      if (*p == '\r') {
        if (p + 1 == end && !at_end) break;
        p += (p + 1 < end && p[1] == '\n') ? 2 : 1;
      } else {
        ++p;
      }
      complete = true;
      break;
    }
    if (!complete) {
      sink.drop_record(fields);
      result.stop = record_start;
      return result;
    }
    ++result.records;
    if (!sink.end_record(fields, record_start, result.problem)) {
      result.stop = p;
      return result;
    }
  }
  result.stop = p;
  return result;
}

// The text of a quoted field with its doubled quotes made single, appended to
// `out` (which has room for text.size() more bytes); returns the bytes written.
inline std::size_t unescape_quotes(std::string_view text, char quote, char* out) {
  char* o = out;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char* q = static_cast<const char*>(std::memchr(p, quote, static_cast<std::size_t>(end - p)));
    const char* stop = q == nullptr ? end : q + 1;  // keep the first quote of a pair
    std::memcpy(o, p, static_cast<std::size_t>(stop - p));
    o += stop - p;
    p = q == nullptr ? end : q + 2;
  }
  return static_cast<std::size_t>(o - out);
}

// Line breaks (LF, CRLF, lone CR) in [begin, end).
std::uint64_t count_line_breaks(const char* begin, const char* end);

}  // namespace vorpel::readers
