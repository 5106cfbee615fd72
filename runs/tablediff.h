// What a run did to one table: the table as saved before the run (a backup
// or a preview's copy) against the table after it. Columns added, dropped,
// widened, narrowed or retyped; the records added and deleted with their
// values; the records changed, field by field (old and new value as the
// program shows them); and, for a narrowed column, the records whose value
// it cuts.
//
// Records are paired by record number through the engine's comparison
// (EngDiffRecords), which the engine keeps exact while no pack or zap came
// between. After one (a structure task packs, an import empties a table
// first) records are paired by the table's first unique tag present in
// both, else by their whole values (then a changed record shows as one
// deleted and one added). A record is identified by its key: the fields
// of that tag (else its record number alone).
//
// The tables are opened read-only through the engine, an encrypted one
// with the password given; without it only the columns can be told. Every
// failure throws ERunError naming the table. Stateless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dbu {

struct TFieldChange {
  std::string Field, Old, New;
};

struct TRecordChange {
  enum class TKind { Added, Deleted, Changed } Kind = TKind::Changed;
  uint32_t RecNo = 0;  // in the table after the run (before it, for a deleted record)
  std::string Key;     // "FIELD=value, ..." of the key fields; empty without a key
  std::vector<TFieldChange> Fields;  // added/deleted: every field with a value
};

struct TColumnChange {
  enum class TKind { Added, Dropped, Widened, Narrowed, Retyped } Kind = TKind::Added;
  std::string Field, Old, New;  // the column's type before and after, "Char(10)"
};

// A value a narrowed column cuts: its record, and the value before and after.
struct TCutValue {
  uint32_t RecNo = 0;
  std::string Key, Field, Old, New;
};

struct TTableChanges {
  enum class TState { Changed, Created, Dropped } State = TState::Changed;
  std::string Table;  // its name as the run's record gives it (relative path)
  std::vector<TColumnChange> Columns;
  std::vector<TCutValue> Cuts;
  std::vector<TRecordChange> Records;  // empty when counting only
  uint64_t Added = 0, Changed = 0, Deleted = 0;
  bool Known = true;  // false: the values could not be read (Note says why)
  std::string Note;

  bool Empty() const {
    return State == TState::Changed && Columns.empty() && Cuts.empty() && Added == 0 && Changed == 0 && Deleted == 0 &&
           Known;
  }
};

struct TDiffOptions {
  std::string Password;     // for encrypted tables
  bool CountsOnly = false;  // records counted, not listed (columns are listed)
};

// before: the table file as saved ("" when the table did not exist);
// after: the table file now ("" when it is gone).
TTableChanges DiffTable(const std::string& name, const std::string& before, const std::string& after,
                        const TDiffOptions& options);

// The changes as text for people (one block per table) and as CSV (a
// header line, then one line per field of a record, column or cut value).
std::string FormatChanges(const std::vector<TTableChanges>& tables);
std::string FormatChangesCsv(const std::vector<TTableChanges>& tables);
std::string CsvField(const std::string& value);

}  // namespace dbu
