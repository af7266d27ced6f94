// A String column handed a whole Utf8 array may keep the array's buffers
// instead of copying the texts. Whatever happens to the column afterwards, it
// must behave and finish exactly like a column filled row by row, and its
// array must have the same layout (offsets of its rows only, from 0, bytes up
// to the last offset); only bytes under null rows may stay.

#include <gtest/gtest.h>

#include <arrow/api.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/accumulator_impl.h"
#include "core/columnar/array_assembly.h"

namespace vorpel {
namespace {

using Rows = std::vector<std::optional<std::string>>;

std::shared_ptr<arrow::Array> utf8_of(const Rows& rows) {
  arrow::StringBuilder builder;
  for (const auto& row : rows) {
    const arrow::Status st = row ? builder.Append(*row) : builder.AppendNull();
    EXPECT_TRUE(st.ok()) << st.ToString();
  }
  std::shared_ptr<arrow::Array> out;
  EXPECT_TRUE(builder.Finish(&out).ok());
  return out;
}

TextColumnView view_of(std::shared_ptr<arrow::ArrayData> data) { return text_column_view(std::move(data), false); }

ColumnAccumulator string_column() { return ColumnAccumulator::create(FieldType::simple(FieldTag::String), 8); }

ColumnAccumulator filled_row_by_row(const Rows& rows) {
  ColumnAccumulator acc = string_column();
  for (const auto& row : rows) acc.append_text(row ? std::optional<std::string_view>(*row) : std::nullopt);
  return acc;
}

Rows rows_of(const arrow::Array& array) {
  const auto& strings = static_cast<const arrow::StringArray&>(array);
  Rows rows;
  for (std::int64_t i = 0; i < strings.length(); ++i) {
    if (strings.IsNull(i)) {
      rows.push_back(std::nullopt);
    } else {
      rows.emplace_back(strings.GetView(i));
    }
  }
  return rows;
}

// The finished array has the column's own layout, whichever way it was made.
// A copy leaves no bytes under null rows.
void expect_own_layout(const arrow::Array& array, bool copied) {
  const arrow::ArrayData& data = *array.data();
  ASSERT_EQ(data.offset, 0);
  const auto* offsets = reinterpret_cast<const std::int32_t*>(data.buffers[1]->data());
  EXPECT_EQ(offsets[0], 0);
  EXPECT_EQ(data.buffers[1]->size(), (data.length + 1) * 4);
  EXPECT_EQ(data.buffers[2]->size(), offsets[data.length]);
  for (std::int64_t i = 0; copied && i < data.length; ++i) {
    if (array.IsNull(i)) {
      EXPECT_EQ(offsets[i], offsets[i + 1]) << "null row " << i << " spans bytes";
    }
  }
  EXPECT_TRUE(array.ValidateFull().ok());
}

struct LayoutCase {
  const char* label;
  Rows rows;
  std::int64_t slice_offset;  // the view covers rows [slice_offset, end)
  bool kept;                  // whether the input's value bytes become the result's
};

class AdoptedLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(AdoptedLayout, FinishesLikeRowByRow) {
  const LayoutCase& c = GetParam();
  const std::shared_ptr<arrow::Array> whole = utf8_of(c.rows);
  const std::shared_ptr<arrow::Array> input = whole->Slice(c.slice_offset);
  const Rows expected = rows_of(*input);

