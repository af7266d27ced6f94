#include "core/columnar/accumulator.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>

#include <sys/mman.h>
#include <sys/random.h>

#include <arrow/array/data.h>
#include <arrow/buffer.h>

#include "core/columnar/accumulator_impl.h"
#include "core/columnar/scalar_parse/fast_parse.h"
#include "core/columnar/utf8_check.h"
#include "core/invariant.h"

namespace vorpel {

namespace {


// 64 random bits for this process: from the kernel's generator, or, should
// that fail, from the clock and the address-space layout.
std::uint64_t process_random_seed() {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) return seed;
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return now ^ reinterpret_cast<std::uintptr_t>(&seed) ^ (reinterpret_cast<std::uintptr_t>(&process_random_seed) << 17);
}

// splitmix64: one step of a generator whose outputs are well mixed even for
// consecutive states.
std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::string_view bytes_view(const std::vector<std::uint8_t>& bytes, std::int32_t begin, std::int32_t end) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()) + begin,
                          static_cast<std::size_t>(end - begin));
}

// Float64 -> Int64: toward zero, saturated at both ends, NaN as 0.
std::int64_t truncate_saturating(double x) {
  if (std::isnan(x)) return 0;
  // 9223372036854775807.0 rounds to 2^63, the first double past the range.
  if (x >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

std::string overflow_text(const char* what, std::uint64_t limit, const char* unit) {
  return std::string(what) + " exceeds " + std::to_string(limit) + " " + unit;
}

// ---------------------------------------------------------------- reservations

// A large buffer is filled once from start to end, so where the kernel hands
// out huge pages on request it costs one page fault per 2 MiB instead of one
// per 4 KiB (the faults of a 10-million-row column otherwise outweigh the
// parsing). Only buffers of 32 MiB and more are advised: the C library maps
// those on their own and unmaps them when they are freed, so the advice never
// outlives the buffer and never reaches memory handed out for other uses.
// Only the whole 2 MiB pages inside the buffer are advised. Advice only:
// nothing changes when it is not taken.
constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;
constexpr std::size_t kHugePageAdviceFrom = std::size_t{32} << 20;

template <class T>
void advise_huge_pages(const std::vector<T>& v) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::size_t bytes = v.capacity() * sizeof(T);
  if (bytes < kHugePageAdviceFrom) return;
  const auto start = reinterpret_cast<std::uintptr_t>(v.data());
  const std::uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)v;
#endif
}

// Reserves room for `count` elements (when it has less) and advises huge pages for it.
template <class T>
void reserve_values(std::vector<T>& v, std::size_t count) {
  if (count <= v.capacity()) return;
  v.reserve(count);
  advise_huge_pages(v);
}

// Room for `extra` more elements, growing geometrically when it must grow.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  const std::size_t needed = v.size() + extra;
  if (needed > v.capacity()) reserve_values(v, std::max(needed, 2 * v.capacity()));
}

// Bits [start, start + count) of an LSB-first bitmap (count 1 to 64), lowest first.
[[gnu::always_inline]] inline std::uint64_t read_bits(const std::uint8_t* bitmap, std::uint64_t start, unsigned count) {
  const std::uint8_t* b = bitmap + (start >> 3);
  const unsigned shift = static_cast<unsigned>(start & 7);
  if (shift == 0 && count == 64) {  // a whole aligned word: the common case
    std::uint64_t word;
    std::memcpy(&word, b, 8);
    return word;
  }
  const unsigned bytes = (shift + count + 7) / 8;  // at most 9
  unsigned __int128 wide = 0;
  for (unsigned k = 0; k < bytes; ++k) wide |= static_cast<unsigned __int128>(b[k]) << (8 * k);
  const auto bits = static_cast<std::uint64_t>(wide >> shift);
  return count == 64 ? bits : bits & ((std::uint64_t{1} << count) - 1);
}

// Walks the rows of `c` in blocks of 64. `parse(p, n, slot)` reads a present
// row's text into `slot` and says whether it is valid (on failure it leaves
// zero there); a null row gets a zero slot. Each block's values are gathered
// on the stack and appended with one insert, its validity bits as one word.
// With kCanFail, a present row stored as null is a parse failure, and the
// first one is returned. Never inlined: each column kind's loop is then a
// function of its own, into which the compiler inlines the whole parser.
template <class Offset, bool kCanFail, class T, class Parse>
[[gnu::noinline]] std::optional<std::uint64_t> append_rows(ValidityBitmap& validity, std::vector<T>& values,
                                                           const TextColumnView& c, Parse&& parse) {
  const Offset* const offsets = static_cast<const Offset*>(c.offsets);
  const char* const data = c.data;
  std::optional<std::uint64_t> first_failure;
  validity.reserve_more(c.length);
  reserve_more(values, static_cast<std::size_t>(c.length));
  T block_values[64];
  for (std::uint64_t block = 0; block < c.length; block += 64) {
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(64, c.length - block));
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t present =
        c.validity != nullptr ? read_bits(c.validity, c.validity_offset + block, count) : all;
    const Offset* o = offsets + block;
    std::uint64_t valid = 0;
    if (present == all) {
      for (unsigned j = 0; j < count; ++j) {
        const bool ok = parse(data + o[j], static_cast<std::size_t>(o[j + 1] - o[j]), block_values[j]);
        valid |= static_cast<std::uint64_t>(ok) << j;
      }
    } else {
      for (unsigned j = 0; j < count; ++j) {
        if ((present >> j) & 1) {
          const bool ok = parse(data + o[j], static_cast<std::size_t>(o[j + 1] - o[j]), block_values[j]);
          valid |= static_cast<std::uint64_t>(ok) << j;
        } else {
          block_values[j] = T{};
        }
      }
    }
    if constexpr (kCanFail) {
      if (valid != present && !first_failure) {
        first_failure = block + static_cast<std::uint64_t>(std::countr_zero(present & ~valid));
      }
    }
    values.insert(values.end(), block_values, block_values + count);
    validity.append_word(valid, count);
  }
  return first_failure;
}

