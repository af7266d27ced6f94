#include "python/arrow_type_name.h"

#include <string>

#include <arrow/extension_type.h>
#include <arrow/type.h>
#include <arrow/util/key_value_metadata.h>

#include "core/field_type.h"

namespace vorpel::py {

namespace {

const char* unit_text(arrow::TimeUnit::type unit) {
  switch (unit) {
    case arrow::TimeUnit::SECOND:
      return "Second";
    case arrow::TimeUnit::MILLI:
      return "Millisecond";
    case arrow::TimeUnit::MICRO:
      return "Microsecond";
    case arrow::TimeUnit::NANO:
      return "Nanosecond";
  }
  return "Unknown";
}

void append_type(std::string& out, const arrow::DataType& type);

void append_field(std::string& out, const arrow::Field& field) {
  out += "Field { name: ";
  out += quote_text(field.name());
  out += ", data_type: ";
  append_type(out, *field.type());
  out += ", nullable: ";
  out += field.nullable() ? "true" : "false";
  out += ", dict_id: 0, dict_is_ordered: ";
  const bool ordered = field.type()->id() == arrow::Type::DICTIONARY &&
                       static_cast<const arrow::DictionaryType&>(*field.type()).ordered();
  out += ordered ? "true" : "false";
  out += ", metadata: {";
  if (const auto& md = field.metadata()) {
    for (int64_t i = 0; i < md->size(); ++i) {
      if (i > 0) out += ", ";
      out += quote_text(md->key(i));
      out += ": ";
      out += quote_text(md->value(i));
    }
  }
  out += "} }";
}

void append_fields(std::string& out, const arrow::FieldVector& fields) {
  out += '[';
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ", ";
    append_field(out, *fields[i]);
  }
  out += ']';
}

void append_precision_scale(std::string& out, const char* name, const arrow::DecimalType& t) {
  out += name;
  out += '(';
  out += std::to_string(t.precision());
  out += ", ";
  out += std::to_string(t.scale());
  out += ')';
}

void append_type(std::string& out, const arrow::DataType& type) {
  using arrow::Type;
  switch (type.id()) {
    case Type::NA: out += "Null"; return;
    case Type::BOOL: out += "Boolean"; return;
    case Type::INT8: out += "Int8"; return;
    case Type::INT16: out += "Int16"; return;
    case Type::INT32: out += "Int32"; return;
    case Type::INT64: out += "Int64"; return;
    case Type::UINT8: out += "UInt8"; return;
    case Type::UINT16: out += "UInt16"; return;
    case Type::UINT32: out += "UInt32"; return;
    case Type::UINT64: out += "UInt64"; return;
    case Type::HALF_FLOAT: out += "Float16"; return;
    case Type::FLOAT: out += "Float32"; return;
    case Type::DOUBLE: out += "Float64"; return;
    case Type::STRING: out += "Utf8"; return;
    case Type::LARGE_STRING: out += "LargeUtf8"; return;
    case Type::STRING_VIEW: out += "Utf8View"; return;
    case Type::BINARY: out += "Binary"; return;
    case Type::LARGE_BINARY: out += "LargeBinary"; return;
    case Type::BINARY_VIEW: out += "BinaryView"; return;
    case Type::FIXED_SIZE_BINARY:
      out += "FixedSizeBinary(";
      out += std::to_string(static_cast<const arrow::FixedSizeBinaryType&>(type).byte_width());
      out += ')';
      return;
    case Type::DATE32: out += "Date32"; return;
    case Type::DATE64: out += "Date64"; return;
    case Type::TIME32:
      out += "Time32(";
      out += unit_text(static_cast<const arrow::Time32Type&>(type).unit());
      out += ')';
      return;
    case Type::TIME64:
      out += "Time64(";
      out += unit_text(static_cast<const arrow::Time64Type&>(type).unit());
      out += ')';
      return;
    case Type::TIMESTAMP: {
      const auto& t = static_cast<const arrow::TimestampType&>(type);
      out += "Timestamp(";
      out += unit_text(t.unit());
      if (t.timezone().empty()) {
        out += ", None)";
      } else {
        out += ", Some(";
        out += quote_text(t.timezone());
        out += "))";
      }
      return;
    }
    case Type::DURATION:
      out += "Duration(";
      out += unit_text(static_cast<const arrow::DurationType&>(type).unit());
      out += ')';
      return;
    case Type::INTERVAL_MONTHS: out += "Interval(YearMonth)"; return;
    case Type::INTERVAL_DAY_TIME: out += "Interval(DayTime)"; return;
    case Type::INTERVAL_MONTH_DAY_NANO: out += "Interval(MonthDayNano)"; return;
    case Type::DECIMAL32:
      append_precision_scale(out, "Decimal32", static_cast<const arrow::DecimalType&>(type));
      return;
    case Type::DECIMAL64:
      append_precision_scale(out, "Decimal64", static_cast<const arrow::DecimalType&>(type));
      return;
    case Type::DECIMAL128:
      append_precision_scale(out, "Decimal128", static_cast<const arrow::DecimalType&>(type));
      return;
    case Type::DECIMAL256:
      append_precision_scale(out, "Decimal256", static_cast<const arrow::DecimalType&>(type));
      return;
    case Type::LIST:
    case Type::LARGE_LIST:
    case Type::LIST_VIEW:
    case Type::LARGE_LIST_VIEW: {
      static constexpr const char* kNames[] = {"List(", "LargeList(", "ListView(", "LargeListView("};
      const int which = type.id() == Type::LIST         ? 0
                        : type.id() == Type::LARGE_LIST ? 1
                        : type.id() == Type::LIST_VIEW  ? 2
                                                        : 3;
      out += kNames[which];
      append_field(out, *type.field(0));
      out += ')';
      return;
    }
    case Type::FIXED_SIZE_LIST: {
      const auto& t = static_cast<const arrow::FixedSizeListType&>(type);
      out += "FixedSizeList(";
      append_field(out, *t.value_field());
      out += ", ";
      out += std::to_string(t.list_size());
      out += ')';
      return;
    }
    case Type::MAP: {
      const auto& t = static_cast<const arrow::MapType&>(type);
      out += "Map(";
      append_field(out, *type.field(0));  // the "entries" struct of key and value
      out += ", ";
      out += t.keys_sorted() ? "true" : "false";
      out += ')';
      return;
    }
    case Type::STRUCT:
      out += "Struct(";
      append_fields(out, type.fields());
      out += ')';
      return;
    case Type::SPARSE_UNION:
    case Type::DENSE_UNION: {
      const auto& t = static_cast<const arrow::UnionType&>(type);
      out += "Union([";
      for (int i = 0; i < t.num_fields(); ++i) {
        if (i > 0) out += ", ";
        out += '(';
        out += std::to_string(static_cast<int>(t.type_codes()[static_cast<size_t>(i)]));
        out += ", ";
        append_field(out, *t.field(i));
        out += ')';
      }
      out += type.id() == Type::SPARSE_UNION ? "], Sparse)" : "], Dense)";
      return;
    }
    case Type::DICTIONARY: {
      const auto& t = static_cast<const arrow::DictionaryType&>(type);
      out += "Dictionary(";
      append_type(out, *t.index_type());
      out += ", ";
      append_type(out, *t.value_type());
      out += ')';
      return;
    }
    case Type::RUN_END_ENCODED: {
      const auto& t = static_cast<const arrow::RunEndEncodedType&>(type);
      out += "RunEndEncoded(";
      append_field(out, *t.field(0));
      out += ", ";
      append_field(out, *t.field(1));
      out += ')';
      return;
    }
    case Type::EXTENSION:
      append_type(out, *static_cast<const arrow::ExtensionType&>(type).storage_type());
      return;
    case Type::MAX_ID:
      break;
  }
  // A type id added by a newer Arrow: fall back on the library's own text.
  out += type.ToString();
}

}  // namespace

std::string arrow_type_name(const arrow::DataType& type) {
  std::string out;
  append_type(out, type);
  return out;
}

std::string arrow_field_text(const arrow::Field& field) {
  std::string out;
  append_field(out, field);
  return out;
}

}  // namespace vorpel::py
