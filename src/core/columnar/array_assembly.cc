#include "core/columnar/array_assembly.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <arrow/util/bitmap_ops.h>

#include "core/columnar/accumulator_impl.h"
#include "core/columnar/utf8_check.h"
#include "core/invariant.h"

namespace vorpel {

namespace {

constexpr std::int32_t kMaxDecimalPrecision = 38;

}  // namespace

CoreError arrow_error(const arrow::Status& status) {
  // Arrow reports a failed allocation as a status; it is the same failure
  // as the standard library's std::bad_alloc and unwinds the same way.
  if (status.IsOutOfMemory()) throw std::bad_alloc();
  return CoreError::arrow(status.ToString());
}

namespace {

template <class T>
std::vector<T> take(std::vector<T>& v) {
  std::vector<T> out = std::move(v);
  v = {};
  return out;
}

void require_slots(std::size_t slots, std::int64_t rows) {
  if (slots != static_cast<std::size_t>(rows)) core_invariant_failed("column slots differ from its validity length");
}

// The offsets must start at 0, never decrease and end exactly at the byte
// total; anything else means the accumulator itself is broken.
void require_offsets(const std::vector<std::int32_t>& offsets, std::size_t byte_total, std::int64_t rows) {
  if (offsets.empty()) core_invariant_failed("empty offsets list");
  if (offsets.size() != static_cast<std::size_t>(rows) + 1) core_invariant_failed("offsets list length differs from row count");
  if (offsets.front() != 0) core_invariant_failed("offsets list does not start at 0");
  bool ordered = true;  // one pass without early exits, so it vectorises
  for (std::size_t i = 1; i < offsets.size(); ++i) ordered &= offsets[i - 1] <= offsets[i];
  if (!ordered) core_invariant_failed("decreasing offsets list");
  if (static_cast<std::size_t>(offsets.back()) != byte_total) {
    core_invariant_failed("offsets list does not end at the byte total");
  }
}

// Packs one byte per value (0 or 1) into Arrow's bit order, eight values per
// multiply and 64 values per output word.
std::vector<std::uint8_t> pack_bits(const std::vector<std::uint8_t>& values) {
  // For eight 0/1 bytes read as a little-endian word, this product gathers
  // byte i's low bit into bit 56 + i with no carries between the partial sums.
  constexpr std::uint64_t kGather = 0x0102040810204080ULL;
  const std::size_t n = values.size();
  std::vector<std::uint8_t> bits((n + 7) / 8, 0);
  const std::uint8_t* in = values.data();
  std::uint8_t* out = bits.data();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    std::uint64_t word = 0;
    for (int k = 0; k < 8; ++k) {
      std::uint64_t chunk;
      std::memcpy(&chunk, in + i + 8 * k, 8);
      word |= ((chunk * kGather) >> 56) << (8 * k);
    }
    std::memcpy(out + i / 8, &word, 8);
  }
  for (; i + 8 <= n; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, in + i, 8);
    out[i / 8] = static_cast<std::uint8_t>((chunk * kGather) >> 56);
  }
  for (; i < n; ++i) {
    if (in[i]) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1u << (i & 7)));
  }
  return bits;
}

Result<std::shared_ptr<arrow::Array>> finish_array(std::shared_ptr<arrow::ArrayData> data, bool full) {
  std::shared_ptr<arrow::Array> array = arrow::MakeArray(std::move(data));
  const arrow::Status st = full ? array->ValidateFull() : array->Validate();
  if (!st.ok()) return fail(arrow_error(st));
  return array;
}

template <class T>
Result<std::shared_ptr<arrow::Array>> primitive(std::shared_ptr<arrow::DataType> type, std::vector<T>& values,
                                                std::int64_t rows, std::shared_ptr<arrow::Buffer> nulls,
                                                std::int64_t null_count) {
  require_slots(values.size(), rows);
  auto data = arrow::ArrayData::Make(std::move(type), rows,
                                     {std::move(nulls), arrow::Buffer::FromVector(take(values))}, null_count);
  return finish_array(std::move(data), false);
}