  ColumnAccumulator acc = string_column();
  EXPECT_FALSE(acc.append_texts(view_of(input->data())).has_value());
  EXPECT_EQ(acc.len(), expected.size());
  EXPECT_EQ(acc.null_count(), static_cast<std::uint64_t>(input->null_count()));
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value()) << finished.error().message();
  const arrow::Array& got = **finished;
  EXPECT_EQ(rows_of(got), expected);
  expect_own_layout(got, !c.kept);
  EXPECT_EQ(got.data()->buffers[2]->data() == input->data()->buffers[2]->data(), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AdoptedLayout,
    ::testing::Values(
        LayoutCase{"NoNulls", {"a", "élit", "", "sed do"}, 0, true},
        LayoutCase{"Nulls", {"a", std::nullopt, "bc", std::nullopt, ""}, 0, true},
        LayoutCase{"AllNull", {std::nullopt, std::nullopt, std::nullopt}, 0, true},
        // Rows before the slice hold no bytes, so its texts start at byte 0;
        // its validity starts inside a byte of the bitmap.
        LayoutCase{"SlicedInsideAByte", {"", std::nullopt, "", "ab", std::nullopt, "c", "d"}, 3, true},
        LayoutCase{"SlicedAtAByte",
                   {"", "", "", "", "", "", "", "", "x", std::nullopt, "yz", std::nullopt, "w"}, 8, true},
        // Texts that start past byte 0 are copied.
        LayoutCase{"SlicedPastText", {"skip", "a", std::nullopt, "b"}, 1, false},
        LayoutCase{"ManyRows", Rows(1000, std::string("lorem ipsum")), 0, true}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.label; });

// Rows "ab", null, "c", the null row spanning `under_null`, and a byte past
// the last offset.
std::shared_ptr<arrow::ArrayData> null_rows_with(const std::string& under_null) {
  const auto n = static_cast<std::int32_t>(under_null.size());
  return arrow::ArrayData::Make(arrow::utf8(), 3,
                                {arrow::Buffer::FromString(std::string(1, '\x05')),
                                 arrow::Buffer::FromVector(std::vector<std::int32_t>{0, 2, 2 + n, 3 + n}),
                                 arrow::Buffer::FromString("ab" + under_null + "cd")},
                                1);
}

TEST(Adoption, BytesUnderNullRowsStayWhenValid) {
  const std::shared_ptr<arrow::ArrayData> input = null_rows_with("junk");
  ColumnAccumulator acc = string_column();
  acc.append_texts(view_of(input));
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(rows_of(**finished), (Rows{"ab", std::nullopt, "c"}));
  expect_own_layout(**finished, false);
  // "d" past the last offset belongs to no row and is cut off.
  EXPECT_EQ((*finished)->data()->buffers[2]->ToString(), "abjunkc");
}

TEST(Adoption, InvalidBytesUnderNullRowsAreDroppedByTheCopy) {
  const std::shared_ptr<arrow::ArrayData> input = null_rows_with("\xff\x80");
  ColumnAccumulator acc = string_column();
  acc.append_texts(view_of(input));
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value()) << finished.error().message();
  EXPECT_EQ(rows_of(**finished), (Rows{"ab", std::nullopt, "c"}));
  expect_own_layout(**finished, true);
  EXPECT_EQ((*finished)->data()->buffers[2]->ToString(), "abc");
}

// A view whose texts the caller has checked is kept without a second check;
// bytes under its null rows are nobody's texts, so they may stay even when
// they are not UTF-8, and the result is still a valid Arrow array.
TEST(Adoption, VouchedTextsAreKeptUnchecked) {
  const std::shared_ptr<arrow::ArrayData> input = null_rows_with("\xff\x80");
  TextColumnView view = view_of(input);
  view.texts_valid_utf8 = true;
  ColumnAccumulator acc = string_column();
  acc.append_texts(view);
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value()) << finished.error().message();
  EXPECT_EQ(rows_of(**finished), (Rows{"ab", std::nullopt, "c"}));
  expect_own_layout(**finished, false);
  EXPECT_EQ((*finished)->data()->buffers[2]->data(), input->buffers[2]->data());
}

TEST(Adoption, InvalidUtf8FailsAsTheCopyDoes) {
  const Rows rows = {"ok", std::string("bad\xff"), std::nullopt};
  ColumnAccumulator adopted = string_column();
  adopted.append_texts(view_of(utf8_of(rows)->data()));
  auto got = array_for(std::move(adopted));
  auto want = array_for(filled_row_by_row(rows));
  ASSERT_FALSE(got.has_value());
  ASSERT_FALSE(want.has_value());
  EXPECT_EQ(got.error().kind(), ErrorKind::Arrow);
  EXPECT_EQ(got.error().message(), want.error().message());
}

// Reading rows is no change: the array stays kept and becomes the result.
TEST(Adoption, ReadsLeaveTheArrayKept) {
  const Rows rows = {"a", std::nullopt, "élit", "", "bc"};
  const std::shared_ptr<arrow::Array> input = utf8_of(rows);
  ColumnAccumulator acc = string_column();
  acc.append_texts(view_of(input->data()));
  const ColumnAccumulator reference = filled_row_by_row(rows);
  for (std::uint64_t row = 0; row <= rows.size(); ++row) {
    EXPECT_EQ(acc.text_at(row), reference.text_at(row)) << row;
    EXPECT_EQ(acc.cell_text_at(row), reference.cell_text_at(row)) << row;
    EXPECT_EQ(acc.cell_at(row).kind, reference.cell_at(row).kind) << row;
  }
  EXPECT_EQ(acc.distinct_count(), 4u);
  auto got = array_for(std::move(acc));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ((*got)->data()->buffers[2]->data(), input->data()->buffers[2]->data());
}

// Anything but finishing turns the kept array into the column's own copy;
// the column must then be indistinguishable from one filled row by row.
struct AfterCase {
  const char* label;
  std::function<void(ColumnAccumulator&)> action;
};

