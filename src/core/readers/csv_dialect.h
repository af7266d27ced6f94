#pragma once
// How a CSV file is written: the delimiter and quote bytes, the header, and
// the texts that stand for null, true and false.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpel::readers {

struct CsvDialect {
  char delimiter = ',';
  char quote = '"';
  // Off: no field is quoted; the quote character is text like any other.
  bool quoting = true;
  // The first record (after `skip_rows` records) names the columns.
  bool header = true;
  // Names given by the caller; with `header` the header record is then skipped.
  std::vector<std::string> column_names;
  std::uint64_t skip_rows = 0;
  // A field equal to one of these (after unquoting) is null.
  std::vector<std::string> null_values{""};
  // Boolean columns: a field equal to one of these is true / false.
  std::vector<std::string> true_values{"true"};
  std::vector<std::string> false_values{"false"};
  // A record with fewer fields than the header has its missing fields null
  // instead of being an error.
  bool fill_missing_fields = false;

  bool is_null(std::string_view text) const {
    if (null_only_empty()) return text.empty();
    for (const std::string& marker : null_values) {
      if (text == marker) return true;
    }
    return false;
  }
  bool null_only_empty() const { return null_values.size() == 1 && null_values[0].empty(); }
  // The builder's text for a boolean field: "true" / "false" for a word of
  // the vocabularies, else the field itself (which then fails to parse or
  // parses by the builder's own grammar).
  std::optional<std::string_view> boolean_word(std::string_view text) const {
    for (const std::string& word : true_values) {
      if (text == word) return "true";
    }
    for (const std::string& word : false_values) {
      if (text == word) return "false";
    }
    return std::nullopt;
  }
  bool default_booleans() const {
    return true_values.size() == 1 && true_values[0] == "true" && false_values.size() == 1 &&
           false_values[0] == "false";
  }
};

}  // namespace vorpel::readers
