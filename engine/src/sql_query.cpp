#include "sql_query.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <numeric>
#include <span>
#include <unordered_map>
#include <utility>

#include "api_support.h"
#include "btree.h"
#include "engine.h"
#include "expr_fast.h"
#include "filter_layer.h"
#include "index_file.h"
#include "index_hooks.h"
#include "keycodec.h"
#include "record_codec.h"
#include "sql_support.h"
#include "table_file.h"
#include "table_handle.h"
#include "table_image.h"
#include "util.h"

namespace eng {

// ---- Tables of a statement ------------------------------------------------------

// One table a statement reads: opened by the statement (or kept from its
// last execution), or the handle UPDATE or DELETE works through.
struct SourceTable {
  std::string path;
  std::shared_ptr<TableHandle> handle;  // null when adopted
  SharedTable* st = nullptr;
  bool encrypted_open = false;  // opened here, encrypted: worth keeping
};

class TableSet {
 public:
  TableSet(ConnectionObject& conn, const StatementOptions& options) : conn_(conn), options_(options) {}
  ~TableSet() {
    // Encrypted tables go to the statement's keeper (they stay loaded).
    if (options_.kept == nullptr) return;
    for (auto& t : tables_) {
      if (!t->encrypted_open || !t->handle) continue;
      auto& entries = options_.kept->entries_;
      bool known = false;
      for (auto& e : entries) known = known || e.handle == t->handle;
      if (known) continue;
      constexpr size_t kMaxKept = 4;
      if (entries.size() >= kMaxKept) entries.erase(entries.begin());
      entries.push_back({t->path, Password(t->path), t->handle});
    }
  }

  SourceTable& Open(const std::string& name) {
    std::string path = ResolveTablePath(conn_, name);
    for (auto& t : tables_)
      if (t->path == path) return *t;
    if (!FileExists(path)) Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + name + " does not exist (" + path + ")");
    auto t = std::make_unique<SourceTable>();
    t->path = path;
    std::string password = Password(path);
    if (options_.kept != nullptr) {
      for (auto& e : options_.kept->entries_)
        if (e.path == path && e.password == password) t->handle = e.handle;
    }
    if (!t->handle) {
      OpenOptions o;
      o.char_type = options_.char_type;
      o.lock_type = options_.lock_type;
      t->handle = std::make_shared<TableHandle>(path, o);
      if (!password.empty()) {
        try {
          EnableTableEncryption(*t->handle, password);
        } catch (const EngineError& e) {
          if (e.code() != ENG_ERR_NOT_SUPPORTED) throw;
        }
      }
      t->encrypted_open = t->handle->IsEncrypted();
    }
    t->handle->RequireAccess();
    t->st = &t->handle->table();
    tables_.push_back(std::move(t));
    return *tables_.back();
  }

  // UPDATE and DELETE: the statement's own table, under its name.
  SourceTable& Adopt(const std::string& name, SharedTable& st) {
    auto t = std::make_unique<SourceTable>();
    t->path = ResolveTablePath(conn_, name);
    t->st = &st;
    tables_.push_back(std::move(t));
    return *tables_.back();
  }

  // Holds the locks of every table, taken in the order of their files.
  class Locks {
   public:
    explicit Locks(const TableSet& set) {
      for (const auto& t : set.tables_)
        if (std::find(held_.begin(), held_.end(), t->st) == held_.end()) held_.push_back(t->st);
      std::sort(held_.begin(), held_.end(),
                [](SharedTable* a, SharedTable* b) { return a->file_id() < b->file_id(); });
      for (size_t i = 0; i < held_.size(); ++i) {
        try {
          held_[i]->LockShared();
        } catch (...) {
          held_.resize(i);
          Release();
          throw;
        }
      }
    }
    ~Locks() { Release(); }
    Locks(const Locks&) = delete;
    Locks& operator=(const Locks&) = delete;

   private:
    void Release() {
      for (size_t i = held_.size(); i-- > 0;) held_[i]->UnlockShared();
      held_.clear();
    }
    std::vector<SharedTable*> held_;
  };

 private:
  std::string Password(const std::string& path) const {
    auto it = options_.passwords.find(ToUpper(StripExtension(BaseName(path))));
    return it == options_.passwords.end() ? std::string() : it->second;
  }

  ConnectionObject& conn_;
  const StatementOptions& options_;
  std::vector<std::unique_ptr<SourceTable>> tables_;
};

uint64_t g_result_memory_limit = 64ull << 20;

KeptTables::KeptTables() = default;
KeptTables::~KeptTables() = default;
void KeptTables::Clear() { entries_.clear(); }

namespace {

constexpr bool kExact = true;  // statements compare whole texts

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// ---- Values as keys -----------------------------------------------------------

// Bytes equal exactly for values SQL takes as equal: texts without their
// trailing blanks, numbers, dates and time stamps by value; for grouping,
// DISTINCT, IN, hash joins and the memory of subqueries.
void AppendCanonical(const Value& v, std::string* out) {
  switch (v.type()) {
    case ValueType::kNull: out->push_back('\0'); return;
    case ValueType::kString: {
      std::string_view t = v.string();
      while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
      out->push_back('S');
      uint32_t n = static_cast<uint32_t>(t.size());
      out->append(reinterpret_cast<const char*>(&n), 4);
      out->append(t);
      return;
    }
    case ValueType::kLogical:
      out->push_back('L');
      out->push_back(v.logical() ? 1 : 0);
      return;
    default: {
      double d = v.scalar();
      if (d == 0) d = 0;  // no -0
      out->push_back('N');
      out->append(reinterpret_cast<const char*>(&d), 8);
      return;
    }
  }
}

uint64_t HashBytes(std::string_view s) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  uint64_t w = 0;
  std::memcpy(&w, s.data() + i, s.size() - i);
  h = (h ^ w) * 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

// Byte strings numbered in the order first seen (open addressing; the keys
// live in one arena, so a lookup allocates nothing).
class KeyTable {
 public:
  // The number of key; a new one when insert is set and the key is new
  // (*added tells), else -1 for an unknown key.
  int64_t Find(std::string_view key, bool insert, bool* added = nullptr) {
    if (added) *added = false;
    if (slots_.empty()) slots_.assign(64, 0);
    uint64_t h = HashBytes(key);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      uint32_t s = slots_[i];
      if (s == 0) {
        if (!insert) return -1;
        offsets_.push_back(arena_.size());
        arena_.append(key);
        hashes_.push_back(h);
        uint32_t id = static_cast<uint32_t>(hashes_.size());
        slots_[i] = id;
        if (added) *added = true;
        if (hashes_.size() * 2 > slots_.size()) Grow();
        return id - 1;
      }
      if (hashes_[s - 1] == h && Key(s - 1) == key) return s - 1;
    }
  }
  size_t size() const { return hashes_.size(); }
  std::string_view Key(size_t id) const {
    size_t end = id + 1 < offsets_.size() ? offsets_[id + 1] : arena_.size();
    return std::string_view(arena_).substr(offsets_[id], end - offsets_[id]);
  }
  void Clear() {
    slots_.clear();
    hashes_.clear();
    offsets_.clear();
    arena_.clear();
  }

 private:
  void Grow() {
    std::vector<uint32_t> bigger(slots_.size() * 2, 0);
    size_t mask = bigger.size() - 1;
    for (uint32_t id = 1; id <= hashes_.size(); ++id) {
      size_t i = hashes_[id - 1] & mask;
      while (bigger[i] != 0) i = (i + 1) & mask;
      bigger[i] = id;
    }
    slots_.swap(bigger);
  }
  std::vector<uint32_t> slots_;  // key number + 1, 0 free
  std::vector<uint64_t> hashes_;
  std::vector<size_t> offsets_;
  std::string arena_;
};

// ---- Plans ----------------------------------------------------------------------

struct QueryPlan;
class Planner;
class QueryScope;

// Thrown by a frozen subquery asked about outer values it has not seen.
struct SubqueryStale {};

// A subquery as an expression sees it: runs its plan for the outer values
// and remembers the answer for them.
class SubqueryImpl : public SubqueryEval {
 public:
  explicit SubqueryImpl(std::unique_ptr<QueryPlan> plan);
  ~SubqueryImpl() override;
  Value Scalar(const RecordView& outer) override;
  bool Exists(const RecordView& outer) override;
  std::optional<bool> Contains(const RecordView& outer, const Value& x) override;
  // From now on answers only from memory (RecordSelector::Matches).
  void Freeze() { frozen_ = true; }
  QueryPlan& plan() { return *plan_; }
  bool correlated() const;

 private:
  struct Answer {
    bool done_scalar = false, done_exists = false, done_set = false;
    Value scalar;
    bool exists = false;
    KeyTable set;
    bool set_has_null = false, set_empty = true;
  };
  Answer& For(const RecordView& outer);
  std::unique_ptr<QueryPlan> plan_;
  KeyTable keys_;
  std::vector<std::unique_ptr<Answer>> answers_;
  bool frozen_ = false;
};

// A table of a FROM list.
struct Source {
  SourceTable* table = nullptr;
  std::string name, alias;
  sql::JoinKind join = sql::JoinKind::kFirst;
  size_t base = 0;                // its record's place in the joined row
  size_t first_field = 0;         // its first field in the joined row's fields
  size_t field_count = 0;
  uint32_t record_length = 0;
  const FieldList& fields() const { return table->st->fields(); }
};

struct Conjunct {
  const ExprSyntax* syntax = nullptr;
  std::string text;
  CompiledExpression expr;
  std::optional<FastCondition> fast;
  int level = -1;           // the last source it reads; -1: none
  uint64_t sources = 0;     // bit per source it reads (the first 64)
  bool on = false;          // a LEFT JOIN's ON condition
};

// field op value, where value is known before the level's table is read.
struct Bound {
  CompareOp op = CompareOp::kEq;
  CompiledExpression value;
  std::string text;
};

struct Access {
  enum class Kind : uint8_t { kScan, kIndex, kHash };
  Kind kind = Kind::kScan;
  size_t tag = 0;
  std::string tag_name;
  size_t field = 0;  // of the level's table: the index's leading field, or the hashed one
  std::vector<Bound> bounds;
  bool equality = false;
  bool constant = false;  // the bounds read no table of the query
};

struct Level {
  Access access;
  bool left = false;
  std::vector<Conjunct*> on;       // LEFT JOIN: decide whether the row matches
  std::vector<Conjunct*> filters;  // tested on the joined row
  std::vector<Conjunct*> local;    // may be tested on the level's record alone, before the join
};

struct Param {
  CompiledExpression outer;  // in the enclosing query's scope
  int32_t slot = -1;
  std::string key;
};

struct SlotInfo {
  ValueType type = ValueType::kNull;
  uint32_t max_length = 0;
  std::optional<FieldDecl> decl;  // the field a result column of it copies
};

struct AggregateCall {
  std::string function;  // COUNT, SUM, AVG, MIN, MAX
  bool star = false, distinct = false;
  CompiledExpression arg;  // in the row scope
  int32_t slot = -1;
  std::string canonical;
  int32_t field = -1;  // arg is this fixed-size field of the joined row
  bool keyable = false;
};

struct GroupKey {
  CompiledExpression expr;
  int32_t slot = -1;
  std::string canonical;
  int32_t field = -1;  // a fixed-size field whose bytes are its own key
};

struct OutputColumn {
  std::string name;  // the result field's name
  std::string heading;
  CompiledExpression expr;
  FieldDecl decl;
  ValueType type = ValueType::kNull;
  int32_t copy_field = -1;  // a field of the joined row whose bytes it copies
};

struct CorePlan {
  const sql::SelectCore* syntax = nullptr;
  std::vector<Source> sources;
  FieldList fields;                  // of the joined row
  std::vector<uint32_t> field_source;
  size_t row_size = 0;
  bool has_memo = false;
  std::vector<std::unique_ptr<Conjunct>> conjuncts;
  std::vector<Conjunct*> constant;   // read no table
  std::vector<Level> levels;
  std::vector<SlotInfo> slots;
  std::vector<Param> params;
  bool grouped = false;
  std::vector<GroupKey> keys;
  std::vector<AggregateCall> aggregates;
  std::optional<CompiledExpression> having;
  std::vector<OutputColumn> outputs;
  std::vector<CompiledExpression> hidden;  // ORDER BY expressions that are no result column
  bool distinct = false;
  std::vector<SubqueryImpl*> subqueries;    // those its expressions hold, for EXPLAIN
};

struct OrderKey {
  int32_t column = -1;  // result column
  int32_t hidden = -1;  // or a hidden expression of the single core
  bool descending = false;
};

struct QueryPlan {
  std::vector<std::unique_ptr<CorePlan>> cores;
  std::vector<bool> union_all;
  std::vector<FieldDecl> decls;  // the result's fields
  std::vector<OrderKey> order;
  std::optional<uint64_t> limit;
  uint64_t offset = 0;
  bool correlated = false;
};

