// The C interface of safe runs: the thread's change hook, a table file's
// stamp, putting a table back from copies, and comparing two tables record
// by record number.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "api_support.h"
#include "change_hook.h"
#include "engine.h"
#include "index_file.h"
#include "table_format.h"
#include "util.h"

using namespace eng;

namespace {

bool SameFields(SharedTable& a, SharedTable& b) {
  if (a.record_length() != b.record_length() || a.fields().size() != b.fields().size()) return false;
  for (size_t i = 0; i < a.fields().size(); ++i) {
    const FieldDef& x = a.fields()[i];
    const FieldDef& y = b.fields()[i];
    if (!EqualsNoCase(x.name, y.name) || x.type != y.type || x.length != y.length || x.decimals != y.decimals ||
        x.offset != y.offset)
      return false;
  }
  return true;
}

// One record number whose records differ; the slots (state byte, record) as read.
struct Difference {
  uint32_t recno;
  bool old_live, new_live;
  std::vector<uint8_t> old_slot, new_slot;
};

// Both handles' objects locked, in handle order (one lock when they are one).
class BothObjects {
 public:
  BothObjects(TableObject& a, TableObject& b) {
    TableObject* first = a.self <= b.self ? &a : &b;
    TableObject* second = first == &a ? &b : &a;
    first_ = std::unique_lock<std::mutex>(first->mu);
    if (second != first) second_ = std::unique_lock<std::mutex>(second->mu);
  }

 private:
  std::unique_lock<std::mutex> first_, second_;
};

// The record numbers of [first, first + count) whose records differ, read
// under both tables' locks.
// same_fields false: every number holding a record in either table.
std::vector<Difference> DiffStretch(SharedTable& a, SharedTable& b, uint64_t first, uint64_t count,
                                    bool same_fields, const std::vector<size_t>& memo_fields) {
  TableLock lock_a(a);
  TableLock lock_b(b);
  auto read = [&](SharedTable& t, std::vector<uint8_t>& out) {
    out.assign(count * t.slot_size(), 0);  // state 0: no record
    const uint64_t have = t.SlotCount();
    if (first <= have) t.ReadSlots(first, std::min(count, have - first + 1), out.data());
  };
  std::vector<uint8_t> old_slots, new_slots;
  read(a, old_slots);
  read(b, new_slots);
  const uint32_t slot = a.slot_size(), new_slot = b.slot_size();
  // Only the record's bytes count: a slot may end in a checksum of them.
  const uint32_t length = a.record_length();
  std::vector<Difference> out;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* o = old_slots.data() + i * slot;
    const uint8_t* n = new_slots.data() + i * new_slot;
    const bool old_live = o[0] == fmt::kSlotLive, new_live = n[0] == fmt::kSlotLive;
    if (!old_live && !new_live) continue;
    if (old_live && new_live && same_fields) {
      if (std::memcmp(o + 1, n + 1, length) == 0) continue;
      // Memo-like fields hold a reference: their contents decide.
      bool differ = memo_fields.empty();
      if (!differ) {
        std::vector<uint8_t> x(o + 1, o + 1 + length), y(n + 1, n + 1 + length);
        for (size_t f : memo_fields) {
          const FieldDef& def = a.fields()[f];
          std::memset(x.data() + def.offset, 0, def.length);
          std::memset(y.data() + def.offset, 0, def.length);
        }
        differ = x != y;
        for (size_t k = 0; k < memo_fields.size() && !differ; ++k) {
          const FieldDef& def = a.fields()[memo_fields[k]];
          differ = a.ReadMemo(o + 1 + def.offset) != b.ReadMemo(n + 1 + def.offset);
        }
      }
      if (!differ) continue;
    }
    out.push_back({static_cast<uint32_t>(first + i), old_live, new_live, std::vector<uint8_t>(o, o + slot),
                   std::vector<uint8_t>(n, n + new_slot)});
  }
  return out;
}

}  // namespace

ENGRESULT EngSetChangeHook(EngChangeHook hook, void* context) {
  return Call([&] { SetThreadChangeHook(hook, context); });
}

