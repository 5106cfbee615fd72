// Index handles and the index calls of the C interface. An index handle is
// a view of one tag of an open table: it walks the table's single position
// in the tag's order, builds raw keys and seeks them.
#include <cstring>

#include "api_support.h"
#include "engine.h"
#include "index_file.h"
#include "index_hooks.h"
#include "util.h"

using namespace eng;

namespace {

// The order of one tag, as the table handle navigates it. Runs under the
// table's lock.
class TagOrder : public RecordOrder {
 public:
  TagOrder(SharedTable& table, std::string tag) : table_(table), tag_(std::move(tag)) {}

  size_t TagIndex() {
    IndexSet& set = table_.indexes();
    if (generation_ != set.Generation()) {
      int i = set.FindTag(tag_);
      if (i < 0) Fail(ENG_ERR_INDEX_NOT_FOUND, "Index tag " + tag_ + " of table " + table_.name() + " no longer exists");
      index_ = static_cast<size_t>(i);
      generation_ = set.Generation();
      cursor_.reset();
    }
    return index_;
  }
  BTree& Tree() { return table_.indexes().Tree(TagIndex()); }
  const KeyLayout& Layout() { return *table_.indexes().tag(TagIndex()).layout; }
  BTree::Cursor& Cursor() {
    BTree& tree = Tree();
    if (!cursor_ || cursor_tree_ != &tree) {
      cursor_ = std::make_unique<BTree::Cursor>(tree);
      cursor_tree_ = &tree;
    }
    return *cursor_;
  }

  uint32_t First() override { return Cursor().First() ? Bounded(true) : 0; }
  uint32_t Last() override { return Cursor().Last() ? Bounded(false) : 0; }

  uint32_t Next(uint32_t from) override {
    BTree::Cursor& c = Cursor();
    if (!(c.Valid() && c.RecNo() == from && !c.Stale())) {
      SeekRecord(from);
      if (!c.Valid()) return 0;
      if (c.RecNo() != from || std::memcmp(c.Key(), key_.data(), key_.size()) != 0) return Bounded(true);
    }
    return c.Next() ? Bounded(true) : 0;
  }

  uint32_t Prev(uint32_t from) override {
    BTree::Cursor& c = Cursor();
    if (!(c.Valid() && c.RecNo() == from && !c.Stale())) {
      SeekRecord(from);
      if (!c.Valid()) return c.Last() ? Bounded(false) : 0;
    }
    return c.Prev() ? Bounded(false) : 0;
  }

  void Narrow(uint64_t serial, const BoundsFor* bounds) override {
    TagIndex();
    if (serial == bounds_serial_ && generation_ == bounds_generation_) return;
    bounds_ = bounds ? (*bounds)(Layout()) : KeyBounds{};
    bounds_serial_ = serial;
    bounds_generation_ = generation_;
  }

  // From the cursor's entry, the first entry within the bounds in the
  // direction of the walk (its record number), or 0 when the walk has left
  // them for good: keys only grow forwards and shrink backwards.
  uint32_t Bounded(bool forward) {
    BTree::Cursor& c = Cursor();
    const auto& before = forward ? bounds_.low : bounds_.high;
    const auto& beyond = forward ? bounds_.high : bounds_.low;
    for (bool moved = true; moved;) {
      moved = false;
      for (const auto& b : before) {
        int cmp = std::memcmp(c.Key(), b.data(), b.size());
        if (forward ? cmp < 0 : cmp > 0) {
          if (!(forward ? c.SeekGE(b.data(), b.size()) : c.SeekLE(b.data(), b.size()))) return 0;
          moved = true;
        }
      }
    }
    for (const auto& b : beyond) {
      int cmp = std::memcmp(c.Key(), b.data(), b.size());
      if (forward ? cmp > 0 : cmp < 0) return 0;
    }
    return c.RecNo();
  }

  // Positions the cursor on (key, recno) of the record, or the entry after.
  void SeekRecord(uint32_t recno) {
    key_.resize(Layout().KeyLength());
    Layout().EncodeRecord(table_.Record(recno), key_.data());
    Cursor().SeekEntry(key_.data(), recno);
  }

