#include "filter_layer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "api_support.h"
#include "engine.h"
#include "expr.h"
#include "expr_fast.h"
#include "keycodec.h"
#include "index_file.h"
#include "index_hooks.h"
#include "util.h"

namespace eng {

bool TableMemoSource::ReadMemo(size_t field, std::string* content) const {
  const FieldList& f = table_.fields();
  if (field >= f.size()) return false;
  *content = table_.ReadMemo(raw_ + f[field].offset);
  return !content->empty();
}

bool CandidatesThroughIndex(SharedTable& table, const std::vector<SeekHint>& hints, std::vector<uint32_t>* out) {
  IndexSet& tags = table.indexes();
  const FieldList& fields = table.fields();
  for (const SeekHint& hint : hints) {
    if (hint.op != CompareOp::kEq || hint.field >= fields.size()) continue;
    const FieldDef& field = fields[hint.field];
    for (size_t i = 0; i < tags.TagCount(); ++i) {
      IndexSet::Tag& tag = tags.tag(i);
      if (!tag.layout || tag.layout->Descending() || tag.layout->SegmentCount() == 0 ||
          !EqualsNoCase(tag.layout->Segment(0).name, field.name))
        continue;
      // The key prefix the literal gives: a string's own bytes (so that an
      // inexact comparison finds every value beginning with it), else the
      // whole encoded segment.
      std::vector<uint8_t> prefix;
      if (field.type == ENG_STRING) {
        if (hint.literal.type() != ValueType::kString) continue;
        std::string text = hint.literal.string();
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (text.empty() || text.size() > field.length) continue;
        prefix.assign(text.begin(), text.end());
      } else {
        std::vector<uint8_t> scratch(table.record_length());
        try {
          EncodeField(field, hint.literal, scratch.data(), scratch.size());
        } catch (const EngineError&) {
          continue;
        }
        prefix.resize(tag.layout->SegmentWidth(0));
        tag.layout->EncodeSegmentAt(0, scratch.data() + field.offset, prefix.data());
      }
      BTree::Cursor cursor(tags.Tree(i));
      for (bool ok = cursor.SeekExact(prefix.data(), prefix.size()); ok && cursor.Valid(); ok = cursor.Next()) {
        if (std::memcmp(cursor.Key(), prefix.data(), prefix.size()) != 0) break;
        out->push_back(cursor.RecNo());
      }
      std::sort(out->begin(), out->end());
      return true;
    }
  }
  return false;
}

KeyBounds FilterBounds(const FieldList& fields, const std::vector<SeekHint>& hints, const KeyLayout& layout) {
  KeyBounds bounds;
  if (layout.SegmentCount() == 0) return bounds;
  const FieldDef& lead = layout.Segment(0);
  const size_t width = layout.SegmentWidth(0);
  for (const SeekHint& hint : hints) {
    if (hint.op == CompareOp::kNe || hint.field >= fields.size()) continue;
    const FieldDef& field = fields[hint.field];
    if (!EqualsNoCase(field.name, lead.name) || field.type != lead.type || field.offset != lead.offset ||
        field.length != lead.length)
      continue;
    // The bound in ascending key bytes. Texts give a prefix: the literal
    // without its trailing blanks, which every passing value reaches (also
    // when compared over the literal's length only). Other kinds give the
    // literal's whole segment; the encoders round monotonically, so a
    // passing value never falls outside it.
    std::vector<uint8_t> bound;
    switch (field.type) {
      case ENG_STRING:
      case ENG_RAW: {
        if (hint.literal.type() != ValueType::kString) continue;
        std::string text = hint.literal.string();
        while (!text.empty() && text.back() == ' ') text.pop_back();
        if (text.size() > width) text.resize(width);
        if (text.empty()) continue;
        bound.assign(text.begin(), text.end());
        break;
      }
      case ENG_DATE:
        if (field.length != 4) continue;
        [[fallthrough]];
      case ENG_NUMERIC:
      case ENG_DOUBLE:
      case ENG_CURDOUBLE:
      case ENG_INTEGER:
      case ENG_SHORTINT:
      case ENG_AUTOINC:
      case ENG_TIME:
      case ENG_TIMESTAMP: {
        std::vector<uint8_t> raw(static_cast<size_t>(field.offset) + field.length);
        try {
          EncodeField(field, hint.literal, raw.data(), raw.size());
        } catch (const EngineError&) {
          continue;  // out of the field's range: no bound
        }
        // A literal that lands on the empty pattern (the lowest integer, -1
        // of autoinc and time) would bound at the empty values: none.
        if (IsFieldEmpty(field, raw.data())) continue;
        bound.resize(width);
        EncodeSegment(field, raw.data() + field.offset, bound.data());
        break;
      }
      default: continue;
    }
    bool low = hint.op == CompareOp::kEq || hint.op == CompareOp::kGe || hint.op == CompareOp::kGt;
    bool high = hint.op == CompareOp::kEq || hint.op == CompareOp::kLe || hint.op == CompareOp::kLt;
    if (layout.Descending()) {
      // Stored keys are complemented: the order and the bounds turn round.
      for (uint8_t& b : bound) b = static_cast<uint8_t>(~b);
      std::swap(low, high);
    }
    if (low) bounds.low.push_back(bound);
    if (high) bounds.high.push_back(bound);
  }
  return bounds;
}

void InstallFilter(TableObject& t, const std::string& expression) {
  TableHandle& handle = Live(t);
  SharedTable* shared = &handle.table();
  auto compiled = std::make_shared<CompiledExpression>();
  try {
    *compiled = CompileFilter(expression, handle.fields());
  } catch (const EngineError& e) {
    Fail(ENG_ERR_EXPRESSION, "Filter on table " + shared->name() + " is not valid: " + e.what());
  }
  uint32_t size = shared->record_length();
  const bool* exact = &t.exact;  // the TableObject outlives its handle's filter
  auto hints = std::make_shared<std::vector<SeekHint>>(FindSeekHints(*compiled));
  TableHandle::Candidates candidates;
  BoundsFor bounds;
  if (!hints->empty()) {
    candidates = [hints, shared](std::vector<uint32_t>* out) { return CandidatesThroughIndex(*shared, *hints, out); };
    bounds = [hints, shared](const KeyLayout& layout) { return FilterBounds(shared->fields(), *hints, layout); };
  }
  std::shared_ptr<const FastCondition> fast;
  if (auto f = FastCondition::From(*compiled); f && compiled->min_record_size() <= size)
    fast = std::make_shared<const FastCondition>(std::move(*f));
  TableHandle::Filter filter;
  if (fast) {
    filter = [fast, exact](uint32_t, const uint8_t* raw) { return fast->Matches(raw, *exact); };
  } else {
    filter = [compiled, shared, size, exact](uint32_t, const uint8_t* raw) {
      TableMemoSource memos(*shared, raw);
      RecordView view{raw, size, &memos};
      return Matches(*compiled, view, *exact);
    };
  }
  handle.SetFilter(std::move(filter), std::move(candidates), std::move(bounds));
}

void RemoveFilter(TableObject& t) {
  if (!t.table || !t.table->HasFilter()) Fail(ENG_ERR_NO_FILTER, "No filter is set on table " + t.path);
  t.table->SetFilter(nullptr);
}

}  // namespace eng

