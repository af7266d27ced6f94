// The builder's row-predicate hooks: pending-row buffering and committed-row
// filtering.
//
// Which columns a predicate needs (the predicate column list and selection of
// predicate-only fields) is settled here already. Row evaluation is NOT
// IMPLEMENTED YET: until it is, a builder configured with a predicate records
// a plan error at construction, so its `finish` fails with "row predicates
// are not supported yet" instead of returning unfiltered rows. The pending-row
// and committed-row hooks below are placeholders to be replaced by the real
// evaluation.

#include "core/predicate/predicate.h"
#include "core/table_builder/predicates/pending_row.h"
#include "core/table_builder/table_builder.h"

namespace vorpel {

void TableBuilder::PendingRowDeleter::operator()(PendingRow* row) const { delete row; }

std::vector<std::string> TableBuilder::init_predicate() {
  if (!pending_error_) pending_error_ = CoreError::plan("row predicates are not supported yet");
  // The predicate column list: every referenced name through field
  // selection, a rejected name kept as it is.
  std::vector<std::string> names = referenced_columns(*options_->predicate);
  for (std::string& name : names) {
    if (std::optional<std::string_view> out = select(name)) name = std::string(*out);
  }
  return names;
}

bool TableBuilder::predicate_refers_to(std::string_view output_name) const {
  return refers_to(*options_->predicate, output_name, options_->renames);
}

void TableBuilder::pending_reset() {}

bool TableBuilder::pending_active() const { return false; }

// Unreachable while pending_active() is false.
void TableBuilder::pending_buffer(const ScalarValue&) {}

// Unreachable while pending_active() is false.
void TableBuilder::pending_end_row() {}

// Rows are kept unfiltered; finish fails anyway because of the recorded error.
bool TableBuilder::evaluate_committed_row() { return true; }

std::uint64_t TableBuilder::pending_row_bytes() const { return 0; }

}  // namespace vorpel
