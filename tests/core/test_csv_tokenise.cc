// The tokeniser's records and the line-break count, against plain reference
// readings: the SIMD count on every length and alignment, and records cut at
// every byte when more input may follow.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/readers/csv_tokenise.h"

namespace {

using namespace vorpel::readers;

std::uint64_t reference_line_breaks(const std::string& s) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') ++n;
    if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) ++n;
  }
  return n;
}

TEST(CountLineBreaks, MatchesTheReferenceOnEveryLengthAndOffset) {
  std::mt19937 rng(11);
  const char alphabet[] = {'\r', '\n', 'x', '"'};
  for (int trial = 0; trial < 300; ++trial) {
    std::string s(rng() % 600, ' ');
    for (char& c : s) c = alphabet[rng() % 4];
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
      if (from > s.size()) continue;
      const std::string part = s.substr(from);
      EXPECT_EQ(count_line_breaks(part.data(), part.data() + part.size()), reference_line_breaks(part)) << part;
    }
  }
}

struct Collect {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> current;
  void field(std::size_t, std::string_view text, bool doubled) {
    std::string out(text.size(), '\0');
    out.resize(doubled ? unescape_quotes(text, '"', out.data()) : text.copy(out.data(), text.size()));
    current.push_back(out);
  }
  bool end_record(std::size_t, const char*, CsvProblem&) {
    records.push_back(std::move(current));
    current.clear();
    return true;
  }
  void drop_record(std::size_t) { current.clear(); }
};

using Records = std::vector<std::vector<std::string>>;

struct Case {
  std::string text;
  Records records;
};

class Tokenise : public ::testing::TestWithParam<Case> {};

// Read whole, and read in two pieces cut at every byte (the first without
// at_end, then the rest from where it stopped): the same records.
TEST_P(Tokenise, ReadsTheSameRecordsWholeAndCutAnywhere) {
  const Case& c = GetParam();
  const CsvDialect dialect;
  Collect whole;
  const TokeniseResult r = tokenise(c.text.data(), c.text.data() + c.text.size(), true, dialect, whole);
  ASSERT_EQ(r.problem.kind, CsvProblemKind::None);
  EXPECT_EQ(whole.records, c.records);
  for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
    Collect pieces;
    const TokeniseResult first = tokenise(c.text.data(), c.text.data() + cut, false, dialect, pieces);
    ASSERT_EQ(first.problem.kind, CsvProblemKind::None);
    tokenise(first.stop, c.text.data() + c.text.size(), true, dialect, pieces);
    EXPECT_EQ(pieces.records, c.records) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, Tokenise,
    ::testing::Values(Case{"a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}},
                      Case{"a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}},
                      Case{"a\rb\r\rc", {{"a"}, {"b"}, {"c"}}},
                      Case{"\"x,\"\"y\"\"\r\nz\",\"\"\n,\n", {{"x,\"y\"\r\nz", ""}, {"", ""}}},
                      Case{"\n\r\n\"\"\n", {{""}}},
                      Case{"a,", {{"a", ""}}},
                      Case{"\"\"\"\"", {{"\""}}}));

}  // namespace