bool SubqueryImpl::correlated() const { return plan_->correlated; }

// ---- Scopes ---------------------------------------------------------------------

class QueryScope : public BindScope {
 public:
  virtual const FieldList& Fields() const = 0;
  CompiledExpression BindHere(const ExprSyntax& s) { return Bind(s, Fields(), *this); }
};

// A scope that knows one field by any name (result columns of stars).
class FixedFieldScope : public BindScope {
 public:
  explicit FixedFieldScope(size_t field) : field_(field) {}
  std::optional<Name> Resolve(const ExprSyntax&) override {
    Name n;
    n.field = static_cast<int32_t>(field_);
    return n;
  }
  Subquery BindSubquery(const ExprSyntax& node) override {
    Fail(ENG_ERR_INTERNAL, "No subquery here: " + DescribeToken(node.token));
  }

 private:
  size_t field_;
};

std::string Canonical(const ExprSyntax& s, QueryScope& scope);

// The rows of one SELECT core: its tables' fields, outer values as slots.
class RowScope : public QueryScope {
 public:
  RowScope(Planner& planner, CorePlan& core, QueryScope* outer) : planner_(planner), core_(core), outer_(outer) {}
  const FieldList& Fields() const override { return core_.fields; }
  CorePlan& core() { return core_; }
  QueryScope* outer() { return outer_; }

  std::optional<Name> Resolve(const ExprSyntax& name) override {
    std::optional<size_t> found;
    bool qualifier_known = name.qualifier.empty();
    for (size_t i = 0; i < core_.sources.size(); ++i) {
      const Source& src = core_.sources[i];
      if (!name.qualifier.empty() && !Names(src, name.qualifier)) continue;
      qualifier_known = true;
      const FieldList& f = src.fields();
      for (size_t k = 0; k < f.size(); ++k) {
        if (!EqualsNoCase(f[k].name, name.text)) continue;
        if (found)
          Fail(ENG_ERR_SQL_EXECUTE, "Column \"" + name.text + "\" is ambiguous: " + SourceLabel(core_.sources[core_.field_source[*found]]) +
                                        " and " + SourceLabel(src) + " both have it (qualify it): " + DescribeToken(name.token));
        found = src.first_field + k;
      }
    }
    if (found) {
      Name n;
      n.field = static_cast<int32_t>(*found);
      return n;
    }
    if (outer_ != nullptr) return OuterReference(name);
    if (!qualifier_known)
      Fail(ENG_ERR_COLUMN_NOT_FOUND, "No table \"" + name.qualifier + "\" in this query: " + DescribeToken(name.token));
    return std::nullopt;
  }
  Subquery BindSubquery(const ExprSyntax& node) override;

  static bool Names(const Source& src, const std::string& qualifier) {
    if (!src.alias.empty()) return EqualsNoCase(src.alias, qualifier);
    if (EqualsNoCase(src.name, qualifier)) return true;
    std::string n = src.name;
    for (char& c : n)
      if (c == '\\') c = '/';
    return EqualsNoCase(StripExtension(BaseName(n)), qualifier);
  }
  static std::string SourceLabel(const Source& src) { return src.alias.empty() ? src.name : src.alias; }

 private:
  // A name of an enclosing query: a slot holding its value, set before each run.
  std::optional<Name> OuterReference(const ExprSyntax& name) {
    std::string key = Upper(name.qualifier) + "." + Upper(name.text);
    for (const Param& p : core_.params)
      if (p.key == key) return SlotName(p.slot);
    if (!outer_->Resolve(name)) return std::nullopt;
    Param p;
    p.outer = outer_->BindHere(name);
    p.key = key;
    SlotInfo info;
    info.type = p.outer.result_type();
    info.max_length = p.outer.result_max_length();
    p.slot = static_cast<int32_t>(core_.slots.size());
    core_.slots.push_back(info);
    int32_t slot = p.slot;
    core_.params.push_back(std::move(p));
    return SlotName(slot);
  }

 public:
  Name SlotName(int32_t slot) const {
    Name n;
    n.slot = slot;
    n.type = core_.slots[static_cast<size_t>(slot)].type;
    n.max_length = core_.slots[static_cast<size_t>(slot)].max_length;
    return n;
  }

 private:
  Planner& planner_;
  CorePlan& core_;
  QueryScope* outer_;
};

// The groups of a grouped core: its GROUP BY expressions and aggregates
// are slots; anything else must be built of them.
class GroupScope : public QueryScope {
 public:
  explicit GroupScope(RowScope& rows) : rows_(rows), core_(rows.core()) {}
  const FieldList& Fields() const override { return core_.fields; }

  std::optional<Name> Resolve(const ExprSyntax& name) override {
    std::optional<Name> r = rows_.Resolve(name);
    if (!r || r->slot >= 0) return r;
    const std::string canonical = "F" + std::to_string(r->field);
    for (const GroupKey& k : core_.keys)
      if (k.canonical == canonical) return rows_.SlotName(k.slot);
    Fail(ENG_ERR_SQL_EXECUTE, "Column \"" + name.text +
                                  "\" must appear in GROUP BY or be used in an aggregate: " + DescribeToken(name.token));
  }

  std::optional<Name> Replace(const ExprSyntax& node) override;
  Subquery BindSubquery(const ExprSyntax& node) override;

 private:
  RowScope& rows_;
  CorePlan& core_;
};

std::string Canonical(const ExprSyntax& s, QueryScope& scope) {
  std::string out;
  switch (s.kind) {
    case ExprSyntax::Kind::kLiteral: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", s.number);
      return "L" + std::to_string(static_cast<int>(s.literal)) + ":" + (s.literal == LiteralKind::kString ? s.text : buf);
    }
    case ExprSyntax::Kind::kName: {
      std::optional<BindScope::Name> n = scope.Resolve(s);
      if (!n) return "N:" + s.text;
      if (n->slot >= 0) return "P" + std::to_string(n->slot);
      return "F" + std::to_string(n->field);
    }
    case ExprSyntax::Kind::kSubquery:
    case ExprSyntax::Kind::kExists: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "Q%p", static_cast<const void*>(&s));
      return buf;
    }
    default: break;
  }
  out = std::to_string(static_cast<int>(s.kind)) + ":" + Upper(s.text) + (s.negated ? "!" : "") +
        (s.distinct ? "D" : "") + (s.has_operand ? "o" : "") + (s.has_else ? "e" : "");
  if (s.kind == ExprSyntax::Kind::kCast)
    out += std::to_string(static_cast<int>(s.cast_to)) + "," + std::to_string(s.cast_integer) + "," +
           std::to_string(s.cast_length) + "," + std::to_string(s.cast_decimals);
  if (s.query) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Q%p", static_cast<const void*>(s.query.get()));
    out += buf;
  }
  out += "(";
  for (const auto& c : s.children) out += Canonical(*c, scope) + ",";
  return out + ")";
}

// Splits a condition at its top-level ANDs.
void Conjuncts(const ExprSyntax& s, std::vector<const ExprSyntax*>* out) {
  if (s.kind == ExprSyntax::Kind::kBinary && s.text == "AND" && s.children.size() == 2) {
    Conjuncts(*s.children[0], out);
    Conjuncts(*s.children[1], out);
    return;
  }
  out->push_back(&s);
}

bool HasAggregate(const ExprSyntax& s) {
  if (s.kind == ExprSyntax::Kind::kCall && IsAggregateName(s.text)) return true;
  for (const auto& c : s.children)
    if (HasAggregate(*c)) return true;
  return false;
}

// The source text of a syntax node (for EXPLAIN), as far as the tokens tell.
std::string NodeText(const ExprSyntax& s) {
  switch (s.kind) {
    case ExprSyntax::Kind::kName: return s.qualifier.empty() ? s.text : s.qualifier + "." + s.text;
    case ExprSyntax::Kind::kLiteral: return s.literal == LiteralKind::kString ? "'" + s.text + "'" : s.token.text;
    default: return "?";
  }
}

// ---- Planning -------------------------------------------------------------------

class Planner {
 public:
  explicit Planner(TableSet& tables) : tables_(tables) {}

  std::unique_ptr<QueryPlan> PlanQuery(const sql::Query& q, QueryScope* outer);
  // The single-table core of UPDATE and DELETE (its source already adopted).
  std::unique_ptr<CorePlan> PlanSelection(SourceTable& table, const std::string& name, const sql::Expression* where,
                                          const std::vector<const sql::Expression*>& values,
                                          std::vector<CompiledExpression>* bound, bool* bound_subqueries);

 private:
  std::unique_ptr<CorePlan> PlanCore(const sql::SelectCore& c, QueryScope* outer, const sql::Query& q,
                                     bool single, QueryPlan& plan);
  void BindCore(CorePlan& core, const sql::SelectCore& c, QueryScope* outer, const sql::Query& q, bool single,
                QueryPlan& plan);
  void AddSource(CorePlan& core, SourceTable& table, const sql::TableRef& ref, sql::JoinKind join);
  void AddCondition(CorePlan& core, RowScope& scope, const ExprSyntax& syntax, const std::string& text, int on_level);
  void PlanLevels(CorePlan& core, RowScope& scope);
  void ChooseAccess(CorePlan& core, RowScope& scope, size_t k);
  void AddOutputs(CorePlan& core, RowScope& rows, QueryScope& scope, const sql::SelectCore& c);
  OutputColumn Output(CorePlan& core, CompiledExpression expr, const std::string& heading, ResultNames& names);

  TableSet& tables_;
};

int LevelOf(const CorePlan& core, const CompiledExpression& e, uint64_t* sources) {
  int level = -1;
  *sources = 0;
  for (size_t f : e.referenced_fields()) {
    uint32_t s = core.field_source[f];
    level = std::max(level, static_cast<int>(s));
    if (s < 64) *sources |= uint64_t{1} << s;
  }
  return level;
}

void Planner::AddSource(CorePlan& core, SourceTable& table, const sql::TableRef& ref, sql::JoinKind join) {
  Source src;
  src.table = &table;
  src.name = ref.name;
  src.alias = ref.alias;
  src.join = join;
  src.base = core.row_size;
  src.first_field = core.fields.size();
  const FieldList& f = table.st->fields();
  src.field_count = f.size();
  src.record_length = table.st->record_length();
  for (const FieldDef& d : f) {
    FieldDef shifted = d;
    shifted.offset += static_cast<uint32_t>(src.base);
    core.fields.push_back(shifted);
    core.field_source.push_back(static_cast<uint32_t>(core.sources.size()));
    core.has_memo = core.has_memo || IsMemoType(d.type);
  }
  core.row_size += src.record_length;
  core.sources.push_back(std::move(src));
}

void Planner::AddCondition(CorePlan& core, RowScope& scope, const ExprSyntax& syntax, const std::string& text,
                           int on_level) {
  std::vector<const ExprSyntax*> parts;
  Conjuncts(syntax, &parts);
  for (const ExprSyntax* part : parts) {
    auto c = std::make_unique<Conjunct>();
    c->syntax = part;
    c->text = text;
    c->expr = scope.BindHere(*part);
    if (c->expr.result_type() != ValueType::kLogical && c->expr.result_type() != ValueType::kNull)
      Fail(ENG_ERR_EXPRESSION, (on_level >= 0 ? "ON " : "WHERE ") + text + " is not a condition");
    c->level = LevelOf(core, c->expr, &c->sources);
    if (on_level >= 0) {
      if (c->level > on_level)
        Fail(ENG_ERR_SQL_EXECUTE, "ON " + text + " names a table joined after it (" +
                                      RowScope::SourceLabel(core.sources[static_cast<size_t>(c->level)]) + ")");
      if (core.sources[static_cast<size_t>(on_level)].join == sql::JoinKind::kLeft) {
        c->on = true;
        c->level = on_level;
      }
    }
    if (c->expr.min_record_size() <= core.row_size) c->fast = FastCondition::From(c->expr);
    core.conjuncts.push_back(std::move(c));
  }
}

void Planner::PlanLevels(CorePlan& core, RowScope& scope) {
  core.levels.resize(core.sources.size());
  for (size_t k = 0; k < core.sources.size(); ++k) core.levels[k].left = core.sources[k].join == sql::JoinKind::kLeft;
  for (auto& c : core.conjuncts) {
    if (c->level < 0 && !c->on) {
      core.constant.push_back(c.get());
      continue;
    }
    Level& l = core.levels[static_cast<size_t>(std::max(c->level, 0))];
    const uint64_t own = c->level < 64 && c->level >= 0 ? uint64_t{1} << c->level : 0;
    const bool alone = c->level >= 0 && c->level < 64 && (c->sources & ~own) == 0;
    if (c->on) {
      l.on.push_back(c.get());
      if (alone) l.local.push_back(c.get());
    } else {
      l.filters.push_back(c.get());
      if (alone && !l.left) l.local.push_back(c.get());
    }
  }
  for (size_t k = 0; k < core.sources.size(); ++k) ChooseAccess(core, scope, k);
}

