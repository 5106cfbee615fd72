// The combined cursor calls of the C interface: the steps of a cursor's
// walk and edit (move and read, lock and read, write an edited record,
// delete and move on, read ahead) in one call each. Each runs the same
// TableHandle methods, in the same order, as the sequence of single calls
// it replaces, so that it fails with the same code and text; only the
// per-call handle lookup and locking is saved. The one exception is the
// read-ahead of a plain natural-order walk, which after its first move
// (made the ordinary way) reads the following live slots itself under one
// table lock: what the further moves would find, without their checks,
// which the first move has made already.
#include <cstring>

#include "api_support.h"
#include "engine.h"
#include "index_hooks.h"
#include "journal.h"
#include "table_file.h"
#include "table_format.h"

using namespace eng;

namespace {

// The room check of EngGetRecord, made before anything is done.
void NeedRecordRoom(TableHandle& t, uint8_t* buffer, uint32_t* len, uint32_t* recno) {
  Need(buffer, "buffer");
  Need(len, "length");
  Need(recno, "record number");
  uint32_t need = t.table().record_length();
  if (*len < need) {
    *len = need;
    Fail(ENG_ERR_BUFFER_TOO_SMALL, "Record buffer too small");
  }
}

// The record at the position as EngIsRecordVisible (with ENG_READ_VISIBLE),
// EngGetRecord and EngGetRecordNum give it; false when there is none there.
// Their other failures (an encrypted table without its password) are thrown.
bool ReadHere(TableHandle& t, uint16_t options, uint8_t* buffer, uint32_t* len, uint32_t* recno) {
  *recno = 0;
  t.RequireAccess();
  if (t.RecNo() == 0) return false;  // no current record: 5068 from either call
  try {
    if ((options & ENG_READ_VISIBLE) && !t.IsVisible()) return false;
    t.CopyCurrentRecord(buffer);
  } catch (const EngineError& e) {
    if (e.code() == ENG_ERR_NO_CURRENT_RECORD) return false;  // deleted meanwhile
    throw;
  }
  *len = t.table().record_length();
  *recno = t.RecNo();
  return true;
}

// The journal's sequence grows with every finished change; while a change
// is under way nothing can be vouched for.
uint64_t ChangeStamp(TableHandle& t) {
  Journal& journal = t.table().journal();
  if (journal.HasEntries()) return 0;
  return journal.Sequence() + 1;
}

// After the first record of a read-ahead (slot 0, the position): the live
// records after it into the next slots, then the position on the last one
// read, or past the end as EngSkip leaves it from a record. Returns the
// number of records in the slots.
uint16_t ReadFollowingSlots(TableHandle& t, uint16_t asked, uint8_t* buffers, uint32_t recordRoom, uint32_t* recnos) {
  SharedTable& table = t.table();
  const uint32_t length = table.record_length();
  TableLock lock(table);
  const uint64_t slots = table.SlotCount();
  uint64_t r = t.RecNo();
  uint16_t read = 1;
  while (read < asked) {
    ++r;
    while (r <= slots && !table.IsLive(r)) ++r;
    if (r > slots) {
      t.PositionAtEof();
      return read;
    }
    std::memcpy(buffers + static_cast<size_t>(read) * recordRoom, table.Record(r), length);
    recnos[read++] = static_cast<uint32_t>(r);
  }
  t.PositionOn(static_cast<uint32_t>(r));
  return read;
}

bool AllBlanks(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (bytes[i] != ' ') return false;
  return true;
}

}  // namespace

