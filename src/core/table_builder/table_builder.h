#pragma once
// The table builder: rows of named values in, one typed Arrow record batch out.
// Declared and discovered columns, null backfill, last value wins, strict types,
// memory budget, frozen schema, auto-dictionary, observer and row predicate.
// Problems found while rows are fed are recorded (first wins) and reported by
// `finish`.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arrow/api.h>

#include "core/columnar/accumulator.h"
#include "core/error.h"
#include "core/field_type.h"

namespace vorpel {

class Predicate;   // core/predicate/predicate.h
class PendingRow;  // core/table_builder/predicates/pending_row.h

// Progress callbacks, called synchronously on the building thread. An
// implementation may throw from on_chunk_complete; finish reports it.
class ChunkObserver {
 public:
  virtual ~ChunkObserver() = default;
  virtual void on_row_start(std::uint64_t row) = 0;
  virtual void on_value(std::uint64_t row, std::string_view column, std::uint64_t column_index,
                        const ScalarValue& value) = 0;
  virtual void on_row_kept(std::uint64_t row) = 0;
  virtual void on_row_dropped(std::uint64_t row) = 0;
  virtual void on_chunk_complete(std::uint64_t rows_seen, std::uint64_t rows_kept,
                                 std::uint64_t rows_dropped) = 0;
};

struct BuilderOptions {
  std::vector<std::string> declared_columns;
  std::map<std::string, FieldType, std::less<>> column_types;
  std::set<std::string, std::less<>> dictionary_columns;
  std::map<std::string, std::string, std::less<>> renames;
  std::set<std::string, std::less<>> excluded_columns;
  std::shared_ptr<const Predicate> predicate;
  std::shared_ptr<ChunkObserver> observer;
  bool strict_types = false;
  bool auto_dictionary = false;
  std::optional<double> dictionary_max_ratio;             // absent = 0.05
  std::optional<std::uint64_t> dictionary_max_distinct;   // absent = 256
};

struct FrozenSchema {
  std::vector<std::string> columns;
  bool exact = false;
};

class TableBuilder {
 public:
  TableBuilder(std::shared_ptr<const BuilderOptions> options, std::optional<std::uint64_t> memory_budget,
               std::optional<FrozenSchema> frozen_schema, std::uint64_t capacity_hint);
  ~TableBuilder();
  TableBuilder(const TableBuilder&) = delete;
  TableBuilder& operator=(const TableBuilder&) = delete;

  void begin_row();
  // Feeds one value as the field named "value" of the current row.
  void push_scalar(const ScalarValue& value);
  void set_field(std::string_view name, const ScalarValue& value);
  void end_row();

  std::uint64_t estimated_bytes() const;
  static std::uint64_t value_estimate(const ScalarValue& value);
  // For row feeders running under a memory budget.
  bool budget_exhausted();

  // Consumes the builder's columns; call once.
  Result<std::shared_ptr<arrow::RecordBatch>> finish();

  std::uint64_t row_index() const { return row_index_; }
  std::uint64_t rows_kept() const { return rows_kept_; }
  std::uint64_t rows_dropped() const { return rows_dropped_; }

 private:
  // (Private state and helpers are the implementation's; see table_builder.cc.)
  std::uint64_t row_index_ = 0;
  std::uint64_t rows_kept_ = 0;
  std::uint64_t rows_dropped_ = 0;
};

}  // namespace vorpel
