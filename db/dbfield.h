// Field objects: typed access to one field of a cursor's current record.
//
// A field reads from and writes to the record buffers of its host (the
// cursor, through TFieldHost); it keeps no value of its own. Which accessor
// applies to which field kind, and every conversion between them, is here;
// the raw bytes are the record codec's. Fields are created by the cursor's
// Open and destroyed by its Close: a reference kept across Close dangles.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dbtypes.h"
#include "dberrors.h"
#include "formatsettings.h"
#include "recordcodec.h"
#include "variant.h"

namespace dbu {

class TField;

// What a field needs from its cursor.
class TFieldHost : public TErrorSubject {
 public:
  virtual TDataSetState State() const = 0;
  // The record fields read: the buffer being edited in StateEdit and
  // StateInsert (or the key buffer in StateSetKey), else the current
  // record; nullptr when there is no current record.
  virtual const uint8_t* FieldReadBuffer() const = 0;
  // The record a write goes to; raises "Dataset not in edit mode" when the
  // cursor is not in an editing state.
  virtual uint8_t* FieldWriteBuffer(const TField& field) = 0;
  // Called after every write; writtenLength is the text length for strings.
  virtual void FieldWritten(const TField& field, size_t writtenLength) = 0;
  virtual bool NativeTable() const = 0;
  virtual const TJulianTextConverter& JulianConverter() const = 0;
  // Memo and binary contents (engine types 5 to 8).
  virtual bool BlobIsNull(const TField& field) const = 0;
  virtual std::string ReadBlob(const TField& field) = 0;
  virtual void WriteBlob(const TField& field, const std::string& content) = 0;

 protected:
  ~TFieldHost() = default;
};

class TField {
 public:
  TField(TFieldHost& host, const TEngineFieldDef& def, int blobSlot);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return def_.Name; }
  TFieldType DataType() const { return kind_; }
  // Declared length of string and bytes fields; 0 for the others.
  uint32_t Size() const;
  uint32_t DataSize() const;
  uint16_t FieldNo() const { return def_.FieldNum; }
  const TEngineFieldDef& EngineDef() const { return def_; }
  // Index of the field's memo cache in a record buffer; -1 for others.
  int BlobSlot() const { return blobSlot_; }

  bool IsNull() const;
  void Clear();

  std::string AsString() const;
  // The text AsString gives, without copying it for string fields: a view
  // of the record buffer, valid until the cursor moves or the field is
  // written (for other kinds, until the field is read this way again).
  std::string_view AsStringView() const;
  // A view of this cursor's own record buffer may be passed (a field's
  // AsStringView, even its own).
  void SetAsString(std::string_view value);
  int64_t AsInteger() const;
  void SetAsInteger(int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  Currency AsCurrency() const;
  void SetAsCurrency(Currency value);
  DateTime AsDateTime() const;
  void SetAsDateTime(DateTime value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  Variant AsVariant() const;
  void SetAsVariant(const Variant& value);

 private:
  bool IsIntegerKind() const { return kind_ == ftSmallint || kind_ == ftInteger || kind_ == ftAutoInc; }
  bool IsFloatKind() const { return kind_ == ftFloat || kind_ == ftCurrency; }
  bool IsDateKind() const { return kind_ == ftDate || kind_ == ftTime || kind_ == ftDateTime; }
  bool IsBlobKind() const { return kind_ == ftMemo || kind_ == ftBlob; }

  // The record holding the field's value; nullptr when the field is empty
  // or there is no current record (fixed-size kinds only).
  const uint8_t* ValueRecord() const;
  [[noreturn]] void AccessError(const char* typeWord) const;
  [[noreturn]] void ConversionError(const std::string& text) const;
  // Runs an encoder on the write buffer and reports the write.
  template <typename Encode>
  void Write(Encode&& encode, size_t writtenLength = 1);
  void WriteEmpty();
  void WriteInteger(int64_t value);
  void WriteFloatValue(double value);
  void WriteDateTime(DateTime value);

  TFieldHost& host_;
  TEngineFieldDef def_;
  TFieldType kind_;
  int blobSlot_;
  bool native_;  // the table's format is fixed while the field exists
  mutable std::string text_;  // AsStringView of kinds other than strings
};

}  // namespace dbu