 private:
  SharedTable& table_;
  std::string tag_;
  uint64_t generation_ = ~uint64_t{0};
  size_t index_ = 0;
  std::unique_ptr<BTree::Cursor> cursor_;
  BTree* cursor_tree_ = nullptr;
  std::vector<uint8_t> key_;
  KeyBounds bounds_;
  uint64_t bounds_serial_ = 0;
  uint64_t bounds_generation_ = ~uint64_t{0};
};

struct IndexObject : Object {
  ENGHANDLE table = 0;
  std::string tag;
  std::unique_ptr<TagOrder> order;
  std::vector<std::vector<uint8_t>> segments;  // raw bytes given since EngInitRawKey
  std::vector<bool> set;
};

struct IndexCall {
  std::shared_ptr<IndexObject> index;
  std::shared_ptr<TableObject> table;
};

IndexCall FindIndex(ENGHANDLE h) {
  auto obj = Handles::Find(h);
  if (!obj || obj->kind != ENG_HANDLE_INDEX)
    Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an open index");
  auto idx = std::static_pointer_cast<IndexObject>(obj);
  return IndexCall{idx, FindTable(idx->table)};
}

ENGHANDLE AddIndexObject(TableObject& t, const std::string& tag) {
  auto idx = std::make_shared<IndexObject>();
  idx->table = t.self;
  idx->tag = tag;
  idx->order = std::make_unique<TagOrder>(t.table->table(), tag);
  ENGHANDLE h = Handles::Add(idx, ENG_HANDLE_INDEX, t.self);
  t.children.push_back(h);
  return h;
}

void RequireExclusive(TableHandle& t, const char* what) {
  if (!t.exclusive())
    Fail(ENG_ERR_NEEDS_EXCLUSIVE, std::string(what) + " needs table " + t.table().name() + " opened exclusively");
}

}  // namespace

namespace eng {

ENGHANDLE IndexOwner(Object& index) { return static_cast<IndexObject&>(index).table; }
RecordOrder* IndexOrder(Object& index) { return static_cast<IndexObject&>(index).order.get(); }
void ReleaseIndexObject(Object& index) { static_cast<IndexObject&>(index).order.reset(); }

void AttachIndexes(TableObject& t) {
  std::lock_guard<std::mutex> g(t.mu);
  TableLock lock(t.table->table());
  IndexSet& set = t.table->table().indexes();
  for (size_t i = 0; i < set.TagCount(); ++i) AddIndexObject(t, set.tag(i).name);
}

void SetKeySegment(Object& obj, uint16_t field, const uint8_t* value, uint32_t len, bool raw) {
  auto& idx = static_cast<IndexObject&>(obj);
  auto t = FindTable(idx.table);
  std::lock_guard<std::mutex> g(t->mu);
  TableHandle& th = Live(*t);
  TableLock lock(th.table());
  const KeyLayout& layout = idx.order->Layout();
  const FieldDef& f = th.Field(field);
  size_t seg = layout.SegmentCount();
  for (size_t i = 0; i < layout.SegmentCount(); ++i)
    if (layout.Segment(i).offset == f.offset) seg = i;
  if (seg == layout.SegmentCount())
    Fail(ENG_ERR_KEY, "Field " + f.name + " is not a segment of index tag " + idx.tag);
  if (idx.segments.size() != layout.SegmentCount()) {
    idx.segments.assign(layout.SegmentCount(), {});
    idx.set.assign(layout.SegmentCount(), false);
  }
  std::vector<uint8_t>& bytes = idx.segments[seg];
  bytes.assign(f.length, 0);
  if (raw) {
    if (len != f.length)
      Fail(ENG_ERR_KEY, "Key segment " + f.name + " takes " + std::to_string(f.length) + " raw bytes, not " + std::to_string(len));
    std::memcpy(bytes.data(), value, len);
  } else if (f.type == ENG_STRING) {
    std::memset(bytes.data(), ' ', f.length);
    std::memcpy(bytes.data(), value, len < f.length ? len : f.length);
  } else {
    FieldDef at = f;
    at.offset = 0;
    EncodeFieldText(at, std::string(reinterpret_cast<const char*>(value), len), bytes.data());
  }
  idx.set[seg] = true;
}

}  // namespace eng