template <class Column>
constexpr bool is_text_column = std::is_same_v<Column, StringColumn> || std::is_same_v<Column, DictionaryColumn>;

// ================================================================ fixed-width columns

template <FieldTag Tag>
void push_null(PrimitiveColumn<Tag>& c) {
  c.values.push_back({});
  c.validity.push(false);
}

template <FieldTag Tag>
bool push_text(PrimitiveColumn<Tag>& c, std::string_view text) {
  const auto v = KindTraits<Tag>::parse(c.params, text);
  c.values.push_back(v ? *v : typename KindTraits<Tag>::Stored{});
  c.validity.push(v.has_value());
  return v.has_value();
}

// A cell converted for this column (convert_for_column): of the column's
// own kind, or absent.
template <FieldTag Tag>
void push_cell(PrimitiveColumn<Tag>& c, const TypedCell& cell) {
  if (cell.is_absent()) return push_null(c);
  c.values.push_back(KindTraits<Tag>::stored(cell));
  c.validity.push(true);
}

template <FieldTag Tag>
void push_nulls(PrimitiveColumn<Tag>& c, std::uint64_t count) {
  c.values.resize(c.values.size() + static_cast<std::size_t>(count), {});
  c.validity.append_run(false, count);
}

template <FieldTag Tag>
void reserve_rows(PrimitiveColumn<Tag>& c, std::uint64_t rows, std::uint64_t) {
  reserve_values(c.values, c.values.size() + static_cast<std::size_t>(rows));
  c.validity.reserve(c.len() + rows);
}

template <FieldTag Tag>
void pop_row(PrimitiveColumn<Tag>& c) {
  if (c.len() == 0) return;
  c.values.pop_back();
  c.validity.pop();
}

template <class Offset, FieldTag Tag>
std::optional<std::uint64_t> append_column(PrimitiveColumn<Tag>& c, const TextColumnView& v) {
  using Traits = KindTraits<Tag>;
  using Stored = typename Traits::Stored;
  const char* const readable_end = v.data + v.data_size;
  const auto& params = c.params;
  if constexpr (Tag == FieldTag::Timestamp) {
    // Without a custom pattern the ISO shapes are read inline with the unit
    // fixed at compile time.
    if (params.parser.builtin_only()) {
      auto iso = [&]<TimeUnit kUnit>() {
        return append_rows<Offset, true>(c.validity, c.values, v,
                                         [&params, readable_end] [[gnu::always_inline]] (
                                             const char* p, std::size_t n, Stored& slot) {
                                           return Traits::template iso_fast_into<kUnit>(params, p, n, readable_end,
                                                                                        slot);
                                         });
      };
      switch (params.unit) {
        case TimeUnit::Second: return iso.template operator()<TimeUnit::Second>();
        case TimeUnit::Millisecond: return iso.template operator()<TimeUnit::Millisecond>();
        case TimeUnit::Microsecond: return iso.template operator()<TimeUnit::Microsecond>();
        case TimeUnit::Nanosecond: return iso.template operator()<TimeUnit::Nanosecond>();
      }
    }
  }
  // Small parameters are copied into the parser (a register, not a load
  // through a pointer per value); the others are referred to.
  auto captured = [](const auto& p) {
    if constexpr (std::is_trivially_copyable_v<std::decay_t<decltype(p)>>) {
      return p;
    } else {
      return std::cref(p);
    }
  };
  return append_rows<Offset, true>(c.validity, c.values, v,
                                   [params = captured(params), readable_end] [[gnu::always_inline]] (
                                       const char* p, std::size_t n, Stored& slot) {
                                     return Traits::fast_into(params, p, n, readable_end, slot);
                                   });
}

template <FieldTag Tag>
TypedCell cell_at(const PrimitiveColumn<Tag>& c, std::uint64_t row) {
  if (row >= c.len() || !c.validity.is_valid(row)) return TypedCell::absent();
  return KindTraits<Tag>::cell(c.params, c.values[row]);
}

template <FieldTag Tag>
std::optional<std::string> cell_text_at(const PrimitiveColumn<Tag>& c, std::uint64_t row) {
  if (row >= c.len() || !c.validity.is_valid(row)) return std::nullopt;
  RenderBuffer buffer;
  char* const end = KindTraits<Tag>::render_to(buffer.data(), KindTraits<Tag>::cell(c.params, c.values[row]));
  return std::string(buffer.data(), end);
}

template <FieldTag Tag>
std::uint64_t reserved_bytes(const PrimitiveColumn<Tag>& c) {
  std::uint64_t total = c.validity.reserved_bytes() + c.values.capacity() * sizeof(typename KindTraits<Tag>::Stored);
  if constexpr (Tag == FieldTag::Timestamp) {
    if (c.params.pattern) total += c.params.pattern->capacity();
  }
  return total;
}

template <FieldTag Tag>
void init(PrimitiveColumn<Tag>& c, const FieldType& type, std::uint64_t capacity) {
  c.params = KindTraits<Tag>::Params::of(type);
  reserve_values(c.values, static_cast<std::size_t>(capacity));
  c.validity.reserve(capacity);
}

// ================================================================ string columns

// String reservations are capped so that a huge row hint does not reserve
// gigabytes of text up front.
constexpr std::uint64_t kStringReserveRows = 1000000;
constexpr std::uint64_t kStringReserveBytesPerRow = 16;

void init(StringColumn& c, const FieldType&, std::uint64_t capacity) {
  const std::uint64_t n = std::min(capacity, kStringReserveRows);
  reserve_values(c.bytes, kStringReserveBytesPerRow * n);
  reserve_values(c.offsets, n + 1);
  c.offsets.push_back(0);
  c.validity.reserve(n);
}

void push_null(StringColumn& c) {
  c.offsets.push_back(c.offsets.back());
  c.validity.push(false);
}