class AfterAdoption : public ::testing::TestWithParam<AfterCase> {
 protected:
  void expect_same_as_row_by_row(bool vouched);
};

TEST_P(AfterAdoption, SameAsRowByRow) {
  for (const bool vouched : {false, true}) {
    SCOPED_TRACE(vouched ? "texts vouched for" : "texts not vouched for");
    expect_same_as_row_by_row(vouched);
  }
}

void AfterAdoption::expect_same_as_row_by_row(bool vouched) {
  const Rows first = {"a", std::nullopt, "élit", "", "bc"};
  ColumnAccumulator adopted = string_column();
  TextColumnView view = view_of(utf8_of(first)->data());
  view.texts_valid_utf8 = vouched;
  adopted.append_texts(view);
  ColumnAccumulator reference = filled_row_by_row(first);
  GetParam().action(adopted);
  GetParam().action(reference);
  ASSERT_EQ(adopted.len(), reference.len());
  EXPECT_EQ(adopted.null_count(), reference.null_count());
  for (std::uint64_t row = 0; row <= adopted.len(); ++row) {
    EXPECT_EQ(adopted.text_at(row), reference.text_at(row)) << row;
    EXPECT_EQ(adopted.cell_text_at(row), reference.cell_text_at(row)) << row;
  }
  EXPECT_EQ(adopted.distinct_count(), reference.distinct_count());
  auto got = array_for(std::move(adopted));
  auto want = array_for(std::move(reference));
  ASSERT_TRUE(got.has_value() && want.has_value());
  EXPECT_TRUE((*got)->Equals(**want)) << (*got)->ToString() << " vs " << (*want)->ToString();
  if ((*got)->type_id() == arrow::Type::STRING) expect_own_layout(**got, true);
}

const Rows kSecond = {"z", std::nullopt, "yy"};

INSTANTIATE_TEST_SUITE_P(
    Actions, AfterAdoption,
    ::testing::Values(
        AfterCase{"Nothing", [](ColumnAccumulator&) {}},
        AfterCase{"AppendText", [](ColumnAccumulator& a) { a.append_text("more"); }},
        AfterCase{"AppendNull", [](ColumnAccumulator& a) { a.append_null(); }},
        AfterCase{"AppendNulls", [](ColumnAccumulator& a) { a.append_nulls(3); }},
        AfterCase{"AppendValue", [](ColumnAccumulator& a) { a.append_value(ScalarValue::of_int64(-7)); }},
        AfterCase{"RemoveLast", [](ColumnAccumulator& a) { a.remove_last(); }},
        AfterCase{"SecondBatch",
                  [](ColumnAccumulator& a) { a.append_texts(view_of(utf8_of(kSecond)->data())); }},
        AfterCase{"ReserveMore", [](ColumnAccumulator& a) { a.reserve_for_texts(10, 100); }},
        AfterCase{"EncodeAsDictionary", [](ColumnAccumulator& a) { a.encode_as_dictionary(); }}),
    [](const ::testing::TestParamInfo<AfterCase>& info) { return info.param.label; });

TEST(Adoption, LargeOffsetsAreCopied) {
  arrow::LargeStringBuilder builder;
  ASSERT_TRUE(builder.Append("ab").ok());
  ASSERT_TRUE(builder.AppendNull().ok());
  std::shared_ptr<arrow::Array> large;
  ASSERT_TRUE(builder.Finish(&large).ok());
  const std::shared_ptr<arrow::ArrayData>& data = large->data();
  TextColumnView view;
  view.length = 2;
  view.large_offsets = true;
  view.offsets = reinterpret_cast<const std::int64_t*>(data->buffers[1]->data());
  view.data = reinterpret_cast<const char*>(data->buffers[2]->data());
  view.data_size = static_cast<std::uint64_t>(data->buffers[2]->size());
  view.validity = data->buffers[0]->data();
  view.array = data;
  ColumnAccumulator acc = string_column();
  acc.append_texts(view);
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ((*finished)->type_id(), arrow::Type::STRING);
  EXPECT_EQ(rows_of(**finished), (Rows{"ab", std::nullopt}));
}

TEST(Adoption, OnlyAnEmptyColumnKeepsTheArray) {
  const std::shared_ptr<arrow::Array> input = utf8_of({"b", "c"});
  ColumnAccumulator acc = string_column();
  acc.append_text("a");
  acc.append_texts(view_of(input->data()));
  auto finished = array_for(std::move(acc));
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(rows_of(**finished), (Rows{"a", "b", "c"}));
  EXPECT_NE((*finished)->data()->buffers[2]->data(), input->data()->buffers[2]->data());
}

}  // namespace
}  // namespace vorpel