// Which index, hash or scan reaches the records of level k.
void Planner::ChooseAccess(CorePlan& core, RowScope& scope, size_t k) {
  Level& level = core.levels[k];
  const Source& src = core.sources[k];
  SharedTable& st = *src.table->st;
  const FieldList& fields = st.fields();
  const std::vector<Conjunct*>& usable = level.left ? level.on : level.filters;
  // Sides bound here are second bindings of the conditions' own: a
  // subquery in one is not listed (the list would then name freed ones
  // after a side is dropped, and name kept ones twice). A kept bound's
  // subquery runs only while the records are chosen.
  struct ForgetSubqueries {
    std::vector<SubqueryImpl*>& list;
    size_t size;
    ~ForgetSubqueries() { list.resize(size); }
  } forget{core.subqueries, core.subqueries.size()};
  struct Candidate {
    size_t field;
    Bound bound;
  };
  std::vector<Candidate> candidates;
  // The field of this level a side names, if any.
  auto field_of = [&](const ExprSyntax& side) -> std::optional<size_t> {
    if (side.kind != ExprSyntax::Kind::kName) return std::nullopt;
    std::optional<BindScope::Name> n;
    try {
      n = scope.Resolve(side);
    } catch (const EngineError&) {
      return std::nullopt;
    }
    if (!n || n->field < 0 || core.field_source[static_cast<size_t>(n->field)] != k) return std::nullopt;
    size_t local = static_cast<size_t>(n->field) - src.first_field;
    if (IsMemoType(fields[local].type)) return std::nullopt;
    return local;
  };
  // A value known before this level: it reads only earlier tables.
  auto known_before = [&](const ExprSyntax& side, CompiledExpression* out, bool* constant) {
    CompiledExpression e = scope.BindHere(side);
    uint64_t sources = 0;
    int lvl = LevelOf(core, e, &sources);
    if (lvl >= static_cast<int>(k)) return false;
    *constant = lvl < 0;
    *out = std::move(e);
    return true;
  };
  std::vector<bool> constant_flags;
  for (Conjunct* c : usable) {
    const ExprSyntax& s = *c->syntax;
    if (s.kind != ExprSyntax::Kind::kBinary || s.negated) continue;
    static const struct {
      const char* text;
      CompareOp op, reversed;
    } kOps[] = {{"=", CompareOp::kEq, CompareOp::kEq},
                {"<", CompareOp::kLt, CompareOp::kGt},
                {"<=", CompareOp::kLe, CompareOp::kGe},
                {">", CompareOp::kGt, CompareOp::kLt},
                {">=", CompareOp::kGe, CompareOp::kLe}};
    if (s.text == "BETWEEN" && s.children.size() == 3) {
      std::optional<size_t> f = field_of(*s.children[0]);
      if (!f) continue;
      for (int side = 1; side <= 2; ++side) {
        Candidate cand{*f, {}};
        bool constant = false;
        if (!known_before(*s.children[side], &cand.bound.value, &constant)) continue;
        cand.bound.op = side == 1 ? CompareOp::kGe : CompareOp::kLe;
        cand.bound.text = NodeText(*s.children[0]) + (side == 1 ? ">=" : "<=") + NodeText(*s.children[side]);
        candidates.push_back(std::move(cand));
        constant_flags.push_back(constant);
      }
      continue;
    }
    if (s.children.size() != 2) continue;
    for (const auto& op : kOps) {
      if (s.text != op.text) continue;
      for (int side = 0; side < 2; ++side) {
        std::optional<size_t> f = field_of(*s.children[side]);
        if (!f) continue;
        Candidate cand{*f, {}};
        bool constant = false;
        if (!known_before(*s.children[1 - side], &cand.bound.value, &constant)) continue;
        cand.bound.op = side == 0 ? op.op : op.reversed;
        cand.bound.text = NodeText(*s.children[side]) + op.text + NodeText(*s.children[1 - side]);
        if (side == 1) cand.bound.text = NodeText(*s.children[0]) + op.text + NodeText(*s.children[1]);
        candidates.push_back(std::move(cand));
        constant_flags.push_back(constant);
        break;
      }
    }
  }
  if (candidates.empty()) return;
  // An index whose leading field the candidates bound: one with an equality first.
  IndexSet& tags = st.indexes();
  int best = -1;
  bool best_eq = false;
  for (size_t t = 0; t < tags.TagCount(); ++t) {
    IndexSet::Tag& tag = tags.tag(t);
    if (!tag.layout || tag.layout->SegmentCount() == 0) continue;
    const FieldDef& lead = tag.layout->Segment(0);
    bool any = false, eq = false;
    for (const Candidate& c : candidates) {
      const FieldDef& f = fields[c.field];
      if (!EqualsNoCase(f.name, lead.name) || f.type != lead.type || f.offset != lead.offset || f.length != lead.length)
        continue;
      any = true;
      eq = eq || c.bound.op == CompareOp::kEq;
    }
    if (any && (best < 0 || (eq && !best_eq))) {
      best = static_cast<int>(t);
      best_eq = eq;
    }
  }
  Access& a = level.access;
  if (best >= 0) {
    IndexSet::Tag& tag = tags.tag(static_cast<size_t>(best));
    a.kind = Access::Kind::kIndex;
    a.tag = static_cast<size_t>(best);
    a.tag_name = tag.name;
    a.equality = best_eq;
    a.constant = true;
    const FieldDef& lead = tag.layout->Segment(0);
    for (size_t i = 0; i < candidates.size(); ++i) {
      const FieldDef& f = fields[candidates[i].field];
      if (!EqualsNoCase(f.name, lead.name) || f.offset != lead.offset) continue;
      // With an equality, ranges on the field add nothing a walk needs.
      if (best_eq && candidates[i].bound.op != CompareOp::kEq) continue;
      a.field = candidates[i].field;
      a.constant = a.constant && constant_flags[i];
      a.bounds.push_back(std::move(candidates[i].bound));
      if (best_eq) break;
    }
    return;
  }
  // No index: an equality with an earlier table joins through a hash.
  if (k == 0) return;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].bound.op != CompareOp::kEq || constant_flags[i]) continue;
    a.kind = Access::Kind::kHash;
    a.field = candidates[i].field;
    a.equality = true;
    a.bounds.push_back(std::move(candidates[i].bound));
    return;
  }
}

OutputColumn Planner::Output(CorePlan& core, CompiledExpression expr, const std::string& heading, ResultNames& names) {
  OutputColumn o;
  o.heading = heading;
  o.name = ValidName(heading, core.outputs.size(), names);
  o.type = expr.result_type();
  int32_t ref = expr.field_reference();
  int32_t slot = expr.slot_reference();
  if (ref >= 0) {
    const Source& src = core.sources[core.field_source[static_cast<size_t>(ref)]];
    o.decl = DeclOfField(*src.table->st, static_cast<size_t>(ref) - src.first_field, o.name);
    o.copy_field = ref;
  } else if (slot >= 0 && core.slots[static_cast<size_t>(slot)].decl) {
    o.decl = *core.slots[static_cast<size_t>(slot)].decl;
    o.decl.name = o.name;
  } else {
    o.decl = DeclForValueType(o.name, expr.result_type(), expr.result_max_length());
  }
  o.expr = std::move(expr);
  return o;
}

void Planner::AddOutputs(CorePlan& core, RowScope& rows, QueryScope& scope, const sql::SelectCore& c) {
  ResultNames names;
  for (const sql::SelectItem& item : c.items) {
    if (!item.star) {
      CompiledExpression e = scope.BindHere(*item.expression.syntax);
      core.outputs.push_back(Output(core, std::move(e), item.heading, names));
      continue;
    }
    if (core.grouped) Fail(ENG_ERR_SQL_EXECUTE, "SELECT " + item.heading + " cannot stand beside aggregates or GROUP BY");
    bool any = false;
    for (const Source& src : core.sources) {
      if (!item.star_qualifier.empty() && !RowScope::Names(src, item.star_qualifier)) continue;
      any = true;
      const FieldList& f = src.fields();
      for (size_t k = 0; k < f.size(); ++k) {
        FixedFieldScope fixed(src.first_field + k);
        ExprSyntax name;
        name.kind = ExprSyntax::Kind::kName;
        name.text = f[k].name;
        CompiledExpression e = Bind(name, core.fields, fixed);
        core.outputs.push_back(Output(core, std::move(e), f[k].name, names));
      }
    }
    if (!any) {
      if (core.sources.empty()) Fail(ENG_ERR_SQL_EXECUTE, "SELECT * needs a FROM");
      Fail(ENG_ERR_COLUMN_NOT_FOUND, "No table \"" + item.star_qualifier + "\" in this query (" + item.heading + ")");
    }
  }
  (void)rows;
}

// Errors of binding name the tables: a column that is not there as
// ENG_ERR_COLUMN_NOT_FOUND (as a single table's statements always did).
[[noreturn]] void BindFailure(const EngineError& err, const CorePlan& core) {
  std::string text = err.what();
  if (err.code() != ENG_ERR_EXPRESSION || text.rfind("In table", 0) == 0) throw err;
  std::string tables;
  for (const Source& src : core.sources) tables += (tables.empty() ? "" : ", ") + src.name;
  std::string where = core.sources.size() > 1 ? "tables " + tables : "table " + tables;
  size_t at = text.find("Unknown field: \"");
  if (at != std::string::npos) {
    size_t start = at + 16, end = text.find('"', start);
    Fail(ENG_ERR_COLUMN_NOT_FOUND, "Column \"" + text.substr(start, end - start) + "\" not found in " + where + ": " + text);
  }
  if (core.sources.empty()) throw err;
  Fail(err.code(), "In " + where + ": " + text);
}

std::unique_ptr<CorePlan> Planner::PlanCore(const sql::SelectCore& c, QueryScope* outer, const sql::Query& q,
                                            bool single, QueryPlan& plan) {
  auto core = std::make_unique<CorePlan>();
  try {
    BindCore(*core, c, outer, q, single, plan);
  } catch (const EngineError& err) {
    BindFailure(err, *core);
  }
  return core;
}

void Planner::BindCore(CorePlan& core_ref, const sql::SelectCore& c, QueryScope* outer, const sql::Query& q,
                       bool single, QueryPlan& plan) {
  CorePlan* core = &core_ref;
  core->syntax = &c;
  core->distinct = c.distinct;
  for (const sql::FromItem& item : c.from) AddSource(*core, tables_.Open(item.table.name), item.table, item.join);
  RowScope rows(*this, *core, outer);
  for (size_t k = 0; k < c.from.size(); ++k)
    if (c.from[k].on) AddCondition(*core, rows, *c.from[k].on->syntax, c.from[k].on->text, static_cast<int>(k));
  if (c.where) AddCondition(*core, rows, *c.where->syntax, c.where->text, -1);
  // Grouped: GROUP BY, HAVING, or an aggregate in a column or (single core) ORDER BY.
  core->grouped = !c.group_by.empty() || c.having.has_value();
  for (const sql::SelectItem& item : c.items)
    if (!item.star && HasAggregate(*item.expression.syntax)) core->grouped = true;
  if (single)
    for (const sql::OrderItem& o : q.order_by)
      if (o.ordinal == 0 && HasAggregate(*o.expression.syntax)) core->grouped = true;
  std::unique_ptr<GroupScope> groups;
  if (core->grouped) {
    for (const sql::Expression& g : c.group_by) {
      GroupKey key;
      key.expr = rows.BindHere(*g.syntax);
      key.canonical = Canonical(*g.syntax, rows);
      int32_t ref = key.expr.field_reference();
      SlotInfo info;
      info.type = key.expr.result_type();
      info.max_length = key.expr.result_max_length();
      if (ref >= 0) {
        const Source& src = core->sources[core->field_source[static_cast<size_t>(ref)]];
        size_t local = static_cast<size_t>(ref) - src.first_field;
        if (!IsMemoType(core->fields[static_cast<size_t>(ref)].type)) {
          key.field = ref;
          info.decl = DeclOfField(*src.table->st, local, core->fields[static_cast<size_t>(ref)].name);
        }
      }
      key.slot = static_cast<int32_t>(core->slots.size());
      core->slots.push_back(info);
      core->keys.push_back(std::move(key));
    }
    groups = std::make_unique<GroupScope>(rows);
  }
  QueryScope& scope = groups ? static_cast<QueryScope&>(*groups) : rows;
  AddOutputs(*core, rows, scope, c);
  if (c.having) {
    core->having = scope.BindHere(*c.having->syntax);
    if (core->having->result_type() != ValueType::kLogical && core->having->result_type() != ValueType::kNull)
      Fail(ENG_ERR_EXPRESSION, "HAVING " + c.having->text + " is not a condition");
  }
  // ORDER BY of a single core: result columns by name or number, else
  // expressions of its rows (or groups).
  if (single) {
    for (const sql::OrderItem& o : q.order_by) {
      OrderKey key;
      key.descending = o.descending;
      if (o.ordinal) {
        if (o.ordinal > core->outputs.size())
          Fail(ENG_ERR_SQL_EXECUTE, "ORDER BY " + std::to_string(o.ordinal) + ": the result has " +
                                        std::to_string(core->outputs.size()) + " columns");
        key.column = static_cast<int32_t>(o.ordinal - 1);
      } else {
        const ExprSyntax& e = *o.expression.syntax;
        if (e.kind == ExprSyntax::Kind::kName && e.qualifier.empty()) {
          for (size_t i = 0; i < core->outputs.size() && key.column < 0; ++i)
            if (EqualsNoCase(core->outputs[i].name, e.text) || EqualsNoCase(core->outputs[i].heading, e.text))
              key.column = static_cast<int32_t>(i);
        }
        if (key.column < 0) {
          CompiledExpression h;
          try {
            h = scope.BindHere(e);
          } catch (const EngineError& err) {
            if (err.code() == ENG_ERR_EXPRESSION && std::string(err.what()).find("Unknown field") != std::string::npos)
              ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, o.expression.text,
                         "ORDER BY names no column of the result or of its tables: " + std::string(err.what()));
            throw;
          }
          key.hidden = static_cast<int32_t>(core->hidden.size());
          core->hidden.push_back(std::move(h));
        }
      }
      plan.order.push_back(key);
    }
  }
  PlanLevels(*core, rows);
}