bool push_text(StringColumn& c, std::string_view text) {
  const std::uint64_t used = c.bytes.size();
  if (c.overflow.has_value() || used + text.size() > c.offset_limit) [[unlikely]] {
    // The bytes cannot be addressed by 32-bit offsets: keep the row's slot as
    // a null and remember the first row that did not fit.
    if (!c.overflow.has_value()) {
      c.overflow = overflow_text("string column", c.offset_limit, "bytes");
      c.overflow_row = c.len();
    }
    push_null(c);
    return true;
  }
  c.bytes.insert(c.bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                 reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  c.offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  c.validity.push(true);
  return true;
}

void push_nulls(StringColumn& c, std::uint64_t count) {
  c.offsets.insert(c.offsets.end(), static_cast<std::size_t>(count), c.offsets.back());
  c.validity.append_run(false, count);
}

void reserve_rows(StringColumn& c, std::uint64_t rows, std::uint64_t text_bytes) {
  const std::uint64_t room = c.offset_limit - std::min<std::uint64_t>(c.offset_limit, c.bytes.size());
  reserve_values(c.bytes, c.bytes.size() + static_cast<std::size_t>(std::min(text_bytes, room)));
  reserve_values(c.offsets, c.offsets.size() + static_cast<std::size_t>(rows));
  c.validity.reserve(c.len() + rows);
}

void pop_row(StringColumn& c) {
  if (c.len() == 0) return;
  c.offsets.pop_back();
  c.bytes.resize(static_cast<std::size_t>(c.offsets.back()));
  c.validity.pop();
  // Every row before the first one that did not fit is intact, so removing
  // that row makes the column whole again.
  if (c.overflow && c.len() <= c.overflow_row) c.overflow.reset();
}

// A row's text, or nullopt for a null row, read from an adopted input array
// (which then holds every row) or from the own buffers.
std::optional<std::string_view> string_row(const StringColumn& c, std::uint64_t row) {
  if (c.adopted) {
    const arrow::ArrayData& array = *c.adopted;
    const std::uint64_t bit = static_cast<std::uint64_t>(array.offset) + row;
    if (array.buffers[0] != nullptr && ((array.buffers[0]->data()[bit >> 3] >> (bit & 7)) & 1) == 0) {
      return std::nullopt;
    }
    const std::int32_t* offsets = array.GetValues<std::int32_t>(1);
    const auto* data = reinterpret_cast<const char*>(array.buffers[2]->data());
    return std::string_view(data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
  }
  if (!c.validity.is_valid(row)) return std::nullopt;
  return bytes_view(c.bytes, c.offsets[row], c.offsets[row + 1]);
}

// The text of a valid row in UTF-8; absent for a null row, a row at or past
// the end, or bytes that are not UTF-8. Reads leave an adopted array where it is.
std::optional<std::string_view> text_at(const StringColumn& c, std::uint64_t row) {
  if (row >= c.len()) return std::nullopt;
  const std::optional<std::string_view> text = string_row(c, row);
  if (!text || !utf8::is_valid(*text)) return std::nullopt;
  return text;
}

TypedCell cell_at(const StringColumn& c, std::uint64_t row) {
  const auto text = text_at(c, row);
  return text ? TypedCell::of_str(*text) : TypedCell::absent();
}

std::optional<std::string> cell_text_at(const StringColumn& c, std::uint64_t row) {
  const auto text = text_at(c, row);
  if (!text) return std::nullopt;
  return std::string(*text);
}

std::uint64_t reserved_bytes(const StringColumn& c) {
  return c.validity.reserved_bytes() + c.bytes.capacity() + c.offsets.capacity() * sizeof(std::int32_t);
}

// Rows in bulk: the offsets are shifted, the bytes of the valid rows are
// copied in runs (null rows contribute no bytes, whatever their offsets span
// in the input), and the validity bits are taken over a word at a time.
// False, with nothing appended, when the texts might pass the offset limit
// (the row-by-row path then records exactly where).
template <class Offset>
bool string_append_bulk(StringColumn& c, const TextColumnView& v) {
  const Offset* const offsets = static_cast<const Offset*>(v.offsets);
  const std::uint64_t n = v.length;
  const auto span = static_cast<std::uint64_t>(offsets[n] - offsets[0]);
  const std::uint64_t used = c.bytes.size();
  if (c.overflow.has_value() || used + span > c.offset_limit) return false;
  reserve_more(c.offsets, static_cast<std::size_t>(n));
  reserve_more(c.bytes, static_cast<std::size_t>(span));
  c.validity.reserve_more(n);
  const auto* const data = reinterpret_cast<const std::uint8_t*>(v.data);
  // Input position minus output position at the current row boundary.
  auto delta = static_cast<std::int64_t>(offsets[0]) - static_cast<std::int64_t>(used);
  auto run_begin = static_cast<std::int64_t>(offsets[0]);  // first input byte not yet copied
  for (std::uint64_t block = 0; block < n; block += 64) {
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(64, n - block));
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t present =
        v.validity != nullptr ? read_bits(v.validity, v.validity_offset + block, count) : all;
    const Offset* o = offsets + block;
    std::int32_t ends[64];
    if (present == all) {
      for (unsigned j = 0; j < count; ++j) ends[j] = static_cast<std::int32_t>(static_cast<std::int64_t>(o[j + 1]) - delta);
    } else {
      for (unsigned j = 0; j < count; ++j) {
        const auto begin = static_cast<std::int64_t>(o[j]);
        const auto end = static_cast<std::int64_t>(o[j + 1]);
        if (((present >> j) & 1) == 0 && end != begin) {
          // A null row spanning bytes: copy the run before it, skip its bytes.
          c.bytes.insert(c.bytes.end(), data + run_begin, data + begin);
          run_begin = end;
          delta += end - begin;
        }
        ends[j] = static_cast<std::int32_t>(end - delta);
      }
    }
    c.offsets.insert(c.offsets.end(), ends, ends + count);
    c.validity.append_word(present, count);
  }
  c.bytes.insert(c.bytes.end(), data + run_begin, data + static_cast<std::int64_t>(offsets[n]));
  return true;
}

// When the valid rows of `v` hold more bytes than the column has room for,
// marks the overflow at the row push_text would have found and stores every
// row as a null, copying nothing; else returns false and does nothing.
template <class Offset>
bool string_overflow_at_once(StringColumn& c, const TextColumnView& v) {
  const Offset* const offsets = static_cast<const Offset*>(v.offsets);
  const std::uint64_t n = v.length;
  const std::uint64_t used = c.bytes.size();
  if (c.overflow.has_value() || used + static_cast<std::uint64_t>(offsets[n] - offsets[0]) <= c.offset_limit) {
    return false;
  }
  std::uint64_t total = used;
  std::uint64_t first_over = n;
  for (std::uint64_t row = 0; row < n && first_over == n; ++row) {
    if (!v.is_valid(row)) continue;
    total += static_cast<std::uint64_t>(offsets[row + 1] - offsets[row]);
    if (total > c.offset_limit) first_over = row;
  }
  if (first_over == n) return false;  // the bytes under null rows made it look too big
  c.overflow = overflow_text("string column", c.offset_limit, "bytes");
  c.overflow_row = c.len() + first_over;
  push_nulls(c, n);
  return true;
}

// A column that holds nothing yet takes the whole input array as its
// contents when the array's texts start at byte 0: nothing is copied or
// walked now, and when the column is finished the array's buffers become the
// result (after their UTF-8 check). Bytes under null rows then stay in the
// value buffer, as Arrow allows. Not with a lowered offset limit, whose
// overflow handling needs the copy.
bool adopt_array(StringColumn& c, const TextColumnView& v) {
  const arrow::ArrayData* array = v.array.get();
  if (array == nullptr || v.large_offsets || c.len() != 0 || c.overflow ||
      c.offset_limit != ColumnAccumulator::kMaxOffset || static_cast<std::uint64_t>(array->length) != v.length ||
      array->buffers.size() != 3 || array->buffers[1] == nullptr || array->buffers[2] == nullptr ||
      static_cast<const std::int32_t*>(v.offsets)[0] != 0) {
    return false;
  }
  c.adopted = v.array;
  c.adopted_rows = v.length;
  c.adopted_nulls = static_cast<std::uint64_t>(array->GetNullCount());
  c.adopted_valid_utf8 = v.texts_valid_utf8;
  // The room reserved for copying the texts is not needed.
  c.bytes = {};
  c.offsets = {0};
  c.validity = ValidityBitmap();
  return true;
}

template <class Offset>
std::optional<std::uint64_t> append_column(StringColumn& c, const TextColumnView& v) {
  if (adopt_array(c, v)) return std::nullopt;
  if (string_append_bulk<Offset>(c, v)) return std::nullopt;
  // Row by row: the offset limit is in reach.
  for (std::uint64_t row = 0; row < v.length; ++row) {
    if (v.is_valid(row)) {
      push_text(c, v.text(row));
    } else {
      push_null(c);
    }
  }
  return std::nullopt;
}

// ================================================================ dictionary columns

constexpr std::uint64_t kSlotHashMask = 0xFFFFFFFF00000000ULL;
constexpr std::size_t kMinDictionarySlots = 64;
constexpr std::size_t kSlotsPerKey = 4;
// New hash keys a column may take in its life. Each costs one re-hash of the
// dictionary, so the work stays linear in the count of texts even if every
// key met colliding texts (the probes are then no longer bounded).
constexpr std::uint32_t kMaxDictionaryHashGenerations = 16;

void init(DictionaryColumn& c, const FieldType&, std::uint64_t capacity) {
  reserve_values(c.keys, static_cast<std::size_t>(capacity));
  c.offsets.push_back(0);
  c.validity.reserve(capacity);
}

std::string_view key_text(const DictionaryColumn& c, std::uint32_t key) {
  return bytes_view(c.bytes, c.offsets[key], c.offsets[key + 1]);
}

// A table of `size` empty slots (huge pages for a large one: its slots are
// written in random order).
std::vector<std::uint64_t> empty_slots(std::size_t size) {
  std::vector<std::uint64_t> slots;
  reserve_values(slots, size);
  slots.resize(size, 0);
  return slots;
}

// A hash's home slot in a table of `size` slots (a power of two, at least
// kMinDictionarySlots): its top bits. The slot keeps the top 32 bits of the
// hash, so a table of up to 2^32 slots can be regrown from its slots alone,
// without hashing a text again. (Those bits then also hold the home, so
// within one home they tell keys apart by their remaining bits only: at 2^22
// slots, 10 bits, which still spares nearly every needless text compare.)
inline std::size_t home_slot(std::uint64_t hash, std::size_t size) {
  return static_cast<std::size_t>(hash >> (64 - std::countr_zero(size)));
}

// Places the slot value `entry` (hash bits and key) in the first free slot
// from `home` on; returns how many slots past home that is.
std::size_t slot_place(std::vector<std::uint64_t>& slots, std::size_t home, std::uint64_t entry) {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = home;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = entry;
  return (i - home) & mask;
}

std::size_t slot_insert(std::vector<std::uint64_t>& slots, std::uint64_t hash, std::uint32_t key) {
  return slot_place(slots, home_slot(hash, slots.size()),
                    (hash & kSlotHashMask) | (static_cast<std::uint64_t>(key) + 1));
}

// Rebuilds the table with `size` slots from the dictionary's texts, moving
// on to the next hash key whenever a key lands more than probe_limit slots
// past home (while generations remain).
void slots_rebuild(DictionaryColumn& c, std::size_t size) {
  const std::size_t count = c.offsets.size() - 1;
  std::vector<std::uint64_t> fresh = empty_slots(size);
  for (;;) {
    std::size_t longest = 0;
    for (std::size_t key = 0; key < count; ++key) {
      const std::string_view text = key_text(c, static_cast<std::uint32_t>(key));
      longest = std::max(longest, slot_insert(fresh, dictionary_text_hash(text.data(), text.size(), c.hash_key),
                                              static_cast<std::uint32_t>(key)));
    }
    if (longest <= c.probe_limit || c.hash_generation + 1 >= kMaxDictionaryHashGenerations) break;
    c.hash_key = dictionary_hash_key(++c.hash_generation);
    std::fill(fresh.begin(), fresh.end(), 0);
  }
  c.slots = std::move(fresh);
}

// Makes the table at most a quarter full with the dictionary's current keys
// (so a lookup rarely probes a second slot). A larger table is filled from
// the old one's slots, which carry the hash bits that place them; only when
// that makes a run too long (texts colliding under this hash key) are the
// texts hashed again, under the next key.
void slots_fit(DictionaryColumn& c) {
  const std::size_t count = c.offsets.size() - 1;
  if (kSlotsPerKey * count <= c.slots.size()) return;
  std::size_t size = std::max(kMinDictionarySlots, c.slots.size());
  while (kSlotsPerKey * count > size) size *= 2;
  if (size > (std::size_t{1} << 32) || c.slots.empty()) return slots_rebuild(c, size);
  std::vector<std::uint64_t> fresh = empty_slots(size);
  std::size_t longest = 0;
  for (const std::uint64_t entry : c.slots) {
    if (entry == 0) continue;
    longest = std::max(longest, slot_place(fresh, home_slot(entry & kSlotHashMask, size), entry));
  }
  c.slots = std::move(fresh);
  // The key just added is not in the old table: it is placed by its text.
  const std::string_view last = key_text(c, static_cast<std::uint32_t>(count - 1));
  longest = std::max(longest, slot_insert(c.slots, dictionary_text_hash(last.data(), last.size(), c.hash_key),
                                          static_cast<std::uint32_t>(count - 1)));
  if (longest > c.probe_limit && c.hash_generation + 1 < kMaxDictionaryHashGenerations) [[unlikely]] {
    c.hash_key = dictionary_hash_key(++c.hash_generation);
    slots_rebuild(c, size);
  }
}

// Whether the n bytes at p and q are equal; short texts are compared as two
// overlapping words (within their own bytes) instead of through a call.
inline bool same_bytes(const char* p, const char* q, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, p, 8);
    std::memcpy(&b0, q, 8);
    std::memcpy(&a1, p + n - 8, 8);
    std::memcpy(&b1, q + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, p, 4);
    std::memcpy(&b0, q, 4);
    std::memcpy(&a1, p + n - 4, 4);
    std::memcpy(&b1, q + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || std::memcmp(p, q, n) == 0;
}

// The key of `text` when the dictionary holds it, else kNoKey.
inline std::uint32_t dictionary_find(const DictionaryColumn& c, std::string_view text, std::uint64_t hash) {
  if (c.slots.empty()) return ColumnAccumulator::kNoKey;
  const std::uint64_t tag = hash & kSlotHashMask;
  const std::size_t mask = c.slots.size() - 1;
  for (std::size_t i = home_slot(hash, c.slots.size());; i = (i + 1) & mask) {
    const std::uint64_t slot = c.slots[i];
    if (slot == 0) return ColumnAccumulator::kNoKey;
    if ((slot & kSlotHashMask) != tag) continue;
    const auto key = static_cast<std::uint32_t>(slot) - 1;
    const std::int32_t begin = c.offsets[key];
    const std::int32_t end = c.offsets[key + 1];
    if (static_cast<std::size_t>(end - begin) == text.size() &&
        same_bytes(reinterpret_cast<const char*>(c.bytes.data()) + begin, text.data(), text.size())) {
      return key;
    }
  }
}

// A text the table does not hold: added to the dictionary (kNoKey when it
// has no room left).
std::uint32_t dictionary_insert(DictionaryColumn& c, std::string_view text, std::uint64_t hash) {
  // Every key is in the table, so the text is new.
  const std::uint64_t count = c.offsets.size() - 1;
  const std::uint64_t used = c.bytes.size();
  if (count + 1 > c.offset_limit) {
    if (!c.overflow) c.overflow = overflow_text("dictionary column", c.offset_limit, "distinct values");
    return ColumnAccumulator::kNoKey;
  }
  if (used + text.size() > c.offset_limit) {
    if (!c.overflow) c.overflow = overflow_text("dictionary column", c.offset_limit, "bytes");
    return ColumnAccumulator::kNoKey;
  }
  const auto key = static_cast<std::uint32_t>(count);
  // Grown here rather than by insert, so that a large buffer gets huge pages.
  reserve_more(c.bytes, text.size());
  c.bytes.insert(c.bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                 reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  c.offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  if (kSlotsPerKey * (static_cast<std::size_t>(count) + 1) > c.slots.size()) {
    slots_fit(c);  // places the new key with the others
  } else if (slot_insert(c.slots, hash, key) > c.probe_limit &&
             c.hash_generation + 1 < kMaxDictionaryHashGenerations) [[unlikely]] {
    // Texts that collide under this hash key: the next one scatters them.
    c.hash_key = dictionary_hash_key(++c.hash_generation);
    slots_rebuild(c, c.slots.size());
  }
  return key;
}

inline std::uint32_t dictionary_lookup_or_insert(DictionaryColumn& c, std::string_view text) {
  const std::uint64_t hash = dictionary_text_hash(text.data(), text.size(), c.hash_key);
  const std::uint32_t key = dictionary_find(c, text, hash);
  return key != ColumnAccumulator::kNoKey ? key : dictionary_insert(c, text, hash);
}

void push_null(DictionaryColumn& c) {
  c.keys.push_back(0);
  c.validity.push(false);
}

// A text that finds no room in the dictionary is stored as null, but it is
// not a parse failure.
bool push_text(DictionaryColumn& c, std::string_view text) {
  const std::uint32_t key = dictionary_lookup_or_insert(c, text);
  if (key == ColumnAccumulator::kNoKey) [[unlikely]] {
    push_null(c);
    return true;
  }
  c.keys.push_back(static_cast<std::int32_t>(key));
  c.validity.push(true);
  return true;
}

// A cell converted for a text column (convert_for_column): a text, or absent.
template <class Column>
  requires is_text_column<Column>
void push_cell(Column& c, const TypedCell& cell) {
  if (cell.is_text()) {
    push_text(c, cell.str);
  } else {
    push_null(c);
  }
}

void push_nulls(DictionaryColumn& c, std::uint64_t count) {
  c.keys.resize(c.keys.size() + static_cast<std::size_t>(count), 0);
  c.validity.append_run(false, count);
}

void reserve_rows(DictionaryColumn& c, std::uint64_t rows, std::uint64_t) {
  reserve_values(c.keys, c.keys.size() + static_cast<std::size_t>(rows));
  c.validity.reserve(c.len() + rows);
}

// The dictionary keeps texts of removed rows; only the key goes.
void pop_row(DictionaryColumn& c) {
  if (c.len() == 0) return;
  c.keys.pop_back();
  c.validity.pop();
}

// Rows in blocks of 64, as append_rows walks them, but in two passes per
// block: first every present text is hashed and its home slot fetched ahead
// (with many distinct texts the table is far larger than the caches, and a
// lookup's time is the wait for its slot; fetched together, the waits
// overlap), then each is looked up or inserted. A text that finds no room
// in the dictionary is stored as null, but it is not a parse failure.
// Slot tables above this size (about a core's share of the last-level
// cache) are fetched ahead.
constexpr std::size_t kFetchAheadFrom = std::size_t{1} << 20;

template <class Offset>
std::optional<std::uint64_t> append_column(DictionaryColumn& c, const TextColumnView& v) {
  const Offset* const offsets = static_cast<const Offset*>(v.offsets);
  c.validity.reserve_more(v.length);
  reserve_more(c.keys, static_cast<std::size_t>(v.length));
  std::uint64_t hashes[64];
  std::int32_t block_keys[64];
  for (std::uint64_t block = 0; block < v.length; block += 64) {
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(64, v.length - block));
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t present =
        v.validity != nullptr ? read_bits(v.validity, v.validity_offset + block, count) : all;
    const Offset* o = offsets + block;
    auto text = [&](unsigned j) {
      return std::string_view(v.data + o[j], static_cast<std::size_t>(o[j + 1] - o[j]));
    };
    // The hash key is kept in a local (registers); an insert may move the
    // table to a new key, and the block's later texts are then hashed again.
    DictionaryHashKey hash_key = c.hash_key;
    std::uint32_t generation = c.hash_generation;
    const std::uint64_t* const slots = c.slots.data();
    const std::size_t size = c.slots.size();
    // A table that fits the caches is read at once: the extra pass would cost more than it hides.
    const bool ahead = size * sizeof(std::uint64_t) > kFetchAheadFrom;
    if (ahead) {
      for (unsigned j = 0; j < count; ++j) {
        if (((present >> j) & 1) == 0) continue;
        const std::string_view t = text(j);
        hashes[j] = dictionary_text_hash(t.data(), t.size(), hash_key);
        __builtin_prefetch(slots + home_slot(hashes[j], size));
      }
    }
    std::uint64_t valid = 0;
    for (unsigned j = 0; j < count; ++j) {
      block_keys[j] = 0;
      if (((present >> j) & 1) == 0) continue;
      const std::string_view t = text(j);
      if (c.hash_generation != generation) [[unlikely]] {
        hash_key = c.hash_key;
        generation = c.hash_generation;
        for (unsigned k = j; ahead && k < count; ++k) {
          if ((present >> k) & 1) hashes[k] = dictionary_text_hash(text(k).data(), text(k).size(), hash_key);
        }
      }
      if (!ahead) hashes[j] = dictionary_text_hash(t.data(), t.size(), hash_key);
      std::uint32_t key = dictionary_find(c, t, hashes[j]);
      if (key == ColumnAccumulator::kNoKey) [[unlikely]] key = dictionary_insert(c, t, hashes[j]);
      if (key == ColumnAccumulator::kNoKey) [[unlikely]] continue;
      block_keys[j] = static_cast<std::int32_t>(key);
      valid |= std::uint64_t{1} << j;
    }
    c.keys.insert(c.keys.end(), block_keys, block_keys + count);
    c.validity.append_word(valid, count);
  }
  return std::nullopt;
}

std::string_view row_text(const DictionaryColumn& c, std::uint64_t row) {
  return key_text(c, static_cast<std::uint32_t>(c.keys[row]));
}

TypedCell cell_at(const DictionaryColumn& c, std::uint64_t row) {
  if (row >= c.len() || !c.validity.is_valid(row)) return TypedCell::absent();
  const std::string_view text = row_text(c, row);
  return utf8::is_valid(text) ? TypedCell::of_str(text) : TypedCell::absent();
}

std::optional<std::string> cell_text_at(const DictionaryColumn& c, std::uint64_t row) {
  if (row >= c.len() || !c.validity.is_valid(row)) return std::nullopt;
  return utf8::lossy(row_text(c, row));
}

std::uint64_t reserved_bytes(const DictionaryColumn& c) {
  // The distinct bytes count twice: growing them copies them into a new
  // buffer while the old one is still held (the dictionary keeps no other
  // copy of its texts).
  return c.validity.reserved_bytes() + c.keys.capacity() * sizeof(std::int32_t) + c.bytes.capacity() +
         c.offsets.capacity() * sizeof(std::int32_t) + c.bytes.size() + c.slots.capacity() * sizeof(std::uint64_t);
}

// ================================================================ any column

std::unique_ptr<ColumnAccumulator::Impl> make_impl(const FieldType& type, std::uint64_t capacity) {
  auto impl = std::make_unique<ColumnAccumulator::Impl>();
  dispatch_kind(type.tag, [&]<FieldTag Tag>(KindTag<Tag>) {
    ColumnOf<Tag>& c = impl->column.template emplace<static_cast<std::size_t>(Tag)>();
    init(c, type, capacity);
  });
  return impl;
}

// A String column that adopted an input array copies it into its own buffers
// before anything writes rows.
void settle_any(ColumnAccumulator::Impl& a) {
  if (auto* s = std::get_if<StringColumn>(&a.column)) settle(*s);
}


}  // namespace

