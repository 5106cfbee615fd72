#include "sql_exec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "api_support.h"
#include "checksum.h"
#include "engine.h"
#include "expr.h"
#include "expr_fast.h"
#include "filter_layer.h"
#include "index_file.h"
#include "index_hooks.h"
#include "keycodec.h"
#include "record_codec.h"
#include "table_file.h"
#include "transaction.h"
#include "util.h"

namespace eng {

std::function<void()> g_alter_before_commit;
std::function<void()> g_alter_after_commit;

void ApplyTablePassword(ENGHANDLE table, const std::string& password) {
  if (password.empty()) return;
  ENGRESULT rc = EngEnableEncryption(table, password.c_str());
  if (rc != ENG_OK && rc != ENG_ERR_NOT_SUPPORTED) Fail(rc, LastErrorText());
}

std::string ResolveTablePath(ConnectionObject& conn, const std::string& name) {
  std::string n = name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  if (n.empty()) Fail(ENG_ERR_FILE_NOT_FOUND, "No table name given");
  if (!conn.dictionary.empty()) {
    try {
      return DictionaryTablePath(conn, n);
    } catch (const EngineError& e) {
      if (e.code() != ENG_ERR_NOT_IN_DICTIONARY) throw;
    }
  }
  if (!HasExtension(n)) n += ".adt";
  return ResolveNoCase(n[0] == '/' ? n : JoinPath(conn.folder, n));
}

namespace {

[[noreturn]] void ColumnFail(uint32_t code, const std::string& column, const std::string& why) {
  Fail(code, "Column \"" + column + "\": " + why);
}

// A table opened through the C interface for one statement, closed at scope end.
class OpenedTable {
 public:
  OpenedTable(ConnectionObject& conn, const std::string& name, const StatementOptions& options, bool exclusive,
              bool /*for_write*/) {
    path_ = ResolveTablePath(conn, name);
    if (!FileExists(path_)) Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + name + " does not exist (" + path_ + ")");
    uint32_t open = exclusive ? ENG_OPEN_EXCLUSIVE : 0;
    ENGRESULT rc = EngOpenTable(conn.self, path_.c_str(), nullptr, ENG_TABLE_NATIVE, options.char_type,
                                options.lock_type, ENG_IGNORE_RIGHTS, open, &h_);
    if (rc != ENG_OK) {
      if (rc == ENG_ERR_TABLE_LOCKED && exclusive)
        Fail(rc, "Table " + name + " is in use; this statement needs it exclusively: " + LastErrorText());
      Fail(rc, LastErrorText());
    }
    try {
      auto it = options.passwords.find(ToUpper(StripExtension(BaseName(path_))));
      if (it != options.passwords.end()) ApplyTablePassword(h_, it->second);
      obj_ = FindTable(h_);
    } catch (...) {
      Close();  // a wrong password must not leave the table open (and held exclusively)
      throw;
    }
  }
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

// A table file built in memory (header from CreateTableFile, then slots),
// or, when streamed, written out as it grows through a small buffer so that
// a large result never sits in memory twice; the header goes last, with the
// final counts. A streamed image can be sealed (Seal): it is then an
// encrypted table from its first byte, so no value of it is ever written
// in clear.
class TableImage {
 public:
  enum class Mode { kInMemory, kStreamed };
  TableImage(const std::string& path, const std::vector<FieldSpec>& field_specs, Mode mode = Mode::kInMemory)
      : path_(path) {
    CreateTableFile(path, field_specs);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) Fail(ENG_ERR_IO, "Cannot read back " + path);
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    adt_.resize(static_cast<size_t>(n));
    size_t got = std::fread(adt_.data(), 1, adt_.size(), f);
    std::fclose(f);
    if (got != adt_.size()) Fail(ENG_ERR_IO, "Cannot read back " + path);
    std::vector<uint32_t> declared;
    fields_ = LayoutFields(field_specs, &declared);
    record_length_ = Load32(&adt_[fmt::kOffRecordLength]);
    slot_size_ = Load32(&adt_[fmt::kOffSlotSize]);
    checksums_ = (Load16(&adt_[fmt::kOffFlags]) & fmt::kFlagChecksums) != 0;
    empty_.assign(record_length_, 0);
    for (const auto& fd : fields_) WriteEmptyField(fd, empty_.data());
    for (const auto& fd : fields_) has_memo_ = has_memo_ || IsMemoType(fd.type);
    if (has_memo_) {
      memo_.assign(fmt::kMemoHeader, 0);
      std::memcpy(memo_.data(), fmt::kMemoMagic, 8);
    }
    if (mode == Mode::kStreamed) {
      fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) Fail(ENG_ERR_IO, "Cannot write " + path + ": " + std::strerror(errno));
      header_.swap(adt_);
      written_ = header_.size();
      adt_.reserve(kStreamBuffer + slot_size_);
    }
  }
  ~TableImage() {
    if (fd_ >= 0) ::close(fd_);
  }
  TableImage(const TableImage&) = delete;
  TableImage& operator=(const TableImage&) = delete;

  const FieldList& fields() const { return fields_; }
  uint32_t record_length() const { return record_length_; }
  // Makes the image an encrypted table under cipher and params (the key and
  // salt of the table it is to replace, with the header's MAC made for this
  // header): slots go out in sealed blocks, memo contents sealed one by
  // one. Streamed images only, before the first Add.
  void Seal(const crypto::Cipher* cipher, const crypto::Params& params) {
    if (fd_ < 0 || slots_ != 0) Fail(ENG_ERR_INTERNAL, "Table image " + path_ + " cannot be sealed now");
    cipher_ = cipher;
    per_block_ = SharedTable::SlotsPerSealedBlock(slot_size_);
    stored_ = per_block_ * slot_size_ + crypto::kOverhead;
    uint8_t* h = header_.data();
    Store16(h + fmt::kOffFlags, static_cast<uint16_t>(Load16(h + fmt::kOffFlags) | crypto::kFlagEncrypted));
    crypto::Params sealed = params;
    cipher->Mac(h, fmt::kOffSlotCount, h + fmt::kFixedHeader, header_.size() - fmt::kFixedHeader, sealed.header_mac);
    sealed.Write(h + fmt::kOffCrypto);
  }
  const std::vector<uint8_t>& empty() const { return empty_; }
  void Reserve(size_t slots) {
    if (fd_ < 0) adt_.reserve(adt_.size() + slots * slot_size_);
  }