// Aggregates and GROUP BY expressions of a grouped core.
std::optional<BindScope::Name> GroupScope::Replace(const ExprSyntax& node) {
  if (node.kind == ExprSyntax::Kind::kCall && IsAggregateName(node.text)) {
    std::string canonical = Canonical(node, rows_);
    for (const AggregateCall& a : core_.aggregates)
      if (a.canonical == canonical) return rows_.SlotName(a.slot);
    AggregateCall a;
    a.function = node.text;
    a.distinct = node.distinct;
    a.canonical = canonical;
    SlotInfo info;
    if (node.children.size() != 1) Fail(ENG_ERR_EXPRESSION, "Wrong number of arguments (" + std::to_string(node.children.size()) + "): " + DescribeToken(node.token));
    if (node.children[0]->kind == ExprSyntax::Kind::kStar) {
      if (a.function != "COUNT" || a.distinct) Fail(ENG_ERR_EXPRESSION, "Only COUNT(*) takes \"*\": " + DescribeToken(node.token));
      a.star = true;
    } else {
      a.arg = rows_.BindHere(*node.children[0]);
      ValueType t = a.arg.result_type();
      if ((a.function == "SUM" || a.function == "AVG") && t != ValueType::kNumber && t != ValueType::kNull)
        Fail(ENG_ERR_COLUMN_TYPE, a.function + " needs numbers, not " + ValueTypeName(t) + ": " + DescribeToken(node.token));
      int32_t ref = a.arg.field_reference();
      if (ref >= 0 && !IsMemoType(core_.fields[static_cast<size_t>(ref)].type)) {
        a.field = ref;
        try {
          EncodedWidth(core_.fields[static_cast<size_t>(ref)]);
          a.keyable = true;
        } catch (const EngineError&) {
          a.keyable = false;
        }
      }
      if (a.function == "MIN" || a.function == "MAX") {
        info.type = t;
        info.max_length = a.arg.result_max_length();
        if (ref >= 0 && !IsMemoType(core_.fields[static_cast<size_t>(ref)].type) &&
            core_.fields[static_cast<size_t>(ref)].type != ENG_AUTOINC) {
          const Source& src = core_.sources[core_.field_source[static_cast<size_t>(ref)]];
          info.decl = DeclOfField(*src.table->st, static_cast<size_t>(ref) - src.first_field, "X");
        }
      }
    }
    if (a.function == "COUNT") {
      info.type = ValueType::kNumber;
      info.decl = FieldDecl{"X", ENG_INTEGER, 4, 0};
    } else if (a.function == "SUM" || a.function == "AVG") {
      info.type = ValueType::kNumber;
    }
    a.slot = static_cast<int32_t>(core_.slots.size());
    core_.slots.push_back(info);
    core_.aggregates.push_back(std::move(a));
    return rows_.SlotName(core_.aggregates.back().slot);
  }
  if (core_.keys.empty()) return std::nullopt;
  if (node.kind == ExprSyntax::Kind::kLiteral) return std::nullopt;
  std::string canonical = Canonical(node, rows_);
  for (const GroupKey& k : core_.keys)
    if (k.canonical == canonical) return rows_.SlotName(k.slot);
  return std::nullopt;
}

BindScope::Subquery BindSubqueryIn(Planner& planner, QueryScope& scope, const ExprSyntax& node);

BindScope::Subquery RowScope::BindSubquery(const ExprSyntax& node) {
  Subquery q = BindSubqueryIn(planner_, *this, node);
  core_.subqueries.push_back(static_cast<SubqueryImpl*>(q.eval.get()));
  return q;
}

BindScope::Subquery GroupScope::BindSubquery(const ExprSyntax& node) { return rows_.BindSubquery(node); }

std::unique_ptr<QueryPlan> Planner::PlanQuery(const sql::Query& q, QueryScope* outer) {
  auto plan = std::make_unique<QueryPlan>();
  plan->union_all = q.union_all;
  plan->limit = q.limit;
  plan->offset = q.offset;
  if (q.cores.size() == 1 && q.cores[0].top) plan->limit = plan->limit ? std::min(*plan->limit, *q.cores[0].top) : *q.cores[0].top;
  const bool single = q.cores.size() == 1;
  for (const sql::SelectCore& c : q.cores) plan->cores.push_back(PlanCore(c, outer, q, single, *plan));
  for (const auto& core : plan->cores)
    if (!core->params.empty()) plan->correlated = true;
  // The result's fields: the first core's, unless the cores differ.
  const CorePlan& first = *plan->cores[0];
  for (size_t i = 1; i < plan->cores.size(); ++i)
    if (plan->cores[i]->outputs.size() != first.outputs.size())
      Fail(ENG_ERR_SQL_EXECUTE, "The SELECTs of a UNION give " + std::to_string(first.outputs.size()) + " and " +
                                    std::to_string(plan->cores[i]->outputs.size()) + " columns");
  for (size_t c = 0; c < first.outputs.size(); ++c) {
    FieldDecl decl = first.outputs[c].decl;
    ValueType type = first.outputs[c].type;
    for (size_t i = 1; i < plan->cores.size(); ++i) {
      const OutputColumn& o = plan->cores[i]->outputs[c];
      if (o.decl.type == decl.type && o.decl.length == decl.length && o.decl.decimals == decl.decimals) continue;
      ValueType t = o.type;
      if (type == ValueType::kNull) type = t;
      else if (t != ValueType::kNull && t != type) {
        if ((type == ValueType::kDate || type == ValueType::kTimestamp) &&
            (t == ValueType::kDate || t == ValueType::kTimestamp))
          type = ValueType::kTimestamp;
        else
          Fail(ENG_ERR_SQL_EXECUTE, "Column " + std::to_string(c + 1) + " of the UNION is " + ValueTypeName(type) +
                                        " in one SELECT and " + ValueTypeName(t) + " in another");
      }
      uint32_t length = 0;
      bool unbounded = false;
      for (const auto& core : plan->cores) {
        const FieldDecl& s = core->outputs[c].decl;
        if (IsMemoType(s.type)) unbounded = true;
        length = std::max(length, s.length);
      }
      decl = DeclForValueType(decl.name, type, unbounded ? 0 : length);
    }
    plan->decls.push_back(decl);
  }
  // ORDER BY of a UNION: result columns only.
  if (!single) {
    for (const sql::OrderItem& o : q.order_by) {
      OrderKey key;
      key.descending = o.descending;
      if (o.ordinal) {
        if (o.ordinal > plan->decls.size())
          Fail(ENG_ERR_SQL_EXECUTE, "ORDER BY " + std::to_string(o.ordinal) + ": the result has " +
                                        std::to_string(plan->decls.size()) + " columns");
        key.column = static_cast<int32_t>(o.ordinal - 1);
      } else {
        const ExprSyntax& e = *o.expression.syntax;
        if (e.kind == ExprSyntax::Kind::kName && e.qualifier.empty())
          for (size_t i = 0; i < first.outputs.size() && key.column < 0; ++i)
            if (EqualsNoCase(first.outputs[i].name, e.text) || EqualsNoCase(first.outputs[i].heading, e.text))
              key.column = static_cast<int32_t>(i);
        if (key.column < 0)
          ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, o.expression.text, "ORDER BY of a UNION must name a result column");
      }
      plan->order.push_back(key);
    }
  }
  return plan;
}

std::unique_ptr<CorePlan> Planner::PlanSelection(SourceTable& table, const std::string& name,
                                                 const sql::Expression* where,
                                                 const std::vector<const sql::Expression*>& values,
                                                 std::vector<CompiledExpression>* bound,
                                                 bool* bound_subqueries) {
  auto core = std::make_unique<CorePlan>();
  sql::TableRef ref;
  ref.name = name;
  AddSource(*core, table, ref, sql::JoinKind::kFirst);
  RowScope rows(*this, *core, nullptr);
  try {
    for (const sql::Expression* v : values) bound->push_back(rows.BindHere(*v->syntax));
    *bound_subqueries = !core->subqueries.empty();
    if (where) AddCondition(*core, rows, *where->syntax, where->text, -1);
    PlanLevels(*core, rows);
  } catch (const EngineError& err) {
    BindFailure(err, *core);
  }
  return core;
}

BindScope::Subquery BindSubqueryIn(Planner& planner, QueryScope& scope, const ExprSyntax& node) {
  std::unique_ptr<QueryPlan> plan = planner.PlanQuery(*node.query, &scope);
  BindScope::Subquery q;
  if (node.kind != ExprSyntax::Kind::kExists) {
    if (plan->decls.size() != 1)
      Fail(ENG_ERR_SQL_EXECUTE, "A subquery used as a value must give one column, not " +
                                    std::to_string(plan->decls.size()) + ": " + DescribeToken(node.token));
    const OutputColumn& o = plan->cores[0]->outputs[0];
    q.type = o.type;
    for (const auto& core : plan->cores)
      if (q.type == ValueType::kNull) q.type = core->outputs[0].type;
    q.max_length = IsMemoType(plan->decls[0].type) ? 0 : plan->decls[0].length;
    if (q.type != ValueType::kString) q.max_length = 0;
  }
  for (const auto& core : plan->cores)
    for (const Param& p : core->params)
      for (size_t f : p.outer.referenced_fields()) q.fields.push_back(f);
  q.eval = std::make_shared<SubqueryImpl>(std::move(plan));
  return q;
}

// ---- Running --------------------------------------------------------------------

// Rows of equal size in chunks, reused where a row is replaced.
struct QueryOutput {
  FieldList fields;
  uint32_t row_length = 0;
  size_t key_length = 0;  // sort key bytes after each row
  bool byte_keys = true;  // else sort_values
  std::unique_ptr<RowStore> store;
  std::vector<std::vector<std::pair<size_t, std::string>>> memos;  // per stored row, when any column is a memo
  std::vector<std::vector<Value>> sort_values;                    // per stored row, without byte keys
  std::vector<uint32_t> rows;  // stored rows in result order
  std::vector<uint64_t> seq;   // arrival of each stored row
};

// Memo contents of a joined row: each field asks its own table.
class JoinedMemos : public MemoSource {
 public:
  explicit JoinedMemos(const CorePlan& core) : core_(core) {}
  bool ReadMemo(size_t field, std::string* content) const override {
    if (field >= core_.fields.size() || row_ == nullptr) return false;
    const Source& src = core_.sources[core_.field_source[field]];
    *content = src.table->st->ReadMemo(row_ + core_.fields[field].offset);
    return !content->empty();
  }
  const uint8_t* row_ = nullptr;

 private:
  const CorePlan& core_;
};

// Memo contents of a result row kept beside it.
class StoredMemos : public MemoSource {
 public:
  explicit StoredMemos(const std::vector<std::pair<size_t, std::string>>* memos) : memos_(memos) {}
  bool ReadMemo(size_t field, std::string* content) const override {
    if (memos_ == nullptr) return false;
    for (const auto& m : *memos_)
      if (m.first == field) {
        *content = m.second;
        return !content->empty();
      }
    return false;
  }

 private:
  const std::vector<std::pair<size_t, std::string>>* memos_;
};