DictionaryHashKey dictionary_hash_key(std::uint32_t generation) {
  static const std::uint64_t process_seed = process_random_seed();
  std::uint64_t state = process_seed ^ (static_cast<std::uint64_t>(generation) << 32);
  DictionaryHashKey key;
  key.k0 = splitmix64(state);
  key.k1 = splitmix64(state);
  key.k2 = splitmix64(state);
  return key;
}

TextColumnView text_column_view(std::shared_ptr<const arrow::ArrayData> array, bool large) {
  TextColumnView view;
  const arrow::ArrayData& data = *array;
  view.large_offsets = large;
  if (data.length == 0) return view;
  if (data.buffers.size() < 3 || data.buffers[1] == nullptr) core_invariant_failed("string array without offsets");
  view.length = static_cast<std::uint64_t>(data.length);
  const std::uint8_t* offsets = data.buffers[1]->data();
  view.offsets = large ? static_cast<const void*>(reinterpret_cast<const std::int64_t*>(offsets) + data.offset)
                       : static_cast<const void*>(reinterpret_cast<const std::int32_t*>(offsets) + data.offset);
  if (data.buffers[2] != nullptr) {
    view.data = reinterpret_cast<const char*>(data.buffers[2]->data());
    view.data_size = static_cast<std::uint64_t>(data.buffers[2]->size());
  }
  if (data.buffers[0] != nullptr && data.GetNullCount() != 0) {
    view.validity = data.buffers[0]->data();
    view.validity_offset = static_cast<std::uint64_t>(data.offset);
  }
  view.array = std::move(array);
  return view;
}

