#pragma once
// Two accumulators compared by everything they show: length, null count,
// overflow, each row as read back, the dictionary's keys for its texts, and
// the arrays they finish into, buffer by buffer.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <arrow/api.h>
#include <gtest/gtest.h>

#include "array_buffers.h"
#include "core/columnar/accumulator.h"
#include "core/columnar/array_assembly.h"

namespace vorpel::testing {

// How the dictionaries of two Dictionary columns must compare.
enum class DictionaryTexts {
  Same,
  // `got` may hold further texts after want's (a dictionary keeps the texts
  // of removed rows).
  GotMayKeepMore,
};

// Consumes both columns. A Dictionary column `got` must also find every text
// of `want` under the same key: the texts of want's rows before finishing,
// and every text of want's finished dictionary after (texts no row refers to
// any more included). Columns that do not finish must fail alike.
inline void expect_same_column(ColumnAccumulator got, ColumnAccumulator want, const std::string& where = "",
                               DictionaryTexts texts = DictionaryTexts::Same) {
  SCOPED_TRACE(where);
  EXPECT_EQ(got.kind(), want.kind());
  EXPECT_EQ(got.field_type(), want.field_type());
  EXPECT_EQ(got.len(), want.len());
  EXPECT_EQ(got.null_count(), want.null_count());
  EXPECT_EQ(got.overflow(), want.overflow());
  const std::uint64_t rows = std::max(got.len(), want.len());
  for (std::uint64_t i = 0; i < rows; ++i) {
    EXPECT_EQ(got.cell_text_at(i), want.cell_text_at(i)) << "row " << i;
    EXPECT_EQ(got.text_at(i), want.text_at(i)) << "row " << i;
  }
  const bool dictionary = got.kind() == FieldTag::Dictionary && want.kind() == FieldTag::Dictionary;
  if (dictionary) {
    for (std::uint64_t i = 0; i < want.len(); ++i) {
      const TypedCell cell = want.cell_at(i);
      if (!cell.is_text()) continue;
      const std::string text(cell.str);
      EXPECT_EQ(got.dictionary_key(text), want.dictionary_key(text)) << "text of row " << i;
    }
  }
  auto want_array = array_for(std::move(want));
  if (dictionary && want_array.has_value()) {
    const auto& want_texts = static_cast<const arrow::StringArray&>(
        *static_cast<const arrow::DictionaryArray&>(**want_array).dictionary());
    for (std::int64_t k = 0; k < want_texts.length(); ++k) {
      EXPECT_EQ(got.dictionary_key(want_texts.GetView(k)), static_cast<std::uint32_t>(k)) << "dictionary text " << k;
    }
  }
  auto got_array = array_for(std::move(got));
  ASSERT_EQ(got_array.has_value(), want_array.has_value())
      << (got_array.has_value() ? want_array.error().text() : got_array.error().text());
  if (!want_array.has_value()) {
    EXPECT_EQ(got_array.error().text(), want_array.error().text());
    return;
  }
  const arrow::ArrayData& got_data = *(*got_array)->data();
  const arrow::ArrayData& want_data = *(*want_array)->data();
  if (!dictionary || texts == DictionaryTexts::Same) {
    EXPECT_EQ(buffer_difference(got_data, want_data), std::nullopt);
    return;
  }
  // The keys and validity buffer by buffer; want's texts a prefix of got's.
  arrow::ArrayData got_keys = got_data;
  arrow::ArrayData want_keys = want_data;
  got_keys.dictionary = nullptr;
  want_keys.dictionary = nullptr;
  EXPECT_EQ(buffer_difference(got_keys, want_keys), std::nullopt);
  const arrow::StringArray got_texts(got_data.dictionary);
  const arrow::StringArray want_texts(want_data.dictionary);
  ASSERT_GE(got_texts.length(), want_texts.length());
  for (std::int64_t k = 0; k < want_texts.length(); ++k) {
    EXPECT_EQ(got_texts.GetView(k), want_texts.GetView(k)) << "dictionary text " << k;
  }
}

}  // namespace vorpel::testing
