// Cursor base classes: a dataset walks the records of one engine cursor
// (a table, or later the cursor of an SQL statement) and exposes the fields
// of its current record as TField objects.
//
// One engine call per positioning moves and copies the raw record (with
// its number) into the current record buffer; a forward walk over a table
// without memo-like fields reads ahead, and Next then takes the following
// records from what it read while the table's change stamp shows no change
// since. Fixed-size fields decode from the buffer without further engine
// calls, memo and binary contents are fetched when read and cached per
// buffer. In a buffer, the first bytes of each memo-like field hold the
// cursor's emptiness marker (0 empty, -1 not), never written back. The
// record number identifies the buffer's record; its engine bookmark is
// taken only when asked for.
//
// An encrypted table opened without its password is open but sealed: it
// is not at its end (so a walk never takes it for empty), and every read of
// a record, move or edit fails with the engine's error until
// EnableEncryption gives the password and positions on the first record.
//
// A dataset owns its engine table handle (closed with it) and its field
// objects (alive from Open to Close). It is bound to at most one
// TDbConnection, whose bound-dataset list it joins and leaves itself.
// Derived cursors plug in through the protected hooks: how the engine
// cursor is obtained (Open up to opening the table), index selection,
// filters and settling of pending edits. Derived cursors that keep an edit
// must close in their own destructor: the base destructor can no longer
// reach their hooks.
// Not thread-safe: a cursor belongs to one thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component.h"
#include "dberrors.h"
#include "dbfield.h"
#include "tablemake.h"
#include "dbtypes.h"
#include "engine.h"
#include "recordcodec.h"
#include "strutil.h"

namespace dbu {

class TDbConnection;

// Field objects by name without regard to case: an open-addressing table,
// since FieldByName runs for every field read in every record of a walk.
// In front of it, the spellings already asked for (up to 24 characters)
// are remembered exactly, so that a repeated lookup is a few word
// compares instead of a case-blind comparison.
class TFieldNameIndex {
 public:
  void Build(const std::vector<std::unique_ptr<TField>>& fields);
  void Clear() {
    slots_.clear();
    mask_ = 0;
    ForgetSpellings();
  }
  // Inline for the common case: a name spelled as before, found in its
  // home slot (for a literal name the key and slot are constants).
  TField* Find(std::string_view name) const {
    TSpelling key;
    if (!MakeSpelling(name, key)) return FindNoCase(name);
    const TSpelling& home = spellings_[key.Hash() & (kSpellings - 1)];
    if (home.Same(key)) return home.Field;
    return FindSpelling(name, key);
  }

 private:
  // Room for a few times the spellings a cursor's tasks use, so that
  // nearly every one is found in its home slot.
  static constexpr size_t kSpellings = 256;
  static constexpr size_t kProbes = 8;

