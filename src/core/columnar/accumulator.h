#pragma once
// Typed column accumulators: one growable, typed, nullable column of the table
// being built. Text is parsed on arrival; a value that cannot be represented
// becomes a null (the accumulator never fails on bad data).

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/columnar/scalar_parse/scalar_parse.h"
#include "core/error.h"
#include "core/field_type.h"

namespace arrow {
struct ArrayData;
}  // namespace arrow

namespace vorpel {

// Validity bits, least significant bit first, 1 = valid (Arrow's bit order).
class ValidityBitmap {
 public:
  void reserve(std::uint64_t bits);
  // Room for `extra` more bits, growing geometrically when it must grow.
  void reserve_more(std::uint64_t extra);
  inline void push(bool valid);
  inline void pop();  // no-op when empty
  // Appends the low `count` (1 to 64) bits of `bits`, lowest first.
  inline void append_word(std::uint64_t bits, unsigned count);
  // Appends `count` bits of the same value.
  void append_run(bool valid, std::uint64_t count);
  bool is_valid(std::uint64_t i) const { return (bytes_[i >> 3] >> (i & 7)) & 1; }
  std::uint64_t len() const { return len_; }
  std::uint64_t null_count() const { return null_count_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t>& mutable_bytes() { return bytes_; }
  std::uint64_t reserved_bytes() const { return bytes_.capacity(); }
  // Hands the bytes over (to an Arrow buffer) and leaves the bitmap empty.
  std::vector<std::uint8_t> take_bytes();

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t len_ = 0;
  std::uint64_t null_count_ = 0;
};

// Appends and removals run once per value, so they are inline.
inline void ValidityBitmap::push(bool valid) {
  if ((len_ & 7) == 0) bytes_.push_back(0);
  if (valid) {
    bytes_.back() |= static_cast<std::uint8_t>(1u << (len_ & 7));
  } else {
    ++null_count_;
  }
  ++len_;
}

inline void ValidityBitmap::append_word(std::uint64_t bits, unsigned count) {
  if (count < 64) bits &= (std::uint64_t{1} << count) - 1;
  null_count_ += count - static_cast<unsigned>(__builtin_popcountll(bits));
  const unsigned shift = static_cast<unsigned>(len_ & 7);
  const std::size_t first = static_cast<std::size_t>(len_ >> 3);
  len_ += count;
  // New bytes start at 0; the bits at and above the old length are 0 already.
  bytes_.resize(static_cast<std::size_t>((len_ + 7) >> 3));
  std::uint8_t* out = bytes_.data() + first;
  if (shift == 0 && count == 64) {
    std::memcpy(out, &bits, 8);
    return;
  }
  const unsigned __int128 wide = static_cast<unsigned __int128>(bits) << shift;
  const std::size_t touched = bytes_.size() - first;  // at most 9
  for (std::size_t k = 0; k < touched; ++k) out[k] = static_cast<std::uint8_t>(out[k] | static_cast<std::uint8_t>(wide >> (8 * k)));
}

inline void ValidityBitmap::pop() {
  if (len_ == 0) return;
  --len_;
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << (len_ & 7));
  std::uint8_t& last = bytes_.back();
  if ((last & mask) == 0) --null_count_;
  last = static_cast<std::uint8_t>(last & ~mask);
  if ((len_ & 7) == 0) bytes_.pop_back();
}

// One value handed to the table builder. A text borrows its bytes: the caller
// keeps the bytes alive for the duration of the call that receives it.
struct ScalarValue {
  // The kind of a present value: String (a text), Int64, Float64, Boolean,
  // Date32 or Timestamp. A null is not present (its kind means nothing).
  FieldTag kind = FieldTag::String;
  bool present = false;
  std::string_view str;
  union {
    std::int64_t i64;   // Int64, Timestamp (raw count, no unit)
    double f64;
    bool b;
    std::int32_t date;
  };

  ScalarValue() : i64(0) {}
  static ScalarValue of_str(std::string_view s) { ScalarValue v = of(FieldTag::String); v.str = s; return v; }
  static ScalarValue of_int64(std::int64_t x) { ScalarValue v = of(FieldTag::Int64); v.i64 = x; return v; }
  static ScalarValue of_float64(double x) { ScalarValue v = of(FieldTag::Float64); v.f64 = x; return v; }
  static ScalarValue of_bool(bool x) { ScalarValue v = of(FieldTag::Boolean); v.b = x; return v; }
  static ScalarValue of_date32(std::int32_t x) { ScalarValue v = of(FieldTag::Date32); v.date = x; return v; }
  static ScalarValue of_timestamp(std::int64_t x) { ScalarValue v = of(FieldTag::Timestamp); v.i64 = x; return v; }
  static ScalarValue null() { return ScalarValue(); }
  bool is_null() const { return !present; }
  bool is_text() const { return present && kind == FieldTag::String; }

