#include "dbdataset.h"

#include <algorithm>
#include <cstring>

#include "dbconnection.h"

namespace dbu {
namespace {

const char* const kOpenDataSet = "Cannot perform this operation on an open dataset";
const char* const kClosedDataSet = "Cannot perform this operation on a closed dataset";
constexpr uint16_t kFieldNameRoom = ENG_MAX_FIELD_NAME;

bool EditingState(TDataSetState state) { return state == StateEdit || state == StateInsert; }

}  // namespace

void TFieldNameIndex::Build(const std::vector<std::unique_ptr<TField>>& fields) {
  ForgetSpellings();
  size_t size = 8;
  while (size < fields.size() * 2) size *= 2;
  slots_.assign(size, nullptr);
  mask_ = size - 1;
  for (const auto& field : fields) {
    size_t i = Hash(field->FieldName()) & mask_;
    while (slots_[i] != nullptr) {
      if (SameText(slots_[i]->FieldName(), field->FieldName())) break;  // the first of equal names wins
      i = (i + 1) & mask_;
    }
    if (slots_[i] == nullptr) slots_[i] = field.get();
  }
}

TField* TFieldNameIndex::FindNoCase(std::string_view name) const {
  if (slots_.empty()) return nullptr;
  size_t i = Hash(name) & mask_;
  while (TField* field = slots_[i]) {
    if (SameText(field->FieldName(), name)) return field;
    i = (i + 1) & mask_;
  }
  return nullptr;
}

TField* TFieldNameIndex::FindSpelling(std::string_view name, TSpelling key) const {
  const size_t home = key.Hash() & (kSpellings - 1);
  size_t free = kSpellings;
  for (size_t probe = 0; probe < kProbes; ++probe) {
    const size_t i = (home + probe) & (kSpellings - 1);
    const TSpelling& s = spellings_[i];
    if (s.Field == nullptr) {
      free = i;
      break;
    }
    if (s.Same(key)) return s.Field;
  }
  TField* field = FindNoCase(name);
  // Only names that exist are remembered, and only while there is room:
  // a cursor's tasks spell each field in few ways.
  if (field != nullptr && free < kSpellings && learned_ < kSpellings / 2) {
    key.Field = field;
    spellings_[free] = key;
    learned_slots_[learned_++] = static_cast<uint8_t>(free);
  }
  return field;
}

TDbDataSet::TDbDataSet(TComponent* owner) : TComponent(owner) {}

TDbDataSet::~TDbDataSet() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the engine closes the handle with the
    // connection at the latest.
  }
  if (connection_ != nullptr) connection_->RemoveDataSet(this);
}

// ---- properties ----------------------------------------------------------------

void TDbDataSet::CheckInactive() const {
  if (Active()) DatabaseError(kOpenDataSet);
}

void TDbDataSet::CheckActive() const {
  if (!Active()) DatabaseError(kClosedDataSet);
}

void TDbDataSet::CheckNotActiveForOption() const {
  if (Active()) DataLayerError("Table must not be Active.");
}

void TDbDataSet::SetTableName(const std::string& name) {
  CheckInactive();
  bool differs = name != tableName_;
  tableName_ = name;
  TableNameChanged(differs);
  RefreshDictionaryDefaultIndex();
}

void TDbDataSet::SetDatabaseName(const std::string& name) {
  CheckInactive();
  if (!name.empty()) {
    if (TDbConnection* connection = ConnectionRegistry::Find(name, Owner())) {
      databaseName_ = name;
      SetDbConnection(connection);
      return;
    }
  }
  databaseName_ = name;
}

void TDbDataSet::SetDbConnection(TDbConnection* connection) {
  CheckNotActiveForOption();
  if (connection == connection_) return;
  if (connection_ != nullptr) connection_->RemoveDataSet(this);
  connection_ = connection;
  if (connection_ != nullptr) connection_->AddDataSet(this);
}