void settle_adopted(StringColumn& c) {
  const std::shared_ptr<const arrow::ArrayData> array = std::move(c.adopted);
  c.adopted.reset();
  c.adopted_rows = 0;
  c.adopted_nulls = 0;
  c.adopted_valid_utf8 = false;
  // The column was empty and a Utf8 array's bytes always fit 32-bit offsets.
  if (!string_append_bulk<std::int32_t>(c, text_column_view(array, false))) core_invariant_failed("adopted texts do not fit");
}

// ---------------------------------------------------------------- lifecycle

ColumnAccumulator::ColumnAccumulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ColumnAccumulator::ColumnAccumulator(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator& ColumnAccumulator::operator=(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator::~ColumnAccumulator() = default;

ColumnAccumulator ColumnAccumulator::create(const FieldType& type, std::uint64_t capacity) {
  return ColumnAccumulator(make_impl(type, capacity));
}

FieldTag ColumnAccumulator::kind() const { return impl_->kind(); }

FieldType ColumnAccumulator::field_type() const {
  return impl_->visit([]<class Column>(const Column& c) { return KindTraits<Column::kTag>::field_type(c.params); });
}

// ---------------------------------------------------------------- appends

bool ColumnAccumulator::append_text(std::optional<std::string_view> text) {
  settle_any(*impl_);
  return impl_->visit([&](auto& c) {
    if (!text) {
      push_null(c);
      return true;
    }
    return push_text(c, *text);
  });
}

void ColumnAccumulator::append_null() {
  settle_any(*impl_);
  impl_->visit([](auto& c) { push_null(c); });
}

void ColumnAccumulator::append_nulls(std::uint64_t count) {
  if (count == 0) return;
  settle_any(*impl_);
  impl_->visit([count](auto& c) { push_nulls(c, count); });
}

std::optional<std::uint64_t> ColumnAccumulator::append_texts(const TextColumnView& column, bool rows_final) {
  if (column.length == 0) return std::nullopt;
  settle_any(*impl_);
  return impl_->visit([&]<class Column>(Column& c) -> std::optional<std::uint64_t> {
    if constexpr (std::is_same_v<Column, StringColumn>) {
      if (rows_final && (column.large_offsets ? string_overflow_at_once<std::int64_t>(c, column)
                                              : string_overflow_at_once<std::int32_t>(c, column))) {
        return std::nullopt;
      }
    }
    return column.large_offsets ? append_column<std::int64_t>(c, column) : append_column<std::int32_t>(c, column);
  });
}

void ColumnAccumulator::reserve_for_texts(std::uint64_t rows, std::uint64_t text_bytes) {
  settle_any(*impl_);
  impl_->visit([&](auto& c) { reserve_rows(c, rows, text_bytes); });
}

bool ColumnAccumulator::append_value(const ScalarValue& value) {
  if (value.is_text()) return append_text(value.str);
  settle_any(*impl_);
  RenderBuffer buffer;
  impl_->visit([&]<class Column>(Column& c) {
    TimeUnit unit = TimeUnit::Microsecond;
    if constexpr (Column::kTag == FieldTag::Timestamp) unit = c.params.unit;
    push_cell(c, convert_for_column(value, Column::kTag, unit, buffer));
  });
  return true;
}

TypedCell convert_for_column(const ScalarValue& value, FieldTag kind, TimeUnit unit, RenderBuffer& buffer) {
  const TypedCell absent = TypedCell::absent();
  if (value.is_null() || value.is_text()) return absent;
  if (kind == FieldTag::String || kind == FieldTag::Dictionary) {
    char* const begin = buffer.data();
    char* end = begin;
    switch (value.kind) {
      case FieldTag::Int64:
      case FieldTag::Timestamp: end = render_int64_to(begin, value.i64); break;
      case FieldTag::Float64: end = render_float64_to(begin, value.f64); break;
      case FieldTag::Boolean: end = render_boolean_to(begin, value.b); break;
      case FieldTag::Date32: end = render_date32_to(begin, value.date); break;
      case FieldTag::String:
      case FieldTag::Dictionary:
      case FieldTag::Decimal128: return absent;
    }
    return TypedCell::of_str(std::string_view(begin, static_cast<std::size_t>(end - begin)));
  }
  switch (value.kind) {
    case FieldTag::Int64:
    case FieldTag::Timestamp:
      if (kind == FieldTag::Int64) return TypedCell::of_int64(value.i64);
      if (kind == FieldTag::Float64) return TypedCell::of_float64(static_cast<double>(value.i64));
      if (kind == FieldTag::Timestamp && value.kind == FieldTag::Timestamp) return TypedCell::of_timestamp(value.i64, unit);
      return absent;
    case FieldTag::Float64:
      if (kind == FieldTag::Int64) return TypedCell::of_int64(truncate_saturating(value.f64));
      if (kind == FieldTag::Float64) return TypedCell::of_float64(value.f64);
      return absent;
    case FieldTag::Boolean:
      return kind == FieldTag::Boolean ? TypedCell::of_bool(value.b) : absent;
    case FieldTag::Date32:
      if (kind == FieldTag::Int64) return TypedCell::of_int64(value.date);
      if (kind == FieldTag::Float64) return TypedCell::of_float64(static_cast<double>(value.date));
      if (kind == FieldTag::Date32) return TypedCell::of_date32(value.date);
      return absent;
    case FieldTag::String:
    case FieldTag::Dictionary:
    case FieldTag::Decimal128:
      return absent;
  }
  return absent;
}

void ColumnAccumulator::remove_last() {
  settle_any(*impl_);
  impl_->visit([](auto& c) { pop_row(c); });
}

// ---------------------------------------------------------------- reads

std::uint64_t ColumnAccumulator::len() const {
  return impl_->visit([](const auto& c) { return c.len(); });
}
std::uint64_t ColumnAccumulator::null_count() const {
  return impl_->visit([](const auto& c) { return c.null_count(); });
}

std::uint32_t ColumnAccumulator::dictionary_key(std::string_view text) {
  auto* d = std::get_if<DictionaryColumn>(&impl_->column);
  if (d == nullptr) core_invariant_failed("dictionary_key on a non-dictionary column");
  return dictionary_lookup_or_insert(*d, text);
}

std::optional<std::string_view> ColumnAccumulator::text_at(std::uint64_t row) const {
  const auto* s = std::get_if<StringColumn>(&impl_->column);
  return s != nullptr ? vorpel::text_at(*s, row) : std::nullopt;
}

TypedCell ColumnAccumulator::cell_at(std::uint64_t row) const {
  return impl_->visit([row](const auto& c) { return vorpel::cell_at(c, row); });
}

bool ColumnAccumulator::parses(std::string_view text) const {
  return impl_->visit([text]<class Column>(const Column& c) { return KindTraits<Column::kTag>::parses(c.params, text); });
}

std::optional<std::string> ColumnAccumulator::cell_text_at(std::uint64_t row) const {
  return impl_->visit([row](const auto& c) { return vorpel::cell_text_at(c, row); });
}

void ColumnAccumulator::encode_as_dictionary() {
  auto* s = std::get_if<StringColumn>(&impl_->column);
  if (s == nullptr) return;
  settle(*s);
  DictionaryColumn d;
  init(d, FieldType::simple(FieldTag::Dictionary), s->len());
  d.offset_limit = s->offset_limit;
  // Rows that did not fit were stored as nulls: the build must still fail.
  d.overflow = s->overflow;
  for (std::uint64_t row = 0; row < s->len(); ++row) {
    const auto text = vorpel::text_at(*s, row);
    if (text) {
      push_text(d, *text);
    } else {
      push_null(d);
    }
  }
  impl_->column = std::move(d);
}

std::uint64_t ColumnAccumulator::distinct_count() const {
  const auto* s = std::get_if<StringColumn>(&impl_->column);
  if (s == nullptr) return 0;
  std::unordered_set<std::string_view> seen;
  for (std::uint64_t row = 0; row < s->len(); ++row) {
    const auto text = vorpel::text_at(*s, row);
    if (text) seen.insert(*text);
  }
  return seen.size();
}

std::uint64_t ColumnAccumulator::reserved_bytes() const {
  return impl_->visit([](const auto& c) { return vorpel::reserved_bytes(c); });
}

const std::optional<std::string>& ColumnAccumulator::overflow() const {
  static const std::optional<std::string> kNone;
  return impl_->visit([]<class Column>(const Column& c) -> const std::optional<std::string>& {
    if constexpr (is_text_column<Column>) {
      return c.overflow;
    } else {
      return kNone;
    }
  });
}

std::uint64_t ColumnAccumulator::longest_probe_for_testing() const {
  const auto* d = std::get_if<DictionaryColumn>(&impl_->column);
  if (d == nullptr || d->slots.empty()) return 0;
  const std::size_t mask = d->slots.size() - 1;
  std::uint64_t longest = 0;
  for (std::size_t i = 0; i < d->slots.size(); ++i) {
    if (d->slots[i] == 0) continue;
    const std::string_view text = key_text(*d, static_cast<std::uint32_t>(d->slots[i]) - 1);
    const std::size_t home = home_slot(dictionary_text_hash(text.data(), text.size(), d->hash_key), d->slots.size());
    longest = std::max<std::uint64_t>(longest, (i - home) & mask);
  }
  return longest;
}

void ColumnAccumulator::set_probe_limit_for_testing(std::size_t limit) {
  if (auto* d = std::get_if<DictionaryColumn>(&impl_->column)) d->probe_limit = limit;
}

std::uint32_t ColumnAccumulator::hash_generation_for_testing() const {
  const auto* d = std::get_if<DictionaryColumn>(&impl_->column);
  return d != nullptr ? d->hash_generation : 0;
}

void ColumnAccumulator::set_offset_limit_for_testing(std::uint64_t limit) {
  settle_any(*impl_);
  impl_->visit([limit]<class Column>(Column& c) {
    if constexpr (is_text_column<Column>) c.offset_limit = std::min(limit, kMaxOffset);
  });
}

}  // namespace vorpel
