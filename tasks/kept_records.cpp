// Records kept aside while a table is emptied and refilled.
#include "kept_records.h"

#include "dberrors.h"

namespace dbu {

void TKeptRecords::Keep(TDbTable& table) {
  names_.clear();
  writable_.clear();
  records_.clear();
  autoIncField_.clear();
  for (size_t i = 0; i < table.FieldCount(); ++i) {
    const TField& field = table.Fields(i);
    names_.push_back(field.FieldName());
    const bool autoInc = field.DataType() == ftAutoInc;
    writable_.push_back(!autoInc);
    if (autoInc && autoIncField_.empty()) autoIncField_ = field.FieldName();
  }
  for (table.First(); !table.Eof(); table.Next()) {
    std::vector<Variant> values;
    values.reserve(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) values.push_back(table.Fields(i).AsVariant());
    records_.push_back(std::move(values));
  }
}

void TKeptRecords::PutBack(TDbTable& table) const {
  size_t written = 0;
  std::string failure;
  try {
    for (const std::vector<Variant>& values : records_) {
      table.Append();
      for (size_t i = 0; i < names_.size(); ++i)
        if (writable_[i]) table.FieldByName(names_[i]).SetAsVariant(values[i]);
      table.Post();
      ++written;
    }
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  }
  // Outside the handler, so that the clean-up's own failures are not muted.
  table.Cancel();
  throw Exception("Table " + table.TableName() + ": only " + std::to_string(written) + " of its " +
                  std::to_string(records_.size()) + " previous records could be written back: " + failure);
}

}  // namespace dbu