  // raw: record_length bytes; memo fields' references are set here.
  void Add(uint8_t state, uint8_t* raw, const std::vector<std::pair<size_t, std::string>>& memos) {
    for (const auto& m : memos) {
      uint8_t* p = raw + fields_[m.first].offset;
      if (m.second.empty()) {
        Store32(p, 0);
        Store32(p + 4, 0);
        continue;
      }
      uint64_t block = memo_.size() / fmt::kMemoBlock;
      const size_t stored = m.second.size() + (cipher_ ? crypto::kOverhead : 0);
      size_t blocks = (stored + fmt::kMemoBlock - 1) / fmt::kMemoBlock;
      memo_.resize(memo_.size() + blocks * fmt::kMemoBlock, 0);
      uint8_t* at = memo_.data() + block * fmt::kMemoBlock;
      if (cipher_)
        cipher_->Seal(crypto::Kind::kMemo, block, reinterpret_cast<const uint8_t*>(m.second.data()), m.second.size(), at);
      else
        std::memcpy(at, m.second.data(), m.second.size());
      Store32(p, static_cast<uint32_t>(block));
      Store32(p + 4, static_cast<uint32_t>(m.second.size()));
    }
    adt_.push_back(state);
    adt_.insert(adt_.end(), raw, raw + record_length_);
    if (checksums_) {
      adt_.resize(adt_.size() + fmt::kSlotCrcBytes);
      StampCrc(adt_.data() + adt_.size() - slot_size_, slot_size_ - fmt::kSlotCrcBytes);
    }
    ++slots_;
    if (state == fmt::kSlotLive) ++live_;
    if (fd_ >= 0 && adt_.size() >= kStreamBuffer) Flush();
  }
  void Finish(uint32_t next_autoinc) {
    std::vector<uint8_t>& header = fd_ >= 0 ? header_ : adt_;
    Store64(&header[fmt::kOffSlotCount], slots_);
    Store64(&header[fmt::kOffLiveCount], live_);
    Store32(&header[fmt::kOffNextAutoinc], next_autoinc);
    if (has_memo_) Store64(memo_.data() + fmt::kOffMemoNext, memo_.size() / fmt::kMemoBlock);
  }
  // In memory only.
  const std::vector<uint8_t>& adt() const { return adt_; }
  const std::vector<uint8_t>& memo() const { return memo_; }
  bool has_memo() const { return has_memo_; }
  // Hands the in-memory bytes over (the image is spent afterwards).
  std::vector<uint8_t> TakeAdt() { return std::move(adt_); }
  std::vector<uint8_t> TakeMemo() { return std::move(memo_); }
  void WriteFiles() {
    if (fd_ >= 0) {
      Flush(true);
      WriteAt(fd_, path_, header_.data(), header_.size(), 0);
      ::close(fd_);
      fd_ = -1;
    } else {
      WriteFile(path_, adt_);
    }
    if (has_memo_) WriteFile(StripExtension(path_) + ".memo", memo_);
  }
  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      int err = errno;
      FailIo("Cannot write " + path, err);
    }
    try {
      WriteAt(fd, path, bytes.data(), bytes.size(), 0);
    } catch (...) {
      ::close(fd);
      ::unlink(path.c_str());  // no half-written file left behind (a full disk, say)
      throw;
    }
    ::close(fd);
  }

 private:
  static constexpr size_t kStreamBuffer = 64 * 1024;

  static void WriteAt(int fd, const std::string& path, const uint8_t* bytes, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) FailIo("Cannot write " + path, n < 0 ? errno : ENOSPC);
      done += static_cast<size_t>(n);
    }
  }
  // Writes out the buffered slots; sealed, only whole blocks unless last
  // (the last block is filled up with free slots).
  void Flush(bool last = false) {
    if (!cipher_) {
      WriteAt(fd_, path_, adt_.data(), adt_.size(), written_);
      written_ += adt_.size();
      adt_.clear();
      return;
    }
    const size_t block_bytes = per_block_ * slot_size_;
    size_t whole = adt_.size() / block_bytes;
    if (last && adt_.size() % block_bytes) {
      adt_.resize(++whole * block_bytes, fmt::kSlotFree);
    }
    sealed_.resize(whole * stored_);
    for (size_t k = 0; k < whole; ++k)
      cipher_->Seal(crypto::Kind::kRecords, written_blocks_ + k, adt_.data() + k * block_bytes, block_bytes,
                    sealed_.data() + k * stored_);
    WriteAt(fd_, path_, sealed_.data(), sealed_.size(), header_.size() + written_blocks_ * stored_);
    written_blocks_ += whole;
    adt_.erase(adt_.begin(), adt_.begin() + static_cast<std::ptrdiff_t>(whole * block_bytes));
  }

  std::string path_;
  std::vector<uint8_t> adt_, memo_, empty_;
  std::vector<uint8_t> header_;  // streamed: the header, written last
  int fd_ = -1;                  // streamed: the file being written
  uint64_t written_ = 0;         // streamed: bytes of the file written so far
  const crypto::Cipher* cipher_ = nullptr;  // sealed: the table's cipher
  uint64_t per_block_ = 0, stored_ = 0;     // sealed: slots per block, bytes per sealed block
  uint64_t written_blocks_ = 0;             // sealed: blocks of the file written so far
  std::vector<uint8_t> sealed_;             // sealed: blocks on their way out
  FieldList fields_;
  uint32_t record_length_ = 0, slot_size_ = 0;
  bool checksums_ = false;
  uint64_t slots_ = 0, live_ = 0;
  bool has_memo_ = false;
};

