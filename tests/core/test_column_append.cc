// A column handed over at once (ColumnAccumulator::append_texts,
// TableBuilder::push_text_column) must leave exactly the state that the same
// rows leave one at a time, for every column kind and every way an Arrow
// string array may be laid out: the same rows read back, and arrays
// identical buffer by buffer once finished.

#include <gtest/gtest.h>

#include <arrow/api.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/array_assembly.h"
#include "core/table_builder/table_builder.h"
#include "same_column.h"

namespace vorpel {
namespace {

using Rows = std::vector<std::optional<std::string>>;

// How the rows are laid out in the Arrow-style buffers.
struct Layout {
  const char* label;
  bool large = false;         // 64-bit offsets
  unsigned bit_offset = 0;    // validity starts at this bit
  bool null_bytes = false;    // null rows span bytes of their own
  bool validity = true;       // a validity bitmap (even when no row is null)
};

// Owns the buffers of a TextColumnView. The value bytes live in an
// allocation of exactly their size, so a read past them is a memory error
// the sanitizers report.
struct Buffers {
  std::string text;
  std::unique_ptr<char[]> data;
  std::vector<std::int32_t> offsets32;
  std::vector<std::int64_t> offsets64;
  std::vector<std::uint8_t> bits;
  TextColumnView view;
};

std::unique_ptr<Buffers> lay_out(const Rows& rows, const Layout& layout) {
  auto b = std::make_unique<Buffers>();
  b->offsets32.push_back(0);
  b->offsets64.push_back(0);
  b->bits.assign((layout.bit_offset + rows.size() + 7) / 8 + 1, 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]) {
      b->text += *rows[i];
      const std::size_t bit = layout.bit_offset + i;
      b->bits[bit / 8] = static_cast<std::uint8_t>(b->bits[bit / 8] | (1u << (bit % 8)));
    } else if (layout.null_bytes) {
      b->text += "x9";
    }
    b->offsets32.push_back(static_cast<std::int32_t>(b->text.size()));
    b->offsets64.push_back(static_cast<std::int64_t>(b->text.size()));
  }
  // The view claims only the bytes the offsets reach: nothing past them may be read.
  if (!b->text.empty()) {
    b->data.reset(new char[b->text.size()]);
    std::memcpy(b->data.get(), b->text.data(), b->text.size());
  }
  b->view.offsets = layout.large ? static_cast<const void*>(b->offsets64.data()) : b->offsets32.data();
  b->view.large_offsets = layout.large;
  b->view.data = b->data.get();
  b->view.data_size = b->text.size();
  b->view.validity = layout.validity ? b->bits.data() : nullptr;
  b->view.validity_offset = layout.bit_offset;
  b->view.length = rows.size();
  return b;
}

// Texts of each kind: valid ones, near misses and outright garbage.
Rows random_rows(std::mt19937_64& rng, std::size_t n, double null_share, const std::vector<std::string>& pool) {
  Rows rows;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::uniform_real_distribution<double>(0, 1)(rng) < null_share) {
      rows.push_back(std::nullopt);
    } else {
      rows.push_back(pool[rng() % pool.size()]);
    }
  }
  return rows;
}

struct KindCase {
  const char* label;
  FieldType type;
  std::vector<std::string> pool;
};

std::vector<KindCase> kinds() {
  const std::vector<std::string> any = {"", "x", "élit", "a\"b", "true", "12", "-0.5e3", "2024-01-05"};
  return {
      {"String", FieldType::simple(FieldTag::String), any},
      {"Dictionary", FieldType::simple(FieldTag::Dictionary), {"Berlin", "Cairo", "", "Dakar-12345678901234567", "é"}},
      {"Int64", FieldType::simple(FieldTag::Int64),
       {"0", "-7", "+12", "123456789012", "9223372036854775807", "9223372036854775808", "1.5", " 3", "", "-"}},
      {"Float64", FieldType::simple(FieldTag::Float64),
       {"1.5", "-0.001", "1e10", "7", "-0.37700000000000006", "inf", "NaN", "1e", ".", "1,5", "1e400"}},
      {"Boolean", FieldType::simple(FieldTag::Boolean), {"true", "false", "True", "1", "", "falsey"}},
      {"Date32", FieldType::simple(FieldTag::Date32), {"2024-01-05", "1969-12-31", "2023-02-29", " 2024-1-5 ", "x"}},
      {"TimestampUs", FieldType::timestamp(TimeUnit::Microsecond),
       {"2024-01-05T12:34:56.123456", "2024-01-05 12:34:56", "2024-01-05", "2024-01-05T25:00:00", "5"}},
      {"TimestampPattern", FieldType::timestamp(TimeUnit::Second, std::string("%d/%m/%Y %H:%M:%S")),
       {"05/01/2024 12:34:56", "5/1/2024 1:2:3", "2024-01-05", "32/01/2024 00:00:00", "x"}},
      {"Decimal", FieldType::decimal128(2), {"-1234567.89", "0.5", ".07", " 42 ", "1e3", "12.999", "", "-"}},
  };
}

