#include "dbextended.h"

#include <algorithm>
#include <cstring>

#include "dbconnection.h"

namespace dbu {
namespace {

constexpr uint16_t kIndexNameRoom = 260;
constexpr uint16_t kSegmentNameRoom = 510;
constexpr uint16_t kKeySegmentNameRoom = 128;
constexpr uint16_t kMaxIndexes = 50;
constexpr uint16_t kDefaultIndexRoom = 200;
constexpr uint16_t kKeyRoom = 256;

bool IsMemoLike(uint16_t type) { return type >= ENG_MEMO && type <= ENG_VARCHAR; }

bool AllBlanks(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (bytes[i] != ' ') return false;
  return true;
}

}  // namespace

TDbExtendedDataSet::~TDbExtendedDataSet() {
  // Close here: the base destructor can no longer reach the edit hooks.
  try {
    Close();
  } catch (...) {
  }
}

// ---- index selection -----------------------------------------------------------

void TDbExtendedDataSet::SetIndexName(const std::string& name) {
  std::string oldName = indexName_;
  TIndexMode oldMode = indexMode_;
  if (Active()) SettlePendingChanges();
  indexName_ = name;
  indexFieldNames_.clear();
  if (name.empty())
    indexMode_ = TIndexMode::None;
  else if (SameText(name, kDictionaryDefaultIndex))
    indexMode_ = TIndexMode::DictionaryDefault;
  else
    indexMode_ = TIndexMode::ByName;
  if (Active()) ReselectOrder([&] {
    indexName_ = oldName;
    indexMode_ = oldMode;
  });
}

void TDbExtendedDataSet::SetIndexFieldNames(const std::string& names) {
  std::string oldNames = indexFieldNames_;
  TIndexMode oldMode = indexMode_;
  if (Active()) SettlePendingChanges();
  size_t first = names.find_first_not_of(' ');
  size_t last = names.find_last_not_of(' ');
  indexFieldNames_ = first == std::string::npos ? std::string() : names.substr(first, last - first + 1);
  indexName_.clear();
  indexMode_ = indexFieldNames_.empty() ? TIndexMode::None : TIndexMode::ByFieldList;
  if (Active()) ReselectOrder([&] {
    indexFieldNames_ = oldNames;
    indexMode_ = oldMode;
  });
}

template <typename Restore>
void TDbExtendedDataSet::ReselectOrder(Restore&& restore) {
  ENGHANDLE oldOrder = OrderHandle();
  segmentsOf_ = kNoHandle;
  try {
    SetOrderHandle(IndexHandleFor(indexMode_));
    ReadBookmarkLength();
  } catch (...) {
    restore();
    SetOrderHandle(oldOrder);
    throw;
  }
  // The current record stays current; its neighbours now follow the new order.
  if (HasCurrentRecord() && MoveEngineToCurrent()) ReadCurrent();
}

void TDbExtendedDataSet::SelectOrder() {
  segmentsOf_ = kNoHandle;
  SetOrderHandle(IndexHandleFor(indexMode_));
  ReadBookmarkLength();
}

ENGHANDLE TDbExtendedDataSet::IndexHandleFor(TIndexMode mode) {
  std::string tag;
  switch (mode) {
    case TIndexMode::None:
      return TableHandle();
    case TIndexMode::ByName:
      tag = indexName_;
      break;
    case TIndexMode::ByFieldList: {
      const TIndexDef* def = IndexDefs().FindForFields(indexFieldNames_);
      if (def == nullptr) DataLayerError("Not a valid index field name:" + indexFieldNames_);
      tag = def->Name;
      break;
    }
    case TIndexMode::DictionaryDefault:
      tag = defaultIndexName_;
      break;
  }
  ENGHANDLE index = kNoHandle;
  Require(EngGetIndexHandle(TableHandle(), tag.c_str(), &index));
  return index;
}

const TIndexDefs& TDbExtendedDataSet::IndexDefs() {
  if (!indexDefs_.Stale()) return indexDefs_;
  // While Open selects the order the table is open but not yet active.
  if (TableHandle() != kNoHandle) {
    ReadIndexDefs(TableHandle());
    return indexDefs_;
  }
  ENGHANDLE table = OpenTableForDefinitions();
  if (table == kNoHandle) return indexDefs_;
  try {
    ReadIndexDefs(table);
  } catch (...) {
    EngCloseTable(table);
    throw;
  }
  Check(EngCloseTable(table));
  return indexDefs_;
}

void TDbExtendedDataSet::ReadIndexDefs(ENGHANDLE table) {
  uint64_t stamp = 0;
  if (EngGetLayoutStamp(table, &stamp) != ENG_OK) stamp = 0;
  if (auto kept = TTableMakeCache::Instance().Indexes(stamp)) {
    indexDefs_.Assign(std::move(*kept));
    return;
  }
  ENGHANDLE handles[kMaxIndexes] = {};
  uint16_t count = kMaxIndexes;
  Require(EngGetAllIndexes(table, handles, &count));
  count = std::min(count, kMaxIndexes);
  std::vector<TIndexDef> defs;
  for (uint16_t i = 0; i < count; ++i) {
    TIndexDef def;
    char name[kIndexNameRoom + 1] = {};
    uint16_t length = kIndexNameRoom;
    Require(EngGetIndexName(handles[i], name, &length));
    def.Name = name;
    uint16_t segments = 0;
    Require(EngGetNumSegments(handles[i], &segments));
    for (uint16_t segment = 0; segment < segments; ++segment) {
      char field[kSegmentNameRoom + 1] = {};
      uint16_t fieldLength = kSegmentNameRoom;
      Require(EngGetSegmentFieldname(handles[i], segment, field, &fieldLength));
      if (segment > 0) def.Fields += ';';
      def.Fields += UpperCase(field);
    }
    uint16_t descending = 0, unique = 0;
    Require(EngIsIndexDescending(handles[i], &descending));
    Require(EngIsIndexUnique(handles[i], &unique));
    if (unique) def.Options |= ixUnique;
    if (descending) def.Options |= ixDescending;
    defs.push_back(std::move(def));
  }
  TTableMakeCache::Instance().KeepIndexes(stamp, defs);
  indexDefs_.Assign(std::move(defs));
}

void TDbExtendedDataSet::PrepareKeyBuffers() {
  indexDefs_.MarkStale();
  keyBuffer_.Reset(std::vector<uint8_t>(RecordLength(), 0), 0);
  nullRecord_.clear();
  segmentsOf_ = kNoHandle;
  segmentDefs_.clear();
}

void TDbExtendedDataSet::TableNameChanged(bool differs) {
  (void)differs;
  indexDefs_.MarkStale();
}

void TDbExtendedDataSet::RefreshDictionaryDefaultIndex() {
  if (!FollowsDictionaryDefault()) return;
  TDbConnection* connection = DbConnection();
  if (connection == nullptr || !connection->IsDictionaryConnection()) return;
  char name[kDefaultIndexRoom + 1] = {};
  uint16_t length = kDefaultIndexRoom;
  ENGRESULT r = EngDictGetTableProperty(connection->ConnectionHandle(), TableName().c_str(),
                                        ENG_DD_TABLE_DEFAULT_INDEX, name, &length);
  if (r == ENG_OK) {
    defaultIndexName_.assign(name, strnlen(name, kDefaultIndexRoom));
    if (indexName_.empty() || SameText(indexName_, kDictionaryDefaultIndex)) {
      indexName_ = kDictionaryDefaultIndex;
      indexMode_ = TIndexMode::DictionaryDefault;
    }
  } else if (r == ENG_ERR_NO_DEFAULT_INDEX) {
    // The default gives way to natural order, as setting IndexName to ""
    // does: a field list set before the default took over is not revived
    // (the new table need not have its index).
    if (SameText(indexName_, kDictionaryDefaultIndex)) {
      indexName_.clear();
      indexFieldNames_.clear();
      indexMode_ = TIndexMode::None;
    }
  }
}

// ---- index files ------------------------------------------------------------------

void TDbExtendedDataSet::OpenIndexFile(ENGHANDLE table, const std::string& name) {
  if (table == kNoHandle) DataLayerError("Table must be Active.");
  std::string file = name.find('/') != std::string::npos ? name : DatabasePath() + "/" + name;
  ENGHANDLE handles[kMaxIndexes] = {};
  uint16_t count = kMaxIndexes;
  Require(EngOpenIndex(table, file.c_str(), handles, &count));
}

void TDbExtendedDataSet::AddIndexFile(const std::string& name) {
  auto at = std::lower_bound(indexFiles_.begin(), indexFiles_.end(), name);
  if (at != indexFiles_.end() && *at == name) return;
  if (Active()) OpenIndexFile(TableHandle(), name);
  indexFiles_.insert(std::lower_bound(indexFiles_.begin(), indexFiles_.end(), name), name);
  indexDefs_.MarkStale();
}

void TDbExtendedDataSet::DeleteIndexFile(const std::string& name) {
  auto at = std::find(indexFiles_.begin(), indexFiles_.end(), name);
  if (at == indexFiles_.end()) return;
  if (Active()) {
    size_t slash = name.find_last_of('/');
    std::string filePart = slash == std::string::npos ? name : name.substr(slash + 1);
    ENGHANDLE handles[kMaxIndexes] = {};
    uint16_t count = kMaxIndexes;
    Require(EngGetAllIndexes(TableHandle(), handles, &count));
    for (uint16_t i = 0; i < std::min(count, kMaxIndexes); ++i) {
      char file[261] = {};
      uint16_t length = 260;
      if (EngGetIndexFilename(handles[i], 2, file, &length) != ENG_OK || !SameText(file, filePart)) continue;
      const bool ordersBy = OrderHandle() == handles[i];
      Check(EngCloseIndex(handles[i]));
      if (ordersBy) SetIndexName("");
    }
  }
  indexFiles_.erase(std::find(indexFiles_.begin(), indexFiles_.end(), name));
  indexDefs_.MarkStale();
}

void TDbExtendedDataSet::ClearIndexFiles() {
  while (!indexFiles_.empty()) DeleteIndexFile(indexFiles_.back());
}

// ---- key search ----------------------------------------------------------------

uint8_t* TDbExtendedDataSet::KeyBuffer() { return keyBuffer_.Raw.empty() ? nullptr : keyBuffer_.Raw.data(); }

void TDbExtendedDataSet::KeyFieldWritten(const TField& field, size_t writtenLength) {
  size_t slot = field.FieldNo() - 1u;
  if (slot >= keyBuffer_.Markers.size()) return;
  keyBuffer_.Markers[slot] =
      field.EngineDef().Type == ENG_STRING ? static_cast<uint16_t>(std::min<size_t>(writtenLength, 0xFFFE)) : 1;
  keyBuffer_.Changed = true;
}

std::string TDbExtendedDataSet::KeyFieldList() {
  switch (indexMode_) {
    case TIndexMode::ByName: {
      const TIndexDef* def = IndexDefs().FindByName(indexName_);
      return def ? def->Fields : std::string();
    }
    case TIndexMode::ByFieldList:
      return indexFieldNames_;
    default:
      return std::string();
  }
}

bool TDbExtendedDataSet::FindKey(const std::vector<TKeyValue>& values) {
  CheckActive();
  SettlePendingChanges();
  std::string list = KeyFieldList();
  if (list != keyListSource_ || keyNames_.empty()) {
    keyNames_ = SplitFieldList(list);
    keyListSource_ = std::move(list);
  }
  const std::vector<std::string>& names = keyNames_;
  if (names.empty()) DataLayerError("No parseable expressions in setting key fields");
  if (names.size() < values.size()) DataLayerError("Too many values given for current index");

  TDataSetState before = State();
  SetState(StateSetKey);
  try {
    FillKeyBuffer(values, names);
  } catch (...) {
    SetState(before);
    throw;
  }
  SetState(before);

  SettlePendingChanges();
  RequireReadable();
  const bool eofBefore = Eof();
  const bool bofBefore = Bof();
  const uint32_t recNo = CurrentRecordNumber();
  if (SeekKey()) {
    if (!ReadCurrent()) DatabaseError("Record not found");
    SetBof(false);
    SetEof(false);
    return true;
  }
  PlaceAfterFailedSearch(eofBefore, bofBefore, recNo);
  return false;
}

void TDbExtendedDataSet::FillKeyBuffer(const std::vector<TKeyValue>& values, const std::vector<std::string>& names) {
  // The empty record image does not change while the table is open.
  if (nullRecord_.size() != RecordLength()) {
    std::vector<uint8_t> empty(RecordLength(), 0);
    uint32_t length = RecordLength();
    Require(EngGetNullRecord(TableHandle(), empty.data(), &length));
    nullRecord_ = std::move(empty);
  }
  keyBuffer_.Raw = nullRecord_;
  keyBuffer_.Markers.assign(EngineFieldDefs().size(), TKeyBuffer::kNoValue);
  keyBuffer_.Changed = false;
  keyBuffer_.ValueCount = 0;
  for (size_t i = values.size(); i-- > 0;) {
    TField& field = FieldByName(names[i]);
    const TKeyValue& value = values[i];
    switch (value.GetKind()) {
      case TKeyValue::Kind::Text: field.SetAsString(value.Text()); break;
      case TKeyValue::Kind::Integer: field.SetAsInteger(value.Integer()); break;
      case TKeyValue::Kind::Float: field.SetAsFloat(value.Float()); break;
      case TKeyValue::Kind::Boolean: field.SetAsBoolean(value.Boolean()); break;
      case TKeyValue::Kind::Money: field.SetAsCurrency(value.Money()); break;
      case TKeyValue::Kind::Variable:
        if (!value.Variable().IsNull()) field.SetAsVariant(value.Variable());
        break;
    }
  }
  keyBuffer_.ValueCount = static_cast<uint16_t>(values.size());
}

bool TDbExtendedDataSet::SeekKey() {
  const ENGHANDLE order = OrderHandle();
  Check(EngInitRawKey(order));
  if (segmentsOf_ != order) {
    // The segments of an order do not change while it is selected.
    const std::vector<TEngineFieldDef>& defs = EngineFieldDefs();
    segmentDefs_.clear();
    // Asking for the count first spares the engine a failed call (and its
    // error text) at the end of every enumeration.
    uint16_t segments = 0;
    if (EngGetNumSegments(order, &segments) != ENG_OK) segments = 0;
    for (uint16_t segment = 0; segment < segments; ++segment) {
      char name[kKeySegmentNameRoom + 1] = {};
      uint16_t length = kKeySegmentNameRoom;
      if (EngGetSegmentFieldname(order, segment, name, &length) != ENG_OK) break;
      auto def =
          std::find_if(defs.begin(), defs.end(), [&](const TEngineFieldDef& d) { return SameText(d.Name, name); });
      segmentDefs_.push_back(def == defs.end() ? nullptr : &*def);
    }
    segmentsOf_ = order;
  }
  for (const TEngineFieldDef* def : segmentDefs_) {
    if (def == nullptr) continue;
    size_t slot = def->FieldNum - 1u;
    if (slot >= keyBuffer_.Markers.size() || keyBuffer_.Markers[slot] == TKeyBuffer::kNoValue) continue;
    const uint8_t* bytes = keyBuffer_.Raw.data() + def->Offset;
    Check(def->Type == ENG_STRING ? EngSetField(order, def->FieldNum, bytes, def->Length)
                                  : EngSetFieldRaw(order, def->FieldNum, bytes, def->Length));
  }
  uint8_t key[kKeyRoom] = {};
  uint16_t keyLength = kKeyRoom;
  Check(EngBuildRawKey(order, key, &keyLength));
  uint16_t found = 0;
  Check(EngSeek(order, key, keyLength, ENG_RAWKEY, ENG_SEEK_HARD, &found));
  return found != 0;
}

void TDbExtendedDataSet::PlaceAfterFailedSearch(bool eofBefore, bool bofBefore, uint32_t recNo) {
  if (eofBefore) {
    Last();
  } else if (bofBefore) {
    First();
  } else {
    ENGRESULT r = EngGotoRecord(TableHandle(), recNo);
    if (r == ENG_ERR_NO_SUCH_RECORD) {
      Last();
      return;
    }
    Check(r);
    // The engine stands on the remembered record again; the buffer still holds it.
    MoveEngineToCurrent();
  }
}

// ---- editing ---------------------------------------------------------------------

void TDbExtendedDataSet::CheckModifiable() {
  CheckActive();
  if (ReadOnly()) DatabaseError("Cannot modify a read-only dataset");
}

void TDbExtendedDataSet::Edit() {
  if (State() == StateEdit || State() == StateInsert) return;
  RequireReadable();
  if (!HasCurrentRecord()) {
    Append();
    return;
  }
  SettlePendingChanges();
  CheckModifiable();
  const uint32_t recNo = CurrentRecordNumber();
  // A record another user deleted must not leave the engine elsewhere: the
  // lock and the edit would then belong to different records. Away from
  // the record only because of reading ahead, the lock call goes back to it.
  const bool goBack = !EngineAtCurrent() && EngineAheadOnly() && !Exclusive();
  if (!EngineAtCurrent() && !goBack && !MoveEngineToCurrent()) DatabaseError("Record not found");
  // Start from the record as it is now that no one else can change it.
  bool found = false;
  if (!Exclusive()) {
    // One call locks and reads again; when no record is there to read it
    // gives the lock back itself.
    uint32_t readNo = 0;
    const uint16_t options = static_cast<uint16_t>(ReadOptions() | (goBack ? ENG_LOCK_GOTO : 0));
    ENGRESULT r = CallIntoScratch(
        [&](uint8_t* buffer, uint32_t* length, uint32_t* number) {
          return EngLockAndRead(TableHandle(), recNo, options, buffer, length, number);
        },
        &readNo);
    if (goBack && r == ENG_ERR_NO_SUCH_RECORD) DatabaseError("Record not found");
    if (r == ENG_ERR_STATIC_CURSOR)
      throw EDbEngineError(this, "This table is based on a static VIEW. Static VIEWs can not be updated.", r);
    Require(r);
    found = TakeScratch(readNo);
  } else {
    found = ReadCurrent();
  }
  if (!found) DatabaseError("Record not found");
  editCopy_ = CurrentBuffer().Raw;
  SetState(StateEdit);
  SetModified(false);
}

void TDbExtendedDataSet::Append() {
  SettlePendingChanges();
  RequireReadable();
  CheckModifiable();
  BeginInsert();
}

void TDbExtendedDataSet::BeginInsert() {
  TRecordBuffer fresh = NewRecordBuffer();
  uint32_t length = RecordLength();
  Require(EngClearRecordBuffer(TableHandle(), fresh.Raw.data(), &length));
  for (const TEngineFieldDef& def : EngineFieldDefs()) {
    if (def.Type == ENG_AUTOINC) codec::WriteEmpty(fresh.Raw.data(), def, NativeTable());
    if (IsMemoLike(def.Type)) codec::SetMemoMarker(fresh.Raw.data(), def, 0);
  }
  fresh.RecNo = 0;
  fresh.Flag = TBookmarkFlag::AtEnd;
  CurrentBuffer().Swap(fresh);
  SetState(StateInsert);
  SetBof(false);
  SetEof(true);
  SetModified(false);
}

void TDbExtendedDataSet::Post() {
  const TDataSetState state = State();
  if (state != StateEdit && state != StateInsert) DatabaseError("Dataset not in edit or insert mode");
  if (state == StateEdit) {
    PostEdit();
    return;
  }
  TRecordBuffer& buffer = CurrentBuffer();
  if (buffer.Flag != TBookmarkFlag::Inserted) {
    Require(EngAppendRecord(TableHandle()));
    buffer.Flag = TBookmarkFlag::Inserted;
    uint32_t recNo = 0;
    Require(EngGetRecordNum(TableHandle(), ENG_IGNOREFILTERS, &recNo));
    buffer.RecNo = recNo;
  }
  WriteFieldsToEngine();
  Require(EngWriteRecord(TableHandle()));
  SetState(StateBrowse);
  SetModified(false);
  if (ReadNearestRecord()) {
    SetBof(false);
    SetEof(false);
  } else {
    ShowNoRecord();
  }
}

void TDbExtendedDataSet::PostEdit() {
  // One engine call writes every field as the single calls would (strings
  // of blanks stored empty, memo-like and autoincrement fields left to the
  // engine), the changed memo contents, unlocks, and reads the record back.
  TRecordBuffer& buffer = CurrentBuffer();
  const std::vector<TEngineFieldDef>& defs = EngineFieldDefs();
  const std::vector<uint16_t>& blobs = BlobFieldNumbers();
  memoWrites_.clear();
  for (size_t slot = 0; slot < blobs.size(); ++slot) {
    TBlobCache& cache = buffer.Blobs[slot];
    if (!cache.Changed) continue;
    const TEngineFieldDef& def = defs[blobs[slot] - 1u];
    codec::SetMemoMarker(buffer.Raw.data(), def, cache.Content.empty() ? 0 : -1);
    memoWrites_.push_back(ENGFIELDTEXT{def.FieldNum, reinterpret_cast<const uint8_t*>(cache.Content.data()),
                                       static_cast<uint32_t>(cache.Content.size())});
  }
  const uint16_t options = static_cast<uint16_t>(ReadOptions() | (Exclusive() ? 0 : ENG_POST_UNLOCK));
  uint32_t readNo = 0;
  // A failure leaves nothing pending at the engine: the edit stays here,
  // with the buffer as the task wrote it, to be posted again or cancelled.
  Require(CallIntoScratch(
      [&](uint8_t* out, uint32_t* length, uint32_t* number) {
        return EngPostEdit(TableHandle(), buffer.RecNo, buffer.Raw.data(), RecordLength(), memoWrites_.data(),
                           static_cast<uint16_t>(memoWrites_.size()), options, out, length, number);
      },
      &readNo));
  for (TBlobCache& cache : buffer.Blobs) cache.Changed = false;
  memoWrites_.clear();
  SetState(StateBrowse);
  SetModified(false);
  if (!TakeScratch(readNo) && !ReadNearestRecord()) ShowNoRecord();
}

void TDbExtendedDataSet::WriteFieldsToEngine() {
  const ENGHANDLE table = TableHandle();
  TRecordBuffer& buffer = CurrentBuffer();
  const std::vector<TEngineFieldDef>& defs = EngineFieldDefs();
  for (size_t i = defs.size(); i-- > 0;) {
    const TEngineFieldDef& def = defs[i];
    if (IsMemoLike(def.Type) || def.Type == ENG_AUTOINC) continue;
    const uint8_t* bytes = buffer.Raw.data() + def.Offset;
    if (def.Type == ENG_STRING) {
      Require(AllBlanks(bytes, def.Length) ? EngSetEmpty(table, def.FieldNum)
                                           : EngSetField(table, def.FieldNum, bytes, def.Length));
    } else {
      Require(EngSetFieldRaw(table, def.FieldNum, bytes, def.Length));
    }
  }
  const std::vector<uint16_t>& blobs = BlobFieldNumbers();
  for (size_t slot = 0; slot < blobs.size(); ++slot) {
    TBlobCache& cache = buffer.Blobs[slot];
    if (!cache.Changed) continue;
    const TEngineFieldDef& def = defs[blobs[slot] - 1u];
    codec::SetMemoMarker(buffer.Raw.data(), def, cache.Content.empty() ? 0 : -1);
    Require(EngSetField(table, def.FieldNum, reinterpret_cast<const uint8_t*>(cache.Content.data()),
                        static_cast<uint32_t>(cache.Content.size())));
    cache.Changed = false;
  }
}

bool TDbExtendedDataSet::ReadNearestRecord() {
  if (ReadCurrent()) return true;
  if (ReadCurrentAfterSkip(1)) return true;
  return ReadCurrentAfterSkip(-1);
}

void TDbExtendedDataSet::Cancel() {
  const TDataSetState state = State();
  if (state != StateEdit && state != StateInsert) return;
  ENGRESULT r = EngCancelUpdate(TableHandle());
  if (r != ENG_OK && r != ENG_ERR_NO_CURRENT_RECORD && r != ENG_ERR_NO_PENDING_UPDATE) Check(r);
  const uint32_t recNo = CurrentBuffer().RecNo;
  if (state == StateInsert) {
    Check(EngGotoBottom(OrderHandle()));
    Check(EngSkip(OrderHandle(), 1));
  } else if (!Exclusive()) {
    Check(EngUnlockRecord(TableHandle(), recNo));
  }
  SetState(StateBrowse);
  SetModified(false);
  bool found = ReadNearestRecord();
  if (!found) {
    ShowNoRecord();
  } else if (state == StateInsert) {
    SetEof(true);
  }
}

void TDbExtendedDataSet::Delete() {
  CheckActive();
  const TDataSetState state = State();
  if (state == StateInsert) {
    Cancel();
    return;
  }
  RequireReadable();
  if (!HasCurrentRecord()) DatabaseError("Cannot perform this operation on an empty dataset");
  const uint32_t recNo = CurrentRecordNumber();
  // Never delete whatever record the engine happens to stand on.
  if (state == StateBrowse) {
    // The engine shows no deleted records: one call goes to the record
    // (unless the engine stands on it), deletes it, moves on to the
    // following record and reads it (cancelling at the engine itself when
    // the deletion fails).
    const uint32_t gotoNo = EngineAtCurrent() ? 0 : recNo;
    uint32_t readNo = 0;
    uint64_t stamps[2] = {0, 0};
    const ENGRESULT r = CallIntoScratch(
        [&](uint8_t* buffer, uint32_t* length, uint32_t* number) {
          return EngDeleteAndSkip(OrderHandle(), gotoNo, ReadOptions(), buffer, length, number, stamps);
        },
        &readNo);
    // A record another user deleted is not found, as when moving to it.
    if (r == ENG_ERR_NO_SUCH_RECORD && gotoNo != 0) DatabaseError("Record not found");
    Require(r);
    SetModified(false);
    if (TakeScratchAfterOwnDelete(readNo, stamps) || ReadNearestRecord()) {
      SetBof(false);
      SetEof(false);
    } else {
      ShowNoRecord();
    }
    return;
  }
  Require(EngGotoRecord(TableHandle(), recNo));
  ENGRESULT r = EngDeleteRecord(TableHandle());
  if (r == ENG_OK) r = EngWriteRecord(TableHandle());
  if (r != ENG_OK) {
    // The error is taken before the cancel, whose own result would replace
    // the engine's last error text.
    try {
      Require(r);
    } catch (...) {
      EngCancelUpdate(TableHandle());
      throw;
    }
  }
  // The lock of an edited record goes with the record.
  if (state == StateEdit && !Exclusive()) EngUnlockRecord(TableHandle(), recNo);
  uint16_t showDeleted = 0;
  Check(EngGetDeleted(TableHandle(), &showDeleted));
  if (showDeleted == 0) Check(EngSkip(OrderHandle(), 1));
  SetState(StateBrowse);
  SetModified(false);
  if (ReadNearestRecord()) {
    SetBof(false);
    SetEof(false);
  } else {
    ShowNoRecord();
  }
}

void TDbExtendedDataSet::SettlePendingChanges() {
  if (State() != StateEdit && State() != StateInsert) return;
  if (Modified())
    Post();
  else
    Cancel();
}

void TDbExtendedDataSet::DiscardPendingChanges() {
  filterApplied_ = false;
  const TDataSetState state = State();
  if (state != StateEdit && state != StateInsert) return;
  // The table closes right after: nothing the engine says here matters.
  EngCancelUpdate(TableHandle());
  if (state == StateEdit && !Exclusive()) EngUnlockRecord(TableHandle(), CurrentBuffer().RecNo);
  SetState(StateBrowse);
  SetModified(false);
}

// ---- filters ------------------------------------------------------------------------

void TDbExtendedDataSet::SetFilter(const std::string& text) {
  filter_ = text;
  if (Active() && filtered_) {
    ApplyFilter();
    First();
  }
}

void TDbExtendedDataSet::SetFiltered(bool value) {
  filtered_ = value;
  if (!Active()) return;
  if (value)
    ApplyFilter();
  else
    ClearFilter();
  First();
}

void TDbExtendedDataSet::SetDbOptimizedFilters(bool value) {
  TDbTableOptions options = DbTableOptions();
  const bool old = options.DbOptimizedFilters;
  if (!Active() || !filtered_ || old == value) {
    options.DbOptimizedFilters = value;
    SetDbTableOptions(options);
    return;
  }
  ClearFilter();
  options.DbOptimizedFilters = value;
  SetDbTableOptions(options);
  try {
    ApplyFilter();
    First();
  } catch (...) {
    options.DbOptimizedFilters = old;
    SetDbTableOptions(options);
    throw;
  }
}

void TDbExtendedDataSet::ApplyFilterAtOpen() {
  filterApplied_ = false;
  if (filtered_) ApplyFilter();
}

void TDbExtendedDataSet::ApplyFilter() {
  if (filter_.empty()) {
    ClearFilter();
    return;
  }
  const ENGHANDLE table = TableHandle();
  const bool native = NativeTable();
  std::string text = filter_;
  if (native) {
    std::vector<char> shortForm(filter_.size() + 51 + 1, '\0');
    uint16_t length = static_cast<uint16_t>(std::min<size_t>(filter_.size() + 51, 0xFFFF));
    Require(EngExpressionLongToShort(table, filter_.c_str(), shortForm.data(), &length));
    text.assign(shortForm.data(), strnlen(shortForm.data(), shortForm.size()));
  }
  TPreparedFilter prepared = PrepareFilterText(text);
  if (native) {
    // Room for the expression as given; when the long form is longer (the
    // filter was written in short form) the engine says how much it needs.
    size_t room = std::min<size_t>(filter_.size() + 1, 0xFFFF);
    std::vector<char> longForm;
    ENGRESULT r;
    for (int attempt = 0;; ++attempt) {
      longForm.assign(room + 1, '\0');
      uint16_t length = static_cast<uint16_t>(room);
      r = EngExpressionShortToLong(table, prepared.Expression.c_str(), longForm.data(), &length);
      if (r != ENG_ERR_BUFFER_TOO_SMALL || attempt > 0 || length <= room) break;
      room = length;
    }
    Require(r);
    prepared.Expression.assign(longForm.data(), strnlen(longForm.data(), longForm.size()));
  }
  Require(EngSetExactEx(table, prepared.Exact));
  const TDbTableOptions& options = DbTableOptions();
  if (options.DbOptimizedFilters)
    Require(EngSetOptimizedFilter(table, prepared.Expression.c_str(),
                                  options.DbFilterResolveImmediate ? ENG_RESOLVE_IMMEDIATE : ENG_RESOLVE_DYNAMIC));
  else
    Require(EngSetFilter(table, prepared.Expression.c_str()));
  filterApplied_ = true;
}

void TDbExtendedDataSet::ClearFilter() {
  const ENGHANDLE table = TableHandle();
  ENGRESULT r = DbTableOptions().DbOptimizedFilters ? EngClearOptimizedFilter(table) : EngClearFilter(table);
  if (r != ENG_OK && r != ENG_ERR_NO_FILTER) Check(r);
  filterApplied_ = false;
}

}  // namespace dbu