bool Holds(const Conjunct& c, const RecordView& view) {
  if (c.fast) return c.fast->Matches(view.data, kExact);
  return Matches(c.expr, view, kExact);
}

class QueryRun;

// Record numbers grouped by a key, in one array: the records of key id
// are recnos[starts[id] .. starts[id + 1]).
struct RecordLists {
  KeyTable keys;
  std::vector<uint32_t> starts, recnos;
  std::span<const uint32_t> Of(int64_t id) const {
    if (id < 0) return {};
    const size_t i = static_cast<size_t>(id);
    return std::span<const uint32_t>(recnos.data() + starts[i], starts[i + 1] - starts[i]);
  }
};

// Fields whose bytes in the record are the whole value (not a reference to
// text kept elsewhere).
bool KeyedByBytes(uint16_t type) { return !IsMemoType(type) && type != ENG_VARCHAR; }

// One SELECT core run for one set of outer values.
class CoreRun {
 public:
  CoreRun(CorePlan& core, QueryRun& out, size_t core_index) : core_(core), out_(out), index_(core_index), memos_(core) {
    values_.resize(core.slots.size());
    row_.assign(std::max<size_t>(core.row_size, 1), 0);
    caches_.resize(core.levels.size());
    for (size_t k = 1; k < core.levels.size(); ++k) {
      // An index equality on a field of an earlier table held in the
      // record: its bytes decide its value, so equal bytes are one key (a
      // value with two spellings, as 0 and -0, just takes two).
      const Access& a = core.levels[k].access;
      if (a.kind != Access::Kind::kIndex || !a.equality || a.bounds.size() != 1) continue;
      const int32_t f = a.bounds[0].value.field_reference();
      if (f < 0) continue;
      const FieldDef& def = core.fields[static_cast<size_t>(f)];
      if (KeyedByBytes(def.type)) caches_[k].raw_key = &def;
    }
  }
  // Outer values from the record of the enclosing query.
  void SetParams(const RecordView* outer) {
    for (const Param& p : core_.params) values_[static_cast<size_t>(p.slot)] = Evaluate(p.outer, *outer, kExact);
  }
  void Run();

  RecordView View() { return RecordView{row_.data(), core_.row_size, &memos_, values_.data()}; }
  RecordView GroupView() { return RecordView{nullptr, 0, nullptr, values_.data()}; }
  CorePlan& core() { return core_; }
  size_t index() const { return index_; }

 private:
  struct LevelCache {
    bool ready = false;
    std::vector<uint32_t> list;  // scan: the records its own conditions admit
    // Hash probes, and index probes once hashed: the table's records by value.
    bool hashed = false;
    RecordLists hash;
    // Index probes: each key seen, its records (walked, or from the hash).
    KeyTable keys;
    std::deque<std::vector<uint32_t>> walked;  // stays in place as it grows
    std::vector<std::span<const uint32_t>> lists;
    const FieldDef* raw_key = nullptr;  // the field whose bytes are the key
    uint64_t walks = 0;
  };
  static constexpr uint64_t kWalksBeforeHash = 8;
  struct Group {
    std::vector<Value> keys;
    struct Agg {
      uint64_t count = 0;
      double sum = 0;
      Value best;
      std::string best_key;
      std::unique_ptr<KeyTable> seen;
    };
    std::vector<Agg> aggs;
  };

  bool Join(size_t k);
  bool Record(size_t k, const uint8_t* raw, bool* matched);
  bool NullRow(size_t k);
  bool Emit();
  void Accumulate();
  void EmitGroups();
  bool PassesLocal(size_t k, const uint8_t* raw);
  const std::vector<uint32_t>& ScanList(size_t k);
  // equal: the value of the level's one equality bound, when known.
  std::vector<uint32_t> IndexRecords(size_t k, bool* none, const std::optional<Value>& equal = std::nullopt);
  std::span<const uint32_t> Probe(size_t k);
  void HashLevel(size_t k, RecordLists* lists);

  CorePlan& core_;
  QueryRun& out_;
  size_t index_;
  JoinedMemos memos_;
  std::vector<Value> values_;
  std::vector<uint8_t> row_;
  std::vector<LevelCache> caches_;
  KeyTable group_keys_;
  std::vector<Group> groups_;
  std::string key_;
};

class QueryRun {
 public:
  // stop_after: rows enough for the caller (0: all), when nothing asks for all.
  QueryRun(QueryPlan& plan, size_t stop_after) : plan_(plan) {
    out_.fields = LayoutFields(plan.decls, &declared_);
    for (const FieldDef& f : out_.fields) out_.row_length += f.length;
    for (const FieldDef& f : out_.fields) any_memo_ = any_memo_ || IsMemoType(f.type);
    empty_.assign(std::max<uint32_t>(out_.row_length, 1), 0);
    for (const FieldDef& f : out_.fields) WriteEmptyField(f, empty_.data());
    PlanKeys();
    bool dedupe = false;
    for (const auto& core : plan.cores) dedupe = dedupe || core->distinct;
    for (bool all : plan.union_all) dedupe = dedupe || !all;
    const bool ordered = !plan.order.empty();
    if (!dedupe && plan.cores.size() == 1) {
      uint64_t want = plan.limit ? plan.offset + *plan.limit : 0;
      if (ordered && plan.limit && out_.byte_keys) top_ = static_cast<size_t>(std::min<uint64_t>(want, 1u << 30));
      else if (!ordered && plan.limit) stop_ = static_cast<size_t>(std::min<uint64_t>(want, 1u << 30));
      if (!ordered && stop_after && (stop_ == 0 || stop_after < stop_)) stop_ = stop_after;
    }
    if (!dedupe && !ordered && stop_after && plan.cores.size() > 1) stop_ = stop_after;
    out_.store = std::make_unique<RowStore>(out_.row_length + out_.key_length);
  }

  QueryOutput Run(const RecordView* outer) {
    if (plan_.limit && *plan_.limit == 0) return Finish();
    for (size_t i = 0; i < plan_.cores.size(); ++i) {
      size_t before = out_.rows.size();
      CoreRun run(*plan_.cores[i], *this, i);
      if (outer) run.SetParams(outer);
      current_ = &run;
      run.Run();
      current_ = nullptr;
      if (plan_.cores[i]->distinct) Dedupe(before);
      if (i > 0 && !plan_.union_all[i - 1]) Dedupe(0);
      if (Full()) break;
    }
    return Finish();
  }

  bool Full() const { return stop_ && out_.rows.size() >= stop_; }

  // A row of core `run` (its joined row or group in view): false once
  // enough rows are there.
  bool Accept(CoreRun& run, const RecordView& view);

 private:
  void PlanKeys();
  void Build(CoreRun& run, const RecordView& view, uint8_t* row, std::vector<std::pair<size_t, std::string>>& memos);
  void Keys(CoreRun& run, const RecordView& view, uint8_t* row, const std::vector<std::pair<size_t, std::string>>& memos,
            std::vector<Value>* values);
  bool Before(uint32_t a, uint32_t b) const;  // result order of two stored rows
  void Dedupe(size_t from);
  QueryOutput Finish();

  QueryPlan& plan_;
  QueryOutput out_;
  std::vector<uint32_t> declared_;
  std::vector<uint8_t> empty_;
  bool any_memo_ = false;
  size_t stop_ = 0;  // stop once this many rows are there
  size_t top_ = 0;   // keep only the first top_ rows in ORDER BY order
  uint64_t arrivals_ = 0;
  CoreRun* current_ = nullptr;
  // Sort key segments.
  struct Segment {
    int32_t column = -1, hidden = -1;
    FieldDef def;  // of the result column, or of the hidden key's scratch field
    size_t offset = 0, width = 0;
    bool descending = false;
  };
  std::vector<Segment> segments_;
  std::vector<uint8_t> scratch_row_;
  std::vector<uint8_t> hidden_raw_;
  std::vector<std::pair<size_t, std::string>> scratch_memos_;
  std::vector<Value> scratch_values_;
};

void QueryRun::PlanKeys() {
  size_t offset = 0;
  CorePlan& first = *plan_.cores[0];
  for (const OrderKey& k : plan_.order) {
    Segment seg;
    seg.column = k.column;
    seg.hidden = k.hidden;
    seg.descending = k.descending;
    if (k.column >= 0) {
      seg.def = out_.fields[static_cast<size_t>(k.column)];
    } else {
      const CompiledExpression& h = first.hidden[static_cast<size_t>(k.hidden)];
      std::vector<uint32_t> declared;
      FieldList one = LayoutFields({DeclForValueType("K", h.result_type(), h.result_max_length())}, &declared);
      seg.def = one[0];
    }
    try {
      if (IsMemoType(seg.def.type)) Fail(ENG_ERR_FIELD_TYPE, "memo");
      seg.width = EncodedWidth(seg.def);
    } catch (const EngineError&) {
      out_.byte_keys = false;
    }
    seg.offset = offset;
    offset += seg.width;
    segments_.push_back(seg);
  }
  out_.key_length = out_.byte_keys ? offset : 0;
  size_t hidden_size = 0;
  for (const Segment& s : segments_)
    if (s.hidden >= 0) hidden_size = std::max<size_t>(hidden_size, s.def.length);
  hidden_raw_.assign(std::max<size_t>(hidden_size, 1), 0);
}

void QueryRun::Build(CoreRun& run, const RecordView& view, uint8_t* row,
                     std::vector<std::pair<size_t, std::string>>& memos) {
  std::memcpy(row, empty_.data(), out_.row_length);
  memos.clear();
  CorePlan& core = run.core();
  for (size_t i = 0; i < core.outputs.size(); ++i) {
    const OutputColumn& o = core.outputs[i];
    const FieldDef& of = out_.fields[i];
    if (o.copy_field >= 0 && view.data != nullptr) {
      const FieldDef& sf = core.fields[static_cast<size_t>(o.copy_field)];
      if (IsMemoType(sf.type) && IsMemoType(of.type)) {
        std::string content;
        view.memos->ReadMemo(static_cast<size_t>(o.copy_field), &content);
        memos.emplace_back(i, std::move(content));
        continue;
      }
      if (sf.type == of.type && sf.length == of.length && sf.decimals == of.decimals && !IsMemoType(sf.type)) {
        std::memcpy(row + of.offset, view.data + sf.offset, sf.length);
        continue;
      }
    }
    Value v = Evaluate(o.expr, view, kExact);
    // A text of no characters is a value, not an empty field (which reads
    // as NULL): kept as blanks, which compare equal to it.
    if (v.type() == ValueType::kString && v.string().empty()) v = Value::String(" ");
    if (v.type() == ValueType::kNumber && v.number() == 0) v = Value::Number(0);
    try {
      PutValue(of, i, v, row, out_.row_length, memos);
    } catch (const EngineError& e) {
      ColumnFail(ENG_ERR_COLUMN_VALUE, o.heading, std::string("value does not fit the result: ") + e.what());
    }
  }
}

void QueryRun::Keys(CoreRun& run, const RecordView& view, uint8_t* row,
                    const std::vector<std::pair<size_t, std::string>>& memos, std::vector<Value>* values) {
  CorePlan& core = run.core();
  if (out_.byte_keys) {
    uint8_t* key = row + out_.row_length;
    for (const Segment& seg : segments_) {
      if (seg.column >= 0) {
        EncodeSegment(seg.def, row + seg.def.offset, key + seg.offset);
      } else {
        Value v = Evaluate(core.hidden[static_cast<size_t>(seg.hidden)], view, kExact);
        if (v.type() == ValueType::kString && v.string().empty()) v = Value::String(" ");
        EncodeField(seg.def, v, hidden_raw_.data(), hidden_raw_.size());
        EncodeSegment(seg.def, hidden_raw_.data(), key + seg.offset);
      }
      if (seg.descending)
        for (size_t b = seg.offset; b < seg.offset + seg.width; ++b) key[b] = static_cast<uint8_t>(~key[b]);
    }
    return;
  }
  values->clear();
  StoredMemos stored(&memos);
  RecordView out_view{row, out_.row_length, &stored, nullptr};
  for (const Segment& seg : segments_) {
    if (seg.column >= 0) values->push_back(DecodeField(out_.fields, static_cast<size_t>(seg.column), out_view));
    else values->push_back(Evaluate(core.hidden[static_cast<size_t>(seg.hidden)], view, kExact));
  }
}

bool QueryRun::Before(uint32_t a, uint32_t b) const {
  if (out_.byte_keys) {
    if (out_.key_length) {
      int c = std::memcmp(out_.store->Row(a) + out_.row_length, out_.store->Row(b) + out_.row_length, out_.key_length);
      if (c != 0) return c < 0;
    }
  } else {
    for (size_t k = 0; k < segments_.size(); ++k) {
      int c = CompareValues(out_.sort_values[a][k], out_.sort_values[b][k]);
      if (c != 0) return segments_[k].descending ? c > 0 : c < 0;
    }
  }
  return out_.seq[a] < out_.seq[b];
}

