#pragma once
// Arrays compared buffer by buffer: two finished columns are the same only
// when every buffer holds the same bytes, so values stored under null rows,
// bytes of NaN payloads and the order of a dictionary's texts count too
// (arrow::Array::Equals looks at none of them). Used by the unit tests and
// the fuzz targets, so it reports in words instead of through a test framework.

#include <cstdint>
#include <optional>
#include <string>

#include <arrow/api.h>

namespace vorpel::testing {

// The first difference between two arrays' data (type, length, offset, null
// count, each buffer's presence, size and bytes, children, dictionary), or
// nothing when they are identical.
inline std::optional<std::string> buffer_difference(const arrow::ArrayData& got, const arrow::ArrayData& want,
                                                    const std::string& where = "array") {
  if (!got.type->Equals(*want.type)) return where + ": type " + got.type->ToString() + " vs " + want.type->ToString();
  if (got.length != want.length) {
    return where + ": length " + std::to_string(got.length) + " vs " + std::to_string(want.length);
  }
  if (got.offset != want.offset) {
    return where + ": offset " + std::to_string(got.offset) + " vs " + std::to_string(want.offset);
  }
  if (got.GetNullCount() != want.GetNullCount()) {
    return where + ": null count " + std::to_string(got.GetNullCount()) + " vs " + std::to_string(want.GetNullCount());
  }
  if (got.buffers.size() != want.buffers.size()) return where + ": buffer count";
  for (std::size_t i = 0; i < got.buffers.size(); ++i) {
    const std::string buffer = where + ": buffer " + std::to_string(i);
    const auto& g = got.buffers[i];
    const auto& w = want.buffers[i];
    if ((g == nullptr) != (w == nullptr)) return buffer + (g == nullptr ? " missing" : " unexpected");
    if (g == nullptr) continue;
    if (g->size() != w->size()) return buffer + " size " + std::to_string(g->size()) + " vs " + std::to_string(w->size());
    for (std::int64_t b = 0; b < g->size(); ++b) {
      if (g->data()[b] != w->data()[b]) {
        return buffer + " byte " + std::to_string(b) + ": " + std::to_string(g->data()[b]) + " vs " +
               std::to_string(w->data()[b]);
      }
    }
  }
  if (got.child_data.size() != want.child_data.size()) return where + ": child count";
  for (std::size_t i = 0; i < got.child_data.size(); ++i) {
    if (auto d = buffer_difference(*got.child_data[i], *want.child_data[i], where + ": child " + std::to_string(i))) {
      return d;
    }
  }
  if ((got.dictionary == nullptr) != (want.dictionary == nullptr)) return where + ": dictionary presence";
  if (got.dictionary != nullptr) return buffer_difference(*got.dictionary, *want.dictionary, where + ": dictionary");
  return std::nullopt;
}

}  // namespace vorpel::testing