void TDbDataSet::SetTableType(TTableType type) {
  CheckInactive();
  tableType_ = type;
}

void TDbDataSet::SetExclusive(bool value) {
  CheckInactive();
  exclusive_ = value;
}

void TDbDataSet::SetReadOnly(bool value) {
  CheckInactive();
  readOnly_ = value;
}

void TDbDataSet::SetDbTableOptions(const TDbTableOptions& options) {
  if (options.DbLockType != options_.DbLockType || options.DbCharType != options_.DbCharType ||
      options.DbRightsCheck != options_.DbRightsCheck)
    CheckNotActiveForOption();
  options_ = options;
}

void TDbDataSet::SetDbLockType(TDbLockType value) {
  CheckNotActiveForOption();
  options_.DbLockType = value;
}

void TDbDataSet::SetDbCharType(TDbCharType value) {
  CheckNotActiveForOption();
  options_.DbCharType = value;
}

void TDbDataSet::SetDbRightsCheck(bool value) {
  CheckNotActiveForOption();
  options_.DbRightsCheck = value;
}

bool TDbDataSet::OnDictionaryConnection() const {
  return connection_ != nullptr && connection_->IsDictionaryConnection();
}

void TDbDataSet::SetTableTypeFromEngine(uint16_t engineType) {
  tableType_ = engineType == ENG_TABLE_CDX ? ttCDX : engineType == ENG_TABLE_NTX ? ttNTX : ttNative;
}