bool QueryRun::Accept(CoreRun& run, const RecordView& view) {
  if (Full()) return false;
  const bool keep_memos = any_memo_;
  const bool keyed = !segments_.empty();
  if (top_ && out_.rows.size() >= top_) {
    // Full: a row takes the place of the last one only when it comes before it.
    scratch_row_.resize(out_.row_length + out_.key_length);
    Build(run, view, scratch_row_.data(), scratch_memos_);
    Keys(run, view, scratch_row_.data(), scratch_memos_, &scratch_values_);
    uint32_t last = out_.rows.front();  // the heap's greatest
    if (std::memcmp(scratch_row_.data() + out_.row_length, out_.store->Row(last) + out_.row_length, out_.key_length) >= 0)
      return true;
    std::pop_heap(out_.rows.begin(), out_.rows.end(), [&](uint32_t a, uint32_t b) { return Before(a, b); });
    std::memcpy(out_.store->Row(last), scratch_row_.data(), scratch_row_.size());
    if (keep_memos) out_.memos[last] = scratch_memos_;
    out_.seq[last] = arrivals_++;
    std::push_heap(out_.rows.begin(), out_.rows.end(), [&](uint32_t a, uint32_t b) { return Before(a, b); });
    return true;
  }
  uint32_t index = static_cast<uint32_t>(out_.store->size());
  uint8_t* row = out_.store->Append();
  out_.seq.push_back(arrivals_++);
  if (keep_memos) out_.memos.emplace_back();
  std::vector<std::pair<size_t, std::string>>& memos = keep_memos ? out_.memos.back() : scratch_memos_;
  Build(run, view, row, memos);
  if (keyed) {
    if (out_.byte_keys) {
      Keys(run, view, row, memos, nullptr);
    } else {
      out_.sort_values.emplace_back();
      Keys(run, view, row, memos, &out_.sort_values.back());
    }
  }
  out_.rows.push_back(index);
  if (top_) std::push_heap(out_.rows.begin(), out_.rows.end(), [&](uint32_t a, uint32_t b) { return Before(a, b); });
  return !Full();
}

// Drops the rows from `from` on that repeat an earlier one of them (the
// rows of a DISTINCT core among themselves; all rows for a UNION).
void QueryRun::Dedupe(size_t from) {
  KeyTable seen;
  std::string key;
  auto key_of = [&](uint32_t r) {
    key.assign(reinterpret_cast<const char*>(out_.store->Row(r)), out_.row_length);
    if (!any_memo_) return;
    for (size_t i = 0; i < out_.fields.size(); ++i) {
      if (!IsMemoType(out_.fields[i].type)) continue;
      std::memset(key.data() + out_.fields[i].offset, 0, out_.fields[i].length);
      std::string content;
      StoredMemos(&out_.memos[r]).ReadMemo(i, &content);
      AppendCanonical(content.empty() ? Value() : Value::String(content), &key);
    }
  };
  std::vector<uint32_t> kept(out_.rows.begin(), out_.rows.begin() + static_cast<long>(from));
  for (size_t i = from; i < out_.rows.size(); ++i) {
    key_of(out_.rows[i]);
    bool added = false;
    seen.Find(key, true, &added);
    if (added) kept.push_back(out_.rows[i]);
  }
  out_.rows.swap(kept);
}

QueryOutput QueryRun::Finish() {
  std::vector<uint32_t>& rows = out_.rows;
  if (!segments_.empty()) {
    if (out_.byte_keys && out_.key_length > 0) {
      struct Entry {
        uint64_t prefix;
        uint32_t row;
      };
      std::vector<Entry> entries;
      entries.reserve(rows.size());
      const size_t klen = out_.key_length;
      for (uint32_t r : rows) {
        const uint8_t* key = out_.store->Row(r) + out_.row_length;
        uint64_t prefix = 0;
        for (size_t b = 0; b < 8; ++b) prefix = prefix << 8 | (b < klen ? key[b] : 0);
        entries.push_back({prefix, r});
      }
      const size_t rest = klen > 8 ? klen - 8 : 0;
      std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (rest) {
          int c = std::memcmp(out_.store->Row(a.row) + out_.row_length + 8, out_.store->Row(b.row) + out_.row_length + 8, rest);
          if (c != 0) return c < 0;
        }
        return out_.seq[a.row] < out_.seq[b.row];
      });
      for (size_t i = 0; i < rows.size(); ++i) rows[i] = entries[i].row;
    } else {
      std::stable_sort(rows.begin(), rows.end(), [&](uint32_t a, uint32_t b) { return Before(a, b); });
    }
  }
  size_t from = static_cast<size_t>(std::min<uint64_t>(plan_.offset, rows.size()));
  size_t to = rows.size();
  if (plan_.limit) to = static_cast<size_t>(std::min<uint64_t>(rows.size(), from + *plan_.limit));
  if (from > 0 || to < rows.size()) rows = std::vector<uint32_t>(rows.begin() + static_cast<long>(from), rows.begin() + static_cast<long>(to));
  return std::move(out_);
}

void CoreRun::Run() {
  if (core_.grouped && core_.keys.empty()) {
    // Aggregates without GROUP BY: one group, also of no rows.
    groups_.emplace_back();
    groups_.back().aggs.resize(core_.aggregates.size());
  }
  RecordView view = View();
  bool none = false;
  for (Conjunct* c : core_.constant)
    if (!Matches(c->expr, view, kExact)) none = true;
  if (!none) {
    if (core_.sources.empty()) Emit();
    else Join(0);
  }
  if (core_.grouped) EmitGroups();
}

bool CoreRun::PassesLocal(size_t k, const uint8_t* raw) {
  const Source& src = core_.sources[k];
  std::memcpy(row_.data() + src.base, raw, src.record_length);
  RecordView view = View();
  for (Conjunct* c : core_.levels[k].local)
    if (!Holds(*c, view)) return false;
  return true;
}

const std::vector<uint32_t>& CoreRun::ScanList(size_t k) {
  LevelCache& cache = caches_[k];
  if (cache.ready) return cache.list;
  cache.ready = true;
  SharedTable& st = *core_.sources[k].table->st;
  const uint64_t count = st.SlotCount();
  for (uint64_t r = 1; r <= count; ++r) {
    const uint8_t* raw = st.LiveRecord(r);
    if (raw && PassesLocal(k, raw)) cache.list.push_back(static_cast<uint32_t>(r));
  }
  return cache.list;
}