// A Utf8 array over moved offsets and bytes, validated in full (offsets and
// UTF-8 at every slice). The offsets are checked here and the UTF-8 in one
// pass over the bytes; only when that finds a fault does the library's own
// per-slice validation run, to report it in its words.
Result<std::shared_ptr<arrow::Array>> utf8_array(std::vector<std::int32_t>& offsets, std::vector<std::uint8_t>& bytes,
                                                 std::int64_t rows, std::shared_ptr<arrow::Buffer> nulls,
                                                 std::int64_t null_count) {
  require_offsets(offsets, bytes.size(), rows);
  const bool texts_valid =
      utf8::all_texts_valid(bytes.data(), offsets.data(), static_cast<std::size_t>(rows));
  auto data = arrow::ArrayData::Make(
      arrow::utf8(), rows,
      {std::move(nulls), arrow::Buffer::FromVector(take(offsets)), arrow::Buffer::FromVector(take(bytes))},
      null_count);
  return finish_array(std::move(data), !texts_valid);
}

// The input array a String column adopted, as the finished Utf8 array, when
// every text in it is valid UTF-8, null rows' included (checked here unless
// the input vouched for its texts); null otherwise. Its texts start at byte 0
// (the adoption checked that), so the result is made of slices of its
// buffers: offsets for its rows only, the bytes up to the last offset, and
// the validity bits from bit 0 (copied only when the array starts inside a
// byte of its bitmap).
std::shared_ptr<arrow::Array> adopted_utf8_array(StringColumn& a) {
  const arrow::ArrayData& in = *a.adopted;
  const std::int64_t rows = in.length;
  const auto* offsets = reinterpret_cast<const std::int32_t*>(in.buffers[1]->data()) + in.offset;
  const std::uint8_t* bytes = in.buffers[2]->data();
  if (!a.adopted_valid_utf8 && !utf8::all_texts_valid(bytes, offsets, static_cast<std::size_t>(rows))) return nullptr;
  const auto null_count = static_cast<std::int64_t>(a.adopted_nulls);
  std::shared_ptr<arrow::Buffer> nulls;
  if (null_count > 0) {
    if (in.offset % 8 == 0) {
      nulls = arrow::SliceBuffer(in.buffers[0], in.offset / 8, (rows + 7) / 8);
    } else {
      auto copied = arrow::internal::CopyBitmap(arrow::default_memory_pool(), in.buffers[0]->data(), in.offset, rows);
      if (!copied.ok()) return nullptr;
      nulls = std::move(copied).ValueUnsafe();
    }
  }
  auto data = arrow::ArrayData::Make(
      arrow::utf8(), rows,
      {std::move(nulls), arrow::SliceBuffer(in.buffers[1], in.offset * 4, (rows + 1) * 4),
       arrow::SliceBuffer(in.buffers[2], 0, offsets[rows])},
      null_count);
  auto array = finish_array(std::move(data), false);
  if (!array) return nullptr;
  a.adopted.reset();
  a.adopted_rows = 0;
  a.adopted_nulls = 0;
  a.adopted_valid_utf8 = false;
  return *array;
}

// The validity bitmap as Arrow's null buffer: none when every row is valid.
std::shared_ptr<arrow::Buffer> null_buffer(ValidityBitmap& validity) {
  const auto rows = static_cast<std::int64_t>(validity.len());
  if (validity.bytes().size() != static_cast<std::size_t>((rows + 7) / 8)) {
    core_invariant_failed("validity byte count differs from its bit length");
  }
  if (validity.null_count() == 0) {
    validity.take_bytes();
    return nullptr;
  }
  return arrow::Buffer::FromVector(validity.take_bytes());
}

template <FieldTag Tag>
Result<std::shared_ptr<arrow::Array>> finish(PrimitiveColumn<Tag>& c) {
  const auto rows = static_cast<std::int64_t>(c.validity.len());
  const auto null_count = static_cast<std::int64_t>(c.validity.null_count());
  std::shared_ptr<arrow::Buffer> nulls = null_buffer(c.validity);
  std::shared_ptr<arrow::DataType> type = KindTraits<Tag>::arrow_type(c.params);
  if constexpr (Tag == FieldTag::Boolean) {
    require_slots(c.values.size(), rows);
    std::vector<std::uint8_t> bits = pack_bits(c.values);
    c.values = {};
    auto data = arrow::ArrayData::Make(std::move(type), rows,
                                       {std::move(nulls), arrow::Buffer::FromVector(std::move(bits))}, null_count);
    return finish_array(std::move(data), false);
  } else {
    if constexpr (Tag == FieldTag::Decimal128) {
      // The array's type takes the scale as it is: past 38 the library refuses it.
      auto checked = arrow::Decimal128Type::Make(kMaxDecimalPrecision, c.params.scale);
      if (!checked.ok()) return fail(arrow_error(checked.status()));
      type = checked.MoveValueUnsafe();
      // Every stored value has at most 38 digits: it passed its parser.
    }
    return primitive(std::move(type), c.values, rows, std::move(nulls), null_count);
  }
}