ENGRESULT EngGetTableStamp(const char* path, uint64_t* identity, uint64_t* stamp) {
  return Call([&] {
    Need(path, "path");
    Need(identity, "identity");
    Need(stamp, "stamp");
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      Fail(err == ENOENT ? ENG_ERR_FILE_NOT_FOUND : ENG_ERR_IO,
           std::string("Cannot read table ") + path + ": " + std::strerror(err));
    }
    uint8_t h[fmt::kFixedHeader];
    const ssize_t n = ::pread(fd, h, sizeof h, 0);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, fmt::kTableMagic, 8) != 0)
      Fail(ENG_ERR_CORRUPT, std::string("File ") + path + " is not a table");
    *identity = Load64(h + fmt::kOffTableId);
    *stamp = Load64(h + fmt::kOffChangeStamp);
  });
}

ENGRESULT EngRestoreTable(ENGHANDLE hTable, const char* adt, const char* memo, const char* tags) {
  return Call([&] {
    Need(adt, "table file copy");
    const std::string memo_copy = memo ? memo : "", tags_copy = tags ? tags : "";
    auto t = FindTable(hTable);
    std::string stray_memo, stray_tags;  // files the copy lacks, removed once the table is closed
    try {
      std::lock_guard<std::mutex> g(t->mu);
      TableHandle& th = Live(*t);
      RefuseStatic(*t);
      if (!th.exclusive())
        Fail(ENG_ERR_NEEDS_EXCLUSIVE, "Table " + th.table().name() + " must be opened exclusively to be restored");
      th.Settle();
      th.SkipTrimAtClose();  // the files are the copy's, to the byte
      SharedTable& st = th.table();
      if (memo_copy.empty() && st.has_memo()) stray_memo = st.memo_file().path();
      if (tags_copy.empty() && st.indexes().HasFile()) stray_tags = st.indexes().path();
      st.RestoreFrom(adt, memo_copy, tags_copy);
    } catch (...) {
      EngCloseTable(hTable);
      throw;
    }
    EngCloseTable(hTable);
    for (const std::string& stray : {stray_memo, stray_tags})
      if (!stray.empty()) ::unlink(stray.c_str());
  });
}

ENGRESULT EngDiffRecords(ENGHANDLE hOld, ENGHANDLE hNew, EngRecordDiffCallback callback, void* context,
                         uint16_t* comparable) {
  return Call([&] {
    if (callback == nullptr) FailMissing("callback");
    Need(comparable, "comparable");
    *comparable = 0;
    auto a = FindTable(hOld);
    auto b = FindTable(hNew);
    uint64_t end = 0;
    bool same_fields = false;
    std::vector<size_t> memo_fields;
    {
      BothObjects locked(*a, *b);
      TableHandle& ta = Live(*a);
      TableHandle& tb = Live(*b);
      ta.RequireAccess();
      tb.RequireAccess();
      SharedTable& sa = ta.table();
      SharedTable& sb = tb.table();
      if (&sa == &sb) {
        *comparable = 1;
        return;
      }
      same_fields = SameFields(sa, sb);
      uint64_t generation_a, generation_b;
      {
        TableLock lock(sa);
        generation_a = sa.Generation();
        end = sa.SlotCount();
      }
      {
        TableLock lock(sb);
        generation_b = sb.Generation();
        end = std::max(end, sb.SlotCount());
      }
      if (generation_a != generation_b) return;
      for (size_t f = 0; f < sa.fields().size(); ++f)
        if (IsMemoType(sa.fields()[f].type)) memo_fields.push_back(f);
    }
    *comparable = same_fields ? 1 : 2;
    constexpr uint64_t kStretch = 16384;
    for (uint64_t first = 1; first <= end; first += kStretch) {
      std::vector<Difference> found;
      {
        BothObjects locked(*a, *b);
        found = DiffStretch(Live(*a).table(), Live(*b).table(), first, std::min(kStretch, end - first + 1),
                            same_fields, memo_fields);
      }
      for (const Difference& d : found)
        if (callback(context, d.recno, d.old_live ? d.old_slot.data() + 1 : nullptr,
                     d.new_live ? d.new_slot.data() + 1 : nullptr) != 0)
          return;
    }
  });
}