// The records an index walk between the access's bounds finds, in
// ascending record numbers; nothing when a bound is NULL (*none set), as
// then no record can match.
std::vector<uint32_t> IndexRangeRecords(SharedTable& st, const Access& access, const RecordView& view, bool* none,
                                        const std::optional<Value>& equal = std::nullopt) {
  *none = false;
  std::vector<SeekHint> hints;
  for (const Bound& b : access.bounds) {
    Value v = equal && access.bounds.size() == 1 ? *equal : Evaluate(b.value, view, kExact);
    if (v.is_null()) {
      *none = true;
      return {};
    }
    SeekHint h;
    h.field = access.field;
    h.op = b.op;
    h.literal = std::move(v);
    hints.push_back(std::move(h));
  }
  IndexSet& tags = st.indexes();
  KeyBounds bounds = FilterBounds(st.fields(), hints, *tags.tag(access.tag).layout);
  std::vector<uint32_t> out;
  BTree::Cursor cursor(tags.Tree(access.tag));
  bool ok;
  if (!bounds.low.empty()) {
    // Start at the greatest low bound: keys below it fail that one.
    const std::vector<uint8_t>* start = &bounds.low[0];
    for (const auto& l : bounds.low)
      if (std::memcmp(l.data(), start->data(), std::min(l.size(), start->size())) > 0) start = &l;
    ok = cursor.SeekGE(start->data(), start->size());
  } else {
    ok = cursor.First();
  }
  for (; ok && cursor.Valid(); ok = cursor.Next()) {
    const uint8_t* key = cursor.Key();
    bool past = false, below = false;
    for (const auto& h : bounds.high)
      if (std::memcmp(key, h.data(), h.size()) > 0) past = true;
    if (past) break;
    for (const auto& l : bounds.low)
      if (std::memcmp(key, l.data(), l.size()) < 0) below = true;
    if (!below) out.push_back(cursor.RecNo());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The records an index walk between the level's bounds finds (ascending
// record numbers). *none: a bound is NULL, so no record can match.
std::vector<uint32_t> CoreRun::IndexRecords(size_t k, bool* none, const std::optional<Value>& equal) {
  return IndexRangeRecords(*core_.sources[k].table->st, core_.levels[k].access, View(), none, equal);
}

// Records of level k for the current joined row through its hash or its
// index equality (remembered per key value); none when none can match.
std::span<const uint32_t> CoreRun::Probe(size_t k) {
  LevelCache& cache = caches_[k];
  const Level& level = core_.levels[k];
  SharedTable& st = *core_.sources[k].table->st;
  const FieldDef* raw_key = level.access.kind == Access::Kind::kIndex ? cache.raw_key : nullptr;
  if (raw_key) {
    // The value is a field of the joined row: its bytes are the key, and
    // the value is decoded only for a key not seen before.
    if (IsFieldEmpty(*raw_key, row_.data())) return {};
    const std::string_view bytes(reinterpret_cast<const char*>(row_.data() + raw_key->offset), raw_key->length);
    int64_t id = cache.keys.Find(bytes, false);
    if (id >= 0) return cache.lists[static_cast<size_t>(id)];
  }
  RecordView view = View();
  Value v = Evaluate(level.access.bounds[0].value, view, kExact);
  if (v.is_null()) return {};
  if (level.access.kind == Access::Kind::kHash) {
    if (!cache.hashed) {
      cache.hashed = true;
      HashLevel(k, &cache.hash);
    }
    key_.clear();
    AppendCanonical(v, &key_);
    return cache.hash.Of(cache.hash.keys.Find(key_, false));
  }
  // An index equality: each key value walked once. When the walks grow
  // many beside the table's size (a join of many distinct values), one
  // pass over the table hashes it and the new values are looked up there:
  // a walk costs a descent of the tree, a record of the pass far less.
  key_.clear();
  if (raw_key) key_.assign(reinterpret_cast<const char*>(row_.data() + raw_key->offset), raw_key->length);
  else AppendCanonical(v, &key_);
  bool added = false;
  int64_t id = cache.keys.Find(key_, true, &added);
  if (added) {
    constexpr size_t kMaxRemembered = 1 << 20;
    if (cache.keys.size() > kMaxRemembered) {
      cache.keys.Clear();
      cache.walked.clear();
      cache.lists.clear();
      id = cache.keys.Find(key_, true);
    }
    if (!cache.hashed && ++cache.walks >= kWalksBeforeHash && cache.walks * 8 > st.SlotCount()) {
      HashLevel(k, &cache.hash);
      cache.hashed = true;
    }
    if (cache.hashed) {
      std::string canonical;
      AppendCanonical(v, &canonical);
      cache.lists.push_back(cache.hash.Of(cache.hash.keys.Find(canonical, false)));
    } else {
      bool none = false;
      cache.walked.push_back(IndexRecords(k, &none, v));
      cache.lists.push_back(cache.walked.back());
    }
  }
  return cache.lists[static_cast<size_t>(id)];
}

// The records of level k that its own conditions admit, by the canonical
// value of the field its equality names (an empty field: none), each list
// in ascending record numbers.
void CoreRun::HashLevel(size_t k, RecordLists* lists) {
  const Source& src = core_.sources[k];
  SharedTable& st = *src.table->st;
  const size_t field = core_.levels[k].access.field;
  const bool local = !core_.levels[k].local.empty();
  const uint64_t count = st.SlotCount();
  std::vector<uint32_t> ids, recnos;
  std::string key;
  for (uint64_t r = 1; r <= count; ++r) {
    const uint8_t* raw = st.LiveRecord(r);
    if (!raw || (local && !PassesLocal(k, raw))) continue;
    TableMemoSource memos(st, raw);
    Value f = DecodeField(src.fields(), field, RecordView{raw, src.record_length, &memos});
    if (f.is_null()) continue;
    key.clear();
    AppendCanonical(f, &key);
    ids.push_back(static_cast<uint32_t>(lists->keys.Find(key, true)));
    recnos.push_back(static_cast<uint32_t>(r));
  }
  // Counted into place: each key's records stay in ascending order.
  lists->starts.assign(lists->keys.size() + 1, 0);
  for (uint32_t id : ids) ++lists->starts[id + 1];
  for (size_t i = 1; i < lists->starts.size(); ++i) lists->starts[i] += lists->starts[i - 1];
  std::vector<uint32_t> next(lists->starts.begin(), lists->starts.end() - 1);
  lists->recnos.resize(recnos.size());
  for (size_t i = 0; i < ids.size(); ++i) lists->recnos[next[ids[i]]++] = recnos[i];
}

bool CoreRun::Join(size_t k) {
  if (k == core_.sources.size()) return Emit();
  const struct Level& level = core_.levels[k];
  const Source& src = core_.sources[k];
  SharedTable& st = *src.table->st;
  bool matched = false;
  switch (level.access.kind) {
    case Access::Kind::kScan:
      if (k == 0 && core_.sources.size() == 1) {
        // One table: each record is the row, its conditions tested in place.
        SlotScanner scanner(st);
        const std::vector<Conjunct*>& filters = level.filters;
        RecordView view{nullptr, core_.row_size, &memos_, values_.data()};
        bool go = scanner.ForEachLive([&](const uint8_t* raw) {
          view.data = raw;
          memos_.row_ = raw;
          for (Conjunct* c : filters)
            if (!Holds(*c, view)) return true;
          return Emit();
        });
        if (!go) return false;
      } else if (k == 0) {
        // The first table lies at the start of the joined row, so its own
        // conditions that read the bytes alone are tested in place: a
        // record they refuse is not copied.
        std::vector<const FastCondition*> in_place;
        for (Conjunct* c : level.local)
          if (c->fast && c->expr.min_record_size() <= src.record_length) in_place.push_back(&*c->fast);
        SlotScanner scanner(st);
        if (!scanner.ForEachLive([&](const uint8_t* raw) {
              for (const FastCondition* f : in_place)
                if (!f->Matches(raw, kExact)) return true;
              return Record(0, raw, &matched);
            }))
          return false;
      } else {
        // The list is kept by this run: the joined row below may change it
        // only through deeper levels, never this one's.
        const std::vector<uint32_t>& list = ScanList(k);
        for (uint32_t r : list) {
          const uint8_t* raw = st.LiveRecord(r);
          if (raw && !Record(k, raw, &matched)) return false;
        }
      }
      break;
    case Access::Kind::kIndex:
      if (level.access.equality && k > 0) {
        // Only Probe(k) changes this level's cache, and deeper levels have
        // their own: the list stays as it is while its records are joined.
        for (uint32_t r : Probe(k)) {
          const uint8_t* raw = st.LiveRecord(r);
          if (raw && !Record(k, raw, &matched)) return false;
        }
      } else if (level.access.constant && k > 0) {
        // The same range for every row before: walked once.
        LevelCache& cache = caches_[k];
        if (!cache.ready) {
          bool none = false;
          cache.list = IndexRecords(k, &none);
          cache.ready = true;
        }
        const std::vector<uint32_t> copy = cache.list;
        for (uint32_t r : copy) {
          const uint8_t* raw = st.LiveRecord(r);
          if (raw && !Record(k, raw, &matched)) return false;
        }
      } else {
        bool none = false;
        std::vector<uint32_t> records = IndexRecords(k, &none);
        for (uint32_t r : records) {
          const uint8_t* raw = st.LiveRecord(r);
          if (raw && !Record(k, raw, &matched)) return false;
        }
      }
      break;
    case Access::Kind::kHash: {
      for (uint32_t r : Probe(k)) {
        const uint8_t* raw = st.LiveRecord(r);
        if (raw && !Record(k, raw, &matched)) return false;
      }
      break;
    }
  }
  if (level.left && !matched) return NullRow(k);
  return true;
}

// One record of level k joined to the row so far.
bool CoreRun::Record(size_t k, const uint8_t* raw, bool* matched) {
  const Source& src = core_.sources[k];
  const struct Level& level = core_.levels[k];
  RecordView view;
  if (core_.sources.size() == 1) {
    // A single table: its record is the row, read in place.
    view = RecordView{raw, core_.row_size, &memos_, values_.data()};
    memos_.row_ = raw;
  } else {
    std::memcpy(row_.data() + src.base, raw, src.record_length);
    view = View();
    memos_.row_ = row_.data();
  }
  for (Conjunct* c : level.on)
    if (!Holds(*c, view)) return true;
  *matched = true;
  for (Conjunct* c : level.filters)
    if (!Holds(*c, view)) return true;
  if (k + 1 == core_.sources.size()) return Emit();
  return Join(k + 1);
}

// LEFT JOIN without a match: the level's table as NULLs.
bool CoreRun::NullRow(size_t k) {
  const Source& src = core_.sources[k];
  SharedTable& st = *src.table->st;
  std::memcpy(row_.data() + src.base, st.EmptyRecord().data(), src.record_length);
  memos_.row_ = row_.data();
  RecordView view = View();
  for (Conjunct* c : core_.levels[k].filters)
    if (!Holds(*c, view)) return true;
  return Join(k + 1);
}

bool CoreRun::Emit() {
  if (core_.grouped) {
    Accumulate();
    return true;
  }
  RecordView view = core_.sources.size() == 1 ? RecordView{memos_.row_, core_.row_size, &memos_, values_.data()} : View();
  if (core_.sources.empty()) view = View();
  return out_.Accept(*this, view);
}

void CoreRun::Accumulate() {
  RecordView view = core_.sources.size() == 1 ? RecordView{memos_.row_, core_.row_size, &memos_, values_.data()} : View();
  size_t g = 0;
  if (!core_.keys.empty()) {
    key_.clear();
    for (const GroupKey& k : core_.keys) {
      if (k.field >= 0) {
        const FieldDef& f = core_.fields[static_cast<size_t>(k.field)];
        const uint8_t* p = view.data + f.offset;
        if (f.type == ENG_DOUBLE || f.type == ENG_CURDOUBLE || f.type == ENG_LOGICAL || f.type == ENG_NUMERIC ||
            f.type == ENG_TIMESTAMP || (f.type == ENG_DATE && f.length != 4)) {
          AppendCanonical(DecodeField(core_.fields, static_cast<size_t>(k.field), view), &key_);
        } else {
          key_.push_back(IsFieldEmpty(f, view.data) ? '\0' : '\1');
          key_.append(reinterpret_cast<const char*>(p), f.length);
        }
      } else {
        AppendCanonical(Evaluate(k.expr, view, kExact), &key_);
      }
    }
    bool added = false;
    g = static_cast<size_t>(group_keys_.Find(key_, true, &added));
    if (added) {
      groups_.emplace_back();
      Group& group = groups_.back();
      for (const GroupKey& k : core_.keys) group.keys.push_back(Evaluate(k.expr, view, kExact));
      group.aggs.resize(core_.aggregates.size());
    }
  }
  Group& group = groups_[g];
  for (size_t i = 0; i < core_.aggregates.size(); ++i) {
    const AggregateCall& a = core_.aggregates[i];
    Group::Agg& s = group.aggs[i];
    if (a.star) {
      ++s.count;
      continue;
    }
    const bool plain = a.field >= 0 && !a.distinct;
    if (plain) {
      const FieldDef& f = core_.fields[static_cast<size_t>(a.field)];
      if (IsFieldEmpty(f, view.data)) continue;
      if (a.function == "COUNT") {
        ++s.count;
        continue;
      }
      if (a.function == "SUM" || a.function == "AVG") {
        double d;
        if (!ReadScalarField(f, view.data, &d)) continue;
        ++s.count;
        s.sum += d;
        continue;
      }
      if (a.keyable) {
        uint8_t key[kMaxKeyBytes];
        size_t width = EncodedWidth(f);
        EncodeSegment(f, view.data + f.offset, key);
        bool better = s.count == 0;
        if (!better) {
          int c = std::memcmp(key, s.best_key.data(), width);
          better = a.function == "MIN" ? c < 0 : c > 0;
        }
        ++s.count;
        if (better) {
          s.best_key.assign(reinterpret_cast<const char*>(key), width);
          s.best = DecodeField(core_.fields, static_cast<size_t>(a.field), view);
        }
        continue;
      }
    }
    Value v = Evaluate(a.arg, view, kExact);
    if (v.is_null()) continue;
    if (a.distinct) {
      if (!s.seen) s.seen = std::make_unique<KeyTable>();
      key_.clear();
      AppendCanonical(v, &key_);
      bool added = false;
      s.seen->Find(key_, true, &added);
      if (!added) continue;
    }
    ++s.count;
    if (a.function == "SUM" || a.function == "AVG") s.sum += v.number();
    if (a.function == "MIN" && (s.best.is_null() || CompareValues(v, s.best) < 0)) s.best = v;
    if (a.function == "MAX" && (s.best.is_null() || CompareValues(v, s.best) > 0)) s.best = v;
  }
}

void CoreRun::EmitGroups() {
  for (Group& group : groups_) {
    for (size_t i = 0; i < core_.keys.size(); ++i) values_[static_cast<size_t>(core_.keys[i].slot)] = group.keys[i];
    for (size_t i = 0; i < core_.aggregates.size(); ++i) {
      const AggregateCall& a = core_.aggregates[i];
      const Group::Agg& s = group.aggs[i];
      Value v;
      if (a.function == "COUNT") v = Value::Number(static_cast<double>(s.count));
      else if (a.function == "SUM") v = s.count ? Value::Number(s.sum) : Value();
      else if (a.function == "AVG") v = s.count ? Value::Number(s.sum / static_cast<double>(s.count)) : Value();
      else v = s.best;
      values_[static_cast<size_t>(a.slot)] = std::move(v);
    }
    RecordView view = GroupView();
    if (core_.having && !Matches(*core_.having, view, kExact)) continue;
    if (!out_.Accept(*this, view)) return;
  }
}

// ---- Subqueries -----------------------------------------------------------------

SubqueryImpl::SubqueryImpl(std::unique_ptr<QueryPlan> plan) : plan_(std::move(plan)) {}
SubqueryImpl::~SubqueryImpl() = default;

SubqueryImpl::Answer& SubqueryImpl::For(const RecordView& outer) {
  std::string key;
  for (const auto& core : plan_->cores)
    for (const Param& p : core->params) AppendCanonical(Evaluate(p.outer, outer, kExact), &key);
  bool added = false;
  int64_t id = keys_.Find(key, !frozen_, &added);
  if (id < 0) throw SubqueryStale{};
  if (added) {
    constexpr size_t kMaxRemembered = 100000;
    if (answers_.size() >= kMaxRemembered && !frozen_) {
      // Too many outer values to remember them all: start afresh.
      keys_.Clear();
      answers_.clear();
      id = keys_.Find(key, true);
    }
    answers_.push_back(std::make_unique<Answer>());
  }
  return *answers_[static_cast<size_t>(id)];
}

// Runs the plan for the outer values of `outer`.
QueryOutput RunPlan(QueryPlan& plan, const RecordView* outer, size_t stop_after) {
  QueryRun run(plan, stop_after);
  return run.Run(outer);
}

Value FirstValue(const QueryOutput& out, uint32_t row) {
  StoredMemos memos(out.memos.empty() ? nullptr : &out.memos[row]);
  return DecodeField(out.fields, 0, RecordView{out.store->Row(row), out.row_length, &memos, nullptr});
}

Value SubqueryImpl::Scalar(const RecordView& outer) {
  Answer& a = For(outer);
  if (!a.done_scalar) {
    if (frozen_) throw SubqueryStale{};
    QueryOutput out = RunPlan(*plan_, &outer, 2);
    if (out.rows.size() > 1)
      Fail(ENG_ERR_SQL_EXECUTE, "A subquery used as a value gave more than one row");
    a.scalar = out.rows.empty() ? Value() : FirstValue(out, out.rows[0]);
    a.done_scalar = true;
  }
  return a.scalar;
}

bool SubqueryImpl::Exists(const RecordView& outer) {
  Answer& a = For(outer);
  if (!a.done_exists) {
    if (frozen_) throw SubqueryStale{};
    a.exists = !RunPlan(*plan_, &outer, 1).rows.empty();
    a.done_exists = true;
  }
  return a.exists;
}

std::optional<bool> SubqueryImpl::Contains(const RecordView& outer, const Value& x) {
  Answer& a = For(outer);
  if (!a.done_set) {
    if (frozen_) throw SubqueryStale{};
    QueryOutput out = RunPlan(*plan_, &outer, 0);
    std::string key;
    for (uint32_t r : out.rows) {
      Value v = FirstValue(out, r);
      a.set_empty = false;
      if (v.is_null()) {
        a.set_has_null = true;
        continue;
      }
      key.clear();
      AppendCanonical(v, &key);
      a.set.Find(key, true);
    }
    a.done_set = true;
  }
  if (a.set_empty) return false;
  if (x.is_null()) return std::nullopt;
  std::string key;
  AppendCanonical(x, &key);
  if (a.set.Find(key, false) >= 0) return true;
  if (a.set_has_null) return std::nullopt;
  return false;
}

// ---- Results ----------------------------------------------------------------------

// A SELECT result: its temporary folder, if it has one, goes when the cursor closes.
struct CursorObject : TableObject {
  std::string temp_folder;
  ~CursorObject() override {
    table.reset();
    std::error_code ec;
    if (!temp_folder.empty()) std::filesystem::remove_all(temp_folder, ec);
  }
};


ExecOutcome MakeCursor(const std::shared_ptr<ConnectionObject>& conn, const std::vector<FieldDecl>& decls,
                       QueryOutput& out) {
  static const std::vector<std::pair<size_t, std::string>> kNoMemos;
  uint64_t bytes = uint64_t{out.rows.size()} * (out.row_length + 1);
  for (const auto& m : out.memos)
    for (const auto& p : m) bytes += p.second.size();
  auto cursor = std::make_shared<CursorObject>();
  OpenOptions o;
  o.exclusive = true;
  o.read_only = true;
  auto fill = [&](TableImage& image) {
    image.Reserve(out.rows.size());
    for (uint32_t r : out.rows) image.Add(fmt::kSlotLive, out.store->Row(r), out.memos.empty() ? kNoMemos : out.memos[r]);
    image.Finish(1);
  };
  if (bytes <= g_result_memory_limit) {
    const std::string name = "result of an SQL statement";
    int fd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd < 0) FailIo("Cannot make the result of the statement", errno);
    TableImage image(fd, name, decls);
    fill(image);
    int memo = image.WriteToDescriptors();
    std::shared_ptr<SharedTable> table = SharedTable::InMemory(name, image.ReleaseDescriptor(), memo);
    cursor->table = std::make_unique<TableHandle>(std::move(table));
    cursor->path = name;
  } else {
    TempFolder folder("dbsql-cursor");
    std::string path = folder.path() + "/result.adt";
    {
      TableImage image(path, decls, TableImage::Mode::kStreamed);
      fill(image);
      image.WriteFiles();
    }
    cursor->table = std::make_unique<TableHandle>(path, o);
    cursor->temp_folder = folder.Release();
    cursor->path = path;
  }
  cursor->open_options = ENG_OPEN_READONLY;
  cursor->static_cursor = true;
  ExecOutcome outcome;
  outcome.cursor = RegisterTable(conn, cursor, ENG_HANDLE_CURSOR);
  return outcome;
}

// ---- EXPLAIN ----------------------------------------------------------------------

void Describe(const QueryPlan& plan, int depth, std::vector<std::string>* lines);

void DescribeCore(const CorePlan& core, int depth, std::vector<std::string>* lines) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (size_t k = 0; k < core.sources.size(); ++k) {
    const Source& src = core.sources[k];
    const Level& level = core.levels[k];
    std::string table = src.name + (src.alias.empty() ? "" : " AS " + src.alias);
    std::string line = indent + (level.left ? "LEFT JOIN " : "");
    switch (level.access.kind) {
      case Access::Kind::kScan:
        line += "SCAN " + table;
        if (k > 0) line += " (once; its own conditions kept for each row before)";
        break;
      case Access::Kind::kIndex: {
        line += "SEARCH " + table + " USING INDEX " + level.access.tag_name + " (";
        for (size_t i = 0; i < level.access.bounds.size(); ++i)
          line += (i ? " AND " : "") + level.access.bounds[i].text;
        line += ")";
        if (!level.access.constant) line += " for each row before";
        break;
      }
      case Access::Kind::kHash:
        line += "SEARCH " + table + " THROUGH A HASH OF " + src.fields()[level.access.field].name + " (" +
                level.access.bounds[0].text + ")";
        break;
    }
    lines->push_back(line);
  }
  if (core.sources.empty()) lines->push_back(indent + "VALUES (no table)");
  if (core.grouped)
    lines->push_back(indent + (core.keys.empty() ? "AGGREGATE (one group)" : "GROUP BY (hashed)") +
                     (core.having ? ", HAVING" : ""));
  if (core.distinct) lines->push_back(indent + "DISTINCT");
  size_t n = 0;
  for (const SubqueryImpl* q : core.subqueries) {
    lines->push_back(indent + "SUBQUERY " + std::to_string(++n) +
                     (q->correlated() ? " (for each outer value, remembered)" : " (once)"));
    Describe(const_cast<SubqueryImpl*>(q)->plan(), depth + 1, lines);
  }
}

