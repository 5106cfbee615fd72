// The records of one table held in memory while an import empties and
// refills that table, so that they can be written back when the refill
// brings no record at all.
//
// Values are kept field by field through the field accessors, memo and
// binary contents by value: emptying a table also empties its memo file, so
// a kept raw record would point at contents that are gone. Autoincrement
// fields cannot be written; records put back are numbered anew by the
// engine (RenumbersOnPutBack tells the caller so). The holder owns its
// copies; the table is only borrowed during Keep and PutBack.
// Not thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dbtable.h"
#include "variant.h"

namespace dbu {

class TKeptRecords {
 public:
  // Copies every record the open cursor shows, from its first; the cursor
  // is left on its last record. Replaces what was kept before.
  void Keep(TDbTable& table);

  size_t Count() const { return records_.size(); }
  // Name of the first autoincrement field, "" when the table has none.
  const std::string& AutoIncField() const { return autoIncField_; }
  bool RenumbersOnPutBack() const { return !autoIncField_.empty() && !records_.empty(); }

  // Appends the kept records to the open, editable cursor in their order.
  // A failure names the table and how many records were written back before
  // it; a half-built record is cancelled.
  void PutBack(TDbTable& table) const;

 private:
  std::vector<std::string> names_;           // field names, in field order
  std::vector<bool> writable_;               // false for autoincrement fields
  std::vector<std::vector<Variant>> records_;
  std::string autoIncField_;
};

}  // namespace dbu
