// UTF-8 validation of buffers and of string columns: the vector validator and
// the scalar one against a decoder written from the definition of UTF-8, on
// every short sequence of telling bytes, on faults at every position around
// block edges, on random buffers at every alignment, and on columns cut inside
// characters, with empty rows and sliced offsets. Each test runs on every
// implementation (the AVX2 and AVX-512 ones only where the CPU has them).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/columnar/utf8_check.h"

namespace vorpel {
namespace {

using utf8::Impl;
using utf8::TextColumnCheck;

template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// Decodes each sequence by its lead byte and checks the code point against
// the definition: continuations 10xxxxxx, the shortest form, no surrogate,
// nothing above U+10FFFF.
bool reference_valid(std::string_view s) {
  static constexpr std::uint32_t kMinByLength[] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    }
    if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1Fu;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0Fu;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07u;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<std::uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if (cp < kMinByLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string encode(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Bytes copied to an allocation that ends where they end (so that a sanitizer
// sees any read past them) and that starts at `align` bytes past a 64-byte
// boundary.
class Placed {
 public:
  Placed(std::string_view bytes, std::size_t align)
      : base_(static_cast<std::uint8_t*>(::operator new(align + bytes.size() + 1, std::align_val_t{64}))),
        data_(base_ + align),
        size_(bytes.size()) {
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~Placed() { ::operator delete(base_, std::align_val_t{64}); }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* base_;
  std::uint8_t* data_;
  std::size_t size_;
};

std::string hex(std::string_view s) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : s) {
    const auto b = static_cast<std::uint8_t>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    out += ' ';
  }
  return out;
}

std::string impl_name(Impl impl) {
  switch (impl) {
    case Impl::Scalar: return "Scalar";
    case Impl::Avx2: return "Avx2";
    case Impl::Avx512: return "Avx512";
  }
  return "unknown";
}

std::string param_name(const ::testing::TestParamInfo<Impl>& info) { return impl_name(info.param); }

class Utf8Impl : public ::testing::TestWithParam<Impl> {
 protected:
  void SetUp() override {
    if (!utf8::impl_available(GetParam())) GTEST_SKIP() << "this CPU lacks " << impl_name(GetParam());
  }

  // The implementation under test and the scalar is_valid agree with the
  // reference on `bytes`, placed at `align`.
  void expect_buffer(std::string_view bytes, std::size_t align = 0) {
    const bool want = reference_valid(bytes);
    ASSERT_EQ(utf8::is_valid(bytes), want) << "scalar is_valid on " << hex(bytes);
    const Placed placed(bytes, align);
    ASSERT_EQ(utf8::is_valid_buffer(placed.data(), placed.size(), GetParam()), want)
        << "at alignment " << align << " on " << hex(bytes);
  }
};

// ---------------------------------------------------------------- dispatch

TEST(Utf8Dispatch, PicksTheWidestTheCpuHas) {
  EXPECT_TRUE(utf8::impl_available(Impl::Scalar));
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2");
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
  const bool avx2 = false;
  const bool avx512 = false;
#endif
  EXPECT_EQ(utf8::best_impl(), avx512 ? Impl::Avx512 : avx2 ? Impl::Avx2 : Impl::Scalar);
  EXPECT_EQ(utf8::impl_available(Impl::Avx2), avx2);
  EXPECT_EQ(utf8::impl_available(Impl::Avx512), avx512);
  // The entry points without a choice use that implementation.
  const std::string cut = "caf\xC3";
  const std::int32_t offsets[] = {0, 4};
  EXPECT_FALSE(utf8::is_valid_buffer(reinterpret_cast<const std::uint8_t*>(cut.data()), cut.size()));
  EXPECT_FALSE(utf8::all_texts_valid(reinterpret_cast<const std::uint8_t*>(cut.data()), offsets, 1));
}

// ---------------------------------------------------------------- buffers

// Sequences whose validity is known, checked against the reference first so
// that the reference itself is tested.
struct Specimen {
  const char* name;
  std::string_view bytes;
  bool valid;
};

const Specimen kSpecimens[] = {
    {"u0080", "\xC2\x80", true},
    {"u07FF", "\xDF\xBF", true},
    {"u0800", "\xE0\xA0\x80", true},
    {"uD7FF", "\xED\x9F\xBF", true},
    {"uE000", "\xEE\x80\x80", true},
    {"uFFFF", "\xEF\xBF\xBF", true},
    {"u10000", "\xF0\x90\x80\x80", true},
    {"u10FFFF", "\xF4\x8F\xBF\xBF", true},
    {"euro", "\xE2\x82\xAC", true},
    {"emoji", "\xF0\x9F\x98\x80", true},
    {"truncated_2", "\xC3", false},
    {"truncated_3_after_1", "\xE2", false},
    {"truncated_3_after_2", "\xE2\x82", false},
    {"truncated_4_after_3", "\xF0\x9F\x98", false},
    {"lead_then_lead", "\xC3\xC3\xA9", false},
    {"overlong_2_C0", "\xC0\x80", false},
    {"overlong_2_C1", "\xC1\xBF", false},
    {"overlong_3", "\xE0\x80\x80", false},
    {"overlong_3_high", "\xE0\x9F\xBF", false},
    {"overlong_4", "\xF0\x80\x80\x80", false},
    {"overlong_4_high", "\xF0\x8F\xBF\xBF", false},
    {"surrogate_low", "\xED\xA0\x80", false},
    {"surrogate_high", "\xED\xBF\xBF", false},
    {"above_10FFFF", "\xF4\x90\x80\x80", false},
    {"lead_F5", "\xF5\x80\x80\x80", false},
    {"lead_F7", "\xF7\xBF\xBF\xBF", false},
    {"lead_F8", "\xF8\x88\x80\x80\x80", false},
    {"stray_80", "\x80", false},
    {"stray_BF", "\xBF", false},
    {"extra_after_2", "\xC3\xA9\xA9", false},
    {"extra_after_3", "\xE2\x82\xAC\x80", false},
    {"extra_after_4", "\xF0\x9F\x98\x80\x80", false},
    {"byte_FE", "\xFE", false},
    {"byte_FF", "\xFF", false},
};

TEST(Utf8Reference, AgreesWithKnownSequences) {
  for (const Specimen& s : kSpecimens) EXPECT_EQ(reference_valid(s.bytes), s.valid) << s.name;
}

// Every string of one to four bytes over values at the edges of the byte
// classes, alone and ending exactly at and just past 32- and 64-byte edges.
TEST_P(Utf8Impl, ShortSequencesOfEdgeBytes) {
  static constexpr std::uint8_t kEdges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                            0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3,
                                            0xF4, 0xF5, 0xF7, 0xF8, 0xFE, 0xFF};
  constexpr std::size_t kN = sizeof kEdges;
  std::string text;
  for (std::size_t len = 1; len <= 4; ++len) {
    std::size_t count = 1;
    for (std::size_t k = 0; k < len; ++k) count *= kN;
    for (std::size_t code = 0; code < count; ++code) {
      std::string seq;
      for (std::size_t k = 0, c = code; k < len; ++k, c /= kN) seq += static_cast<char>(kEdges[c % kN]);
      expect_buffer(seq);
      // Three- and four-byte strings also straddle block edges, after ASCII.
      if (len >= 3) {
        for (const std::size_t before : {30u, 62u, 63u}) {
          text.assign(before, 'a');
          text += seq;
          expect_buffer(text);
          text += "bc";
          expect_buffer(text);
        }
      }
      if (HasFatalFailure()) return;
    }
  }
}

// Every pair of bytes, after a character that leaves nothing open.
TEST_P(Utf8Impl, AllBytePairs) {
  std::string text = "\xC3\xA9";
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      text.resize(2);
      text += static_cast<char>(a);
      text += static_cast<char>(b);
      expect_buffer(text);
      if (HasFatalFailure()) return;
    }
  }
}

// A random character: mostly ASCII, else of 2, 3 or 4 bytes.
std::string random_char(std::mt19937_64& gen) {
  switch (gen() % 8) {
    case 0: return encode(0x80 + static_cast<std::uint32_t>(gen() % (0x800 - 0x80)));
    case 1: {
      std::uint32_t cp = 0x800 + static_cast<std::uint32_t>(gen() % (0x10000 - 0x800 - 0x800));
      if (cp >= 0xD800) cp += 0x800;  // past the surrogates
      return encode(cp);
    }
    case 2: return encode(0x10000 + static_cast<std::uint32_t>(gen() % (0x110000 - 0x10000)));
    default: return encode(0x20 + static_cast<std::uint32_t>(gen() % 0x5F));
  }
}

// Valid text of exactly n bytes: random characters, then ASCII to fill.
std::string valid_text(std::mt19937_64& gen, std::size_t n, bool ascii_only) {
  std::string out;
  while (out.size() < n) {
    const std::string c = ascii_only ? std::string(1, static_cast<char>('a' + gen() % 26)) : random_char(gen);
    if (out.size() + c.size() > n) break;
    out += c;
  }
  out.append(n - out.size(), 'z');
  return out;
}

// Each specimen after every prefix length up to 600 bytes (so at every
// position around the 32- and 64-byte block edges and the 256-byte spans
// tested for ASCII), at the very end and followed by more text, after ASCII
// and after mixed text.
TEST_P(Utf8Impl, SpecimenAtEveryPosition) {
  std::mt19937_64 gen(11);
  for (const Specimen& s : kSpecimens) {
    for (const bool ascii_only : {true, false}) {
      for (std::size_t at = 0; at <= 600; ++at) {
        const std::string prefix = valid_text(gen, at, ascii_only);
        const std::string at_end = prefix + std::string(s.bytes);
        expect_buffer(at_end, at % 64);
        expect_buffer(at_end + valid_text(gen, 1 + gen() % 80, ascii_only), (at * 7) % 64);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Random buffers of 0 to 300 bytes, valid or with one to three faults
// (specimens, or a byte cut off or overwritten), each at every alignment.
TEST_P(Utf8Impl, RandomBuffersAtEveryAlignment) {
  std::mt19937_64 gen(2024);
  for (int round = 0; round < 6000; ++round) {
    const std::size_t target = gen() % 301;
    std::string text = valid_text(gen, target, gen() % 4 == 0);
    const int faults = gen() % 3 == 0 ? 0 : 1 + static_cast<int>(gen() % 3);
    for (int f = 0; f < faults && !text.empty(); ++f) {
      const std::size_t at = gen() % (text.size() + 1);
      switch (gen() % 3) {
        case 0: {
          const Specimen& s = kSpecimens[gen() % std::size(kSpecimens)];
          text.insert(at, s.bytes);
          break;
        }
        case 1: text.erase(at == text.size() ? at - 1 : at, 1); break;
        default: text[at == text.size() ? at - 1 : at] = static_cast<char>(gen() & 0xFF); break;
      }
    }
    if (text.size() > 300) text.resize(300);
    for (std::size_t align = 0; align < 64; ++align) expect_buffer(text, align);
    if (HasFatalFailure()) return;
  }
}

TEST_P(Utf8Impl, EmptyBufferWithoutData) {
  EXPECT_TRUE(utf8::is_valid_buffer(nullptr, 0, GetParam()));
  const std::int32_t offsets[] = {0, 0, 0};
  EXPECT_TRUE(utf8::all_texts_valid(nullptr, offsets, 2, GetParam()));
  EXPECT_TRUE(utf8::all_texts_valid(nullptr, offsets, 0, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Impl, ::testing::Values(Impl::Scalar, Impl::Avx2, Impl::Avx512), param_name);

// ---------------------------------------------------------------- columns

// A column as Arrow lays it out: `before` bytes ahead of the first text (the
// offsets of a slice do not start at 0), the texts, `after` bytes past them.
struct Column {
  std::string bytes;
  std::vector<std::int32_t> offsets;
};

Column column(const std::vector<std::string>& texts, std::string_view before = "", std::string_view after = "") {
  Column c;
  c.bytes = before;
  c.offsets.push_back(static_cast<std::int32_t>(c.bytes.size()));
  for (const std::string& t : texts) {
    c.bytes += t;
    c.offsets.push_back(static_cast<std::int32_t>(c.bytes.size()));
  }
  c.bytes += after;
  return c;
}

bool texts_valid(const std::vector<std::string>& texts) {
  for (const std::string& t : texts) {
    if (!reference_valid(t)) return false;
  }
  return true;
}

class Utf8Column : public Utf8Impl {
 protected:
  // check_text_column (given exactly the bytes there are) agrees with
  // checking each text on its own.
  void expect_column(const std::vector<std::string>& texts, std::string_view before = "", std::string_view after = "",
                     std::size_t align = 0) {
    const Column c = column(texts, before, after);
    const Placed placed(c.bytes, align);
    ASSERT_EQ(utf8::check_text_column(placed.data(), placed.size(), c.offsets.data(), texts.size(), GetParam()),
              texts_valid(texts) ? TextColumnCheck::Valid : TextColumnCheck::InvalidUtf8)
        << texts.size() << " rows, " << c.bytes.size() << " bytes, " << before.size() << " before, " << after.size()
        << " after";
  }
};

struct ColumnCase {
  const char* name;
  std::vector<std::string> texts;
  std::string before;  // bytes ahead of the first text
  std::string after;   // bytes past the last one
};

class Utf8ColumnCases : public Utf8Column {
 public:
  static const std::vector<ColumnCase>& cases() {
    static const std::vector<ColumnCase> all = {
        {"no_rows", {}, "", ""},
        {"all_empty", {"", "", ""}, "", ""},
        {"ascii", {"lorem", "ipsum", "", "sed do eiusmod"}, "", ""},
        {"whole_characters", {"\xC3\xA9lit", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", ""}, "", ""},
        {"two_byte_cut", {"caf\xC3", "\xA9"}, "", ""},
        {"three_byte_cut_after_1", {"\xE2", "\x82\xAC"}, "", ""},
        {"three_byte_cut_after_2", {"\xE2\x82", "\xAC"}, "", ""},
        {"four_byte_cut", {"x\xF0\x9F", "\x98\x80y"}, "", ""},
        {"cut_with_empty_row_between", {"caf\xC3", "", "\xA9"}, "", ""},
        {"empty_row_at_a_continuation", {"caf\xC3", "", "\xA9", "ok"}, "", ""},
        {"empty_rows_at_the_end", {"abc", "\xC3\xA9", "", ""}, "", ""},
        {"fault_in_last_row", {"abc", "\xFF"}, "", ""},
        {"truncated_last_row", {"abc", "\xC3"}, "", ""},
        {"truncated_last_row_then_continuation_outside", {"abc", "\xC3"}, "", "\xA9"},
        {"slice_after_a_lead", {"abc", "\xC3\xA9"}, "\xE2\x82", ""},
        {"slice_after_a_continuation", {"\xC3\xA9", "d"}, "\xC3\xA9\xA9", "\xFF"},
        {"slice_starting_at_a_continuation", {"\xA9", "x"}, "caf\xC3", ""},
        {"slice_of_empty_texts_inside_bytes", {"", ""}, "\xFF\xFF", "\x80"},
        {"slice_ending_before_garbage", {"\xF0\x9F\x98\x80"}, "z", "\x80\x80\xFF"},
    };
    return all;
  }
};

TEST_P(Utf8ColumnCases, AgreesWithEachText) {
  for (const ColumnCase& c : cases()) {
    SCOPED_TRACE(c.name);
    for (std::size_t align = 0; align < 64; align += 7) expect_column(c.texts, c.before, c.after, align);
  }
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8ColumnCases, ::testing::Values(Impl::Scalar, Impl::Avx2, Impl::Avx512), param_name);

// A column long enough for many pieces (the row starts are checked piece by
// piece), with one cut character or one bad byte at rows around piece and
// block edges and at each place in a group of 32 rows. The row starts are
// checked differently by how far they spread, so the rows are short (many
// per 64 bytes), short with every 64th one of 600 bytes (32 rows spread over
// more than 512 bytes), or long (1024 rows spread over more than 16 KB).
TEST_P(Utf8Column, OneFaultAmongManyRows) {
  struct Rows {
    const char* name;
    std::size_t min_bytes, max_bytes;
    std::size_t wide_every;  // every this many rows one is 600 bytes (0: none)
  };
  for (const Rows& shape : {Rows{"short", 0, 8, 0}, Rows{"spread", 0, 8, 64}, Rows{"long", 12, 40, 0}}) {
    SCOPED_TRACE(shape.name);
    std::vector<std::string> texts;
    std::mt19937_64 gen(5);
    for (std::size_t i = 0; i < 5000; ++i) {
      std::size_t bytes = shape.min_bytes + gen() % (shape.max_bytes - shape.min_bytes + 1);
      if (shape.wide_every != 0 && i % shape.wide_every == 20) bytes = 600;
      texts.push_back(valid_text(gen, bytes, gen() % 3 != 0));
    }
    expect_column(texts);
    for (const std::size_t row : {0u, 1u, 2u, 15u, 16u, 17u, 30u, 31u, 32u, 33u, 511u, 512u, 513u, 1023u, 1024u, 1025u,
                                  2047u, 2048u, 4095u, 4096u, 4991u, 4992u, 4998u, 4999u}) {
      SCOPED_TRACE(row);
      std::vector<std::string> cut = texts;
      cut[row] = "\xA9" + cut[row];  // follows a lead ending the row before, or starts the column
      if (row > 0) cut[row - 1] += "\xC3";
      expect_column(cut);
      std::vector<std::string> bad = texts;
      bad[row] += "\xFF";
      expect_column(bad);
      if (HasFatalFailure()) return;
    }
  }
}

// Random columns: text from random characters (dense or sparse in non-ASCII,
// sometimes with a fault), cut into rows at random byte positions (inside
// characters too) with many empty rows, as slices with bytes around them.
TEST_P(Utf8Column, RandomColumns) {
  std::mt19937_64 gen(99);
  for (int round = 0; round < 1500; ++round) {
    const std::size_t rows = round % 50 == 0 ? 2000 + gen() % 2000 : gen() % 40;
    const int ascii_in = 1 + static_cast<int>(gen() % 200);  // one character in this many is non-ASCII
    std::string text;
    std::vector<std::size_t> bounds;  // character boundaries
    const std::size_t length = rows * (gen() % 12);
    while (text.size() < length) {
      bounds.push_back(text.size());
      text += gen() % ascii_in == 0 ? random_char(gen) : std::string(1, static_cast<char>('a' + gen() % 26));
    }
    if (gen() % 4 == 0 && !text.empty()) text[gen() % text.size()] = static_cast<char>(0x80 | (gen() & 0x7F));
    // Row ends: mostly at character boundaries, some anywhere.
    std::vector<std::size_t> ends;
    for (std::size_t r = 0; r + 1 < rows; ++r) {
      if (text.empty() || gen() % 5 == 0) {
        ends.push_back(gen() % (text.size() + 1));
      } else {
        ends.push_back(bounds[gen() % bounds.size()]);
      }
    }
    std::sort(ends.begin(), ends.end());
    std::vector<std::string> texts;
    std::size_t from = 0;
    for (const std::size_t e : ends) {
      texts.push_back(text.substr(from, e - from));
      from = e;
    }
    if (rows > 0) texts.push_back(text.substr(from));
    const std::string before = gen() % 2 ? valid_text(gen, gen() % 70, false) + "\xC3" : "";
    const std::string after = gen() % 2 ? "\xA9" + valid_text(gen, gen() % 70, false) : "";
    expect_column(texts, before, after, gen() % 64);
    if (HasFatalFailure()) return;
  }
}

// Offsets that decrease, start below 0 or run past the bytes, at rows around
// piece, window and block edges, in columns of short, spread and long rows,
// sliced or not. The texts are valid, so the offsets are all that is wrong,
// and they are found before any byte is read through them (the bytes sit
// at the end of their allocation, where reading past them is caught by the
// sanitizer build). With a text fault as well, either fault may be reported.
TEST_P(Utf8Column, UnsoundOffsetsAreFound) {
  struct Shape {
    const char* name;
    std::size_t min_bytes, max_bytes;
    std::size_t rows;
    std::string before;
  };
  for (const Shape& shape : {Shape{"short", 0, 8, 5000, ""}, Shape{"long", 12, 40, 3000, "xy"},
                             Shape{"few", 0, 5, 9, ""}, Shape{"sliced", 0, 8, 2100, "\xC3\xA9z"}}) {
    SCOPED_TRACE(shape.name);
    std::mt19937_64 gen(17);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < shape.rows; ++i) {
      texts.push_back(valid_text(gen, shape.min_bytes + gen() % (shape.max_bytes - shape.min_bytes + 1), false));
    }
    const Column sound = column(texts, shape.before);
    const std::size_t size = sound.bytes.size();
    const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);  // not a byte more
    std::memcpy(bytes.get(), sound.bytes.data(), size);
    const auto end = static_cast<std::int32_t>(size);
    auto verdict = [&](const std::vector<std::int32_t>& offsets) {
      return utf8::check_text_column(bytes.get(), size, offsets.data(), shape.rows, GetParam());
    };
    ASSERT_EQ(verdict(sound.offsets), TextColumnCheck::Valid);
    const std::size_t n = shape.rows;
    std::vector<std::size_t> rows = {1, 2, 15, 16, 31, 32, 33, 1023, 1024, 1025, 2047, 2048, n - 2, n - 1, n};
    std::erase_if(rows, [n](std::size_t r) { return r == 0 || r > n; });
    for (const std::size_t row : rows) {
      SCOPED_TRACE(row);
      auto with = [&](std::int32_t value) {
        std::vector<std::int32_t> offsets = sound.offsets;
        offsets[row] = value;
        return offsets;
      };
      if (sound.offsets[row - 1] > 0) {
        EXPECT_EQ(verdict(with(sound.offsets[row - 1] - 1)), TextColumnCheck::UnsoundOffsets) << "below the one before";
      }
      EXPECT_EQ(verdict(with(end + 1)), TextColumnCheck::UnsoundOffsets) << "past the bytes";
      EXPECT_EQ(verdict(with(std::numeric_limits<std::int32_t>::max())), TextColumnCheck::UnsoundOffsets) << "far past";
      EXPECT_EQ(verdict(with(-1)), TextColumnCheck::UnsoundOffsets) << "below 0";
      // Every later row at the end, then this one past it.
      std::vector<std::int32_t> tail = sound.offsets;
      std::fill(tail.begin() + static_cast<std::ptrdiff_t>(row - 1), tail.end(), end);
      if (row < n) tail[row] = end + 1;
      tail[n] = row < n ? end : end + 1;
      EXPECT_EQ(verdict(tail), TextColumnCheck::UnsoundOffsets) << "past the end among empty rows";
      std::vector<std::int32_t> both = with(end + 5);
      both[row - 1] = std::max<std::int32_t>(0, both[row - 1] - 1);  // may cut a character too
      EXPECT_NE(verdict(both), TextColumnCheck::Valid);
      if (HasFailure()) return;
    }
    std::vector<std::int32_t> negative_first = sound.offsets;
    negative_first[0] = -1;
    EXPECT_EQ(verdict(negative_first), TextColumnCheck::UnsoundOffsets);
    std::vector<std::int32_t> first_past_last = sound.offsets;
    first_past_last[0] = end;
    first_past_last[n] = end - 1;
    EXPECT_EQ(verdict(first_past_last), TextColumnCheck::UnsoundOffsets);
  }
}

INSTANTIATE_TEST_SUITE_P(Utf8, Utf8Column, ::testing::Values(Impl::Scalar, Impl::Avx2, Impl::Avx512), param_name);

// The lossy copy keeps valid sequences and puts one U+FFFD for each maximal
// invalid prefix: a lead byte with the continuations still valid for it.
struct LossyCase {
  const char* name;
  std::string text, copy;
};

class Lossy : public ::testing::TestWithParam<LossyCase> {};

TEST_P(Lossy, ReplacesEachMaximalInvalidPrefix) { EXPECT_EQ(utf8::lossy(GetParam().text), GetParam().copy); }

#define R "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Utf8, Lossy,
    ::testing::Values(LossyCase{"valid", "caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
                      LossyCase{"stray_lead", "a\xFF" "b", "a" R "b"},
                      LossyCase{"stray_continuations", "\x80\x80", R R},
                      LossyCase{"cut_by_ascii", "\xE2\x82x", R "x"},
                      LossyCase{"cut_by_end", "x\xF0\x9F\x98", "x" R},
                      LossyCase{"cut_by_lead", "\xE2\x82\xE2\x82\xAC", R "\xE2\x82\xAC"},
                      LossyCase{"overlong", "\xE0\x80\x80\xC0\xAF", R R R R R},
                      LossyCase{"surrogate", "\xED\xA0\x80", R R R},
                      LossyCase{"above_max", "\xF4\x90\x80\x80", R R R R}),
    [](const ::testing::TestParamInfo<LossyCase>& info) { return std::string(info.param.name); });
#undef R

}  // namespace
}  // namespace vorpel