// A private folder for temporary tables, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!::mkdtemp(buf.data())) {
      int err = errno;
      FailIo("Cannot create a temporary folder in " + tmpl, err);
    }
    path_ = buf.data();
  }
  ~TempFolder() {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string Release() { return std::exchange(path_, std::string()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A SELECT result: its temporary folder goes when the cursor closes.
struct CursorObject : TableObject {
  std::string temp_folder;
  ~CursorObject() override {
    table.reset();
    std::error_code ec;
    if (!temp_folder.empty()) std::filesystem::remove_all(temp_folder, ec);
  }
};

CompiledExpression BindOrFail(const sql::Expression& e, const FieldList& fields, const std::string& table) {
  try {
    return Bind(*e.syntax, fields);
  } catch (const EngineError& err) {
    std::string text = err.what();
    size_t at = text.find("Unknown field: \"");
    if (at != std::string::npos) {
      size_t start = at + 16, end = text.find('"', start);
      Fail(ENG_ERR_COLUMN_NOT_FOUND, "Column \"" + text.substr(start, end - start) + "\" not found in table " + table +
                                         ": " + text);
    }
    Fail(err.code(), "In table " + table + ": " + text);
  }
}

CompiledExpression BindCondition(const sql::Expression& e, const FieldList& fields, const std::string& table) {
  CompiledExpression c = BindOrFail(e, fields, table);
  if (c.result_type() != ValueType::kLogical && c.result_type() != ValueType::kNull)
    Fail(ENG_ERR_EXPRESSION, "WHERE " + e.text + " is not a condition");
  return c;
}

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

std::string ValidName(const std::string& heading, size_t index, ResultNames& used) {
  std::string n;
  for (char c : heading) {
    unsigned char u = static_cast<unsigned char>(c);
    n += (std::isalnum(u) || c == '_') ? c : '_';
  }
  while (!n.empty() && n.back() == '_') n.pop_back();
  if (n.empty() || std::isdigit(static_cast<unsigned char>(n[0]))) n = "EXPR_" + std::to_string(index + 1);
  if (n.size() > 120) n.resize(120);
  return used.Take(n);
}

FieldSpec SpecForValueType(const std::string& name, ValueType type, uint32_t max_length) {
  switch (type) {
    case ValueType::kLogical: return {name, ENG_LOGICAL, 1, 0};
    case ValueType::kNumber: return {name, ENG_DOUBLE, 8, 0};
    case ValueType::kDate: return {name, ENG_DATE, 4, 0};
    case ValueType::kTime: return {name, ENG_TIME, 4, 0};
    case ValueType::kTimestamp: return {name, ENG_TIMESTAMP, 8, 0};
    case ValueType::kString:
      if (max_length == 0 || max_length > fmt::kMaxFieldLength) return {name, ENG_MEMO, 9, 0};
      return {name, ENG_STRING, max_length, 0};
    default: return {name, ENG_STRING, 1, 0};
  }
}

FieldSpec SpecOfField(SharedTable& t, size_t i, const std::string& name) {
  const FieldDef& f = t.fields()[i];
  return {name, f.type, f.type == ENG_VARCHAR ? t.declared_length(i) : f.length, f.decimals};
}

// Writes a value into a result or converted record's field (memo contents go to `memos`).
void PutValue(const FieldDef& f, size_t index, const Value& v, uint8_t* raw, size_t size,
              std::vector<std::pair<size_t, std::string>>& memos) {
  if (IsMemoType(f.type)) {
    memos.emplace_back(index, v.is_null() ? std::string() : v.type() == ValueType::kString ? v.string() : v.ToText());
    return;
  }
  EncodeField(f, v, raw, size);
}

// Statements compare whole texts, trailing blanks aside (NAME = 'AB' does
// not find "ABC"). Comparing over the literal's length only is the partial
// match a filter asks for with its exactness flag; a statement never does.
constexpr bool kWholeTexts = true;

// WHERE on raw records of a table: its fast form when it has one.
class RowCondition {
 public:
  explicit RowCondition(const std::optional<CompiledExpression>& where) : where_(where ? &*where : nullptr) {
    if (where_) fast_ = FastCondition::From(*where_);
  }
  // Under the table's lock; `size` is the table's record length.
  bool Matches(SharedTable& st, const uint8_t* raw, uint32_t size) const {
    if (!where_) return true;
    if (fast_ && where_->min_record_size() <= size) return fast_->Matches(raw, kWholeTexts);
    TableMemoSource memos(st, raw);
    return eng::Matches(*where_, RecordView{raw, size, &memos}, kWholeTexts);
  }

 private:
  const CompiledExpression* where_;
  std::optional<FastCondition> fast_;
};

// Visits the live records of a table in natural order, copied out in
// blocks (SharedTable::ReadSlots); the bytes given stay valid only during
// the visit. Under the table's lock.
class SlotScanner {
 public:
  explicit SlotScanner(SharedTable& st)
      : st_(st), slot_(st.slot_size()), per_block_(std::max<uint64_t>(1, kBlockBytes / slot_)),
        block_(per_block_ * slot_) {}

  template <class Visit>
  void ForEachLive(Visit&& visit) {
    const uint64_t count = st_.SlotCount();
    for (uint64_t first = 1; first <= count; first += per_block_) {
      uint64_t n = std::min(per_block_, count - first + 1);
      st_.ReadSlots(first, n, block_.data());
      for (uint64_t k = 0; k < n; ++k) {
        const uint8_t* slot = block_.data() + k * slot_;
        if (slot[0] == fmt::kSlotLive) visit(slot + 1);
      }
    }
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

// One row to sort: the first 8 key bytes, big-endian, decide most comparisons.
struct SortEntry {
  uint64_t prefix;
  uint32_t row;
};

// ---- SELECT ----

struct ResultColumn {
  sql::Aggregate aggregate = sql::Aggregate::kNone;
  bool count_star = false;
  int32_t source_field = -1;  // copy of a field of the table
  CompiledExpression expr;
  // aggregate state
  uint64_t count = 0;
  double sum = 0;
  Value best;
};

ExecOutcome Select(const std::shared_ptr<ConnectionObject>& conn, const sql::SelectStatement& s,
                   const StatementOptions& options) {
  OpenedTable src(*conn, s.table.name, options, false, false);
  SharedTable& st = src.table().table();
  const FieldList& fields = st.fields();
  const std::string& tname = s.table.name;

  std::vector<ResultColumn> cols;
  std::vector<FieldSpec> field_specs;
  ResultNames used;
  bool aggregates = s.HasAggregates();
  for (size_t k = 0; k < s.items.size(); ++k) {
    const sql::SelectItem& item = s.items[k];
    if (item.star) {
      if (aggregates) Fail(ENG_ERR_SQL_EXECUTE, "SELECT * cannot stand beside aggregates without GROUP BY");
      for (size_t i = 0; i < fields.size(); ++i) {
        ResultColumn c;
        c.source_field = static_cast<int32_t>(i);
        field_specs.push_back(SpecOfField(st, i, ValidName(fields[i].name, field_specs.size(), used)));
        cols.push_back(std::move(c));
      }
      continue;
    }
    ResultColumn c;
    c.aggregate = item.aggregate;
    c.count_star = item.count_star;
    if (!item.count_star) c.expr = BindOrFail(item.expression, fields, tname);
    if (aggregates && item.aggregate == sql::Aggregate::kNone)
      Fail(ENG_ERR_SQL_EXECUTE, "Column " + item.heading + " must be an aggregate: there is no GROUP BY");
    std::string name = ValidName(item.heading, field_specs.size(), used);
    switch (item.aggregate) {
      case sql::Aggregate::kCount: field_specs.push_back({name, ENG_INTEGER, 4, 0}); break;
      case sql::Aggregate::kSum:
      case sql::Aggregate::kAvg:
        if (c.expr.result_type() != ValueType::kNumber && c.expr.result_type() != ValueType::kNull)
          Fail(ENG_ERR_COLUMN_TYPE, "Column \"" + item.heading + "\": SUM and AVG need numbers");
        field_specs.push_back({name, ENG_DOUBLE, 8, 0});
        break;
      case sql::Aggregate::kMin:
      case sql::Aggregate::kMax:
      case sql::Aggregate::kNone: {
        int32_t ref = c.expr.field_reference();
        if (ref >= 0 && item.aggregate == sql::Aggregate::kNone) {
          c.source_field = ref;
          field_specs.push_back(SpecOfField(st, static_cast<size_t>(ref), name));
        } else if (ref >= 0 && !IsMemoType(fields[ref].type) && fields[ref].type != ENG_AUTOINC) {
          field_specs.push_back(SpecOfField(st, static_cast<size_t>(ref), name));
        } else {
          field_specs.push_back(SpecForValueType(name, c.expr.result_type(), c.expr.result_max_length()));
        }
        break;
      }
    }
    cols.push_back(std::move(c));
  }

  std::optional<CompiledExpression> where;
  if (s.where) where = BindCondition(*s.where, fields, tname);

  // ORDER BY: a result column (by heading, alias or ordinal) or a field of the table.
  struct OrderKey {
    int32_t column = -1;  // result column
    CompiledExpression field;
    bool descending = false;
  };
  std::vector<OrderKey> keys;
  if (!aggregates) {
    for (const sql::OrderItem& o : s.order_by) {
      OrderKey key;
      key.descending = o.descending;
      if (o.ordinal) {
        if (o.ordinal > cols.size())
          Fail(ENG_ERR_SQL_EXECUTE, "ORDER BY " + std::to_string(o.ordinal) + ": the result has " +
                                        std::to_string(cols.size()) + " columns");
        key.column = static_cast<int32_t>(o.ordinal - 1);
      } else {
        for (size_t i = 0; i < field_specs.size() && key.column < 0; ++i)
          if (EqualsNoCase(field_specs[i].name, o.column)) key.column = static_cast<int32_t>(i);
        for (size_t k = 0; k < s.items.size() && key.column < 0; ++k)
          if (!s.items[k].star && EqualsNoCase(s.items[k].heading, o.column)) key.column = static_cast<int32_t>(k);
        if (key.column < 0 || s.items.size() != cols.size()) {
          bool known = false;
          for (const auto& f : fields) known = known || EqualsNoCase(f.name, o.column);
          if (!known && key.column < 0)
            ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, o.column, "ORDER BY names no column of the result or of table " + tname);
          if (known) {
            key.column = -1;
            key.field = Compile("\"" + o.column + "\"", fields);
          }
        }
      }
      keys.push_back(std::move(key));
    }
  }

  TempFolder folder("dbsql-cursor");
  std::string path = folder.path() + "/result.adt";
  TableImage image(path, field_specs, TableImage::Mode::kStreamed);
  const FieldList& out = image.fields();
  const uint32_t out_len = image.record_length();
  RowCondition condition(where);

  // Builds the result row of a source record (memo contents go to `memos`).
  auto build_row = [&](const uint8_t* raw, const RecordView& view, uint8_t* rec,
                       std::vector<std::pair<size_t, std::string>>& memos) {
    std::memcpy(rec, image.empty().data(), out_len);
    memos.clear();
    for (size_t i = 0; i < cols.size(); ++i) {
      const ResultColumn& c = cols[i];
      const FieldDef& of = out[i];
      if (c.source_field >= 0) {
        const FieldDef& sf = fields[static_cast<size_t>(c.source_field)];
        if (IsMemoType(sf.type))
          memos.emplace_back(i, st.ReadMemo(raw + sf.offset));
        else
          std::memcpy(rec + of.offset, raw + sf.offset, sf.length);
      } else {
        Value v = Evaluate(c.expr, view, kWholeTexts);
        // A text of no characters is a value, not an empty field (which
        // reads as NULL): kept as blanks, which compare equal to it.
        if (v.type() == ValueType::kString && v.string().empty()) v = Value::String(" ");
        PutValue(of, i, v, rec, out_len, memos);
      }
    }
  };

  std::vector<uint8_t> rec(out_len);
  std::vector<std::pair<size_t, std::string>> memos;

  // Sort keys are bytes that compare with memcmp (index key segments,
  // complemented when descending), read from the source record where the
  // key is a field and from the result row where it is computed; a memo
  // key makes the sort compare values instead.
  struct KeySegment {
    const FieldDef* def;
    bool from_row;
    bool descending;
    size_t offset, width;
  };
  std::vector<KeySegment> segments;
  size_t klen = 0;
  bool byte_keys = true;
  for (const OrderKey& k : keys) {
    KeySegment seg{nullptr, false, k.descending, klen, 0};
    if (k.column >= 0 && cols[static_cast<size_t>(k.column)].source_field >= 0) {
      seg.def = &fields[static_cast<size_t>(cols[static_cast<size_t>(k.column)].source_field)];
    } else if (k.column >= 0) {
      seg.def = &out[static_cast<size_t>(k.column)];
      seg.from_row = true;
    } else {
      seg.def = &fields[static_cast<size_t>(k.field.field_reference())];
    }
    try {
      seg.width = EncodedWidth(*seg.def);
    } catch (const EngineError&) {
      byte_keys = false;
      break;
    }
    klen += seg.width;
    segments.push_back(seg);
  }
  if (!byte_keys) klen = 0;

  // Matching rows are built as they are read: the result row, then its sort key.
  RowStore store(out_len + klen);
  std::vector<SortEntry> entries;
  std::vector<std::vector<std::pair<size_t, std::string>>> row_memos;
  std::vector<std::vector<Value>> sort_values;
  const bool any_memo = image.has_memo();
  {
    TableLock lock(st);
    const uint32_t size = st.record_length();
    SlotScanner scanner(st);
    if (aggregates) {
      scanner.ForEachLive([&](const uint8_t* raw) {
        if (!condition.Matches(st, raw, size)) return;
        TableMemoSource memo_source(st, raw);
        RecordView view{raw, size, &memo_source};
        for (ResultColumn& c : cols) {
          if (c.count_star) {
            ++c.count;
            continue;
          }
          Value v = Evaluate(c.expr, view, kWholeTexts);
          if (v.is_null()) continue;
          ++c.count;
          if (c.aggregate == sql::Aggregate::kSum || c.aggregate == sql::Aggregate::kAvg) c.sum += v.number();
          if (c.aggregate == sql::Aggregate::kMin && (c.best.is_null() || CompareValues(v, c.best) < 0)) c.best = v;
          if (c.aggregate == sql::Aggregate::kMax && (c.best.is_null() || CompareValues(v, c.best) > 0)) c.best = v;
        }
      });
    } else {
      scanner.ForEachLive([&](const uint8_t* raw) {
        if (!condition.Matches(st, raw, size)) return;
        TableMemoSource memo_source(st, raw);
        RecordView view{raw, size, &memo_source};
        uint32_t index = static_cast<uint32_t>(store.size());
        uint8_t* row = store.Append();
        build_row(raw, view, row, memos);
        if (any_memo) row_memos.push_back(memos);
        if (keys.empty()) return;
        if (byte_keys) {
          uint8_t* key = row + out_len;
          for (const KeySegment& seg : segments) {
            EncodeSegment(*seg.def, (seg.from_row ? row : raw) + seg.def->offset, key + seg.offset);
            if (seg.descending)
              for (size_t b = seg.offset; b < seg.offset + seg.width; ++b) key[b] = static_cast<uint8_t>(~key[b]);
          }
          uint64_t prefix = 0;
          for (size_t b = 0; b < 8; ++b) prefix = prefix << 8 | (b < klen ? key[b] : 0);
          entries.push_back(SortEntry{prefix, index});
          return;
        }
        RecordView out_view{row, out_len, nullptr};
        std::vector<Value> values;
        for (const OrderKey& k : keys) {
          if (k.column < 0) {
            values.push_back(Evaluate(k.field, view, kWholeTexts));
          } else if (IsMemoType(out[static_cast<size_t>(k.column)].type)) {
            std::string content;
            for (const auto& m : memos)
              if (m.first == static_cast<size_t>(k.column)) content = m.second;
            values.push_back(content.empty() ? Value() : Value::String(content));
          } else {
            values.push_back(DecodeField(out, static_cast<size_t>(k.column), out_view));
          }
        }
        sort_values.push_back(std::move(values));
      });
    }
  }
  src.Close();

  if (aggregates) {
    std::memcpy(rec.data(), image.empty().data(), out_len);
    memos.clear();
    for (size_t i = 0; i < cols.size(); ++i) {
      ResultColumn& c = cols[i];
      Value v;
      switch (c.aggregate) {
        case sql::Aggregate::kCount: v = Value::Number(static_cast<double>(c.count)); break;
        case sql::Aggregate::kSum: v = c.count ? Value::Number(c.sum) : Value(); break;
        case sql::Aggregate::kAvg: v = c.count ? Value::Number(c.sum / static_cast<double>(c.count)) : Value(); break;
        default: v = c.best; break;
      }
      PutValue(out[i], i, v, rec.data(), out_len, memos);
    }
    image.Add(fmt::kSlotLive, rec.data(), memos);
  } else {
    const size_t nrows = store.size();
    std::vector<uint32_t> order(nrows);
    std::iota(order.begin(), order.end(), uint32_t{0});
    if (!keys.empty() && byte_keys) {
      const size_t rest = klen > 8 ? klen - 8 : 0;
      std::sort(entries.begin(), entries.end(), [&](const SortEntry& a, const SortEntry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (rest) {
          int c = std::memcmp(store.Row(a.row) + out_len + 8, store.Row(b.row) + out_len + 8, rest);
          if (c != 0) return c < 0;
        }
        return a.row < b.row;  // equal keys keep the natural order
      });
      for (size_t i = 0; i < nrows; ++i) order[i] = entries[i].row;
    } else if (!keys.empty()) {
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        for (size_t k = 0; k < keys.size(); ++k) {
          int c = CompareValues(sort_values[a][k], sort_values[b][k]);
          if (c != 0) return keys[k].descending ? c > 0 : c < 0;
        }
        return false;
      });
    }
    static const std::vector<std::pair<size_t, std::string>> kNoMemos;
    image.Reserve(nrows);
    for (uint32_t i : order) image.Add(fmt::kSlotLive, store.Row(i), any_memo ? row_memos[i] : kNoMemos);
  }
  image.Finish(1);
  image.WriteFiles();

  auto cursor = std::make_shared<CursorObject>();
  OpenOptions o;
  o.exclusive = true;
  o.read_only = true;
  cursor->table = std::make_unique<TableHandle>(path, o);
  cursor->temp_folder = folder.Release();
  cursor->path = path;
  cursor->open_options = ENG_OPEN_READONLY;
  cursor->static_cursor = true;
  ExecOutcome outcome;
  outcome.cursor = RegisterTable(conn, cursor, ENG_HANDLE_CURSOR);
  return outcome;
}

// ---- INSERT, UPDATE, DELETE ----

uint16_t ColumnNumber(TableHandle& t, const std::string& name, const std::string& table) {
  for (size_t i = 0; i < t.fields().size(); ++i)
    if (EqualsNoCase(t.fields()[i].name, name)) return static_cast<uint16_t>(i + 1);
  ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, name, "not found in table " + table);
}

// Writes a SET value into the record being changed (memo contents to `memos`).
void AssignValue(const FieldDef& f, size_t index, const Value& v, uint8_t* raw, uint32_t size,
                 TableHandle::Memos* memos) {
  try {
    if (f.type == ENG_AUTOINC) {
      if (v.is_null()) return;
      ColumnFail(ENG_ERR_COLUMN_VALUE, f.name, "an autoincrement column is numbered by the engine");
    }
    PutValue(f, index, v, raw, size, *memos);
  } catch (const EngineError& e) {
    if (e.code() == ENG_ERR_VALUE || e.code() == ENG_ERR_FIELD_TYPE)
      ColumnFail(ENG_ERR_COLUMN_VALUE, f.name, std::string("value rejected: ") + e.what());
    throw;
  }
}

// The hold of a statement on the table it changes: the table's lock (the
// statement waits for it at most the connection's lock wait) and one change
// for all of its records, so that the statement applies whole or not at all,
// across a failing record and a crash alike, and no other user changes the
// table in between. Inside a transaction the table joins the transaction
// first, and the statement's change is a part of the transaction's that a
// failure undoes alone.
class StatementChange {
 public:
  StatementChange(ConnectionObject& conn, OpenedTable& table, const char* operation)
      : table_(Enlisted(conn, table)), lock_(table_, conn.lock_wait_ms), scope_(table_, operation) {}
  void Commit() { scope_.Commit(); }

 private:
  static SharedTable& Enlisted(ConnectionObject& conn, OpenedTable& table) {
    if (conn.transaction) conn.transaction->Enlist(table.table().table().path());
    return table.table().table();
  }
  SharedTable& table_;
  TableLock lock_;
  ChangeScope scope_;
};

ExecOutcome Insert(ConnectionObject& conn, const sql::InsertStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  std::vector<uint16_t> targets;
  if (s.columns.empty()) {
    for (size_t i = 0; i < t.fields().size(); ++i) targets.push_back(static_cast<uint16_t>(i + 1));
  } else {
    for (const auto& c : s.columns) targets.push_back(ColumnNumber(t, c, s.table.name));
  }
  static const FieldList kNoFields;
  ExecOutcome outcome;
  outcome.has_count = true;
  t.RequireAccess();
  StatementChange change(conn, dst, "insert into");
  std::vector<uint8_t> raw;
  TableHandle::Memos memos;
  const uint32_t size = t.table().record_length();
  for (const auto& row : s.rows) {
    if (row.size() != targets.size())
      Fail(ENG_ERR_SQL_EXECUTE, "INSERT INTO " + s.table.name + " gives " + std::to_string(row.size()) +
                                    " values for " + std::to_string(targets.size()) + " columns");
    raw = t.table().EmptyRecord();
    memos.clear();
    for (size_t i = 0; i < targets.size(); ++i) {
      Value v = Evaluate(BindOrFail(row[i], kNoFields, s.table.name), RecordView{}, kWholeTexts);
      AssignValue(t.Field(targets[i]), targets[i] - 1u, v, raw.data(), size, &memos);
    }
    t.AppendInChange(raw, memos);
    ++outcome.count;
  }
  change.Commit();
  return outcome;
}

// The records WHERE selects now. Each is checked again when it is changed:
// another user may have changed it meanwhile.
std::vector<uint32_t> MatchingRecords(SharedTable& st, const RowCondition& condition) {
  std::vector<uint32_t> out;
  TableLock lock(st);
  uint64_t count = st.SlotCount();
  for (uint64_t r = 1; r <= count; ++r)
    if (st.IsLive(r) && condition.Matches(st, st.Record(r), st.record_length()))
      out.push_back(static_cast<uint32_t>(r));
  return out;
}

// UPDATE and DELETE choose their records and change them in one hold of
// the table's lock and as one change (StatementChange): each record's WHERE
// is tested again, and its new values computed, on the record as it is when
// written, so no other user's change is lost or overridden.
ExecOutcome Update(ConnectionObject& conn, const sql::UpdateStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  SharedTable& st = t.table();
  std::optional<CompiledExpression> where;
  if (s.where) where = BindCondition(*s.where, t.fields(), s.table.name);
  std::vector<std::pair<uint16_t, CompiledExpression>> sets;
  for (const auto& a : s.assignments)
    sets.emplace_back(ColumnNumber(t, a.column, s.table.name), BindOrFail(a.value, t.fields(), s.table.name));
  RowCondition condition(where);
  const uint32_t size = st.record_length();
  auto edit = [&](const uint8_t* now, uint8_t* raw, TableHandle::Memos* memos) {
    if (!condition.Matches(st, now, size)) return false;
    TableMemoSource memo_source(st, now);
    RecordView view{now, size, &memo_source};
    // Every value is computed from the record as it was: `raw` is a copy.
    for (const auto& [number, expr] : sets)
      AssignValue(t.Field(number), number - 1u, Evaluate(expr, view, kWholeTexts), raw, size, memos);
    return true;
  };
  ExecOutcome outcome;
  outcome.has_count = true;
  t.RequireAccess();
  StatementChange change(conn, dst, "update");
  for (uint32_t r : MatchingRecords(st, condition))
    if (t.EditInChange(r, edit)) ++outcome.count;
  change.Commit();
  return outcome;
}

ExecOutcome Delete(ConnectionObject& conn, const sql::DeleteStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  SharedTable& st = t.table();
  std::optional<CompiledExpression> where;
  if (s.where) where = BindCondition(*s.where, t.fields(), s.table.name);
  RowCondition condition(where);
  const uint32_t size = st.record_length();
  auto still = [&](const uint8_t* now) { return condition.Matches(st, now, size); };
  ExecOutcome outcome;
  outcome.has_count = true;
  t.RequireAccess();
  StatementChange change(conn, dst, "delete from");
  for (uint32_t r : MatchingRecords(st, condition))
    if (t.DeleteInChange(r, still)) ++outcome.count;
  change.Commit();
  return outcome;
}

// ---- CREATE / DROP ----

FieldSpec SpecOfColumn(const std::string& name, const sql::ColumnType& type) {
  return {name, type.type, type.length, type.decimals};
}

ExecOutcome CreateTable(ConnectionObject& conn, const sql::CreateTableStatement& s, const StatementOptions& /*options*/) {
  std::vector<FieldSpec> field_specs;
  for (const auto& c : s.columns) field_specs.push_back(SpecOfColumn(c.name, c.type));
  std::string n = s.table.name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  if (!HasExtension(n)) n += ".adt";
  std::string path = ResolveNoCase(n[0] == '/' ? n : JoinPath(conn.folder, n));
  if (!conn.dictionary.empty()) CheckDictionaryTableFile(conn, s.table.name, path);
  CreateTableFile(path, field_specs);
  if (!conn.dictionary.empty()) RegisterInDictionary(conn, s.table.name, path);
  return {};
}

ExecOutcome DropTable(ConnectionObject& conn, const sql::DropTableStatement& s, const StatementOptions& options) {
  std::string path;
  {
    OpenedTable t(conn, s.table.name, options, true, true);
    path = t.path();
  }
  std::string base = StripExtension(path);
  if (::unlink(path.c_str()) != 0) Fail(ENG_ERR_IO, "Cannot remove table " + path + ": " + std::strerror(errno));
  for (const char* ext : {".memo", ".tags", ".jrn"}) {
    std::string companion = ResolveNoCase(base + ext);
    if (FileExists(companion)) ::unlink(companion.c_str());
  }
  if (!conn.dictionary.empty()) {
    ENGRESULT rc = EngDictRemoveTable(conn.self, StripExtension(BaseName(s.table.name)).c_str());
    (void)rc;  // a free table beside the dictionary is not registered
  }
  return {};
}

void Check(ENGRESULT rc) {
  if (rc != ENG_OK) Fail(rc, LastErrorText());
}

ExecOutcome CreateIndex(ConnectionObject& conn, const sql::CreateIndexStatement& s, const StatementOptions& options) {
  OpenedTable t(conn, s.table.name, options, true, true);
  std::string segments;
  for (const auto& c : s.columns) {
    ColumnNumber(t.table(), c, s.table.name);
    segments += (segments.empty() ? "" : ";") + c;
  }
  uint32_t opts = (s.unique ? ENG_INDEX_UNIQUE : 0u) | (s.descending ? ENG_INDEX_DESCENDING : 0u);
  ENGHANDLE idx = 0;
  Check(EngCreateIndex(t.handle(), s.tag.c_str(), segments.c_str(), opts, 0, &idx));
  return {};
}

ExecOutcome DropIndex(ConnectionObject& conn, const sql::DropIndexStatement& s, const StatementOptions& options) {
  OpenedTable t(conn, s.table.name, options, true, true);
  ENGHANDLE idx = 0;
  Check(EngGetIndexHandle(t.handle(), s.tag.c_str(), &idx));
  Check(EngDeleteIndex(idx));
  return {};
}

// ---- ALTER TABLE ----

struct TagDef {
  std::string name;
  std::vector<std::string> segments;
  uint32_t options = 0;
  uint32_t page_size = 0;
};

std::string IndexText(ENGRESULT (*get)(ENGHANDLE, char*, uint16_t*), ENGHANDLE h) {
  char buf[300];
  uint16_t len = sizeof buf;
  Check(get(h, buf, &len));
  return std::string(buf, len);
}

std::vector<TagDef> ReadTags(ENGHANDLE table) {
  std::vector<ENGHANDLE> handles(1024);
  uint16_t count = static_cast<uint16_t>(handles.size());
  Check(EngGetAllIndexes(table, handles.data(), &count));
  std::vector<TagDef> tags;
  for (uint16_t i = 0; i < count && i < handles.size(); ++i) {
    TagDef tag;
    tag.name = IndexText(EngGetIndexName, handles[i]);
    uint16_t segments = 0;
    Check(EngGetNumSegments(handles[i], &segments));
    for (uint16_t k = 0; k < segments; ++k) {  // segments are numbered from 0
      char buf[300];
      uint16_t len = sizeof buf;
      Check(EngGetSegmentFieldname(handles[i], k, buf, &len));
      tag.segments.emplace_back(buf, len);
    }
    uint16_t unique = 0, descending = 0;
    Check(EngIsIndexUnique(handles[i], &unique));
    Check(EngIsIndexDescending(handles[i], &descending));
    Check(EngGetIndexPageSize(handles[i], &tag.page_size));
    tag.options = (unique ? ENG_INDEX_UNIQUE : 0u) | (descending ? ENG_INDEX_DESCENDING : 0u);
    tags.push_back(std::move(tag));
  }
  return tags;
}

struct NewColumn {
  FieldSpec field_spec;
  int32_t source = -1;  // index of the old field it comes from
};

std::vector<NewColumn> PlanColumns(SharedTable& st, const sql::AlterTableStatement& s) {
  std::vector<NewColumn> cols;
  for (size_t i = 0; i < st.fields().size(); ++i)
    cols.push_back({SpecOfField(st, i, st.fields()[i].name), static_cast<int32_t>(i)});
  auto find = [&](const std::string& name) -> int {
    for (size_t i = 0; i < cols.size(); ++i)
      if (EqualsNoCase(cols[i].field_spec.name, name)) return static_cast<int>(i);
    return -1;
  };
  for (const auto& a : s.actions) {
    int at = find(a.column);
    switch (a.kind) {
      case sql::AlterAction::Kind::kAdd:
        if (at >= 0) ColumnFail(ENG_ERR_INVALID_FIELD_DEF, a.column, "already exists in table " + s.table.name);
        cols.push_back({SpecOfColumn(a.column, a.type), -1});
        break;
      case sql::AlterAction::Kind::kAlter: {
        if (at < 0) ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, a.column, "not found in table " + s.table.name);
        int other = find(a.new_name);
        if (other >= 0 && other != at)
          ColumnFail(ENG_ERR_INVALID_FIELD_DEF, a.new_name, "already exists in table " + s.table.name);
        cols[static_cast<size_t>(at)].field_spec = SpecOfColumn(a.new_name, a.type);
        break;
      }
      case sql::AlterAction::Kind::kDrop:
        if (at < 0) ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, a.column, "not found in table " + s.table.name);
        cols.erase(cols.begin() + at);
        break;
    }
  }
  if (cols.empty()) Fail(ENG_ERR_INVALID_FIELD_DEF, "ALTER TABLE " + s.table.name + " would leave no columns");
  return cols;
}

