// Pieces shared by the statements of sql_exec.cpp and the queries of
// sql_query.cpp: tables opened for one statement, binding with errors that
// name the table, result column names and types, writing values into
// result records, and reading a table's records in blocks. Internal to
// statement execution; plain objects with one owner each.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "expr.h"
#include "objects.h"
#include "sql_ast.h"
#include "sql_exec.h"
#include "table_file.h"
#include "table_format.h"

namespace eng {

[[noreturn]] void ColumnFail(uint32_t code, const std::string& column, const std::string& why);

// A table opened through the C interface for one statement, closed at scope end.
class OpenedTable {
 public:
  OpenedTable(ConnectionObject& conn, const std::string& name, const StatementOptions& options, bool exclusive,
              bool for_write);
  ~OpenedTable() { Close(); }
  OpenedTable(const OpenedTable&) = delete;
  OpenedTable& operator=(const OpenedTable&) = delete;
  void Close() {
    if (h_) EngCloseTable(h_);
    h_ = 0;
  }
  ENGHANDLE handle() const { return h_; }
  TableObject& object() { return *obj_; }
  TableHandle& table() { return *obj_->table; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ENGHANDLE h_ = 0;
  std::shared_ptr<TableObject> obj_;
};


// Binds an expression to a table's fields; errors name the table (and a
// column that is not there, as ENG_ERR_COLUMN_NOT_FOUND).
CompiledExpression BindOrFail(const sql::Expression& e, const FieldList& fields, const std::string& table);
// The same for a WHERE, which must be a condition.
CompiledExpression BindCondition(const sql::Expression& e, const FieldList& fields, const std::string& table);

// The names a result's columns have taken, without regard to case, and for
// each name taken more than once the next number to try after it: used names
// only accumulate, so no number below it can be free again, and naming n
// columns costs O(n) lookups however many share a name.
class ResultNames {
 public:
  std::string Take(const std::string& base) {
    if (taken_.insert(Key(base)).second) return base;
    int& k = next_[Key(base)];
    for (k = std::max(k, 2);; ++k) {
      std::string candidate = base + "_" + std::to_string(k);
      if (taken_.insert(Key(candidate)).second) return candidate;
    }
  }

 private:
  static std::string Key(std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
  }
  std::unordered_set<std::string> taken_;
  std::unordered_map<std::string, int> next_;
};

// A valid, unused field name for a result column headed `heading` (the
// index-th column).
std::string ValidName(const std::string& heading, size_t index, ResultNames& used);

// The field of a result column of a value type (texts of max_length bytes,
// 0: unbounded, as memo).
FieldDecl DeclForValueType(const std::string& name, ValueType type, uint32_t max_length);
// A result column that copies field i of table t.
FieldDecl DeclOfField(SharedTable& t, size_t i, const std::string& name);

// Writes a value into a result or converted record's field (memo contents go to `memos`).
void PutValue(const FieldDef& f, size_t index, const Value& v, uint8_t* raw, size_t size,
              std::vector<std::pair<size_t, std::string>>& memos);

// Statements compare whole texts, trailing blanks aside (NAME = 'AB' does
// not find "ABC"). Comparing over the literal's length only is the partial
// match a filter asks for with its exactness flag; a statement never does.
constexpr bool kWholeTexts = true;

// Visits the live records of a table in natural order, copied out in
// blocks (SharedTable::ReadSlots); the bytes given stay valid only during
// the visit. Under the table's lock.
class SlotScanner {
 public:
  explicit SlotScanner(SharedTable& st)
      : st_(st), slot_(st.slot_size()), per_block_(std::max<uint64_t>(1, kBlockBytes / slot_)),
        block_(per_block_ * slot_) {}

  // visit returns false to stop; so does ForEachLive then. An encrypted
  // table's decrypted blocks are read in place.
  template <class Visit>
  bool ForEachLive(Visit&& visit) {
    const uint64_t count = st_.SlotCount();
    for (uint64_t first = 1; first <= count;) {
      uint64_t n = std::min(per_block_, count - first + 1);
      const uint8_t* slots = st_.SlotsInPlace(first, &n);
      if (slots == nullptr) {
        st_.ReadSlots(first, n, block_.data());
        slots = block_.data();
      }
      for (uint64_t k = 0; k < n; ++k) {
        const uint8_t* slot = slots + k * slot_;
        if (slot[0] == fmt::kSlotLive && !visit(slot + 1)) return false;
      }
      first += n;
    }
    return true;
  }

 private:
  static constexpr uint64_t kBlockBytes = 64 * 1024;  // stays in the core's cache
  SharedTable& st_;
  uint64_t slot_;
  uint64_t per_block_;
  std::vector<uint8_t> block_;
};

// Rows of equal size appended in chunks: no copying as it grows.
class RowStore {
 public:
  explicit RowStore(size_t row_size)
      : row_size_(std::max<size_t>(row_size, 1)), per_chunk_(std::max<size_t>(1, kChunkBytes / row_size_)) {}
  size_t size() const { return rows_; }
  uint8_t* Append() {
    if (rows_ % per_chunk_ == 0) chunks_.emplace_back(new uint8_t[per_chunk_ * row_size_]);
    return Row(rows_++);
  }
  uint8_t* Row(size_t i) const { return chunks_[i / per_chunk_].get() + (i % per_chunk_) * row_size_; }

 private:
  static constexpr size_t kChunkBytes = 512 * 1024;
  size_t row_size_;
  size_t per_chunk_;
  size_t rows_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
};


}  // namespace eng