  // Date32(19727), Timestamp(5), Null; the other kinds give their variant name
  // with the value (Str("x"), Int64(5), Float64(1.5), Bool(true)).
  std::string debug_text() const;

 private:
  static ScalarValue of(FieldTag k) { ScalarValue v; v.kind = k; v.present = true; return v; }
};

// A borrowed column of texts, as an Arrow string array lays them out: row i
// is data[offsets[i] .. offsets[i + 1]) unless its validity bit is 0.
struct TextColumnView {
  const void* offsets = nullptr;  // length + 1 entries, std::int32_t or (large) std::int64_t
  bool large_offsets = false;
  const char* data = nullptr;
  // Bytes readable from `data`; every offset lies within it and offsets never
  // decrease (the caller has checked both).
  std::uint64_t data_size = 0;
  const std::uint8_t* validity = nullptr;  // LSB first; null when no row is null
  std::uint64_t validity_offset = 0;       // bit of row 0
  std::uint64_t length = 0;
  // Optional: the Arrow Utf8 array (`length` rows) whose buffers the pointers
  // above point into. A String column that has nothing else yet may then
  // keep the array's buffers instead of copying its texts.
  std::shared_ptr<const arrow::ArrayData> array;
  // The caller has checked that the text of every non-null row is valid
  // UTF-8 (utf8::check_text_column checks every row's), so a String column
  // that keeps `array` need not check it again; bytes under null rows then
  // stay whatever they are.
  bool texts_valid_utf8 = false;

  bool is_valid(std::uint64_t row) const {
    if (validity == nullptr) return true;
    const std::uint64_t bit = validity_offset + row;
    return (validity[bit >> 3] >> (bit & 7)) & 1;
  }
  std::string_view text(std::uint64_t row) const {
    std::uint64_t begin = 0, end = 0;
    if (large_offsets) {
      begin = static_cast<std::uint64_t>(static_cast<const std::int64_t*>(offsets)[row]);
      end = static_cast<std::uint64_t>(static_cast<const std::int64_t*>(offsets)[row + 1]);
    } else {
      begin = static_cast<std::uint64_t>(static_cast<const std::int32_t*>(offsets)[row]);
      end = static_cast<std::uint64_t>(static_cast<const std::int32_t*>(offsets)[row + 1]);
    }
    return std::string_view(data + begin, static_cast<std::size_t>(end - begin));
  }
  // Bytes the texts span (from the first offset to the last).
  std::uint64_t text_bytes() const {
    if (length == 0) return 0;
    const std::string_view first = text(0);
    const std::string_view last = text(length - 1);
    return static_cast<std::uint64_t>((last.data() + last.size()) - first.data());
  }
};

// The view of every row of a string (or, with `large`, large_string) array
// whose buffers Arrow's validation has passed, keeping `array` so that a
// String column may take its buffers. Empty arrays give an empty view.
TextColumnView text_column_view(std::shared_ptr<const arrow::ArrayData> array, bool large);

class ColumnAccumulator {
 public:
  // The largest byte total of a String column (or of a Dictionary's distinct
  // texts), and the largest distinct count, that 32-bit offsets and keys can hold.
  static constexpr std::uint64_t kMaxOffset = 2147483647;

  static ColumnAccumulator create(const FieldType& type, std::uint64_t capacity);

  ColumnAccumulator(ColumnAccumulator&&) noexcept;
  ColumnAccumulator& operator=(ColumnAccumulator&&) noexcept;
  ~ColumnAccumulator();

  // The kind of column: the tag of its field type.
  FieldTag kind() const;
  // The field type this accumulator stores (its Arrow type follows from it).
  FieldType field_type() const;