// Converts an old field's value to the new field's type; strings are cut to
// a narrower width, anything else that does not convert fails.
void ConvertInto(const FieldDef& to, size_t index, Value v, uint8_t* raw, size_t size,
                 std::vector<std::pair<size_t, std::string>>& memos, uint64_t recno, const std::string& table) {
  if (to.type == ENG_STRING && !v.is_null()) {
    std::string text = v.type() == ValueType::kString ? v.string() : v.ToText();
    if (text.size() > to.length) text.resize(to.length);
    v = Value::String(text);
  }
  try {
    PutValue(to, index, v, raw, size, memos);
  } catch (const EngineError& e) {
    ColumnFail(ENG_ERR_COLUMN_VALUE, to.name,
               "record " + std::to_string(recno) + " of table " + table + " does not convert: " + e.what());
  }
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(ENG_ERR_IO, "Cannot read back " + path + ": " + std::strerror(errno));
  auto fail = [&](int err) {
    ::close(fd);
    Fail(ENG_ERR_IO, "Cannot read back " + path + ": " + std::strerror(err));
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) fail(errno);
  // Read in one piece into a buffer of the file's size: the files are whole
  // tables, and growing a vector as they come copies them over and over.
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) fail(EIO);  // shorter than it was a moment ago
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return bytes;
}