using namespace eng;

namespace {

// The table object behind a table, cursor or index handle (an index
// handle's filter is its table's).
std::shared_ptr<TableObject> FilterTarget(ENGHANDLE h) {
  auto obj = Handles::Find(h);
  if (obj && obj->kind == ENG_HANDLE_INDEX) return FindTable(IndexOwner(*obj));
  return FindTable(h);
}

// Our expressions have one written form: check the text against the table
// and hand it back unchanged.
void CheckedCopy(ENGHANDLE h, const char* expression, char* out, uint16_t* len) {
  Need(expression, "expression");
  auto t = FilterTarget(h);
  {
    std::lock_guard<std::mutex> g(t->mu);
    if (!t->table) Fail(ENG_ERR_INVALID_HANDLE, "Table handle " + std::to_string(h) + " is closed");
    Compile(expression, t->table->fields());
  }
  PutText(expression, out, len);
}

}  // namespace

extern "C" {

ENGRESULT EngSetExactEx(ENGHANDLE h, uint16_t exact) {
  return Call([&] {
    auto t = FilterTarget(h);
    std::lock_guard<std::mutex> g(t->mu);
    t->exact = exact != 0;
  });
}

ENGRESULT EngSetOptimizedFilter(ENGHANDLE h, const char* expression, uint16_t option) {
  return Call([&] {
    Need(expression, "filter expression");
    if (option != ENG_RESOLVE_IMMEDIATE && option != ENG_RESOLVE_DYNAMIC)
      Fail(ENG_ERR_INVALID_ARGUMENT, "Filter option " + std::to_string(option) + " is not 1 or 2");
    auto t = FilterTarget(h);
    std::lock_guard<std::mutex> g(t->mu);
    InstallFilter(*t, expression);
  });
}

ENGRESULT EngSetFilter(ENGHANDLE h, const char* expression) {
  return Call([&] {
    Need(expression, "filter expression");
    auto t = FilterTarget(h);
    std::lock_guard<std::mutex> g(t->mu);
    InstallFilter(*t, expression);
  });
}

ENGRESULT EngClearOptimizedFilter(ENGHANDLE h) {
  return Call([&] {
    auto t = FilterTarget(h);
    std::lock_guard<std::mutex> g(t->mu);
    RemoveFilter(*t);
  });
}

ENGRESULT EngClearFilter(ENGHANDLE h) { return EngClearOptimizedFilter(h); }

ENGRESULT EngExpressionLongToShort(ENGHANDLE h, const char* expression, char* out, uint16_t* len) {
  return Call([&] { CheckedCopy(h, expression, out, len); });
}

ENGRESULT EngExpressionShortToLong(ENGHANDLE h, const char* expression, char* out, uint16_t* len) {
  return Call([&] { CheckedCopy(h, expression, out, len); });
}

}  // extern "C"