extern "C" {

ENGRESULT EngSkipAndRead(ENGHANDLE h, int32_t records, uint16_t options, uint8_t* buffer, uint32_t* len,
                         uint32_t* recno) {
  return Call([&] {
    NavRef target(h);
    std::lock_guard<std::mutex> lock(target.table().mu);
    TableHandle& t = Live(target.table());
    NeedRecordRoom(t, buffer, len, recno);
    if (records != 0) t.Skip(target.order(), records);
    ReadHere(t, options, buffer, len, recno);
  });
}

ENGRESULT EngLockAndRead(ENGHANDLE hTable, uint32_t lockRecno, uint16_t options, uint8_t* buffer, uint32_t* len,
                         uint32_t* recno) {
  return Call([&] {
    HandleRef ref(hTable);
    TableObject* tobj = &TableOf(ref, hTable);
    std::lock_guard<std::mutex> lock(tobj->mu);
    TableHandle& t = Live(*tobj);
    NeedRecordRoom(t, buffer, len, recno);
    if (options & ENG_LOCK_GOTO) t.GotoRecord(lockRecno);
    RefuseStatic(*tobj);
    t.LockRecord(lockRecno);
    bool found = false;
    try {
      found = ReadHere(t, options, buffer, len, recno);
    } catch (...) {
      // The cursor stays where it was, without the lock.
      try {
        t.UnlockRecord(lockRecno);
      } catch (...) {
      }
      throw;
    }
    if (!found) t.UnlockRecord(lockRecno);
  });
}

ENGRESULT EngPostEdit(ENGHANDLE hTable, uint32_t recno, const uint8_t* raw, uint32_t rawLen,
                      const ENGFIELDTEXT* memos, uint16_t memoCount, uint16_t options, uint8_t* out,
                      uint32_t* outLen, uint32_t* recnoOut) {
  return Call([&] {
    Need(raw, "record");
    if (memoCount > 0) Need(memos, "memo contents");
    HandleRef ref(hTable);
    TableObject* tobj = &TableOf(ref, hTable);
    std::lock_guard<std::mutex> lock(tobj->mu);
    TableHandle& t = Live(*tobj);
    NeedRecordRoom(t, out, outLen, recnoOut);
    const uint32_t length = t.table().record_length();
    if (rawLen != length)
      Fail(ENG_ERR_INVALID_ARGUMENT, "A record of table " + t.table().name() + " has " + std::to_string(length) +
                                         " bytes, not " + std::to_string(rawLen));
    try {
      t.GotoRecord(recno);
      RefuseStatic(*tobj);
      const FieldList& fields = t.fields();
      for (size_t i = fields.size(); i-- > 0;) {
        const FieldDef& f = fields[i];
        if (IsMemoType(f.type) || f.type == ENG_AUTOINC) continue;
        const uint16_t number = static_cast<uint16_t>(i + 1);
        const uint8_t* bytes = raw + f.offset;
        if (f.type == ENG_STRING) {
          if (AllBlanks(bytes, f.length))
            t.SetEmpty(number);
          else
            t.SetFieldText(number, bytes, f.length);
        } else {
          t.SetFieldRaw(number, bytes, f.length);
        }
      }
      for (uint16_t m = 0; m < memoCount; ++m) {
        Need(memos[m].value, "value");
        t.SetFieldText(memos[m].field, memos[m].value, memos[m].len);
      }
      t.Write();
    } catch (...) {
      // Nothing of the failed edit may be written by a later move.
      if (t.HasPending()) {
        try {
          t.CancelUpdate();
        } catch (...) {
        }
      }
      throw;
    }
    if (options & ENG_POST_UNLOCK) t.UnlockRecord(recno);
    try {
      ReadHere(t, options, out, outLen, recnoOut);
    } catch (...) {
      // The record is written; the caller reads again the ordinary way.
      *recnoOut = 0;
    }
  });
}

ENGRESULT EngDeleteAndSkip(ENGHANDLE h, uint32_t deleteRecno, uint16_t options, uint8_t* buffer, uint32_t* len,
                           uint32_t* recno, uint64_t* stamps) {
  return Call([&] {
    NavRef target(h);
    std::lock_guard<std::mutex> lock(target.table().mu);
    TableHandle& t = Live(target.table());
    NeedRecordRoom(t, buffer, len, recno);
    if (stamps) stamps[0] = stamps[1] = 0;
    const uint64_t before = ChangeStamp(t);
    if (deleteRecno != 0) t.GotoRecord(deleteRecno);
    try {
      RefuseStatic(target.table());
      t.Delete();
      t.Write();
    } catch (...) {
      try {
        t.CancelUpdate();
      } catch (...) {
        // Nothing was pending.
      }
      throw;
    }
    if (stamps) {
      stamps[0] = before;
      stamps[1] = ChangeStamp(t);
    }
    t.Skip(target.order(), 1);
    ReadHere(t, options, buffer, len, recno);
  });
}

ENGRESULT EngGetChangeStamp(ENGHANDLE h, uint64_t* stamp) {
  return Call([&] {
    Need(stamp, "stamp");
    NavRef target(h);
    std::lock_guard<std::mutex> lock(target.table().mu);
    *stamp = ChangeStamp(Live(target.table()));
  });
}

ENGRESULT EngGetChangeStampSource(ENGHANDLE h, ENGCHANGESOURCE* source) {
  static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t) && std::atomic<uint64_t>::is_always_lock_free,
                "the shared words are read as plain 64-bit words");
  return Call([&] {
    Need(source, "source");
    NavRef target(h);
    std::lock_guard<std::mutex> lock(target.table().mu);
    Journal& journal = Live(target.table()).table().journal();
    source->sequence = reinterpret_cast<const uint64_t*>(journal.SequenceWord());
    source->entries = reinterpret_cast<const uint64_t*>(journal.EntryCountWord());
  });
}

ENGRESULT EngSkipAndReadAhead(ENGHANDLE h, uint32_t fromRecno, int32_t step, uint16_t options, uint16_t* count,
                              uint8_t* buffers, uint32_t recordRoom, uint32_t* recnos, uint64_t* stamp) {
  return Call([&] {
    Need(count, "count");
    Need(buffers, "buffers");
    Need(recnos, "record numbers");
    Need(stamp, "stamp");
    if (step != 1 && step != -1) Fail(ENG_ERR_INVALID_ARGUMENT, "Records are read ahead one step at a time");
    NavRef target(h);
    std::lock_guard<std::mutex> lock(target.table().mu);
    TableHandle& t = Live(target.table());
    const uint16_t asked = *count;
    *count = 0;
    *stamp = 0;
    if (asked == 0) return;
    uint32_t len = recordRoom;
    NeedRecordRoom(t, buffers, &len, recnos);
    // Taken first: a change while the records are read leaves the stamp
    // older than the table, so they are never taken for current.
    const uint64_t before = ChangeStamp(t);
    if (fromRecno != 0) {
      // As an index seek places the position: the move below then starts
      // from that record (the orders accept one deleted since).
      t.RequireAccess();
      t.Settle();
      TableLock place(t.table());
      t.PositionOn(fromRecno);
    }
    t.Skip(target.order(), step);
    if (!ReadHere(t, options, buffers, &len, recnos)) return;
    uint16_t read = 1;
    if (step > 0 && target.order() == nullptr && !t.HasFilter() && !t.HasPending()) {
      // Natural order without a filter: the following live slots, under one
      // lock, exactly as the single moves would find them.
      read = ReadFollowingSlots(t, asked, buffers, recordRoom, recnos);
      *count = read;
      *stamp = before;
      return;
    }
    try {
      while (read < asked) {
        t.Skip(target.order(), step);
        len = recordRoom;
        if (!ReadHere(t, options, buffers + static_cast<size_t>(read) * recordRoom, &len, recnos + read)) break;
        ++read;
      }
    } catch (const EngineError&) {
      // What was read stands; the caller moves on from its last record.
    }
    *count = read;
    *stamp = before;
  });
}

}  // extern "C"