// The files of the altered table, ready to replace the old ones: paths in
// the statement's temporary folder ("" for a file the new table lacks).
struct NewTableFiles {
  std::string adt, memo, tags;
};

// Writes the image out as a table at path and, when tags are kept, builds
// them there through the engine, as a table of its own; the old table is
// untouched, so a failure here (a unique tag whose keys now repeat, say)
// leaves it as it was.
NewTableFiles BuildNewTable(ConnectionObject& conn, TableImage& image, const std::string& path,
                            const std::vector<TagDef>& keep, StatementOptions options, const std::string& password) {
  image.WriteFiles();
  NewTableFiles files{path, image.has_memo() ? StripExtension(path) + ".memo" : "", ""};
  if (keep.empty()) return files;
  {
    // A sealed image opens with the password of the table it replaces.
    options.passwords.clear();
    if (!password.empty()) options.passwords[ToUpper(StripExtension(BaseName(path)))] = password;
    OpenedTable built(conn, path, options, true, true);
    // Its folder goes away: no cached copy may keep the files mapped.
    built.table().table().DiscardWhenClosed();
    for (const TagDef& tag : keep) {
      std::string segments;
      for (const auto& seg : tag.segments) segments += (segments.empty() ? "" : ";") + seg;
      ENGHANDLE idx = 0;
      Check(EngCreateIndex(built.handle(), tag.name.c_str(), segments.c_str(), tag.options, tag.page_size, &idx));
    }
  }
  files.tags = StripExtension(path) + ".tags";
  return files;
}