Result<std::shared_ptr<arrow::Array>> finish(StringColumn& c) {
  if (c.overflow) return fail(CoreError::arrow(arrow::Status::CapacityError(*c.overflow).ToString()));
  if (c.adopted) {
    if (std::shared_ptr<arrow::Array> kept = adopted_utf8_array(c)) return kept;
    // A fault in the texts: the copy below reports it in the library's words.
    settle_adopted(c);
  }
  const auto rows = static_cast<std::int64_t>(c.validity.len());
  const auto null_count = static_cast<std::int64_t>(c.validity.null_count());
  std::shared_ptr<arrow::Buffer> nulls = null_buffer(c.validity);
  auto array = utf8_array(c.offsets, c.bytes, rows, std::move(nulls), null_count);
  c.offsets = {0};
  return array;
}

Result<std::shared_ptr<arrow::Array>> finish(DictionaryColumn& c) {
  if (c.overflow) return fail(CoreError::arrow(arrow::Status::CapacityError(*c.overflow).ToString()));
  const auto rows = static_cast<std::int64_t>(c.validity.len());
  const auto null_count = static_cast<std::int64_t>(c.validity.null_count());
  std::shared_ptr<arrow::Buffer> nulls = null_buffer(c.validity);
  require_slots(c.keys.size(), rows);
  const auto distinct = static_cast<std::int64_t>(c.offsets.size()) - 1;
  auto values = utf8_array(c.offsets, c.bytes, distinct, nullptr, 0);
  c.offsets = {0};
  c.slots = {};
  if (!values) return values;
  auto indices = arrow::MakeArray(arrow::ArrayData::Make(
      arrow::int32(), rows, {std::move(nulls), arrow::Buffer::FromVector(take(c.keys))}, null_count));
  // FromArrays checks every non-null key against the dictionary length.
  auto array = arrow::DictionaryArray::FromArrays(KindTraits<FieldTag::Dictionary>::arrow_type({}), indices, *values);
  if (!array.ok()) return fail(arrow_error(array.status()));
  return array.MoveValueUnsafe();
}

}  // namespace

template <FieldTag Tag>
std::shared_ptr<arrow::DataType> TextKindTraits<Tag>::arrow_type(const Params&) {
  if constexpr (Tag == FieldTag::Dictionary) {
    return arrow::dictionary(arrow::int32(), arrow::utf8());
  } else {
    return arrow::utf8();
  }
}
template std::shared_ptr<arrow::DataType> TextKindTraits<FieldTag::String>::arrow_type(const Params&);
template std::shared_ptr<arrow::DataType> TextKindTraits<FieldTag::Dictionary>::arrow_type(const Params&);

std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Int64>::arrow_type(const Params&) { return arrow::int64(); }
std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Float64>::arrow_type(const Params&) { return arrow::float64(); }
std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Boolean>::arrow_type(const Params&) { return arrow::boolean(); }
std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Date32>::arrow_type(const Params&) { return arrow::date32(); }

std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Timestamp>::arrow_type(const Params& p) {
  switch (p.unit) {
    case TimeUnit::Second: return arrow::timestamp(arrow::TimeUnit::SECOND);
    case TimeUnit::Millisecond: return arrow::timestamp(arrow::TimeUnit::MILLI);
    case TimeUnit::Microsecond: return arrow::timestamp(arrow::TimeUnit::MICRO);
    case TimeUnit::Nanosecond: return arrow::timestamp(arrow::TimeUnit::NANO);
  }
  core_invariant_failed("unknown time unit");
}

// Precision 38 always; a scale above 38 is capped for the type (the values
// keep theirs).
std::shared_ptr<arrow::DataType> KindTraits<FieldTag::Decimal128>::arrow_type(const Params& p) {
  return arrow::decimal128(kMaxDecimalPrecision, std::min<std::int32_t>(p.scale, kMaxDecimalPrecision));
}

std::shared_ptr<arrow::DataType> arrow_type_for(const ColumnAccumulator& column) {
  return column.impl().visit([]<class Column>(const Column& c) { return KindTraits<Column::kTag>::arrow_type(c.params); });
}

std::shared_ptr<arrow::Field> field_for(const ColumnAccumulator& column, const std::string& name) {
  return arrow::field(name, arrow_type_for(column), /*nullable=*/true);
}

Result<std::shared_ptr<arrow::Array>> array_for(ColumnAccumulator&& column) {
  return column.impl().visit([](auto& c) { return finish(c); });
}

}  // namespace vorpel
