#include "core/columnar/accumulator.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
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

using Kind = ColumnAccumulator::Kind;

// String reservations are capped so that a huge row hint does not reserve
// gigabytes of text up front.
constexpr std::uint64_t kStringReserveRows = 1000000;
constexpr std::uint64_t kStringReserveBytesPerRow = 16;

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

Kind kind_for(FieldTag tag) {
  switch (tag) {
    case FieldTag::String: return Kind::String;
    case FieldTag::Int64: return Kind::Int64;
    case FieldTag::Float64: return Kind::Float64;
    case FieldTag::Boolean: return Kind::Boolean;
    case FieldTag::Dictionary: return Kind::Dictionary;
    case FieldTag::Date32: return Kind::Date32;
    case FieldTag::Timestamp: return Kind::Timestamp;
    case FieldTag::Decimal128: return Kind::Decimal128;
  }
  core_invariant_failed("unknown field type tag");
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

// ---------------------------------------------------------------- per-kind appends

template <class T>
inline void push_slot(ColumnAccumulator::Impl& a, std::vector<T>& values, const std::optional<T>& v) {
  values.push_back(v ? *v : T{});
  a.validity.push(v.has_value());
}

inline void string_push_null(ColumnAccumulator::Impl& a) {
  a.str_offsets.push_back(a.str_offsets.back());
  a.validity.push(false);
}

void string_push(ColumnAccumulator::Impl& a, std::string_view text) {
  const std::uint64_t used = a.str_bytes.size();
  if (a.overflow.has_value() || used + text.size() > a.offset_limit) [[unlikely]] {
    // The bytes cannot be addressed by 32-bit offsets: keep the row's slot as
    // a null and remember the first row that did not fit.
    if (!a.overflow.has_value()) {
      a.overflow = overflow_text("string column", a.offset_limit, "bytes");
      a.overflow_row = a.len();
    }
    string_push_null(a);
    return;
  }
  a.str_bytes.insert(a.str_bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                     reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  a.str_offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  a.validity.push(true);
}

constexpr std::uint64_t kSlotHashMask = 0xFFFFFFFF00000000ULL;
constexpr std::size_t kMinDictionarySlots = 64;
constexpr std::size_t kSlotsPerKey = 4;
// New hash keys a column may take in its life. Each costs one re-hash of the
// dictionary, so the work stays linear in the count of texts even if every
// key met colliding texts (the probes are then no longer bounded).
constexpr std::uint32_t kMaxDictionaryHashGenerations = 16;

std::string_view dictionary_key_text(const ColumnAccumulator::Impl& a, std::uint32_t key) {
  return bytes_view(a.dict_bytes, a.dict_offsets[key], a.dict_offsets[key + 1]);
}

// Places `key` in the first free slot from the hash's home slot on; returns
// how many slots past home that is.
std::size_t slot_insert(std::vector<std::uint64_t>& slots, std::uint64_t hash, std::uint32_t key) {
  const std::size_t mask = slots.size() - 1;
  const std::size_t home = static_cast<std::size_t>(hash) & mask;
  std::size_t i = home;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = (hash & kSlotHashMask) | (static_cast<std::uint64_t>(key) + 1);
  return (i - home) & mask;
}

// Rebuilds the table with `size` slots from the dictionary's keys, moving on
// to the next hash key whenever a key lands more than kMaxDictionaryProbe
// slots past home (while generations remain).
void slots_rebuild(ColumnAccumulator::Impl& a, std::size_t size) {
  const std::size_t count = a.dict_offsets.size() - 1;
  std::vector<std::uint64_t> fresh(size, 0);
  for (;;) {
    std::size_t longest = 0;
    for (std::size_t key = 0; key < count; ++key) {
      const std::string_view text = dictionary_key_text(a, static_cast<std::uint32_t>(key));
      longest = std::max(longest, slot_insert(fresh, dictionary_text_hash(text.data(), text.size(), a.hash_key),
                                              static_cast<std::uint32_t>(key)));
    }
    if (longest <= a.probe_limit || a.hash_generation + 1 >= kMaxDictionaryHashGenerations) break;
    a.hash_key = dictionary_hash_key(++a.hash_generation);
    std::fill(fresh.begin(), fresh.end(), 0);
  }
  a.dict_slots = std::move(fresh);
}

// Makes the table at most a quarter full with the dictionary's current keys
// (so a lookup rarely probes a second slot), re-hashing every key into a
// larger table when needed.
void slots_fit(ColumnAccumulator::Impl& a) {
  const std::size_t count = a.dict_offsets.size() - 1;
  if (kSlotsPerKey * count <= a.dict_slots.size()) return;
  std::size_t size = std::max(kMinDictionarySlots, a.dict_slots.size());
  while (kSlotsPerKey * count > size) size *= 2;
  slots_rebuild(a, size);
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
inline std::uint32_t dictionary_find(const ColumnAccumulator::Impl& a, std::string_view text, std::uint64_t hash) {
  if (a.dict_slots.empty()) return ColumnAccumulator::kNoKey;
  const std::uint64_t tag = hash & kSlotHashMask;
  const std::size_t mask = a.dict_slots.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = a.dict_slots[i];
    if (slot == 0) return ColumnAccumulator::kNoKey;
    if ((slot & kSlotHashMask) != tag) continue;
    const auto key = static_cast<std::uint32_t>(slot) - 1;
    const std::int32_t begin = a.dict_offsets[key];
    const std::int32_t end = a.dict_offsets[key + 1];
    if (static_cast<std::size_t>(end - begin) == text.size() &&
        same_bytes(reinterpret_cast<const char*>(a.dict_bytes.data()) + begin, text.data(), text.size())) {
      return key;
    }
  }
}

// A text the table does not hold: added to the dictionary (kNoKey when it
// has no room left).
std::uint32_t dictionary_insert(ColumnAccumulator::Impl& a, std::string_view text, std::uint64_t hash);

inline std::uint32_t dictionary_lookup_or_insert(ColumnAccumulator::Impl& a, std::string_view text) {
  const std::uint64_t hash = dictionary_text_hash(text.data(), text.size(), a.hash_key);
  const std::uint32_t key = dictionary_find(a, text, hash);
  return key != ColumnAccumulator::kNoKey ? key : dictionary_insert(a, text, hash);
}

std::uint32_t dictionary_insert(ColumnAccumulator::Impl& a, std::string_view text, std::uint64_t hash) {
  // Every key is in the table, so the text is new.
  const std::uint64_t count = a.dict_offsets.size() - 1;
  const std::uint64_t used = a.dict_bytes.size();
  if (count + 1 > a.offset_limit) {
    if (!a.overflow) a.overflow = overflow_text("dictionary column", a.offset_limit, "distinct values");
    return ColumnAccumulator::kNoKey;
  }
  if (used + text.size() > a.offset_limit) {
    if (!a.overflow) a.overflow = overflow_text("dictionary column", a.offset_limit, "bytes");
    return ColumnAccumulator::kNoKey;
  }
  const auto key = static_cast<std::uint32_t>(count);
  a.dict_bytes.insert(a.dict_bytes.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                      reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
  a.dict_offsets.push_back(static_cast<std::int32_t>(used + text.size()));
  if (kSlotsPerKey * (static_cast<std::size_t>(count) + 1) > a.dict_slots.size()) {
    slots_fit(a);  // re-hashes the new key with the others
  } else if (slot_insert(a.dict_slots, hash, key) > a.probe_limit &&
             a.hash_generation + 1 < kMaxDictionaryHashGenerations) [[unlikely]] {
    // Texts that collide under this hash key: the next one scatters them.
    a.hash_key = dictionary_hash_key(++a.hash_generation);
    slots_rebuild(a, a.dict_slots.size());
  }
  return key;
}

inline void dictionary_push_null(ColumnAccumulator::Impl& a) {
  a.keys.push_back(0);
  a.validity.push(false);
}

void dictionary_push(ColumnAccumulator::Impl& a, std::string_view text) {
  const std::uint32_t key = dictionary_lookup_or_insert(a, text);
  if (key == ColumnAccumulator::kNoKey) [[unlikely]] {
    dictionary_push_null(a);
    return;
  }
  a.keys.push_back(static_cast<std::int32_t>(key));
  a.validity.push(true);
}

void push_null(ColumnAccumulator::Impl& a) {
  switch (a.kind) {
    case Kind::String: string_push_null(a); return;
    case Kind::Int64:
    case Kind::Timestamp: a.i64_values.push_back(0); break;
    case Kind::Float64: a.f64_values.push_back(0.0); break;
    case Kind::Boolean: a.bool_values.push_back(0); break;
    case Kind::Date32: a.date_values.push_back(0); break;
    case Kind::Decimal128: a.dec_values.push_back(0); break;
    case Kind::Dictionary: dictionary_push_null(a); return;
  }
  a.validity.push(false);
}

// A rendered text landing in a String or Dictionary column.
void push_rendered(ColumnAccumulator::Impl& a, std::string_view text) {
  if (a.kind == Kind::String) {
    string_push(a, text);
  } else {
    dictionary_push(a, text);
  }
}

// ---------------------------------------------------------------- reads

std::string_view string_text(const ColumnAccumulator::Impl& a, std::uint64_t row) {
  return bytes_view(a.str_bytes, a.str_offsets[row], a.str_offsets[row + 1]);
}

// A String column's row: its text, or nullopt for a null row, read from an
// adopted input array (which then holds every row) or from the own buffers.
std::optional<std::string_view> string_row(const ColumnAccumulator::Impl& a, std::uint64_t row) {
  if (a.adopted) {
    const arrow::ArrayData& array = *a.adopted;
    const std::uint64_t bit = static_cast<std::uint64_t>(array.offset) + row;
    if (array.buffers[0] != nullptr && ((array.buffers[0]->data()[bit >> 3] >> (bit & 7)) & 1) == 0) {
      return std::nullopt;
    }
    const std::int32_t* offsets = array.GetValues<std::int32_t>(1);
    const auto* data = reinterpret_cast<const char*>(array.buffers[2]->data());
    return std::string_view(data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
  }
  if (!a.validity.is_valid(row)) return std::nullopt;
  return string_text(a, row);
}

std::string_view dictionary_text(const ColumnAccumulator::Impl& a, std::uint64_t row) {
  const auto key = static_cast<std::size_t>(a.keys[row]);
  return bytes_view(a.dict_bytes, a.dict_offsets[key], a.dict_offsets[key + 1]);
}

// ---------------------------------------------------------------- column appends

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
[[gnu::noinline]] std::optional<std::uint64_t> append_rows(ValidityBitmap& validity, std::vector<T>& values, const TextColumnView& c,
                                         Parse&& parse) {
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

// String rows in bulk: the offsets are shifted, the bytes of the valid rows
// are copied in runs (null rows contribute no bytes, whatever their offsets
// span in the input), and the validity bits are taken over a word at a time.
// False, with nothing appended, when the texts might pass the offset limit
// (the row-by-row path then records exactly where).
template <class Offset>
bool string_append_bulk(ColumnAccumulator::Impl& a, const TextColumnView& c) {
  const Offset* const offsets = static_cast<const Offset*>(c.offsets);
  const std::uint64_t n = c.length;
  const auto span = static_cast<std::uint64_t>(offsets[n] - offsets[0]);
  const std::uint64_t used = a.str_bytes.size();
  if (a.overflow.has_value() || used + span > a.offset_limit) return false;
  reserve_more(a.str_offsets, static_cast<std::size_t>(n));
  reserve_more(a.str_bytes, static_cast<std::size_t>(span));
  a.validity.reserve_more(n);
  const auto* const data = reinterpret_cast<const std::uint8_t*>(c.data);
  // Input position minus output position at the current row boundary.
  auto delta = static_cast<std::int64_t>(offsets[0]) - static_cast<std::int64_t>(used);
  auto run_begin = static_cast<std::int64_t>(offsets[0]);  // first input byte not yet copied
  for (std::uint64_t block = 0; block < n; block += 64) {
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(64, n - block));
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t present =
        c.validity != nullptr ? read_bits(c.validity, c.validity_offset + block, count) : all;
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
          a.str_bytes.insert(a.str_bytes.end(), data + run_begin, data + begin);
          run_begin = end;
          delta += end - begin;
        }
        ends[j] = static_cast<std::int32_t>(end - delta);
      }
    }
    a.str_offsets.insert(a.str_offsets.end(), ends, ends + count);
    a.validity.append_word(present, count);
  }
  a.str_bytes.insert(a.str_bytes.end(), data + run_begin, data + static_cast<std::int64_t>(offsets[n]));
  return true;
}

// When the valid rows of `c` hold more bytes than the column has room for,
// marks the overflow at the row string_push would have found and stores
// every row as a null, copying nothing; else returns false and does nothing.
template <class Offset>
bool string_overflow_at_once(ColumnAccumulator::Impl& a, const TextColumnView& c) {
  const Offset* const offsets = static_cast<const Offset*>(c.offsets);
  const std::uint64_t n = c.length;
  const std::uint64_t used = a.str_bytes.size();
  if (a.overflow.has_value() || used + static_cast<std::uint64_t>(offsets[n] - offsets[0]) <= a.offset_limit) {
    return false;
  }
  std::uint64_t total = used;
  std::uint64_t first_over = n;
  for (std::uint64_t row = 0; row < n && first_over == n; ++row) {
    if (!c.is_valid(row)) continue;
    total += static_cast<std::uint64_t>(offsets[row + 1] - offsets[row]);
    if (total > a.offset_limit) first_over = row;
  }
  if (first_over == n) return false;  // the bytes under null rows made it look too big
  a.overflow = overflow_text("string column", a.offset_limit, "bytes");
  a.overflow_row = a.len() + first_over;
  a.str_offsets.insert(a.str_offsets.end(), static_cast<std::size_t>(n), a.str_offsets.back());
  a.validity.append_run(false, n);
  return true;
}

// Timestamps without a custom pattern: the common ISO shapes are read inline
// with the unit fixed at compile time; any other text goes to the parser.
template <class Offset, TimeUnit kUnit>
std::optional<std::uint64_t> append_iso_timestamps(ColumnAccumulator::Impl& a, const TextColumnView& c,
                                                   const TimestampParser& parser) {
  const char* const readable_end = c.data + c.data_size;
  return append_rows<Offset, true>(a.validity, a.i64_values, c,
                                   [&parser, readable_end] [[gnu::always_inline]] (const char* p, std::size_t n,
                                                                                   std::int64_t& slot) {
                                     return fast::iso_timestamp_into(p, n, readable_end, kUnit, slot) ||
                                            parser.parse_into(std::string_view(p, n), slot);
                                   });
}


// A String column that holds nothing yet takes the whole input array as its
// contents when the array's texts start at byte 0: nothing is copied or
// walked now, and when the column is finished the array's buffers become the
// result (after their UTF-8 check). Bytes under null rows then stay in the
// value buffer, as Arrow allows. Not with a lowered offset limit, whose
// overflow handling needs the copy.
bool adopt_array(ColumnAccumulator::Impl& a, const TextColumnView& c) {
  const arrow::ArrayData* array = c.array.get();
  if (array == nullptr || c.large_offsets || a.len() != 0 || a.overflow ||
      a.offset_limit != ColumnAccumulator::kMaxOffset || static_cast<std::uint64_t>(array->length) != c.length ||
      array->buffers.size() != 3 || array->buffers[1] == nullptr || array->buffers[2] == nullptr ||
      static_cast<const std::int32_t*>(c.offsets)[0] != 0) {
    return false;
  }
  a.adopted = c.array;
  a.adopted_rows = c.length;
  a.adopted_nulls = static_cast<std::uint64_t>(array->GetNullCount());
  a.adopted_valid_utf8 = c.texts_valid_utf8;
  // The room reserved for copying the texts is not needed.
  a.str_bytes = {};
  a.str_offsets = {0};
  a.validity = ValidityBitmap();
  return true;
}

template <class Offset>
std::optional<std::uint64_t> append_column(ColumnAccumulator& acc, ColumnAccumulator::Impl& a,
                                           const TextColumnView& c) {
  const char* const readable_end = c.data + c.data_size;
  switch (a.kind) {
    case Kind::String: {
      if (adopt_array(a, c)) return std::nullopt;
      if (string_append_bulk<Offset>(a, c)) return std::nullopt;
      // Row by row: the offset limit is in reach.
      for (std::uint64_t row = 0; row < c.length; ++row) {
        if (c.is_valid(row)) {
          acc.append_text(c.text(row));
        } else {
          acc.append_null();
        }
      }
      return std::nullopt;
    }
    case Kind::Int64:
      return append_rows<Offset, true>(a.validity, a.i64_values, c,
                                       [readable_end](const char* p, std::size_t n, std::int64_t& slot) {
                                         return fast::parse_int64_into(p, n, readable_end, slot);
                                       });
    case Kind::Float64:
      // Forced inline: the parser is large enough that the compiler would
      // otherwise call the lambda for every value.
      return append_rows<Offset, true>(a.validity, a.f64_values, c,
                                       [readable_end] [[gnu::always_inline]] (const char* p, std::size_t n,
                                                                              double& slot) {
                                         return fast::parse_float64_into(p, n, readable_end, slot);
                                       });
    case Kind::Boolean:
      return append_rows<Offset, true>(a.validity, a.bool_values, c,
                                       [readable_end](const char* p, std::size_t n, std::uint8_t& slot) {
                                         return fast::parse_boolean_into(p, n, readable_end, slot);
                                       });
    case Kind::Date32:
      return append_rows<Offset, true>(a.validity, a.date_values, c,
                                       [readable_end] [[gnu::always_inline]] (const char* p, std::size_t n,
                                                                              std::int32_t& slot) {
                                         return fast::parse_date32_into(p, n, readable_end, slot);
                                       });
    case Kind::Timestamp: {
      const TimestampParser& parser = *a.timestamp_parser;
      if (parser.builtin_only()) {
        switch (parser.unit()) {
          case TimeUnit::Second: return append_iso_timestamps<Offset, TimeUnit::Second>(a, c, parser);
          case TimeUnit::Millisecond: return append_iso_timestamps<Offset, TimeUnit::Millisecond>(a, c, parser);
          case TimeUnit::Microsecond: return append_iso_timestamps<Offset, TimeUnit::Microsecond>(a, c, parser);
          case TimeUnit::Nanosecond: return append_iso_timestamps<Offset, TimeUnit::Nanosecond>(a, c, parser);
        }
      }
      return append_rows<Offset, true>(a.validity, a.i64_values, c,
                                       [&parser](const char* p, std::size_t n, std::int64_t& slot) {
                                         return parser.parse_into(std::string_view(p, n), slot);
                                       });
    }
    case Kind::Decimal128: {
      const std::uint8_t scale = a.scale;
      return append_rows<Offset, true>(a.validity, a.dec_values, c,
                                       [scale](const char* p, std::size_t n, int128& slot) {
                                         if (fast::parse_decimal128_into(p, n, scale, slot) && fits_decimal38(slot)) {
                                           return true;
                                         }
                                         slot = 0;  // 39 digits do not parse as the column's type
                                         return false;
                                       });
    }
    case Kind::Dictionary: {
      // A text that finds no room in the dictionary is stored as null, but
      // it is not a parse failure (as with append_text). The hash key is
      // kept in a local (registers), taken again after an insert, which may
      // move the table to a new key.
      DictionaryHashKey hash_key = a.hash_key;
      return append_rows<Offset, false>(
          a.validity, a.keys, c, [&a, &hash_key](const char* p, std::size_t n, std::int32_t& slot) {
            const std::string_view text(p, n);
            const std::uint64_t hash = dictionary_text_hash(p, n, hash_key);
            std::uint32_t key = dictionary_find(a, text, hash);
            if (key == ColumnAccumulator::kNoKey) [[unlikely]] {
              key = dictionary_insert(a, text, hash);
              hash_key = a.hash_key;
            }
            const bool stored = key != ColumnAccumulator::kNoKey;
            slot = stored ? static_cast<std::int32_t>(key) : 0;
            return stored;
          });
    }
  }
  return std::nullopt;
}

std::unique_ptr<ColumnAccumulator::Impl> make_impl(const FieldType& type, std::uint64_t capacity) {
  auto a = std::make_unique<ColumnAccumulator::Impl>();
  a->kind = kind_for(type.tag);
  switch (a->kind) {
    case Kind::String: {
      const std::uint64_t n = std::min(capacity, kStringReserveRows);
      reserve_values(a->str_bytes, kStringReserveBytesPerRow * n);
      reserve_values(a->str_offsets, n + 1);
      a->str_offsets.push_back(0);
      a->validity.reserve(n);
      return a;
    }
    case Kind::Int64: reserve_values(a->i64_values, capacity); break;
    case Kind::Float64: reserve_values(a->f64_values, capacity); break;
    case Kind::Boolean: reserve_values(a->bool_values, capacity); break;
    case Kind::Date32: reserve_values(a->date_values, capacity); break;
    case Kind::Timestamp:
      reserve_values(a->i64_values, capacity);
      a->unit = type.unit;
      a->pattern = type.pattern;
      a->timestamp_parser.emplace(type.unit, a->pattern);
      break;
    case Kind::Decimal128:
      reserve_values(a->dec_values, capacity);
      a->scale = type.scale;
      break;
    case Kind::Dictionary:
      reserve_values(a->keys, capacity);
      a->dict_offsets.push_back(0);
      break;
  }
  a->validity.reserve(capacity);
  return a;
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

void settle_adopted(ColumnAccumulator::Impl& a) {
  const std::shared_ptr<const arrow::ArrayData> array = std::move(a.adopted);
  a.adopted.reset();
  a.adopted_rows = 0;
  a.adopted_nulls = 0;
  a.adopted_valid_utf8 = false;
  // The column was empty and a Utf8 array's bytes always fit 32-bit offsets.
  if (!string_append_bulk<std::int32_t>(a, text_column_view(array, false))) core_invariant_failed("adopted texts do not fit");
}

// ---------------------------------------------------------------- lifecycle

ColumnAccumulator::ColumnAccumulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ColumnAccumulator::ColumnAccumulator(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator& ColumnAccumulator::operator=(ColumnAccumulator&&) noexcept = default;
ColumnAccumulator::~ColumnAccumulator() = default;

ColumnAccumulator ColumnAccumulator::create(const FieldType& type, std::uint64_t capacity) {
  return ColumnAccumulator(make_impl(type, capacity));
}

ColumnAccumulator::Kind ColumnAccumulator::kind() const { return impl_->kind; }

FieldType ColumnAccumulator::field_type() const {
  const Impl& a = *impl_;
  switch (a.kind) {
    case Kind::String: return FieldType::simple(FieldTag::String);
    case Kind::Int64: return FieldType::simple(FieldTag::Int64);
    case Kind::Float64: return FieldType::simple(FieldTag::Float64);
    case Kind::Boolean: return FieldType::simple(FieldTag::Boolean);
    case Kind::Date32: return FieldType::simple(FieldTag::Date32);
    case Kind::Timestamp: return FieldType::timestamp(a.unit, a.pattern);
    case Kind::Decimal128: return FieldType::decimal128(a.scale);
    case Kind::Dictionary: return FieldType::simple(FieldTag::Dictionary);
  }
  core_invariant_failed("unknown accumulator kind");
}

// ---------------------------------------------------------------- appends

bool ColumnAccumulator::append_text(std::optional<std::string_view> text) {
  Impl& a = *impl_;
  settle(a);
  if (!text) {
    push_null(a);
    return true;
  }
  const std::string_view t = *text;
  switch (a.kind) {
    case Kind::String:
      string_push(a, t);
      return true;
    case Kind::Int64: {
      const auto v = parse_int64(t);
      push_slot(a, a.i64_values, v);
      return v.has_value();
    }
    case Kind::Float64: {
      const auto v = parse_float64(t);
      push_slot(a, a.f64_values, v);
      return v.has_value();
    }
    case Kind::Boolean: {
      const auto v = parse_boolean(t);
      a.bool_values.push_back(v ? static_cast<std::uint8_t>(*v) : 0);
      a.validity.push(v.has_value());
      return v.has_value();
    }
    case Kind::Date32: {
      const auto v = parse_date32(t);
      push_slot(a, a.date_values, v);
      return v.has_value();
    }
    case Kind::Timestamp: {
      const auto v = a.timestamp_parser->parse(t);
      push_slot(a, a.i64_values, v);
      return v.has_value();
    }
    case Kind::Decimal128: {
      const auto v = parse_decimal38(t, a.scale);
      push_slot(a, a.dec_values, v);
      return v.has_value();
    }
    case Kind::Dictionary:
      dictionary_push(a, t);
      return true;
  }
  return true;
}

void ColumnAccumulator::append_null() {
  settle(*impl_);
  push_null(*impl_);
}

void ColumnAccumulator::append_nulls(std::uint64_t count) {
  Impl& a = *impl_;
  if (count == 0) return;
  settle(a);
  const auto n = static_cast<std::size_t>(count);
  switch (a.kind) {
    case Kind::String: a.str_offsets.insert(a.str_offsets.end(), n, a.str_offsets.back()); break;
    case Kind::Int64:
    case Kind::Timestamp: a.i64_values.resize(a.i64_values.size() + n, 0); break;
    case Kind::Float64: a.f64_values.resize(a.f64_values.size() + n, 0.0); break;
    case Kind::Boolean: a.bool_values.resize(a.bool_values.size() + n, 0); break;
    case Kind::Date32: a.date_values.resize(a.date_values.size() + n, 0); break;
    case Kind::Decimal128: a.dec_values.resize(a.dec_values.size() + n, 0); break;
    case Kind::Dictionary: a.keys.resize(a.keys.size() + n, 0); break;
  }
  a.validity.append_run(false, count);
}

std::optional<std::uint64_t> ColumnAccumulator::append_texts(const TextColumnView& column, bool rows_final) {
  if (column.length == 0) return std::nullopt;
  settle(*impl_);
  if (rows_final && impl_->kind == Kind::String &&
      (column.large_offsets ? string_overflow_at_once<std::int64_t>(*impl_, column)
                            : string_overflow_at_once<std::int32_t>(*impl_, column))) {
    return std::nullopt;
  }
  return column.large_offsets ? append_column<std::int64_t>(*this, *impl_, column)
                              : append_column<std::int32_t>(*this, *impl_, column);
}

void ColumnAccumulator::reserve_for_texts(std::uint64_t rows, std::uint64_t text_bytes) {
  Impl& a = *impl_;
  settle(a);
  const auto n = static_cast<std::size_t>(rows);
  switch (a.kind) {
    case Kind::String: {
      const std::uint64_t room = a.offset_limit - std::min<std::uint64_t>(a.offset_limit, a.str_bytes.size());
      reserve_values(a.str_bytes, a.str_bytes.size() + static_cast<std::size_t>(std::min(text_bytes, room)));
      reserve_values(a.str_offsets, a.str_offsets.size() + n);
      break;
    }
    case Kind::Int64:
    case Kind::Timestamp: reserve_values(a.i64_values, a.i64_values.size() + n); break;
    case Kind::Float64: reserve_values(a.f64_values, a.f64_values.size() + n); break;
    case Kind::Boolean: reserve_values(a.bool_values, a.bool_values.size() + n); break;
    case Kind::Date32: reserve_values(a.date_values, a.date_values.size() + n); break;
    case Kind::Decimal128: reserve_values(a.dec_values, a.dec_values.size() + n); break;
    case Kind::Dictionary: reserve_values(a.keys, a.keys.size() + n); break;
  }
  a.validity.reserve(a.len() + rows);
}

bool ColumnAccumulator::append_value(const ScalarValue& value) {
  if (value.kind == ScalarValue::Kind::Str) return append_text(value.str);
  Impl& a = *impl_;
  settle(a);
  RenderBuffer buffer;
  const TypedCell cell = convert_for_column(value, a.kind, a.unit, buffer);
  switch (cell.kind) {
    case CellKind::Str: push_rendered(a, cell.str); break;
    case CellKind::Int64:
    case CellKind::Timestamp: push_slot(a, a.i64_values, std::optional<std::int64_t>(cell.i64)); break;
    case CellKind::Float64: push_slot(a, a.f64_values, std::optional<double>(cell.f64)); break;
    case CellKind::Bool:
      a.bool_values.push_back(cell.b ? 1 : 0);
      a.validity.push(true);
      break;
    case CellKind::Date32: push_slot(a, a.date_values, std::optional<std::int32_t>(cell.date)); break;
    case CellKind::Decimal128: push_slot(a, a.dec_values, std::optional<int128>(cell.dec)); break;
    case CellKind::Absent: push_null(a); break;
  }
  return true;
}

TypedCell convert_for_column(const ScalarValue& value, ColumnAccumulator::Kind kind, TimeUnit unit,
                             RenderBuffer& buffer) {
  using VK = ScalarValue::Kind;
  const TypedCell absent = TypedCell::absent();
  if (kind == Kind::String || kind == Kind::Dictionary) {
    char* const begin = buffer.data();
    char* end = begin;
    switch (value.kind) {
      case VK::Int64:
      case VK::Timestamp: end = render_int64_to(begin, value.i64); break;
      case VK::Float64: end = render_float64_to(begin, value.f64); break;
      case VK::Bool: return TypedCell::of_str(value.b ? std::string_view("true") : std::string_view("false"));
      case VK::Date32: end = render_date32_to(begin, value.date); break;
      case VK::Str:
      case VK::Null: return absent;
    }
    return TypedCell::of_str(std::string_view(begin, static_cast<std::size_t>(end - begin)));
  }
  switch (value.kind) {
    case VK::Int64:
    case VK::Timestamp:
      if (kind == Kind::Int64) return TypedCell::of_int64(value.i64);
      if (kind == Kind::Float64) return TypedCell::of_float64(static_cast<double>(value.i64));
      if (kind == Kind::Timestamp && value.kind == VK::Timestamp) return TypedCell::of_timestamp(value.i64, unit);
      return absent;
    case VK::Float64:
      if (kind == Kind::Int64) return TypedCell::of_int64(truncate_saturating(value.f64));
      if (kind == Kind::Float64) return TypedCell::of_float64(value.f64);
      return absent;
    case VK::Bool:
      return kind == Kind::Boolean ? TypedCell::of_bool(value.b) : absent;
    case VK::Date32:
      if (kind == Kind::Int64) return TypedCell::of_int64(value.date);
      if (kind == Kind::Float64) return TypedCell::of_float64(static_cast<double>(value.date));
      if (kind == Kind::Date32) return TypedCell::of_date32(value.date);
      return absent;
    case VK::Str:
    case VK::Null:
      return absent;
  }
  return absent;
}

void ColumnAccumulator::remove_last() {
  Impl& a = *impl_;
  settle(a);
  if (a.len() == 0) return;
  switch (a.kind) {
    case Kind::String:
      a.str_offsets.pop_back();
      a.str_bytes.resize(static_cast<std::size_t>(a.str_offsets.back()));
      break;
    case Kind::Int64:
    case Kind::Timestamp: a.i64_values.pop_back(); break;
    case Kind::Float64: a.f64_values.pop_back(); break;
    case Kind::Boolean: a.bool_values.pop_back(); break;
    case Kind::Date32: a.date_values.pop_back(); break;
    case Kind::Decimal128: a.dec_values.pop_back(); break;
    // The dictionary keeps texts of removed rows; only the key goes.
    case Kind::Dictionary: a.keys.pop_back(); break;
  }
  a.validity.pop();
  // Every row before the first one that did not fit is intact, so removing
  // that row makes the column whole again.
  if (a.kind == Kind::String && a.overflow && a.len() <= a.overflow_row) a.overflow.reset();
}

// ---------------------------------------------------------------- reads

std::uint64_t ColumnAccumulator::len() const { return impl_->len(); }
std::uint64_t ColumnAccumulator::null_count() const { return impl_->null_count(); }

std::uint32_t ColumnAccumulator::dictionary_key(std::string_view text) {
  if (impl_->kind != Kind::Dictionary) core_invariant_failed("dictionary_key on a non-dictionary column");
  return dictionary_lookup_or_insert(*impl_, text);
}

// The reads below leave an adopted input array where it is: a String
// column's rows are read from it as they are from the own buffers.

std::optional<std::string_view> ColumnAccumulator::text_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (a.kind != Kind::String || row >= a.len()) return std::nullopt;
  const std::optional<std::string_view> text = string_row(a, row);
  if (!text || !utf8::is_valid(*text)) return std::nullopt;
  return text;
}

TypedCell ColumnAccumulator::cell_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (a.kind == Kind::String) {
    const auto text = text_at(row);
    return text ? TypedCell::of_str(*text) : TypedCell::absent();
  }
  if (row >= a.len() || !a.validity.is_valid(row)) return TypedCell::absent();
  switch (a.kind) {
    case Kind::String: break;  // above
    case Kind::Int64: return TypedCell::of_int64(a.i64_values[row]);
    case Kind::Float64: return TypedCell::of_float64(a.f64_values[row]);
    case Kind::Boolean: return TypedCell::of_bool(a.bool_values[row] != 0);
    case Kind::Date32: return TypedCell::of_date32(a.date_values[row]);
    case Kind::Timestamp: return TypedCell::of_timestamp(a.i64_values[row], a.unit);
    case Kind::Decimal128: return TypedCell::of_decimal128(a.dec_values[row], a.scale);
    case Kind::Dictionary: {
      const std::string_view text = dictionary_text(a, row);
      return utf8::is_valid(text) ? TypedCell::of_str(text) : TypedCell::absent();
    }
  }
  return TypedCell::absent();
}

std::optional<std::string> ColumnAccumulator::cell_text_at(std::uint64_t row) const {
  const Impl& a = *impl_;
  if (a.kind == Kind::String) {
    const auto text = text_at(row);
    if (!text) return std::nullopt;
    return std::string(*text);
  }
  if (row >= a.len() || !a.validity.is_valid(row)) return std::nullopt;
  switch (a.kind) {
    case Kind::String: break;  // above
    case Kind::Int64: return render_int64(a.i64_values[row]);
    case Kind::Float64: return render_float64(a.f64_values[row]);
    case Kind::Boolean: return render_boolean(a.bool_values[row] != 0);
    case Kind::Date32: return render_date32(a.date_values[row]);
    case Kind::Timestamp: return render_timestamp(a.i64_values[row], a.unit);
    case Kind::Decimal128: return render_decimal128(a.dec_values[row], a.scale);
    case Kind::Dictionary: return utf8::lossy(dictionary_text(a, row));
  }
  return std::nullopt;
}

void ColumnAccumulator::encode_as_dictionary() {
  settle(*impl_);
  const Impl& s = *impl_;
  if (s.kind != Kind::String) return;
  auto d = make_impl(FieldType::simple(FieldTag::Dictionary), s.len());
  d->offset_limit = s.offset_limit;
  // Rows that did not fit were stored as nulls: the build must still fail.
  d->overflow = s.overflow;
  for (std::uint64_t row = 0; row < s.len(); ++row) {
    const auto text = text_at(row);
    if (text) {
      dictionary_push(*d, *text);
    } else {
      dictionary_push_null(*d);
    }
  }
  impl_ = std::move(d);
}

std::uint64_t ColumnAccumulator::distinct_count() const {
  const Impl& a = *impl_;
  if (a.kind != Kind::String) return 0;
  std::unordered_set<std::string_view> seen;
  for (std::uint64_t row = 0; row < a.len(); ++row) {
    const auto text = text_at(row);
    if (text) seen.insert(*text);
  }
  return seen.size();
}

std::uint64_t ColumnAccumulator::reserved_bytes() const {
  const Impl& a = *impl_;
  std::uint64_t total = a.validity.reserved_bytes();
  total += a.i64_values.capacity() * sizeof(std::int64_t);
  total += a.f64_values.capacity() * sizeof(double);
  total += a.bool_values.capacity();
  total += a.date_values.capacity() * sizeof(std::int32_t);
  total += a.dec_values.capacity() * sizeof(int128);
  total += a.str_bytes.capacity();
  total += a.str_offsets.capacity() * sizeof(std::int32_t);
  total += a.keys.capacity() * sizeof(std::int32_t);
  total += a.dict_bytes.capacity();
  total += a.dict_offsets.capacity() * sizeof(std::int32_t);
  if (a.kind == Kind::Dictionary) {
    // The distinct bytes once more: growing them copies them into a new
    // buffer while the old one is still held (the dictionary keeps no other
    // copy of its texts).
    total += a.dict_bytes.size();
    total += a.dict_slots.capacity() * sizeof(std::uint64_t);
  }
  if (a.pattern) total += a.pattern->capacity();
  return total;
}

const std::optional<std::string>& ColumnAccumulator::overflow() const { return impl_->overflow; }

std::uint64_t ColumnAccumulator::longest_probe_for_testing() const {
  const Impl& a = *impl_;
  if (a.kind != Kind::Dictionary || a.dict_slots.empty()) return 0;
  const std::size_t mask = a.dict_slots.size() - 1;
  std::uint64_t longest = 0;
  for (std::size_t i = 0; i < a.dict_slots.size(); ++i) {
    if (a.dict_slots[i] == 0) continue;
    const std::string_view text = dictionary_key_text(a, static_cast<std::uint32_t>(a.dict_slots[i]) - 1);
    const auto home = static_cast<std::size_t>(dictionary_text_hash(text.data(), text.size(), a.hash_key)) & mask;
    longest = std::max<std::uint64_t>(longest, (i - home) & mask);
  }
  return longest;
}

void ColumnAccumulator::set_probe_limit_for_testing(std::size_t limit) { impl_->probe_limit = limit; }

std::uint32_t ColumnAccumulator::hash_generation_for_testing() const { return impl_->hash_generation; }

void ColumnAccumulator::set_offset_limit_for_testing(std::uint64_t limit) {
  settle(*impl_);
  impl_->offset_limit = std::min(limit, kMaxOffset);
}

}  // namespace vorpel