ExecOutcome AlterTable(ConnectionObject& conn, const sql::AlterTableStatement& s, const StatementOptions& options) {
  // Failures of the system below (the new files in the temporary folder,
  // the journal, the copy into place) name the statement and its table.
  OperationScope operation("alter", s.table.name);
  OpenedTable old(conn, s.table.name, options, true, true);
  // An encrypted table is altered sealed, with its own key and salt: the
  // new files are encrypted from their first byte, and the switch-over
  // below journals only sealed bytes, so it is never readable without its
  // password, not even for a moment or after a crash.
  std::string password;
  if (old.table().IsEncrypted()) {
    auto it = options.passwords.find(ToUpper(StripExtension(BaseName(old.path()))));
    if (it == options.passwords.end() || !old.table().table().unlocked())
      Fail(ENG_ERR_ENCRYPTED, "Table " + s.table.name +
                                  " is encrypted: ALTER TABLE needs its password (EngStmtSetTablePassword)");
    password = it->second;
  }
  std::vector<TagDef> tags = ReadTags(old.handle());
  std::unique_lock<std::mutex> g(old.object().mu);
  TableHandle& handle = old.table();
  SharedTable& st = handle.table();
  std::vector<NewColumn> cols = PlanColumns(st, s);
  std::vector<FieldSpec> field_specs;
  for (const auto& c : cols) field_specs.push_back(c.field_spec);
  std::vector<uint32_t> declared;
  LayoutFields(field_specs, &declared);

  TempFolder folder("dbsql-alter");
  // Streamed to its file: the new table is copied from there in the kernel.
  TableImage image(folder.path() + "/new.adt", field_specs, TableImage::Mode::kStreamed);
  if (!password.empty()) image.Seal(st.cipher(), st.crypto_params());
  const FieldList& out = image.fields();
  const FieldList& in = st.fields();
  int32_t autoinc_new = -1;
  for (size_t i = 0; i < cols.size(); ++i)
    if (out[i].type == ENG_AUTOINC && (cols[i].source < 0 || in[static_cast<size_t>(cols[i].source)].type != ENG_AUTOINC))
      autoinc_new = static_cast<int32_t>(i);
  uint32_t next_autoinc = 1;
  {
    TableLock lock(st);
    next_autoinc = Load32(st.table_file().data() + fmt::kOffNextAutoinc);
    uint64_t count = st.SlotCount();
    image.Reserve(count);
    std::vector<uint8_t> rec(image.record_length());
    std::vector<std::pair<size_t, std::string>> memos;
    uint32_t numbering = 0;
    for (uint64_t r = 1; r <= count; ++r) {
      std::memcpy(rec.data(), image.empty().data(), rec.size());
      memos.clear();
      if (!st.IsLive(r)) {
        image.Add(fmt::kSlotDeleted, rec.data(), memos);
        continue;
      }
      const uint8_t* raw = st.Record(r);
      TableMemoSource memo_source(st, raw);
      RecordView view{raw, st.record_length(), &memo_source};
      for (size_t i = 0; i < cols.size(); ++i) {
        if (static_cast<int32_t>(i) == autoinc_new) {
          ConvertInto(out[i], i, Value::Number(++numbering), rec.data(), rec.size(), memos, r, s.table.name);
          continue;
        }
        if (cols[i].source < 0) continue;
        Value v = DecodeField(in, static_cast<size_t>(cols[i].source), view);
        ConvertInto(out[i], i, v, rec.data(), rec.size(), memos, r, s.table.name);
      }
      image.Add(fmt::kSlotLive, rec.data(), memos);
    }
    if (autoinc_new >= 0) next_autoinc = numbering + 1;
  }
  image.Finish(next_autoinc);

  // Tags are recreated on the new layout; those on a dropped column go.
  std::vector<TagDef> keep;
  for (TagDef& tag : tags) {
    bool ok = true;
    for (std::string& seg : tag.segments) {
      bool found = false;
      for (size_t i = 0; i < cols.size() && !found; ++i) {
        if (cols[i].source >= 0 && EqualsNoCase(in[static_cast<size_t>(cols[i].source)].name, seg)) {
          seg = cols[i].field_spec.name;
          found = true;
        }
      }
      ok = ok && found;
    }
    if (ok) keep.push_back(tag);
  }
  g.unlock();
  NewTableFiles files = BuildNewTable(conn, image, folder.path() + "/new.adt", keep, options, password);

  // A memo file the old table does not have is written beside it first: the
  // old table never reads it, so a crash before the commit leaves it unused.
  // The old table always has the tags file the new one needs (kept tags are
  // some of its own).
  std::string memo_path = ResolveNoCase(st.base() + ".memo");
  bool old_memo = st.has_memo();
  if (image.has_memo() && !old_memo) {
    std::string tmp = memo_path + ".alter";
    TableImage::WriteFile(tmp, ReadFileBytes(files.memo));
    if (::rename(tmp.c_str(), memo_path.c_str()) != 0) {
      int err = errno;
      ::unlink(tmp.c_str());
      FailIo("Cannot write " + memo_path, err);
    }
  }
  g.lock();
  // The files change wholesale below: whatever the outcome, this process
  // loads the table afresh when it is next opened.
  st.DiscardWhenClosed();
  {
    TableLock lock(st);
    ChangeScope scope(st, "alter");
    // The tags change in the same journaled change as the records, so a
    // crash or a failure leaves the old table with its tags or the new one
    // with the rebuilt ones.
    IndexSet& indexes = st.indexes();
    uint64_t tags_length = 0;
    if (keep.empty()) {
      while (indexes.TagCount() > 0) indexes.DropTag(indexes.TagCount() - 1);
    } else {
      tags_length = indexes.ReplaceFileFrom(files.tags);
    }
    MappedFile& adt = st.table_file();
    adt.Refresh();
    st.journal().Save(SharedTable::kTableFile, 0, adt.size());
    if (image.has_memo() && old_memo) {
      MappedFile& memo = st.memo_file();
      memo.Refresh();
      st.journal().Save(SharedTable::kMemoFile, 0, memo.size());
      memo.CopyFrom(files.memo);
    }
    st.LendIdentity(files.adt);
    const uint64_t adt_length = adt.CopyFrom(files.adt);
    if (g_alter_before_commit) g_alter_before_commit();
    scope.Commit();
    if (g_alter_after_commit) g_alter_after_commit();
    adt.Truncate(adt_length);
    if (!keep.empty()) indexes.TruncateFile(tags_length);
  }
  handle.SkipTrimAtClose();
  g.unlock();
  old.Close();
  if (old_memo && !image.has_memo()) ::unlink(memo_path.c_str());
  return {};
}