  // A name of 1 to 24 characters held in (overlapping) words: together
  // with the length they fix every character.
  struct TSpelling {
    uint64_t A = 0, B = 0, C = 0;
    uint32_t Length = 0;
    TField* Field = nullptr;
    bool Same(const TSpelling& o) const { return A == o.A && B == o.B && C == o.C && Length == o.Length; }
    // Every character reaches the low bits (a product alone carries a
    // byte only upwards); for a literal name this is all done at compile time.
    size_t Hash() const {
      uint64_t h = (A * 0x9E3779B97F4A7C15ull) ^ (B * 0xC2B2AE3D27D4EB4Full) ^ (C * 0x165667B19E3779F9ull) ^ Length;
      h ^= h >> 33;
      h *= 0xFF51AFD7ED558CCDull;
      h ^= h >> 33;
      return static_cast<size_t>(h);
    }
  };
  static uint64_t Load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  static uint64_t Load4(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  static bool MakeSpelling(std::string_view name, TSpelling& key) {
    const size_t n = name.size();
    const char* p = name.data();
    if (n == 0 || n > 24) return false;
    key.Length = static_cast<uint32_t>(n);
    if (n >= 8) {
      key.A = Load8(p);
      key.B = Load8(p + n - 8);
      key.C = n > 16 ? Load8(p + 8) : 0;
    } else if (n >= 4) {
      key.A = Load4(p) | (Load4(p + n - 4) << 32);
    } else {
      key.A = static_cast<uint64_t>(static_cast<unsigned char>(p[0])) |
              (static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
              (static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16);
    }
    return true;
  }
  // The spelling in the slots after its home, else the case-blind search
  // (a name found is then remembered as spelled).
  TField* FindSpelling(std::string_view name, TSpelling key) const;
  TField* FindNoCase(std::string_view name) const;
  // Only the slots taken: a cursor reopened per record would otherwise
  // clear the whole table twice a cycle.
  void ForgetSpellings() {
    for (size_t i = 0; i < learned_; ++i) spellings_[learned_slots_[i]] = TSpelling();
    learned_ = 0;
  }
  // Cheap on purpose: the length and three letters spread names well
  // enough for linear probing, and every hit is confirmed in full.
  static size_t Hash(std::string_view name) {
    size_t n = name.size();
    if (n == 0) return 0;
    size_t h = n * 0x9E3779B1u;
    h = (h ^ static_cast<unsigned char>(AsciiUpper(name[0]))) * 0x01000193u;
    h = (h ^ static_cast<unsigned char>(AsciiUpper(name[n / 2]))) * 0x01000193u;
    h = (h ^ static_cast<unsigned char>(AsciiUpper(name[n - 1]))) * 0x01000193u;
    return h ^ (h >> 15);
  }

  std::vector<TField*> slots_;
  size_t mask_ = 0;
  mutable TSpelling spellings_[kSpellings];
  mutable size_t learned_ = 0;
  mutable uint8_t learned_slots_[kSpellings / 2] = {};  // the slots taken, in the order learned
  static_assert(kSpellings <= 256, "a slot number must fit in a byte");
};

// Handle value of a closed table or index.
constexpr ENGHANDLE kNoHandle = 0xFFFFFFFFu;

// Content of one memo-like field of one record buffer.
struct TBlobCache {
  ENGHANDLE Table = kNoHandle;
  uint32_t RecNo = 0;
  uint16_t FieldNum = 0;
  bool Loaded = false;
  bool Changed = false;
  std::string Content;

  void Reset() { *this = TBlobCache(); }
};

enum class TBookmarkFlag { Current, AtBeginning, AtEnd, Inserted };

// The raw record of one record and what the cursor knows about it.
struct TRecordBuffer {
  std::vector<uint8_t> Raw;
  std::vector<TBlobCache> Blobs;
  uint32_t RecNo = 0;
  TBookmarkFlag Flag = TBookmarkFlag::Current;
  std::vector<uint8_t> Bookmark;  // taken on demand; empty until then

  void Swap(TRecordBuffer& other) noexcept {
    Raw.swap(other.Raw);
    Blobs.swap(other.Blobs);
    std::swap(RecNo, other.RecNo);
    std::swap(Flag, other.Flag);
    Bookmark.swap(other.Bookmark);
  }
};

class TDbDataSet : public TComponent, public TFieldHost, private TJulianTextConverter {
 public:
  explicit TDbDataSet(TComponent* owner = nullptr);
  ~TDbDataSet() override;

  // ---- properties (most may change only while closed) ----
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  const std::string& DatabaseName() const { return databaseName_; }
  // Binds the connection object of that name when there is one; queries
  // extend it to drop a statement made on an implicit connection.
  virtual void SetDatabaseName(const std::string& name);
  TDbConnection* DbConnection() const { return connection_; }
  void SetDbConnection(TDbConnection* connection);
  TTableType TableType() const { return tableType_; }
  void SetTableType(TTableType type);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  const TDbTableOptions& DbTableOptions() const { return options_; }
  void SetDbTableOptions(const TDbTableOptions& options);
  void SetDbLockType(TDbLockType value);
  void SetDbCharType(TDbCharType value);
  void SetDbRightsCheck(bool value);

  ENGHANDLE TableHandle() const { return tableHandle_; }
  ENGHANDLE OrderHandle() const { return orderHandle_; }
  TDataSetState State() const override { return state_; }
  bool Active() const { return state_ != StateInactive; }
  void SetActive(bool active);

  // ---- opening and walking ----
  void Open();
  void Close();
  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  // True when a record is current (false on an empty table or filter).
  bool HasCurrentRecord() const { return hasRecord_; }
  // True while the records cannot be read: an encrypted table opened
  // without its password.
  bool Sealed() const { return sealed_; }
  // Engine record number of the current record, 0 when none.
  uint32_t CurrentRecordNumber() const { return hasRecord_ ? current_.RecNo : 0; }

  // ---- fields ----
  TField& FieldByName(std::string_view name) const {
    if (TField* field = fieldsByName_.Find(name)) return *field;
    FieldNotFound(name);
  }
  TField* FindField(std::string_view name) const { return fieldsByName_.Find(name); }
  TField& Fields(size_t index) const;
  size_t FieldCount() const { return fields_.size(); }
  const std::vector<TEngineFieldDef>& EngineFieldDefs() const { return fieldDefs_; }

  // Folder of the table files, without a trailing "/".
  std::string DatabasePath() const;

  TErrorContext ErrorContext() const override;

 protected:
  // ---- hooks for derived cursors ----
  // Obtains the engine cursor (opening the table); returns its handle.
  virtual ENGHANDLE CreateCursorHandle() = 0;
  virtual void PrepareKeyBuffers() {}
  // Chooses OrderHandle; the base keeps the natural order.
  virtual void SelectOrder() { orderHandle_ = tableHandle_; }
  virtual void ApplyFilterAtOpen() {}
  // True while the engine may position on records that do not show (a
  // filter is set): reads then ask EngIsRecordVisible first.
  virtual bool RecordsMayBeHidden() const { return false; }
  // Ends an edit before moving: writes it when a field changed, else drops it.
  virtual void SettlePendingChanges() {}
  // Drops an edit without writing (Close).
  virtual void DiscardPendingChanges() {}
  // Frees what the cursor keeps prepared after its connection closed it.
  virtual void ReleasePrepared() {}
  // Follows the dictionary's default index (tables on dictionary connections).
  virtual void RefreshDictionaryDefaultIndex() {}
  // TableName was set; differs is false when the new name equals the old.
  virtual void TableNameChanged(bool differs) { (void)differs; }
  // The buffer field writes go to in StateSetKey; nullptr when none.
  virtual uint8_t* KeyBuffer() { return nullptr; }
  virtual void KeyFieldWritten(const TField& field, size_t writtenLength) {
    (void)field;
    (void)writtenLength;
  }

  // ---- services for derived cursors ----
  void Check(ENGRESULT result) const {
    if (result != ENG_OK) EngineCheck(result, this);
  }
  // Check, and fail even when an earlier error suppresses the check: for
  // calls whose result the cursor cannot do without.
  void Require(ENGRESULT result) const;
  [[noreturn]] void DataLayerError(const std::string& text) const { RaiseDataLayerError(this, text); }
  [[noreturn]] void DatabaseError(const std::string& text) const { throw EDatabaseError(this, text); }
  void CheckInactive() const;  // "Cannot perform this operation on an open dataset"
  void CheckActive() const;    // "Cannot perform this operation on a closed dataset"
  void CheckNotActiveForOption() const;  // "Table must not be Active."
  bool OnDictionaryConnection() const;
  void SetState(TDataSetState state) { state_ = state; }
  void SetTableTypeFromEngine(uint16_t engineType);
  void ForceReadOnly(bool value = true) { readOnly_ = value; }
  void SetModified(bool modified) { modified_ = modified; }
  bool Modified() const { return modified_; }

  // Reads into a scratch buffer and makes it current when a record is there;
  // otherwise the current record stays as it was.
  bool ReadCurrent() { return ReadCurrentAfterSkip(0); }
  // Skips by records in the current order (0: stays) and reads as ReadCurrent.
  bool ReadCurrentAfterSkip(int32_t records);
  // Options of the combined engine reads: with a filter set, a record the
  // filter hides counts as none.
  uint16_t ReadOptions() const { return RecordsMayBeHidden() ? ENG_READ_VISIBLE : 0; }
  // Runs a combined engine call that ends by reading the record at the
  // position, call(buffer, &length, &recNo), into the scratch buffer; recNo
  // is 0 when it read none. The result is the engine's.
  template <typename EngineCall>
  ENGRESULT CallIntoScratch(EngineCall&& call, uint32_t* recNo) {
    if (scratch_.Raw.size() != recordLength_) scratch_ = NewRecordBuffer();
    uint32_t length = recordLength_;
    *recNo = 0;
    return call(scratch_.Raw.data(), &length, recNo);
  }
  // Makes the record CallIntoScratch read the current one; with recNo 0
  // (none read) the current record stays and false is returned.
  bool TakeScratch(uint32_t recNo);
  // TakeScratch after this cursor deleted its current record and read the
  // following one (stamps: the change stamps from before and after the
  // deletion): the records read ahead stay when that was the only change.
  bool TakeScratchAfterOwnDelete(uint32_t recNo, const uint64_t stamps[2]);
  // The engine bookmark of the current record (empty when none).
  const std::vector<uint8_t>& CurrentBookmark();
  // The cursor shows no record: Eof and Bof true.
  void ShowNoRecord();
  // Fails with the engine's refusal while the cursor is sealed.
  void RequireReadable() const {
    if (sealed_) RaiseSealed();
  }
  // Moves the engine back to the current record (its bookmark, or its
  // record number while no bookmark was taken); false when the record is
  // gone or there is none.
  bool MoveEngineToCurrent();
  // True while the engine position is known to be the current record.
  bool EngineAtCurrent() const { return engineAtCurrent_; }
  // Before a call that works from wherever the engine stands: when reading
  // ahead left the engine beyond the current record, back to it.
  void ReturnFromReadAhead();
  // The engine is off the current record only because of reading ahead.
  bool EngineAheadOnly() const { return engineAhead_; }
  // The order was chosen by a derived cursor: the engine handle giving it.
  void SetOrderHandle(ENGHANDLE handle) { orderHandle_ = handle; }
  // Reads the bookmark length of the current order again (after the order
  // changed); bookmarks taken in the old order are dropped.
  void ReadBookmarkLength();
  const std::vector<uint16_t>& BlobFieldNumbers() const { return blobFieldNums_; }
  // After a table maintenance call: to First at the beginning, to the last
  // record at the end, else the current record is read again.
  void Reposition();
  TRecordBuffer& CurrentBuffer() { return current_; }
  void SetEof(bool value) { eof_ = value; }
  void SetBof(bool value) { bof_ = value; }
  void SetHasCurrentRecord(bool value) { hasRecord_ = value; }
  uint32_t RecordLength() const { return recordLength_; }
  // A fresh buffer of the open table's layout.
  TRecordBuffer NewRecordBuffer() const;

  // ---- TFieldHost ----
  const uint8_t* FieldReadBuffer() const override;
  uint8_t* FieldWriteBuffer(const TField& field) override;
  void FieldWritten(const TField& field, size_t writtenLength) override;
  bool NativeTable() const override { return EngineTableType(tableType_) == ENG_TABLE_NATIVE; }
  const TJulianTextConverter& JulianConverter() const override { return *this; }
  bool BlobIsNull(const TField& field) const override;
  std::string ReadBlob(const TField& field) override;
  void WriteBlob(const TField& field, const std::string& content) override;

 private:
  friend class TDbConnection;
  void CloseAndRelease();
  [[noreturn]] void FieldNotFound(std::string_view name) const;
  void DetachConnection() { connection_ = nullptr; }

  double StringToJulian(const std::string& yyyymmdd) const override;
  std::string JulianToString(double julian) const override;

  void ReadEngineLayout();
  void BuildFields();
  void ReadFieldDefs();  // from the engine, kept for layoutStamp_
  // At Open (atOpen) an encrypted table without its password seals the
  // cursor instead of failing.
  void PositionOnFirst(bool atOpen);
  [[noreturn]] void RaiseSealed() const;
  void ReleaseOpenState();
  void LoadBlob(const TField& field, TBlobCache& cache);
  // Read-ahead of a forward walk: Next takes the following records from
  // what one engine call read, while the table's change stamp says they are
  // still as read. Only for tables whose reads need no further calls at the
  // position (no memo-like fields, ANSI characters).
  bool NextFromReadAhead();
  // Moves one record (+1 or -1) and reads, reading ahead when it may.
  bool ReadStep(int32_t step);
  void DropReadAhead();
  // What a read adds to the raw record copied from the engine: its number,
  // the memo emptiness markers and, on OEM tables, the translated strings.
  void CompleteRead(TRecordBuffer& buffer, uint32_t recNo);

  std::string tableName_;
  std::string databaseName_;
  TDbConnection* connection_ = nullptr;
  TTableType tableType_ = ttNative;
  bool exclusive_ = false;
  bool readOnly_ = false;
  TDbTableOptions options_;

  ENGHANDLE tableHandle_ = kNoHandle;
  ENGHANDLE orderHandle_ = kNoHandle;
  TDataSetState state_ = StateInactive;
  bool eof_ = true;
  bool bof_ = true;
  bool hasRecord_ = false;
  bool engineAtCurrent_ = false;  // the engine position is the current record
  bool engineAhead_ = false;      // it is not, only because records were read ahead
  bool modified_ = false;
  bool sealed_ = false;
  int32_t sealedCode_ = 0;   // the engine's refusal while sealed
  std::string sealedText_;

  uint32_t recordLength_ = 0;
  uint32_t bookmarkLength_ = 0;
  // The engine's layout stamp of the open table (0: none); with the make
  // kept for it when another open read it before.
  uint64_t layoutStamp_ = 0;
  std::shared_ptr<const TTableMake> keptMake_;
  std::vector<TEngineFieldDef> fieldDefs_;
  std::vector<std::unique_ptr<TField>> fields_;
  TFieldNameIndex fieldsByName_;
  std::vector<uint16_t> blobFieldNums_;   // engine field number per blob slot
  std::vector<const TEngineFieldDef*> stringDefs_;  // re-read for OEM tables
  TRecordBuffer current_;
  TRecordBuffer scratch_;

  bool readAheadFits_ = false;          // the table allows read-ahead
  std::vector<uint8_t> aheadRaw_;       // records read, recordLength_ each
  std::vector<uint32_t> aheadRecNos_;   // their numbers; [0] was made current at once
  uint16_t aheadCount_ = 0;
  uint16_t aheadNext_ = 0;              // the one Next takes next
  uint16_t aheadSize_ = 1;              // records the next read asks for
  uint64_t aheadStamp_ = 0;
  ENGHANDLE aheadOrder_ = kNoHandle;
  // The words of the table's change stamp, read directly by every Next
  // that takes a record read ahead (null until first needed).
  ENGCHANGESOURCE changeSource_{};
  bool ChangeStampNow(uint64_t* stamp);
};

}  // namespace dbu