using testing::expect_same_column;

// The per-row reference: append_text row by row; the first failed row.
std::optional<std::uint64_t> append_one_by_one(ColumnAccumulator& acc, const Rows& rows) {
  std::optional<std::uint64_t> first;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool ok = rows[i] ? acc.append_text(std::string_view(*rows[i])) : acc.append_text(std::nullopt);
    if (!ok && !first) first = i;
  }
  return first;
}

const Layout kLayouts[] = {
    {"plain", false, 0, false, true},      {"no_bitmap", false, 0, false, false},
    {"null_bytes", false, 0, true, true},  {"large", true, 0, true, true},
    {"bit_offset_5", false, 5, false, true}, {"bit_offset_13_large", true, 13, true, true},
};

using AppendParam = std::tuple<int, int, std::size_t>;  // kind, layout, rows

class AppendTexts : public ::testing::TestWithParam<AppendParam> {};

TEST_P(AppendTexts, MatchesRowByRow) {
  const auto& [kind_index, layout_index, n] = GetParam();
  const KindCase kind = kinds()[static_cast<std::size_t>(kind_index)];
  const Layout& layout = kLayouts[layout_index];
  std::mt19937_64 rng(static_cast<std::uint64_t>(kind_index * 1000 + layout_index * 10 + n));
  const Rows rows = random_rows(rng, n, layout.validity ? 0.2 : 0.0, kind.pool);
  const Rows prefix = random_rows(rng, 3, 0.3, kind.pool);  // leaves the validity mid-byte

  ColumnAccumulator batch = ColumnAccumulator::create(kind.type, 8);
  ColumnAccumulator single = ColumnAccumulator::create(kind.type, 8);
  append_one_by_one(batch, prefix);
  append_one_by_one(single, prefix);
  const auto buffers = lay_out(rows, layout);
  const std::optional<std::uint64_t> got = batch.append_texts(buffers->view);
  const std::optional<std::uint64_t> want = append_one_by_one(single, rows);
  EXPECT_EQ(got, want);
  expect_same_column(std::move(batch), std::move(single));
}

INSTANTIATE_TEST_SUITE_P(Kinds, AppendTexts,
                         ::testing::Combine(::testing::Range(0, 9), ::testing::Range(0, 6),
                                            ::testing::Values<std::size_t>(0, 1, 63, 64, 65, 200)));

TEST(AppendTexts, DictionaryWithManyTextsMatchesRowByRow) {
  // Enough distinct texts of every length to grow the lookup table many times.
  std::vector<std::string> pool;
  for (int i = 0; i < 3000; ++i) pool.push_back(std::string(static_cast<std::size_t>(i % 23), 'k') + std::to_string(i));
  std::mt19937_64 rng(5);
  const Rows rows = random_rows(rng, 20000, 0.05, pool);
  const auto buffers = lay_out(rows, kLayouts[2]);
  auto make_batch = [&] {
    ColumnAccumulator batch = ColumnAccumulator::create(FieldType::simple(FieldTag::Dictionary), 8);
    EXPECT_EQ(batch.append_texts(buffers->view), std::nullopt);
    return batch;
  };
  ColumnAccumulator single = ColumnAccumulator::create(FieldType::simple(FieldTag::Dictionary), 8);
  append_one_by_one(single, rows);
  expect_same_column(make_batch(), std::move(single));

  // The same column again: as many distinct texts as it holds (at most the
  // pool's), and every text is still found after the growth, so asking for
  // all of them adds only the ones no row had.
  ColumnAccumulator probe_source = make_batch();
  const Result<std::shared_ptr<arrow::Array>> as_built = array_for(make_batch());
  ASSERT_TRUE(as_built.has_value()) << as_built.error().text();
  const auto distinct =
      static_cast<std::size_t>(static_cast<const arrow::DictionaryArray&>(**as_built).dictionary()->length());
  EXPECT_LE(distinct, pool.size());
  std::vector<bool> key_seen(pool.size(), false);
  for (const std::string& text : pool) {
    const std::uint32_t key = probe_source.dictionary_key(text);
    ASSERT_LT(key, pool.size()) << text;
    EXPECT_FALSE(key_seen[key]) << text;
    key_seen[key] = true;
  }
  const Result<std::shared_ptr<arrow::Array>> probed = array_for(std::move(probe_source));
  ASSERT_TRUE(probed.has_value()) << probed.error().text();
  EXPECT_EQ(static_cast<const arrow::DictionaryArray&>(**probed).dictionary()->length(),
            static_cast<std::int64_t>(pool.size()));
}