extern "C" {

ENGRESULT EngCreateIndex(ENGHANDLE hTable, const char* tag, const char* fields, uint32_t options, uint32_t pageSize,
                         ENGHANDLE* hIndex) {
  return Call([&] {
    Need(tag, "tag name");
    Need(fields, "fields");
    auto t = FindTable(hTable);
    std::lock_guard<std::mutex> g(t->mu);
    TableHandle& th = Live(*t);
    if (t->static_cursor) Fail(ENG_ERR_STATIC_CURSOR, "The result of an SQL statement cannot be indexed");
    RequireExclusive(th, "Creating an index");
    // Refused before the tags file is touched: the keys cannot be read anyway.
    th.RequireAccess();
    th.Settle();
    {
      TableLock lock(th.table());
      ChangeScope scope(th.table(), "create an index on");
      th.table().indexes().CreateTag(tag, fields, static_cast<uint16_t>(options), pageSize);
      scope.Commit();
    }
    ENGHANDLE h = AddIndexObject(*t, tag);
    if (hIndex) *hIndex = h;
  });
}

ENGRESULT EngDeleteIndex(ENGHANDLE hIndex) {
  return Call([&] {
    IndexCall c = FindIndex(hIndex);
    std::lock_guard<std::mutex> g(c.table->mu);
    TableHandle& th = Live(*c.table);
    RequireExclusive(th, "Dropping an index");
    th.Settle();
    {
      TableLock lock(th.table());
      int i = th.table().indexes().FindTag(c.index->tag);
      if (i < 0) Fail(ENG_ERR_INDEX_NOT_FOUND, "Index tag " + c.index->tag + " does not exist");
      ChangeScope scope(th.table(), "drop an index of");
      th.table().indexes().DropTag(static_cast<size_t>(i));
      scope.Commit();
    }
    auto& kids = c.table->children;
    for (size_t i = 0; i < kids.size(); ++i)
      if (kids[i] == hIndex) kids.erase(kids.begin() + static_cast<long>(i));
    Handles::Remove(hIndex);
    ReleaseIndexObject(*c.index);
  });
}

ENGRESULT EngReindex(ENGHANDLE hTable) {
  return Call([&] {
    auto t = FindTable(hTable);
    std::lock_guard<std::mutex> g(t->mu);
    TableHandle& th = Live(*t);
    RequireExclusive(th, "Rebuilding the indexes");
    th.Settle();
    TableLock lock(th.table());
    ChangeScope scope(th.table(), "rebuild the indexes of");
    th.table().indexes().RebuildAll();
    scope.Commit();
  });
}

ENGRESULT EngGetAllIndexes(ENGHANDLE hTable, ENGHANDLE* indexes, uint16_t* count) {
  return Call([&] {
    Need(count, "count");
    auto t = FindTable(hTable);
    std::lock_guard<std::mutex> g(t->mu);
    uint16_t room = *count;
    uint16_t n = 0;
    for (ENGHANDLE h : t->children) {
      if (n < room && indexes) indexes[n] = h;
      ++n;
    }
    *count = n < room ? n : room;
  });
}

ENGRESULT EngGetIndexHandle(ENGHANDLE hTable, const char* tag, ENGHANDLE* hIndex) {
  return Call([&] {
    Need(tag, "tag name");
    Need(hIndex, "index handle");
    auto t = FindTable(hTable);
    std::lock_guard<std::mutex> g(t->mu);
    for (ENGHANDLE h : t->children) {
      auto obj = Handles::Find(h);
      if (obj && EqualsNoCase(static_cast<IndexObject&>(*obj).tag, tag)) {
        *hIndex = h;
        return;
      }
    }
    Fail(ENG_ERR_INDEX_NOT_FOUND, std::string("Index tag ") + tag + " does not exist for table " + t->path);
  });
}

#define WITH_INDEX(h, body)                                      \
  return Call([&] {                                              \
    IndexCall c = FindIndex(h);                                  \
    std::lock_guard<std::mutex> lock_(c.table->mu);              \
    TableHandle& th = Live(*c.table);                       \
    TableLock tl_(th.table());                                   \
    IndexSet& set = th.table().indexes();                        \
    int ti = set.FindTag(c.index->tag);                          \
    if (ti < 0) Fail(ENG_ERR_INDEX_NOT_FOUND, "Index tag " + c.index->tag + " no longer exists"); \
    IndexSet::Tag& tag = set.tag(static_cast<size_t>(ti));       \
    (void)tag;                                                   \
    body;                                                        \
  })

ENGRESULT EngGetIndexName(ENGHANDLE hIndex, char* name, uint16_t* len) { WITH_INDEX(hIndex, PutText(tag.name, name, len)); }
ENGRESULT EngGetNumSegments(ENGHANDLE hIndex, uint16_t* count) {
  WITH_INDEX(hIndex, PutValue(count, static_cast<uint16_t>(tag.fields.size())));
}
ENGRESULT EngGetSegmentFieldname(ENGHANDLE hIndex, uint16_t segment, char* name, uint16_t* len) {
  WITH_INDEX(hIndex, {
    if (segment >= tag.fields.size())
      Fail(ENG_ERR_INVALID_ARGUMENT, "Index tag " + tag.name + " has no segment " + std::to_string(segment));
    PutText(tag.fields[segment], name, len);
  });
}
ENGRESULT EngIsIndexUnique(ENGHANDLE hIndex, uint16_t* unique) {
  WITH_INDEX(hIndex, PutValue<uint16_t>(unique, (tag.options & ENG_INDEX_UNIQUE) != 0));
}
ENGRESULT EngIsIndexDescending(ENGHANDLE hIndex, uint16_t* descending) {
  WITH_INDEX(hIndex, PutValue<uint16_t>(descending, (tag.options & ENG_INDEX_DESCENDING) != 0));
}
ENGRESULT EngGetIndexPageSize(ENGHANDLE hIndex, uint32_t* pageSize) { WITH_INDEX(hIndex, PutValue(pageSize, set.PageSize())); }
ENGRESULT EngGetIndexFilename(ENGHANDLE hIndex, uint16_t option, char* name, uint16_t* len) {
  WITH_INDEX(hIndex, PutText(option == 2 ? BaseName(set.path()) : set.path(), name, len));
}

ENGRESULT EngOpenIndex(ENGHANDLE hTable, const char* file, ENGHANDLE*, uint16_t*) {
  return Call([&] {
    FindTable(hTable);
    Fail(ENG_ERR_NOT_SUPPORTED, std::string("Index file ") + (file ? file : "") +
                                    " cannot be opened: a table's tags live in its own index file");
  });
}
ENGRESULT EngCloseIndex(ENGHANDLE hIndex) {
  return Call([&] {
    FindIndex(hIndex);
    Fail(ENG_ERR_NOT_SUPPORTED, "The tags of a table's own index file close with the table");
  });
}

ENGRESULT EngInitRawKey(ENGHANDLE hIndex) {
  WITH_INDEX(hIndex, {
    c.index->segments.assign(tag.layout->SegmentCount(), {});
    c.index->set.assign(tag.layout->SegmentCount(), false);
  });
}

ENGRESULT EngBuildRawKey(ENGHANDLE hIndex, uint8_t* key, uint16_t* len) {
  WITH_INDEX(hIndex, {
    Need(key, "key");
    Need(len, "length");
    const KeyLayout& layout = *tag.layout;
    std::vector<const uint8_t*> raws;
    for (size_t i = 0; i < layout.SegmentCount() && i < c.index->set.size() && c.index->set[i]; ++i)
      raws.push_back(c.index->segments[i].data());
    size_t need = layout.PrefixLength(raws.size());
    if (*len < need) {
      *len = static_cast<uint16_t>(need);
      Fail(ENG_ERR_BUFFER_TOO_SMALL, "Key buffer too small");
    }
    *len = static_cast<uint16_t>(layout.EncodePrefix(raws.data(), raws.size(), key));
  });
}

ENGRESULT EngSeek(ENGHANDLE hIndex, const uint8_t* key, uint16_t len, uint16_t /*keyType*/, uint16_t seekType,
                  uint16_t* found) {
  return Call([&] {
    Need(key, "key");
    Need(found, "result");
    IndexCall c = FindIndex(hIndex);
    std::lock_guard<std::mutex> g(c.table->mu);
    TableHandle& th = Live(*c.table);
    th.RequireAccess();
    th.Settle();
    TableLock lock(th.table());
    TagOrder& order = *c.index->order;
    const KeyLayout& layout = order.Layout();
    if (len > layout.KeyLength())
      Fail(ENG_ERR_KEY, "A key of " + std::to_string(len) + " bytes is longer than index tag " + c.index->tag + "'s");
    BTree::Cursor& cur = order.Cursor();
    bool exact = seekType != ENG_SEEK_SOFT;
    bool valid = exact ? cur.SeekExact(key, len) : cur.SeekGE(key, len);
    // Records the filter hides do not count.
    while (valid && !th.Shows(cur.RecNo())) {
      valid = cur.Next();
      if (valid && exact && std::memcmp(cur.Key(), key, len) != 0) valid = false;
    }
    if (valid) {
      th.PositionOn(cur.RecNo());
      *found = std::memcmp(cur.Key(), key, len) == 0;
    } else {
      th.PositionAtEof();
      *found = 0;
    }
  });
}

}  // extern "C"