void Describe(const QueryPlan& plan, int depth, std::vector<std::string>* lines) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (size_t i = 0; i < plan.cores.size(); ++i) {
    if (i > 0) lines->push_back(indent + (plan.union_all[i - 1] ? "UNION ALL" : "UNION"));
    DescribeCore(*plan.cores[i], depth, lines);
  }
  if (!plan.order.empty())
    lines->push_back(indent + "ORDER BY (sorted" + (plan.limit ? ", keeping the first " + std::to_string(plan.offset + *plan.limit) + " rows)" : ")"));
  if (plan.limit || plan.offset)
    lines->push_back(indent + "LIMIT " + (plan.limit ? std::to_string(*plan.limit) : std::string("ALL")) +
                     (plan.offset ? " OFFSET " + std::to_string(plan.offset) : ""));
}

ExecOutcome LinesCursor(const std::shared_ptr<ConnectionObject>& conn, const std::vector<std::string>& lines) {
  uint32_t width = 1;
  for (const std::string& l : lines) width = std::max<uint32_t>(width, static_cast<uint32_t>(std::min<size_t>(l.size(), 4000)));
  std::vector<FieldDecl> decls{{"PLAN", ENG_STRING, width, 0}};
  QueryOutput out;
  std::vector<uint32_t> declared;
  out.fields = LayoutFields(decls, &declared);
  out.row_length = width;
  out.store = std::make_unique<RowStore>(width);
  std::vector<std::pair<size_t, std::string>> memos;
  for (const std::string& l : lines) {
    uint8_t* row = out.store->Append();
    EncodeField(out.fields[0], Value::String(l.substr(0, width)), row, width);
    out.rows.push_back(static_cast<uint32_t>(out.store->size() - 1));
  }
  return MakeCursor(conn, decls, out);
}

}  // namespace

// ---- Entry points -------------------------------------------------------------------

ExecOutcome RunSelect(const std::shared_ptr<ConnectionObject>& conn, const sql::Query& query,
                      const StatementOptions& options) {
  TableSet tables(*conn, options);
  Planner planner(tables);
  std::unique_ptr<QueryPlan> plan = planner.PlanQuery(query, nullptr);
  std::optional<QueryOutput> out;
  {
    TableSet::Locks locks(tables);
    out = RunPlan(*plan, nullptr, 0);
  }
  return MakeCursor(conn, plan->decls, *out);
}

std::vector<std::vector<Value>> QueryRows(ConnectionObject& conn, const sql::Query& query,
                                          const StatementOptions& options) {
  TableSet tables(conn, options);
  Planner planner(tables);
  std::unique_ptr<QueryPlan> plan = planner.PlanQuery(query, nullptr);
  std::vector<std::vector<Value>> rows;
  TableSet::Locks locks(tables);
  QueryOutput out = RunPlan(*plan, nullptr, 0);
  for (uint32_t r : out.rows) {
    StoredMemos memos(out.memos.empty() ? nullptr : &out.memos[r]);
    RecordView view{out.store->Row(r), out.row_length, &memos, nullptr};
    std::vector<Value> row;
    for (size_t i = 0; i < out.fields.size(); ++i) row.push_back(DecodeField(out.fields, i, view));
    rows.push_back(std::move(row));
  }
  return rows;
}

struct RecordSelector::State {
  State(ConnectionObject& conn, const StatementOptions& options) : tables(conn, options), planner(tables) {}
  TableSet tables;
  Planner planner;
  SharedTable* target = nullptr;
  std::unique_ptr<CorePlan> core;
  std::vector<CompiledExpression> values;
  bool values_query = false;  // the values hold subqueries
};

namespace {
// Conditions of a selection: its subqueries (all of them) are frozen after Select.
void FreezeAll(CorePlan& core) {
  for (SubqueryImpl* q : core.subqueries) q->Freeze();
}
}  // namespace

RecordSelector::RecordSelector(ConnectionObject& conn, const StatementOptions& options, SharedTable& target,
                               const std::string& table, const sql::Expression* where,
                               const std::vector<const sql::Expression*>& values)
    : state_(std::make_unique<State>(conn, options)) {
  state_->target = &target;
  SourceTable& src = state_->tables.Adopt(table, target);
  state_->core = state_->planner.PlanSelection(src, table, where, values, &state_->values, &state_->values_query);
}

RecordSelector::~RecordSelector() = default;

std::vector<uint32_t> RecordSelector::Select() {
  CorePlan& core = *state_->core;
  SharedTable& st = *state_->target;
  std::vector<uint32_t> out;
  TableSet::Locks locks(state_->tables);
  auto matches = [&](const uint8_t* raw) {
    RecordView view{raw, core.row_size, nullptr, nullptr};
    TableMemoSource memos(st, raw);
    view.memos = &memos;
    for (Conjunct* c : core.constant)
      if (!Holds(*c, view)) return false;
    for (Conjunct* c : core.levels[0].filters)
      if (!Holds(*c, view)) return false;
    return true;
  };
  const Level& level = core.levels[0];
  if (level.access.kind == Access::Kind::kIndex) {
    bool none = false;  // a NULL bound: no record, as the walk then finds none
    for (uint32_t r : IndexRangeRecords(st, level.access, RecordView{}, &none)) {
      const uint8_t* raw = st.LiveRecord(r);
      if (raw && matches(raw)) out.push_back(r);
    }
  } else {
    const uint64_t count = st.SlotCount();
    for (uint64_t r = 1; r <= count; ++r) {
      const uint8_t* raw = st.LiveRecord(r);
      if (raw && matches(raw)) out.push_back(static_cast<uint32_t>(r));
    }
  }
  // The values' subqueries answer for each record now, while their tables
  // are locked; the values themselves are computed again when written.
  if (state_->values_query) {
    for (uint32_t r : out) {
      const uint8_t* raw = st.LiveRecord(r);
      TableMemoSource memos(st, raw);
      RecordView view{raw, core.row_size, &memos, nullptr};
      for (const CompiledExpression& v : state_->values) Evaluate(v, view, kWholeTexts);
    }
  }
  FreezeAll(core);
  return out;
}

std::optional<Value> RecordSelector::ValueFor(size_t i, const uint8_t* raw) const {
  TableMemoSource memos(*state_->target, raw);
  RecordView view{raw, state_->core->row_size, &memos, nullptr};
  try {
    return Evaluate(state_->values[i], view, kWholeTexts);
  } catch (const SubqueryStale&) {
    return std::nullopt;
  }
}

bool RecordSelector::Matches(const uint8_t* raw) const {
  CorePlan& core = *state_->core;
  TableMemoSource memos(*state_->target, raw);
  RecordView view{raw, core.row_size, &memos, nullptr};
  try {
    for (Conjunct* c : core.constant)
      if (!Holds(*c, view)) return false;
    for (Conjunct* c : core.levels[0].filters)
      if (!Holds(*c, view)) return false;
  } catch (const SubqueryStale&) {
    return false;
  }
  return true;
}

std::vector<std::string> RecordSelector::Plan() const {
  std::vector<std::string> lines;
  DescribeCore(*state_->core, 0, &lines);
  return lines;
}

ExecOutcome RunExplain(const std::shared_ptr<ConnectionObject>& conn, const sql::Statement& statement,
                       const StatementOptions& options) {
  std::vector<std::string> lines;
  std::visit(
      [&](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, sql::SelectStatement>) {
          TableSet tables(*conn, options);
          Planner planner(tables);
          Describe(*planner.PlanQuery(*s.query, nullptr), 0, &lines);
        } else if constexpr (std::is_same_v<T, sql::InsertStatement>) {
          lines.push_back("INSERT INTO " + s.table.name);
          if (s.query) {
            TableSet tables(*conn, options);
            Planner planner(tables);
            Describe(*planner.PlanQuery(*s.query, nullptr), 1, &lines);
          }
        } else if constexpr (std::is_same_v<T, sql::UpdateStatement> || std::is_same_v<T, sql::DeleteStatement>) {
          OpenedTable t(*conn, s.table.name, options, false, false);
          std::vector<const sql::Expression*> values;
          if constexpr (std::is_same_v<T, sql::UpdateStatement>)
            for (const auto& a : s.assignments) values.push_back(&a.value);
          RecordSelector selector(*conn, options, t.table().table(), s.table.name, s.where ? &*s.where : nullptr,
                                  values);
          lines.push_back(std::string(std::is_same_v<T, sql::UpdateStatement> ? "UPDATE " : "DELETE FROM ") + s.table.name);
          for (const std::string& l : selector.Plan()) lines.push_back("  " + l);
        } else {
          lines.push_back("No plan: the statement reads no rows to choose from");
        }
      },
      statement);
  return LinesCursor(conn, lines);
}

}  // namespace eng