struct LimitCase {
  const char* label;
  FieldTag tag;
  std::uint64_t limit;
};

class AppendTextsAtLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(AppendTextsAtLimit, OverflowRecordedAsRowByRow) {
  const LimitCase& c = GetParam();
  std::mt19937_64 rng(9);
  const Rows rows = random_rows(rng, 300, 0.1, {"abc", "defgh", "", "ijklmnopq"});
  const auto buffers = lay_out(rows, kLayouts[2]);
  auto make = [&](ColumnAccumulator& batch, ColumnAccumulator& single) {
    batch.set_offset_limit_for_testing(c.limit);
    single.set_offset_limit_for_testing(c.limit);
    EXPECT_EQ(batch.append_texts(buffers->view), append_one_by_one(single, rows));
    ASSERT_TRUE(batch.overflow().has_value());
  };
  ColumnAccumulator batch = ColumnAccumulator::create(FieldType::simple(c.tag), 8);
  ColumnAccumulator single = ColumnAccumulator::create(FieldType::simple(c.tag), 8);
  make(batch, single);
  // Overflowed columns do not finish: the same rows, overflow and error.
  expect_same_column(std::move(batch), std::move(single), "overflowed");
  if (c.tag != FieldTag::String) return;
  // Removing the rows back to the first one that did not fit makes a String
  // column whole, at the same row in both; the rows before it compare raw.
  ColumnAccumulator whole_batch = ColumnAccumulator::create(FieldType::simple(c.tag), 8);
  ColumnAccumulator whole_single = ColumnAccumulator::create(FieldType::simple(c.tag), 8);
  make(whole_batch, whole_single);
  while (whole_batch.overflow().has_value() && whole_batch.len() > 0) {
    whole_batch.remove_last();
    whole_single.remove_last();
  }
  EXPECT_FALSE(whole_batch.overflow().has_value());
  expect_same_column(std::move(whole_batch), std::move(whole_single), "made whole");
}

INSTANTIATE_TEST_SUITE_P(Limits, AppendTextsAtLimit,
                         ::testing::Values(LimitCase{"string_mid", FieldTag::String, 500},
                                           LimitCase{"string_exact", FieldTag::String, 1},
                                           LimitCase{"dictionary_bytes", FieldTag::Dictionary, 10}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- validity words

TEST(ValidityWords, MatchBitByBit) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    ValidityBitmap words;
    ValidityBitmap bits;
    for (int step = 0; step < 6; ++step) {
      if (rng() % 3 == 0) {
        const bool valid = rng() % 2;
        const std::uint64_t count = rng() % 150;
        words.append_run(valid, count);
        for (std::uint64_t i = 0; i < count; ++i) bits.push(valid);
      } else {
        const std::uint64_t word = rng();
        const unsigned count = 1 + static_cast<unsigned>(rng() % 64);
        words.append_word(word, count);
        for (unsigned i = 0; i < count; ++i) bits.push((word >> i) & 1);
      }
    }
    ASSERT_EQ(words.len(), bits.len());
    ASSERT_EQ(words.null_count(), bits.null_count());
    ASSERT_EQ(words.bytes(), bits.bytes());
  }
}

// ---------------------------------------------------------------- string assembly

struct Utf8Case {
  const char* label;
  std::vector<std::string> texts;  // concatenated; the offsets cut them as listed
};

class Utf8Assembly : public ::testing::TestWithParam<Utf8Case> {};