// BEGIN, COMMIT, ROLLBACK.
ExecOutcome RunTransactionStatement(ConnectionObject& conn, const sql::TransactionStatement& s) {
  using Kind = sql::TransactionStatement::Kind;
  if (s.kind == Kind::kBegin) {
    if (conn.transaction)
      Fail(ENG_ERR_SQL_EXECUTE, "BEGIN: a transaction is already open on this connection (COMMIT or ROLLBACK it first)");
    conn.transaction = std::make_shared<Transaction>(conn.lock_wait_ms);
    return {};
  }
  if (!conn.transaction)
    Fail(ENG_ERR_SQL_EXECUTE, std::string(s.kind == Kind::kCommit ? "COMMIT" : "ROLLBACK") + ": no transaction is open");
  conn.transaction->RequireOwner();
  // The transaction ends either way: a commit that fails has rolled back.
  std::shared_ptr<Transaction> txn = std::move(conn.transaction);
  if (s.kind == Kind::kCommit)
    txn->Commit();
  else
    txn->Rollback();
  return {};
}

// Statements that replace or create files need their tables exclusively,
// which a transaction's own hold of its tables rules out; and what they do
// could not be undone with the transaction.
void RefuseInTransaction(const ConnectionObject& conn, const sql::Statement& statement) {
  if (!conn.transaction) return;
  const char* what = std::visit(
      [](const auto& s) -> const char* {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, sql::AlterTableStatement>) return "ALTER TABLE";
        if constexpr (std::is_same_v<T, sql::CreateTableStatement>) return "CREATE TABLE";
        if constexpr (std::is_same_v<T, sql::DropTableStatement>) return "DROP TABLE";
        if constexpr (std::is_same_v<T, sql::CreateIndexStatement>) return "CREATE INDEX";
        if constexpr (std::is_same_v<T, sql::DropIndexStatement>) return "DROP INDEX";
        return nullptr;
      },
      statement);
  if (what) Fail(ENG_ERR_SQL_EXECUTE, std::string(what) + " cannot run inside a transaction: COMMIT or ROLLBACK first");
}

}  // namespace

ExecOutcome ExecuteStatement(const std::shared_ptr<ConnectionObject>& conn, const sql::Statement& statement,
                             const StatementOptions& options) {
  RefuseInTransaction(*conn, statement);
  if (conn->transaction) conn->transaction->RequireOwner();
  LockWaitScope wait(conn->lock_wait_ms);
  return std::visit(
      [&](const auto& s) -> ExecOutcome {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, sql::SelectStatement>) return Select(conn, s, options);
        if constexpr (std::is_same_v<T, sql::InsertStatement>) return Insert(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::UpdateStatement>) return Update(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DeleteStatement>) return Delete(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::CreateTableStatement>) return CreateTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DropTableStatement>) return DropTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::CreateIndexStatement>) return CreateIndex(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DropIndexStatement>) return DropIndex(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::AlterTableStatement>) return AlterTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::TransactionStatement>) return RunTransactionStatement(*conn, s);
      },
      statement);
}

}  // namespace eng