std::string TDbDataSet::DatabasePath() const {
  std::string path;
  bool namesConnection = databaseName_.empty();
  if (!namesConnection && connection_ != nullptr) {
    namesConnection = SameText(databaseName_, connection_->Name()) ||
                      (connection_->Owner() != nullptr &&
                       SameText(databaseName_, connection_->Owner()->Name() + "." + connection_->Name()));
  }
  if (namesConnection)
    path = connection_ != nullptr ? connection_->ConnectionDirectory() : std::string();
  else
    path = databaseName_;
  // The root folder keeps its only separator.
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

TErrorContext TDbDataSet::ErrorContext() const {
  TErrorContext context;
  context.DataSetName = Name();
  context.OwnerName = OwnerName();
  context.DatabaseName = databaseName_;
  context.DatabaseDir = DatabasePath();
  context.TableName = tableName_;
  return context;
}

void TDbDataSet::Require(ENGRESULT result) const {
  if (result == ENG_OK) return;
  Check(result);
  // Only reached while an earlier engine error is alive.
  throw EDbEngineError(this, "Engine error " + std::to_string(result), static_cast<int32_t>(result));
}

// ---- open and close --------------------------------------------------------------

void TDbDataSet::SetActive(bool active) {
  if (active)
    Open();
  else
    Close();
}

void TDbDataSet::Open() {
  if (Active()) return;
  try {
    tableHandle_ = CreateCursorHandle();
    if (tableHandle_ == kNoHandle) DataLayerError("Internal Error: invalid connection handle.");
    ReadEngineLayout();
    PrepareKeyBuffers();
    BuildFields();
    orderHandle_ = tableHandle_;
    SelectOrder();
    ApplyFilterAtOpen();
    state_ = StateBrowse;
    modified_ = false;
    PositionOnFirst(true);
  } catch (...) {
    ENGHANDLE handle = tableHandle_;
    ReleaseOpenState();
    // The first error is the one to report; the clean-up stays silent.
    if (handle != kNoHandle) EngCloseTable(handle);
    throw;
  }
}

void TDbDataSet::ReadEngineLayout() {
  if (EngGetLayoutStamp(tableHandle_, &layoutStamp_) != ENG_OK) layoutStamp_ = 0;
  keptMake_ = TTableMakeCache::Instance().Make(layoutStamp_);
  if (keptMake_) {
    recordLength_ = keptMake_->RecordLength;
    options_.DbIndexPageSize = keptMake_->IndexPageSize;
    bookmarkLength_ = keptMake_->BookmarkLength;
    return;
  }
  uint32_t length = 0;
  Require(EngGetRecordLength(tableHandle_, &length));
  recordLength_ = length;

  uint32_t pageSize = 512;
  ENGHANDLE firstIndex = 0;
  uint16_t count = 1;
  uint32_t size = 0;
  if (EngGetAllIndexes(tableHandle_, &firstIndex, &count) == ENG_OK && count > 0 &&
      EngGetIndexPageSize(firstIndex, &size) == ENG_OK && size > 0)
    pageSize = size;
  options_.DbIndexPageSize = pageSize;

  uint32_t bookmark = 0;
  Require(EngGetBookmarkLength(tableHandle_, &bookmark));
  bookmarkLength_ = bookmark;
}

void TDbDataSet::BuildFields() {
  if (keptMake_) {
    fieldDefs_ = keptMake_->FieldDefs;
    keptMake_.reset();
  } else {
    ReadFieldDefs();
  }
  fields_.clear();
  fieldsByName_.Clear();
  blobFieldNums_.clear();
  stringDefs_.clear();
  for (const TEngineFieldDef& def : fieldDefs_) {
    if (def.Type == ENG_STRING) stringDefs_.push_back(&def);
    if (FieldKindOf(def) == ftUnknown) continue;
    int slot = -1;
    if (IsBlobType(def.Type)) {
      slot = static_cast<int>(blobFieldNums_.size());
      blobFieldNums_.push_back(def.FieldNum);
    }
    fields_.push_back(std::make_unique<TField>(*this, def, slot));
  }
  fieldsByName_.Build(fields_);
  readAheadFits_ = blobFieldNums_.empty() && options_.DbCharType != OEM;
  current_ = NewRecordBuffer();
  scratch_ = NewRecordBuffer();
}

void TDbDataSet::ReadFieldDefs() {
  uint16_t count = 0;
  Require(EngGetNumFields(tableHandle_, &count));
  fieldDefs_.clear();
  fieldDefs_.reserve(count);
  for (uint16_t number = 1; number <= count; ++number) {
    TEngineFieldDef def;
    def.FieldNum = number;
    Require(EngGetFieldType(tableHandle_, number, &def.Type));
    Require(EngGetFieldLength(tableHandle_, number, &def.Length));
    if (def.Type == ENG_NUMERIC) Require(EngGetFieldDecimals(tableHandle_, number, &def.Decimals));
    char name[kFieldNameRoom + 1] = {};
    uint16_t nameLength = kFieldNameRoom + 1;
    Require(EngGetFieldName(tableHandle_, number, name, &nameLength));
    def.Name = name;
    Require(EngGetFieldOffset(tableHandle_, number, &def.Offset));
    if (static_cast<uint64_t>(def.Offset) + def.Length > recordLength_)
      DataLayerError("Field '" + def.Name + "' lies outside the record of table " + tableName_);
    fieldDefs_.push_back(std::move(def));
  }
  // Kept only once all of it passed.
  TTableMake make;
  make.RecordLength = recordLength_;
  make.IndexPageSize = options_.DbIndexPageSize;
  make.BookmarkLength = bookmarkLength_;
  make.FieldDefs = fieldDefs_;
  TTableMakeCache::Instance().KeepMake(layoutStamp_, std::move(make));
}

TRecordBuffer TDbDataSet::NewRecordBuffer() const {
  TRecordBuffer buffer;
  buffer.Raw.assign(recordLength_, 0);
  buffer.Blobs.resize(blobFieldNums_.size());
  return buffer;
}

void TDbDataSet::PositionOnFirst(bool atOpen) {
  bool found = false;
  try {
    Check(EngGotoTop(orderHandle_));
    Check(EngSkip(orderHandle_, -1));
    found = ReadCurrentAfterSkip(1);
  } catch (const EDbEngineError& e) {
    // A free table that is encrypted shows its records only once the
    // password is given (EnableEncryption follows Open). Until then it is
    // sealed, never empty: reads fail with the engine's text.
    if (!atOpen || e.ErrorCode() != ENG_ERR_ENCRYPTED) throw;
    ShowNoRecord();
    sealed_ = true;
    sealedCode_ = e.ErrorCode();
    sealedText_ = e.Text();
    eof_ = false;
    return;
  }
  if (!found) ShowNoRecord();
  bof_ = true;
  eof_ = !found;
}

void TDbDataSet::RaiseSealed() const { throw EDbEngineError(this, sealedText_, sealedCode_); }

void TDbDataSet::ReleaseOpenState() {
  DropReadAhead();
  changeSource_ = ENGCHANGESOURCE{};
  aheadSize_ = 1;
  readAheadFits_ = false;
  aheadRaw_.clear();
  aheadRecNos_.clear();
  state_ = StateInactive;
  fieldsByName_.Clear();
  fields_.clear();
  fieldDefs_.clear();
  blobFieldNums_.clear();
  stringDefs_.clear();
  current_ = TRecordBuffer();
  scratch_ = TRecordBuffer();
  tableHandle_ = kNoHandle;
  orderHandle_ = kNoHandle;
  eof_ = bof_ = true;
  hasRecord_ = false;
  engineAtCurrent_ = false;
  engineAhead_ = false;
  modified_ = false;
  sealed_ = false;
  sealedText_.clear();
  recordLength_ = bookmarkLength_ = 0;
  layoutStamp_ = 0;
  keptMake_.reset();
}

void TDbDataSet::Close() {
  if (!Active()) return;
  DiscardPendingChanges();
  ENGHANDLE handle = tableHandle_;
  ReleaseOpenState();
  Check(EngCloseTable(handle));
}

void TDbDataSet::CloseAndRelease() {
  Close();
  ReleasePrepared();
}

// ---- reading ------------------------------------------------------------------------

bool TDbDataSet::ReadCurrentAfterSkip(int32_t records) {
  // One engine call moves and copies the record with its number. No current
  // record (before the first, after the last, or on an empty table) reads
  // as none, so the end flags need no calls of their own; only a filter
  // makes the engine test visibility.
  uint32_t recNo = 0;
  ENGRESULT r = CallIntoScratch(
      [&](uint8_t* buffer, uint32_t* length, uint32_t* number) {
        return EngSkipAndRead(orderHandle_, records, ReadOptions(), buffer, length, number);
      },
      &recNo);
  Check(r);
  return TakeScratch(r == ENG_OK ? recNo : 0);
}

bool TDbDataSet::TakeScratch(uint32_t recNo) {
  DropReadAhead();
  engineAhead_ = false;
  if (recNo == 0) {
    engineAtCurrent_ = false;
    return false;
  }
  CompleteRead(scratch_, recNo);
  current_.Swap(scratch_);
  hasRecord_ = true;
  sealed_ = false;
  engineAtCurrent_ = true;
  return true;
}

bool TDbDataSet::TakeScratchAfterOwnDelete(uint32_t recNo, const uint64_t stamps[2]) {
  // The record read is the next one read ahead, and the stamp moved by
  // this deletion alone: what follows it is still as read.
  const bool keep = recNo != 0 && aheadNext_ < aheadCount_ && aheadOrder_ == orderHandle_ &&
                    aheadRecNos_[aheadNext_] == recNo && stamps[0] != 0 && stamps[0] == aheadStamp_ &&
                    stamps[1] == stamps[0] + 1;
  if (!keep) return TakeScratch(recNo);
  const uint16_t count = aheadCount_, next = static_cast<uint16_t>(aheadNext_ + 1);
  aheadCount_ = aheadNext_ = 0;  // nothing is wasted by the read below
  TakeScratch(recNo);
  aheadCount_ = count;
  aheadNext_ = next;
  aheadStamp_ = stamps[1];
  return true;
}

void TDbDataSet::CompleteRead(TRecordBuffer& buffer, uint32_t recNo) {
  buffer.RecNo = recNo;
  buffer.Flag = TBookmarkFlag::Current;
  // The record number leads back to the record; the engine bookmark is
  // taken only when one is asked for (CurrentBookmark).
  buffer.Bookmark.clear();

  for (size_t slot = 0; slot < blobFieldNums_.size(); ++slot) {
    buffer.Blobs[slot].Reset();
    uint16_t empty = 1;
    Check(EngIsEmpty(tableHandle_, blobFieldNums_[slot], &empty));
    const TEngineFieldDef& def = fieldDefs_[blobFieldNums_[slot] - 1];
    codec::SetMemoMarker(buffer.Raw.data(), def, empty ? 0 : -1);
  }
  if (options_.DbCharType == OEM) {
    std::vector<uint8_t> text;
    for (const TEngineFieldDef* def : stringDefs_) {
      text.assign(def->Length + 1, 0);
      uint32_t textLength = def->Length + 1;
      Check(EngGetField(tableHandle_, def->FieldNum, text.data(), &textLength));
      textLength = std::min(textLength, def->Length);
      std::memcpy(buffer.Raw.data() + def->Offset, text.data(), textLength);
      std::memset(buffer.Raw.data() + def->Offset + textLength, ' ', def->Length - textLength);
    }
  }
}

void TDbDataSet::ShowNoRecord() {
  DropReadAhead();
  engineAhead_ = false;
  hasRecord_ = false;
  sealed_ = false;
  eof_ = bof_ = true;
  if (current_.Raw.size() == recordLength_) {
    std::fill(current_.Raw.begin(), current_.Raw.end(), 0);
    for (TBlobCache& cache : current_.Blobs) cache.Reset();
    current_.RecNo = 0;
  }
}

void TDbDataSet::ReadBookmarkLength() {
  uint32_t bookmark = 0;
  Require(EngGetBookmarkLength(orderHandle_, &bookmark));
  bookmarkLength_ = bookmark;
  current_.Bookmark.clear();
}

void TDbDataSet::ReturnFromReadAhead() {
  if (engineAhead_) MoveEngineToCurrent();
}

bool TDbDataSet::MoveEngineToCurrent() {
  engineAhead_ = false;
  if (!hasRecord_ || current_.RecNo == 0) return false;
  ENGRESULT r = current_.Bookmark.empty()
                    ? EngGotoRecord(tableHandle_, current_.RecNo)
                    : EngGotoBookmark(tableHandle_, current_.Bookmark.data(), static_cast<uint32_t>(current_.Bookmark.size()));
  if (r != ENG_ERR_NO_SUCH_RECORD) Check(r);
  engineAtCurrent_ = r == ENG_OK;
  return engineAtCurrent_;
}

const std::vector<uint8_t>& TDbDataSet::CurrentBookmark() {
  if (hasRecord_ && current_.Bookmark.empty() && bookmarkLength_ > 0) {
    MoveEngineToCurrent();
    if (engineAtCurrent_) {
      std::vector<uint8_t> bookmark(bookmarkLength_, 0);
      uint32_t length = bookmarkLength_;
      ENGRESULT r = EngGetBookmarkEx(orderHandle_, bookmark.data(), &length);
      Check(r);
      if (r == ENG_OK) {
        bookmark.resize(std::min(length, bookmarkLength_));
        current_.Bookmark = std::move(bookmark);
      }
    }
  }
  return current_.Bookmark;
}

// ---- navigation -------------------------------------------------------------------

void TDbDataSet::First() {
  CheckActive();
  SettlePendingChanges();
  RequireReadable();
  PositionOnFirst(false);
}

void TDbDataSet::Next() {
  CheckActive();
  SettlePendingChanges();
  RequireReadable();
  if (eof_) return;
  if (NextFromReadAhead() || ReadStep(1)) {
    bof_ = eof_ = false;
  } else {
    eof_ = true;  // the previous record stays current
  }
}

namespace {
constexpr uint16_t kMaxReadAhead = 32;
}  // namespace

void TDbDataSet::DropReadAhead() {
  // Records read for nothing: ask for fewer next time.
  if (aheadNext_ < aheadCount_) aheadSize_ = std::max<uint16_t>(1, aheadSize_ / 2);
  aheadCount_ = aheadNext_ = 0;
}

bool TDbDataSet::ChangeStampNow(uint64_t* stamp) {
  if (changeSource_.sequence == nullptr && EngGetChangeStampSource(tableHandle_, &changeSource_) != ENG_OK) {
    changeSource_ = ENGCHANGESOURCE{};
    return false;
  }
  // As EngGetChangeStamp tells it, without the call.
  const uint64_t entries = __atomic_load_n(changeSource_.entries, __ATOMIC_ACQUIRE);
  const uint64_t sequence = __atomic_load_n(changeSource_.sequence, __ATOMIC_ACQUIRE);
  *stamp = entries != 0 ? 0 : sequence + 1;
  return true;
}

bool TDbDataSet::NextFromReadAhead() {
  // The records read ahead follow the current record exactly when it is
  // the one read before them, in the same order, with no edit under way.
  const bool follows = aheadCount_ > 0 && state_ == StateBrowse && hasRecord_ && aheadOrder_ == orderHandle_ &&
                       current_.RecNo == aheadRecNos_[aheadNext_ - 1];
  if (!follows) {
    DropReadAhead();
    return false;
  }
  if (aheadNext_ == aheadCount_) {
    // All taken, and nothing else happened in between: reading ahead pays.
    aheadSize_ = std::min<uint16_t>(kMaxReadAhead, static_cast<uint16_t>(aheadSize_ * 2));
    aheadCount_ = aheadNext_ = 0;
    return false;
  }
  uint64_t stamp = 0;
  if (!ChangeStampNow(&stamp) || stamp != aheadStamp_) {
    DropReadAhead();
    return false;
  }
  // Straight into the current buffer: a read-ahead table has no memo
  // caches and nothing else to add to the record.
  std::memcpy(current_.Raw.data(), aheadRaw_.data() + static_cast<size_t>(aheadNext_) * recordLength_,
              recordLength_);
  current_.RecNo = aheadRecNos_[aheadNext_++];
  current_.Flag = TBookmarkFlag::Current;
  current_.Bookmark.clear();
  hasRecord_ = true;
  // The engine stands on the last record read (or past the end).
  engineAtCurrent_ = false;
  engineAhead_ = true;
  return true;
}

bool TDbDataSet::ReadStep(int32_t step) {
  DropReadAhead();
  // After a failed move, or after records read ahead, the engine is not on
  // the current record: the move starts from that record's number (even
  // when another user has deleted it since).
  const uint32_t from = engineAtCurrent_ || !hasRecord_ ? 0 : current_.RecNo;
  const uint16_t size = readAheadFits_ && step > 0 ? aheadSize_ : 1;
  if (aheadRecNos_.size() < size) aheadRecNos_.assign(size, 0);
  uint16_t count = 1;
  uint64_t stamp = 0;
  if (size == 1 && from == 0) {
    if (!ReadCurrentAfterSkip(step)) return false;
    aheadRecNos_[0] = current_.RecNo;
  } else {
    if (aheadRaw_.size() < static_cast<size_t>(size) * recordLength_)
      aheadRaw_.assign(static_cast<size_t>(size) * recordLength_, 0);
    count = size;
    ENGRESULT r = EngSkipAndReadAhead(orderHandle_, from, step, ReadOptions(), &count, aheadRaw_.data(), recordLength_,
                                      aheadRecNos_.data(), &stamp);
    Check(r);
    if (r != ENG_OK || count == 0) {
      engineAtCurrent_ = false;
      return false;
    }
    if (scratch_.Raw.size() != recordLength_) scratch_ = NewRecordBuffer();
    std::memcpy(scratch_.Raw.data(), aheadRaw_.data(), recordLength_);
    TakeScratch(aheadRecNos_[0]);
    engineAtCurrent_ = count == size && size == 1;  // else on the last one read, or past the end
    engineAhead_ = !engineAtCurrent_;
  }
  if (step < 0) return true;
  // What Next takes from: the records after the current one, or none yet
  // (then a Next straight after this one shows that reading ahead pays).
  aheadCount_ = stamp != 0 ? count : 1;
  aheadNext_ = 1;
  aheadStamp_ = stamp;
  aheadOrder_ = orderHandle_;
  return true;
}

void TDbDataSet::Prior() {
  CheckActive();
  SettlePendingChanges();
  RequireReadable();
  if (bof_) return;
  if (ReadStep(-1)) {
    bof_ = eof_ = false;
  } else {
    bof_ = true;
  }
}

void TDbDataSet::Last() {
  CheckActive();
  SettlePendingChanges();
  RequireReadable();
  Check(EngGotoBottom(orderHandle_));
  Check(EngSkip(orderHandle_, 1));
  bool found = ReadCurrentAfterSkip(-1);
  if (!found) ShowNoRecord();
  eof_ = true;
  bof_ = !found;
}

void TDbDataSet::Reposition() {
  uint16_t atBof = 0, atEof = 0;
  ENGRESULT r = EngAtEOF(tableHandle_, &atEof);
  if (r != ENG_ERR_NO_CURRENT_RECORD) Check(r);
  r = EngAtBOF(tableHandle_, &atBof);
  if (r != ENG_ERR_NO_CURRENT_RECORD) Check(r);
  // The engine told where it stands: the records are readable now.
  if (r == ENG_OK) sealed_ = false;
  if (atBof) {
    First();
  } else if (atEof) {
    Last();
  } else {
    bool found = ReadCurrent();
    if (!found) {
      ShowNoRecord();
      return;
    }
    eof_ = false;
  }
}

// ---- fields ---------------------------------------------------------------------------

void TDbDataSet::FieldNotFound(std::string_view name) const {
  DatabaseError("Field '" + std::string(name) + "' not found");
}

TField& TDbDataSet::Fields(size_t index) const {
  if (index >= fields_.size())
    DatabaseError("List index out of bounds (" + std::to_string(index) + ")");
  return *fields_[index];
}

// ---- TFieldHost ------------------------------------------------------------------------

const uint8_t* TDbDataSet::FieldReadBuffer() const {
  if (state_ == StateSetKey) return const_cast<TDbDataSet*>(this)->KeyBuffer();
  if (state_ == StateBrowse) RequireReadable();
  if (EditingState(state_) || hasRecord_) return current_.Raw.empty() ? nullptr : current_.Raw.data();
  return nullptr;
}

uint8_t* TDbDataSet::FieldWriteBuffer(const TField& field) {
  (void)field;
  if (state_ == StateSetKey) {
    if (uint8_t* key = KeyBuffer()) return key;
  }
  if (!EditingState(state_) || current_.Raw.size() != recordLength_) DataLayerError("Dataset not in edit mode");
  return current_.Raw.data();
}

void TDbDataSet::FieldWritten(const TField& field, size_t writtenLength) {
  if (state_ == StateSetKey)
    KeyFieldWritten(field, writtenLength);
  else
    modified_ = true;
}

bool TDbDataSet::BlobIsNull(const TField& field) const {
  const TBlobCache& cache = current_.Blobs.at(static_cast<size_t>(field.BlobSlot()));
  if (EditingState(state_) && cache.Changed) return cache.Content.empty();
  return codec::MemoMarker(current_.Raw.data(), field.EngineDef()) == 0;
}

std::string TDbDataSet::ReadBlob(const TField& field) {
  if (!IsBlobType(field.EngineDef().Type) || field.BlobSlot() < 0) DataLayerError("Invalid blob open on non-blob field.");
  TBlobCache& cache = current_.Blobs.at(static_cast<size_t>(field.BlobSlot()));
  bool holds = cache.Loaded && cache.Table == tableHandle_ && cache.RecNo == current_.RecNo &&
               cache.FieldNum == field.FieldNo();
  if (!holds && !(cache.Changed && EditingState(state_))) LoadBlob(field, cache);
  return cache.Content;
}

void TDbDataSet::LoadBlob(const TField& field, TBlobCache& cache) {
  cache.Reset();
  cache.Table = tableHandle_;
  cache.RecNo = current_.RecNo;
  cache.FieldNum = field.FieldNo();
  cache.Loaded = true;
  if (current_.RecNo == 0) return;
  auto tolerated = [](ENGRESULT r) { return r == ENG_ERR_NO_CURRENT_RECORD || r == ENG_ERR_NO_SUCH_RECORD; };

  uint32_t at = 0;
  ENGRESULT r = EngGetRecordNum(tableHandle_, ENG_IGNOREFILTERS, &at);
  if (tolerated(r)) return;
  Check(r);
  if (at != current_.RecNo) {
    r = EngGotoRecord(tableHandle_, current_.RecNo);
    if (tolerated(r)) return;
    Check(r);
    engineAtCurrent_ = r == ENG_OK;
  }
  const uint16_t type = field.EngineDef().Type;
  bool text = type == ENG_VARCHAR;
  if (type == ENG_MEMO) {
    uint16_t memoType = 0;
    r = EngGetMemoDataType(tableHandle_, field.FieldNo(), &memoType);
    if (tolerated(r)) return;
    Check(r);
    text = memoType == ENG_MEMO_TEXT;
  }
  uint32_t length = 0;
  r = text ? EngGetMemoLength(tableHandle_, field.FieldNo(), &length)
           : EngGetBinaryLength(tableHandle_, field.FieldNo(), &length);
  if (tolerated(r)) return;
  Check(r);
  if (text) ++length;
  if (length == 0) return;
  std::string content(length, '\0');
  uint32_t got = length;
  r = EngGetField(tableHandle_, field.FieldNo(), reinterpret_cast<uint8_t*>(content.data()), &got);
  if (tolerated(r)) return;
  Check(r);
  if (r != ENG_OK) return;
  content.resize(std::min(got, length));
  cache.Content = std::move(content);
}

void TDbDataSet::WriteBlob(const TField& field, const std::string& content) {
  if (!IsBlobType(field.EngineDef().Type) || field.BlobSlot() < 0) DataLayerError("Invalid blob open on non-blob field.");
  if (!EditingState(state_))
    DataLayerError("Table must be in Edit or Insert state to open blob stream in Write Mode.");
  if (readOnly_) DataLayerError("Error modifying read only blob.");
  if (current_.Blobs.size() <= static_cast<size_t>(field.BlobSlot()))
    DataLayerError("Cannot write to blob in current state.");
  TBlobCache& cache = current_.Blobs[static_cast<size_t>(field.BlobSlot())];
  cache.Table = tableHandle_;
  cache.RecNo = current_.RecNo;
  cache.FieldNum = field.FieldNo();
  cache.Loaded = true;
  cache.Changed = true;
  cache.Content = content;
  modified_ = true;
}

// ---- Julian texts -----------------------------------------------------------------------

double TDbDataSet::StringToJulian(const std::string& yyyymmdd) const {
  double julian = 0;
  Require(EngConvertStringToJulian(yyyymmdd.c_str(), static_cast<uint16_t>(yyyymmdd.size()), &julian));
  return julian;
}

std::string TDbDataSet::JulianToString(double julian) const {
  char text[64] = {};
  uint16_t length = sizeof text;
  Require(EngConvertJulianToString(julian, text, &length));
  return std::string(text, std::min<size_t>(length, sizeof text - 1));
}

}  // namespace dbu
