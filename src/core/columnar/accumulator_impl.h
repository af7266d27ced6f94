#pragma once
// The inside of a ColumnAccumulator: one column class per kind, held in a
// variant. Shared by the accumulator itself and by array assembly (which
// moves the buffers out). Not for other areas.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/columnar/accumulator.h"
#include "core/columnar/column_kinds.h"
#include "core/columnar/scalar_parse/scalar_parse.h"

namespace vorpel {

// The secret words of the dictionary's text hash. Every column draws them
// from the process's random seed (read once, at the first use), so texts
// cannot be chosen offline to collide; a column whose probe runs grow long
// moves on to the next generation's words and re-hashes its keys.
struct DictionaryHashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  std::uint64_t k2 = 0;
};

// The words of `generation` (0 for a new column), derived from the process seed.
DictionaryHashKey dictionary_hash_key(std::uint32_t generation);

// A fast keyed 64-bit hash of a text that reads only the text's own bytes
// (multiply-fold mixing, as wyhash; short texts are read as two overlapping
// words). Both operands of every multiply carry secret words, so no choice of
// bytes makes a product zero (and the hash constant) without knowing them.
inline std::uint64_t dictionary_text_hash(const char* p, std::size_t n, const DictionaryHashKey& key) {
  auto fold = [](std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
  };
  auto u64 = [](const char* q) {
    std::uint64_t v;
    std::memcpy(&v, q, 8);
    return v;
  };
  auto u32 = [](const char* q) {
    std::uint32_t v;
    std::memcpy(&v, q, 4);
    return static_cast<std::uint64_t>(v);
  };
  std::uint64_t state = key.k0 ^ n;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = u64(p);
      b = u64(p + n - 8);
    } else if (n >= 4) {
      a = u32(p);
      b = u32(p + n - 4);
    } else if (n > 0) {
      a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
          (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n >> 1])) << 8) |
          static_cast<unsigned char>(p[n - 1]);
    }
  } else {
    std::size_t i = 0;
    for (; i + 16 < n; i += 16) state = fold(u64(p + i) ^ key.k1, u64(p + i + 8) ^ state);
    a = u64(p + n - 16);
    b = u64(p + n - 8);
  }
  return fold(key.k2 ^ n, fold(a ^ key.k1, b ^ state));
}

// The farthest a key may sit past its home slot. With random hashes and a
// table at most a quarter full, a run that long is far too rare to meet in
// practice (each further slot roughly halves its likelihood); reaching it
// means the texts collide under the current hash key, and the table is
// re-hashed under the next one.
inline constexpr std::size_t kMaxDictionaryProbe = 64;

// A column of one of the six fixed-width kinds: one stored value per row
// (zero under a null) and the kind's parameters.
template <FieldTag Tag>
struct PrimitiveColumn {
  using Traits = KindTraits<Tag>;
  using Stored = typename Traits::Stored;
  static constexpr FieldTag kTag = Tag;

  ValidityBitmap validity;
  std::vector<Stored> values;
  typename Traits::Params params;

  std::uint64_t len() const { return validity.len(); }
  std::uint64_t null_count() const { return validity.null_count(); }
};

// A column of texts: bytes end to end and 32-bit offsets.
struct StringColumn {
  static constexpr FieldTag kTag = FieldTag::String;

  ValidityBitmap validity;
  NoParams params;
  std::vector<std::uint8_t> bytes;
  std::vector<std::int32_t> offsets;  // always starts with 0

  // Largest byte total the 32-bit offsets may reach.
  std::uint64_t offset_limit = ColumnAccumulator::kMaxOffset;
  // Set when a value could not be stored without passing offset_limit.
  std::optional<std::string> overflow;
  // The row whose bytes first did not fit; removing it clears the overflow,
  // since every row before it is intact.
  std::uint64_t overflow_row = 0;

  // An input Utf8 array taken over whole by append_texts while the column
  // was empty. It stands for the first `adopted_rows` rows (the own buffers
  // above are then empty); anything that writes rows first copies it into
  // the own buffers (settle_adopted); reads take rows from it directly.
  std::shared_ptr<const arrow::ArrayData> adopted;
  std::uint64_t adopted_rows = 0;
  std::uint64_t adopted_nulls = 0;
  bool adopted_valid_utf8 = false;  // the view vouched for its texts

  std::uint64_t len() const { return validity.len() + adopted_rows; }
  std::uint64_t null_count() const { return validity.null_count() + adopted_nulls; }
};

// A column of texts stored once each: a 32-bit key per row into the
// distinct texts, which lie end to end.
struct DictionaryColumn {
  static constexpr FieldTag kTag = FieldTag::Dictionary;

  ValidityBitmap validity;
  NoParams params;
  std::vector<std::int32_t> keys;
  std::vector<std::uint8_t> bytes;    // the distinct texts end to end
  std::vector<std::int32_t> offsets;  // always starts with 0
  // text -> key, the table the appends probe (open addressing with linear
  // probing, a power-of-two count of slots, at most a quarter of them used).
  // A slot holds key + 1 in its low 32 bits (0 = empty) and the high 32 bits
  // of the text's hash (dictionary_text_hash) above them. Every key of the
  // dictionary is in it, at most `probe_limit` slots past its home slot
  // while fresh hash keys remain (see dictionary_insert).
  std::vector<std::uint64_t> slots;
  DictionaryHashKey hash_key = dictionary_hash_key(0);
  std::uint32_t hash_generation = 0;  // the generation of hash_key
  std::size_t probe_limit = kMaxDictionaryProbe;  // lowered only by tests

  // Largest byte total and distinct count the 32-bit offsets and keys may reach.
  std::uint64_t offset_limit = ColumnAccumulator::kMaxOffset;
  // Set when a new text could not be stored without passing offset_limit.
  std::optional<std::string> overflow;

  std::uint64_t len() const { return validity.len(); }
  std::uint64_t null_count() const { return validity.null_count(); }
};

// The column class of each kind.
template <FieldTag Tag>
using ColumnOf = std::conditional_t<Tag == FieldTag::String, StringColumn,
                                    std::conditional_t<Tag == FieldTag::Dictionary, DictionaryColumn, PrimitiveColumn<Tag>>>;

// Alternatives in FieldTag order, so a column's index is its kind's tag.
using AnyColumn = std::variant<ColumnOf<FieldTag::String>, ColumnOf<FieldTag::Int64>, ColumnOf<FieldTag::Float64>,
                               ColumnOf<FieldTag::Boolean>, ColumnOf<FieldTag::Dictionary>, ColumnOf<FieldTag::Date32>,
                               ColumnOf<FieldTag::Timestamp>, ColumnOf<FieldTag::Decimal128>>;

struct ColumnAccumulator::Impl {
  AnyColumn column;

  // The one dispatcher: calls `f` with the column as its own class.
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit(std::forward<F>(f), column);
  }
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), column);
  }
  FieldTag kind() const { return static_cast<FieldTag>(column.index()); }
};

// Copies an adopted input array into the column's own buffers and lets go of it.
void settle_adopted(StringColumn& c);

inline void settle(StringColumn& c) {
  if (c.adopted) [[unlikely]] settle_adopted(c);
}

}  // namespace vorpel
