#pragma once
// Display text of an Arrow data type as shown in user-facing messages:
// Int64, Utf8, LargeUtf8, Timestamp(Millisecond, None),
// Timestamp(Second, Some("UTC")), Decimal128(38, 2), Dictionary(Int32, Utf8),
// List(Field { name: "item", data_type: Int64, nullable: true, ... }), ...
// Extension types are shown by their storage type.

#include <string>

#include <arrow/type_fwd.h>

namespace vorpel::py {

std::string arrow_type_name(const arrow::DataType& type);

// One child field in the same style:
// Field { name: "item", data_type: Int64, nullable: true, dict_id: 0,
// dict_is_ordered: false, metadata: {} }
std::string arrow_field_text(const arrow::Field& field);

}  // namespace vorpel::py