  // Appends one value parsed from `text`; absent appends a null. Returns false
  // exactly when a present text failed to parse for this column (a null was
  // stored), so a strict caller needs no second parse.
  bool append_text(std::optional<std::string_view> text);
  void append_null();
  // Appends `count` nulls.
  void append_nulls(std::uint64_t count);
  // Appends every row of `column` in order, exactly as append_text would one
  // row at a time (a row whose validity bit is 0 as absent). Returns the index
  // within `column` of the first row whose text failed to parse (a null was
  // stored for it), or nothing when none failed.
  // `rows_final`: the caller never removes these rows again, so an overflow
  // of the offset limit could never be cleared; a String column whose bytes
  // cannot all fit is then marked overflowed at once, its rows stored as
  // nulls, instead of copying up to the limit first only to fail at finish.
  std::optional<std::uint64_t> append_texts(const TextColumnView& column, bool rows_final = false);
  // Capacity hint: about `rows` more values carrying `text_bytes` bytes of text
  // are coming. A String column reserves exactly that room (the default
  // reservation of `create` is a guess capped at 16 bytes for 1000000 rows);
  // the other kinds reserve the rows.
  void reserve_for_texts(std::uint64_t rows, std::uint64_t text_bytes);
  // Appends a typed value converted by the conversion matrix. For a text the
  // return value is as for append_text; for other kinds it is true.
  bool append_value(const ScalarValue& value);
  void remove_last();

  std::uint64_t len() const;
  std::uint64_t null_count() const;

  // Returned by dictionary_key when the text is new but the dictionary cannot
  // take it any more (its bytes or its size would pass the offset limit).
  static constexpr std::uint32_t kNoKey = 0xFFFFFFFFu;

  // Dictionary only (a logic fault on any other kind): the key of the text,
  // inserted first when new; kNoKey when it is new and the dictionary is full
  // (the overflow is then recorded).
  std::uint32_t dictionary_key(std::string_view text);
  // String only (absent for the other kinds): the text of a valid row, absent
  // for a null row, a row at or past the end, or bytes that are not UTF-8.
  std::optional<std::string_view> text_at(std::uint64_t row) const;
  TypedCell cell_at(std::uint64_t row) const;
  // Whether the column parses `text` as a value (String and Dictionary take
  // every text), with the column's own parser.
  bool parses(std::string_view text) const;
  std::optional<std::string> cell_text_at(std::uint64_t row) const;
  // String only: re-encodes this accumulator as a Dictionary one (no effect on
  // the other kinds).
  void encode_as_dictionary();
  // String only (0 for the other kinds): distinct UTF-8 texts among valid rows.
  std::uint64_t distinct_count() const;

  // Bytes of reserved capacity of everything the accumulator owns (memory budget).
  std::uint64_t reserved_bytes() const;

  // Set once a String column's bytes, or a Dictionary's distinct bytes or
  // count, would pass kMaxOffset; the column stopped growing that buffer and
  // the build must fail. The text is the Arrow capacity error's detail.
  const std::optional<std::string>& overflow() const;

  // Test hook: lowers kMaxOffset for this accumulator so overflow can be
  // exercised without gigabytes of input.
  void set_offset_limit_for_testing(std::uint64_t limit);
  // Dictionary only (0 for the other kinds): the farthest any key of the
  // dictionary's hash table sits past its home slot.
  std::uint64_t longest_probe_for_testing() const;
  // Test hooks: how far past its home slot a Dictionary's key may land before
  // the table moves to the next hash key, and the generation of that key.
  void set_probe_limit_for_testing(std::size_t limit);
  std::uint32_t hash_generation_for_testing() const;

  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  explicit ColumnAccumulator(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The conversion matrix: the cell a column of `kind` (a Timestamp column: of
// `unit`) stores for a value that is not text, as the column reads it back.
// append_value stores it and the pending row judges buffered values by it.
//   String, Dictionary: the value's canonical text, written into `buffer`
//     ("true"/"false" for a Bool; a Timestamp's raw count, never a date-time)
//   Int64: Int64 and Timestamp as they are, Float64 truncated toward zero and
//     saturated (NaN as 0), Date32 as its day count
//   Float64: Int64, Timestamp and Date32 as doubles, Float64 as it is
//   Boolean, Date32: only a value of the same kind
//   Timestamp: only a Timestamp, its raw count taken as of `unit`, never rescaled
//   Decimal128: nothing
// Anything else, Null included, is absent: the column stores a null. A text
// value is absent here too: the column parses texts (append_text).
TypedCell convert_for_column(const ScalarValue& value, FieldTag kind, TimeUnit unit,
                             RenderBuffer& buffer);

}  // namespace vorpel