// The one-pass UTF-8 check must accept and reject exactly what the library's
// per-slice validation does, and a rejection must carry the library's message.
TEST_P(Utf8Assembly, AgreesWithLibraryValidation) {
  const Utf8Case& c = GetParam();
  ColumnAccumulator acc = ColumnAccumulator::create(FieldType::simple(FieldTag::String), 8);
  for (const std::string& t : c.texts) acc.append_text(std::string_view(t));
  acc.append_text(std::nullopt);
  std::string bytes;
  std::vector<std::int32_t> offsets{0};
  for (const std::string& t : c.texts) {
    bytes += t;
    offsets.push_back(static_cast<std::int32_t>(bytes.size()));
  }
  offsets.push_back(offsets.back());
  auto reference = arrow::MakeArray(arrow::ArrayData::Make(
      arrow::utf8(), static_cast<std::int64_t>(offsets.size() - 1),
      {nullptr, arrow::Buffer::FromVector(offsets), arrow::Buffer::FromString(bytes)}, 0));
  const arrow::Status want = reference->ValidateFull();
  Result<std::shared_ptr<arrow::Array>> got = array_for(std::move(acc));
  ASSERT_EQ(got.has_value(), want.ok()) << (want.ok() ? "" : want.ToString());
  if (!want.ok()) {
    EXPECT_EQ(got.error().text(), "Arrow error: " + want.ToString());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8Assembly,
    ::testing::Values(Utf8Case{"ascii", {"lorem", "", "ipsum dolor sit amet, consectetur adipiscing"}},
                      Utf8Case{"multibyte", {"élit", "日本語", "", "🎉 ok", std::string(40, 'a') + "é"}},
                      Utf8Case{"char_cut_between_rows", {"a\xC3", "\xA9" "b"}},
                      Utf8Case{"lead_byte_alone_at_end", {std::string(40, 'a'), "\xE6\x97"}},
                      Utf8Case{"stray_continuation", {std::string(33, 'b') + "\x80" + "c"}},
                      Utf8Case{"overlong", {"\xC0\xAF"}},
                      Utf8Case{"surrogate", {"\xED\xA0\x80"}},
                      Utf8Case{"above_max", {"\xF4\x90\x80\x80"}}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- decimal precision

class DecimalPrecision : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

// A value wider than 38 digits does not parse (a null is stored), so the
// array of precision 38 always builds.
TEST_P(DecimalPrecision, WideValuesStillRejected) {
  const auto& [text, fits] = GetParam();
  ColumnAccumulator acc = ColumnAccumulator::create(FieldType::decimal128(0), 8);
  acc.append_text(std::string_view("1"));
  EXPECT_EQ(acc.append_text(std::string_view(text)), fits) << text;
  Result<std::shared_ptr<arrow::Array>> array = array_for(std::move(acc));
  ASSERT_TRUE(array.has_value()) << text;
  EXPECT_EQ((*array)->IsValid(1), fits) << text;
}

INSTANTIATE_TEST_SUITE_P(Values, DecimalPrecision,
                         ::testing::Values(std::make_tuple("99999999999999999999999999999999999999", true),
                                           std::make_tuple("-99999999999999999999999999999999999999", true),
                                           std::make_tuple("100000000000000000000000000000000000000", false),
                                           std::make_tuple("-100000000000000000000000000000000000000", false),
                                           std::make_tuple("170141183460469231731687303715884105727", false)));

// ---------------------------------------------------------------- the builder

class CountingObserver : public ChunkObserver {
 public:
  void on_row_start(std::uint64_t) override { ++starts; }
  void on_value(std::uint64_t, std::string_view, std::uint64_t, const ScalarValue&) override { ++values; }
  void on_row_kept(std::uint64_t) override { ++kept; }
  void on_row_dropped(std::uint64_t) override {}
  void on_chunk_complete(std::uint64_t, std::uint64_t, std::uint64_t) override {}
  int starts = 0, values = 0, kept = 0;
};

struct BuilderCase {
  const char* label;
  FieldType type;
  std::vector<Rows> batches;
  bool strict = true;
  std::vector<std::string> declared = {"value"};
  bool observer = false;
};

std::string outcome(TableBuilder& b) {
  Result<std::shared_ptr<arrow::RecordBatch>> r = b.finish();
  return r ? r.value()->ToString() : "error: " + r.error().text();
}

class PushTextColumn : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(PushTextColumn, SameOutcomeAsRowLoop) {
  const BuilderCase& c = GetParam();
  auto make = [&](std::shared_ptr<CountingObserver> observer) {
    auto o = std::make_shared<BuilderOptions>();
    o->declared_columns = c.declared;
    o->column_types.emplace("value", c.type);
    o->strict_types = c.strict;
    o->observer = std::move(observer);
    return std::make_unique<TableBuilder>(std::move(o), std::nullopt, std::nullopt, 16);
  };
  auto batch_observer = c.observer ? std::make_shared<CountingObserver>() : nullptr;
  auto row_observer = c.observer ? std::make_shared<CountingObserver>() : nullptr;
  auto batch = make(batch_observer);
  auto rows = make(row_observer);
  for (const Rows& part : c.batches) {
    const auto buffers = lay_out(part, kLayouts[5]);
    batch->push_text_column(buffers->view);
    for (const auto& row : part) {
      rows->begin_row();
      if (row) rows->push_scalar(ScalarValue::of_str(*row));
      rows->end_row();
    }
  }
  EXPECT_EQ(batch->row_index(), rows->row_index());
  EXPECT_EQ(batch->rows_kept(), rows->rows_kept());
  EXPECT_EQ(batch->estimated_bytes(), rows->estimated_bytes());
  if (c.observer) {
    EXPECT_EQ(batch_observer->starts, row_observer->starts);
    EXPECT_EQ(batch_observer->values, row_observer->values);
    EXPECT_EQ(batch_observer->kept, row_observer->kept);
  }
  EXPECT_EQ(outcome(*batch), outcome(*rows));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PushTextColumn,
    ::testing::Values(
        BuilderCase{"int_ok", FieldType::simple(FieldTag::Int64), {{"1", std::nullopt, "-3"}}},
        BuilderCase{"int_fails_in_second_batch",
                    FieldType::simple(FieldTag::Int64),
                    {{"1", "2", std::nullopt}, {"4", "x5", "y6"}}},
        BuilderCase{"first_row_null", FieldType::simple(FieldTag::Float64), {{std::nullopt, "1.5"}, {"bad"}}},
        BuilderCase{"not_strict", FieldType::simple(FieldTag::Boolean), {{"true", "yes", std::nullopt}}, false},
        BuilderCase{"long_failing_text", FieldType::simple(FieldTag::Date32),
                    {{"2024-01-05", std::string(100, 'z') + "\"\\\n"}}},
        BuilderCase{"string", FieldType::simple(FieldTag::String), {{"a", std::nullopt, "élit"}, {"", "b"}}},
        BuilderCase{"dictionary", FieldType::simple(FieldTag::Dictionary), {{"b", "a", std::nullopt, "b"}}},
        BuilderCase{"other_declared_column", FieldType::simple(FieldTag::Int64), {{"1", std::nullopt}, {"3"}}, true,
                    {"a", "value", "b"}},
        BuilderCase{"observer_row_by_row", FieldType::simple(FieldTag::Int64), {{"1", std::nullopt, "z"}}, true,
                    {"value"}, true},
        BuilderCase{"empty_batches", FieldType::simple(FieldTag::Int64), {{}, {"7"}, {}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PushTextColumn, OpenRowGoesRowByRow) {
  // A row opened by hand before the column arrives: the column's first row
  // replaces its value (last value wins), exactly as in the row loop.
  auto make = [] {
    auto o = std::make_shared<BuilderOptions>();
    o->declared_columns = {"value"};
    o->column_types.emplace("value", FieldType::simple(FieldTag::Int64));
    o->strict_types = true;
    return std::make_unique<TableBuilder>(std::move(o), std::nullopt, std::nullopt, 16);
  };
  const Rows part = {"5", "6"};
  const auto buffers = lay_out(part, kLayouts[0]);
  auto batch = make();
  auto rows = make();
  for (TableBuilder* b : {batch.get(), rows.get()}) {
    b->begin_row();
    b->push_scalar(ScalarValue::of_str("1"));
  }
  batch->push_text_column(buffers->view);
  for (const auto& row : part) {
    rows->begin_row();
    rows->push_scalar(ScalarValue::of_str(*row));
    rows->end_row();
  }
  EXPECT_EQ(outcome(*batch), outcome(*rows));
}

TEST(PushTextColumn, StringReservationHintIsExact) {
  auto o = std::make_shared<BuilderOptions>();
  o->declared_columns = {"value"};
  o->column_types.emplace("value", FieldType::simple(FieldTag::String));
  TableBuilder b(std::move(o), std::nullopt, std::nullopt, 3000000);
  // The default reservation guesses 16 bytes for up to 1000000 rows; the hint
  // replaces the guess when it is larger, and never shrinks it.
  const std::uint64_t before = b.estimated_bytes();
  b.reserve_value_texts(3000000, 40000000);
  EXPECT_EQ(b.estimated_bytes() - before, (40000000 - 16000000) + 4 * (3000001 - 1000001) + (375000 - 125000));
  const std::uint64_t after = b.estimated_bytes();
  b.reserve_value_texts(10, 10);
  EXPECT_EQ(b.estimated_bytes(), after);
}

}  // namespace
}  // namespace vorpel
