#include "dbfield.h"

#include <cmath>
#include <limits>

#include "engine.h"
#include "strutil.h"

namespace dbu {
namespace {

// Turns a conversion failure of the format routines into the field's error.
template <typename F>
auto Converting(const TField& field, const TErrorSubject& subject, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const EConvertError& e) {
    (void)field;
    throw EDatabaseError(&subject, e.what());
  }
}

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

bool IsLeadingPartOf(std::string_view text, const char* word) {
  std::string upper = UpperCase(text);
  std::string target = word;
  return !upper.empty() && upper.size() <= target.size() && target.compare(0, upper.size(), upper) == 0;
}

int64_t RoundToInteger(double value) {
  if (!std::isfinite(value)) return 0;
  if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return std::llround(value);
}

}  // namespace

TField::TField(TFieldHost& host, const TEngineFieldDef& def, int blobSlot)
    : host_(host), def_(def), kind_(FieldKindOf(def)), blobSlot_(blobSlot), native_(host.NativeTable()) {}

uint32_t TField::Size() const { return (kind_ == ftString || kind_ == ftBytes) ? def_.Length : 0; }

uint32_t TField::DataSize() const {
  switch (kind_) {
    case ftString: return def_.Length + 1;
    case ftSmallint: return 2;
    case ftInteger: return 4;
    case ftBoolean: return 2;
    case ftFloat: return 8;
    case ftCurrency: return 8;
    case ftDate: return 4;
    case ftTime: return 4;
    case ftDateTime: return 8;
    case ftBytes: return def_.Length;
    case ftAutoInc: return 4;
    default: return 0;
  }
}

void TField::AccessError(const char* typeWord) const {
  throw EDatabaseError(&host_, "Cannot access field '" + def_.Name + "' as type " + typeWord);
}

void TField::ConversionError(const std::string& text) const { throw EDatabaseError(&host_, text); }

template <typename Encode>
void TField::Write(Encode&& encode, size_t writtenLength) {
  uint8_t* record = host_.FieldWriteBuffer(*this);
  try {
    encode(record);
  } catch (const TCodecError& e) {
    RaiseDataLayerError(&host_, e.what());
  }
  host_.FieldWritten(*this, writtenLength);
}

// ---- emptiness ------------------------------------------------------------------

const uint8_t* TField::ValueRecord() const {
  const uint8_t* record = host_.FieldReadBuffer();
  if (record == nullptr || codec::IsEmpty(record, def_, native_)) return nullptr;
  return record;
}

bool TField::IsNull() const {
  const uint8_t* record = host_.FieldReadBuffer();
  if (record == nullptr) return true;
  if (IsBlobKind()) return host_.BlobIsNull(*this);
  return codec::IsEmpty(record, def_, native_);
}

void TField::WriteEmpty() {
  if (IsBlobKind()) {
    host_.FieldWriteBuffer(*this);  // refuses outside the editing states
    host_.WriteBlob(*this, std::string());
    return;
  }
  bool native = native_;
  Write([&](uint8_t* record) { codec::WriteEmpty(record, def_, native); }, 0);
}

void TField::Clear() { WriteEmpty(); }

// ---- AsString ------------------------------------------------------------------------

std::string_view TField::AsStringView() const {
  if (kind_ == ftString) {
    const uint8_t* record = ValueRecord();
    return record == nullptr ? std::string_view() : codec::StringView(record, def_);
  }
  text_ = AsString();
  return text_;
}

std::string TField::AsString() const {
  if (IsBlobKind()) {
    if (host_.FieldReadBuffer() == nullptr) return std::string();
    return const_cast<TFieldHost&>(host_).ReadBlob(*this);
  }
  const uint8_t* record = ValueRecord();
  if (record == nullptr) return std::string();
  switch (kind_) {
    case ftString: return codec::DecodeString(record, def_);
    case ftSmallint:
    case ftInteger:
    case ftAutoInc: return std::to_string(codec::DecodeInteger(record, def_));
    case ftFloat:
    case ftCurrency: return FloatToStr(codec::DecodeFloat(record, def_));
    case ftBoolean: return codec::DecodeBoolean(record, def_) ? "True" : "False";
    case ftDate: return Converting(*this, host_, [&] { return DateToStr(AsDateTime()); });
    case ftTime: return Converting(*this, host_, [&] { return TimeToStr(AsDateTime()); });
    case ftDateTime: return Converting(*this, host_, [&] { return DateTimeToStr(AsDateTime()); });
    case ftBytes: return codec::DecodeBytes(record, def_);
    default: return std::string();
  }
}

void TField::SetAsString(std::string_view value) {
  switch (kind_) {
    case ftString: {
      const std::string_view cut = value.substr(0, def_.Length);
      bool native = native_;
      Write([&](uint8_t* record) { codec::EncodeString(record, def_, cut, native); }, cut.size());
      return;
    }
    case ftBytes: {
      const std::string_view cut = value.substr(0, def_.Length);
      Write([&](uint8_t* record) { codec::EncodeBytes(record, def_, cut); }, cut.size());
      return;
    }
    case ftMemo:
    case ftBlob:
      host_.WriteBlob(*this, std::string(value));
      return;
    default: break;
  }
  if (value.empty()) {
    WriteEmpty();
    return;
  }
  switch (kind_) {
    case ftSmallint:
    case ftInteger:
    case ftAutoInc: {
      int32_t number = 0;
      if (!TryStrToInt(value, number))
        ConversionError(Quoted(value) + " is not a valid integer value for field '" + def_.Name + "'");
      WriteInteger(number);
      return;
    }
    case ftFloat:
    case ftCurrency: {
      double number = 0;
      if (!TryStrToFloat(value, number))
        ConversionError(Quoted(value) + " is not a valid floating point value for field '" + def_.Name + "'");
      WriteFloatValue(number);
      return;
    }
    case ftBoolean: {
      if (IsLeadingPartOf(value, "FALSE"))
        SetAsBoolean(false);
      else if (IsLeadingPartOf(value, "TRUE"))
        SetAsBoolean(true);
      else
        ConversionError(Quoted(value) + " is not a valid boolean value for field '" + def_.Name + "'");
      return;
    }
    case ftDate: {
      DateTime d = 0;
      if (!TryStrToDate(value, d)) ConversionError(Quoted(value) + " is not a valid date");
      WriteDateTime(d);
      return;
    }
    case ftTime: {
      DateTime d = 0;
      if (!TryStrToTime(value, d)) ConversionError(Quoted(value) + " is not a valid time");
      WriteDateTime(d);
      return;
    }
    case ftDateTime: {
      DateTime d = 0;
      if (!TryStrToDateTime(value, d)) ConversionError(Quoted(value) + " is not a valid date and time");
      WriteDateTime(d);
      return;
    }
    default: return;
  }
}

// ---- AsInteger -----------------------------------------------------------------------

int64_t TField::AsInteger() const {
  if (IsIntegerKind()) {
    const uint8_t* record = ValueRecord();
    return record ? codec::DecodeInteger(record, def_) : 0;
  }
  if (IsFloatKind()) {
    const uint8_t* record = ValueRecord();
    return record ? RoundToInteger(codec::DecodeFloat(record, def_)) : 0;
  }
  if (kind_ == ftString) {
    std::string text = AsString();
    if (text.empty()) return 0;
    int32_t number = 0;
    if (!TryStrToInt(text, number)) ConversionError(Quoted(text) + " is not a valid integer value");
    return number;
  }
  AccessError("Integer");
}

void TField::WriteInteger(int64_t value) {
  double minimum = kind_ == ftSmallint ? -32768.0 : -2147483648.0;
  double maximum = kind_ == ftSmallint ? 32767.0 : 2147483647.0;
  if (static_cast<double>(value) < minimum || static_cast<double>(value) > maximum)
    ConversionError(FloatToStr(static_cast<double>(value)) + " is not a valid value for field '" + def_.Name +
                    "'. The allowed range is " + FloatToStr(minimum) + " to " + FloatToStr(maximum));
  Write([&](uint8_t* record) { codec::EncodeInteger(record, def_, value); });
}

void TField::SetAsInteger(int64_t value) {
  if (IsIntegerKind()) return WriteInteger(value);
  if (IsFloatKind()) return WriteFloatValue(static_cast<double>(value));
  if (kind_ == ftString) return SetAsString(std::to_string(value));
  AccessError("Integer");
}

// ---- AsFloat / AsCurrency ------------------------------------------------------------

double TField::AsFloat() const {
  if (IsFloatKind()) {
    const uint8_t* record = ValueRecord();
    return record ? codec::DecodeFloat(record, def_) : 0.0;
  }
  if (IsIntegerKind()) return static_cast<double>(AsInteger());
  if (IsDateKind()) return static_cast<double>(AsDateTime());
  if (kind_ == ftString) {
    std::string text = AsString();
    if (text.empty()) return 0.0;
    double number = 0;
    if (!TryStrToFloat(text, number)) ConversionError(Quoted(text) + " is not a valid floating point value");
    return number;
  }
  AccessError("Float");
}

void TField::WriteFloatValue(double value) {
  Write([&](uint8_t* record) { codec::EncodeFloat(record, def_, value); });
}

void TField::SetAsFloat(double value) {
  if (IsFloatKind()) return WriteFloatValue(value);
  if (IsIntegerKind()) {
    if (!std::isfinite(value) || std::fabs(value) > 9.0e18)
      ConversionError(FloatToStr(value) + " is not a valid value for field '" + def_.Name + "'");
    return WriteInteger(std::llround(value));
  }
  if (IsDateKind()) return SetAsDateTime(static_cast<DateTime>(value));
  if (kind_ == ftString) return SetAsString(FloatToStr(value));
  AccessError("Float");
}

Currency TField::AsCurrency() const {
  double amount = AsFloat();
  Currency result;
  if (!Currency::TryFromDouble(amount, result))
    ConversionError(FloatToStr(amount) + " is not a valid currency value for field '" + def_.Name + "'");
  return result;
}

void TField::SetAsCurrency(Currency value) { SetAsFloat(value.ToDouble()); }

// ---- AsDateTime ------------------------------------------------------------------------

DateTime TField::AsDateTime() const {
  if (IsDateKind()) {
    const uint8_t* record = ValueRecord();
    return record ? codec::DecodeDateTime(record, def_, host_.JulianConverter()) : 0;
  }
  if (kind_ == ftString) {
    std::string text = AsString();
    if (text.empty()) return 0;
    DateTime d = 0;
    if (!TryStrToDateTime(text, d)) ConversionError(Quoted(text) + " is not a valid date and time");
    return d;
  }
  AccessError("DateTime");
}

void TField::WriteDateTime(DateTime value) {
  DateTime stored = value;
  if (kind_ == ftDate) stored = Converting(*this, host_, [&] { return DateOf(value); });
  if (kind_ == ftTime) stored = Converting(*this, host_, [&] { return TimeOf(value); });
  const TJulianTextConverter& julian = host_.JulianConverter();
  Write([&](uint8_t* record) { codec::EncodeDateTime(record, def_, stored, julian); });
}

void TField::SetAsDateTime(DateTime value) {
  if (IsDateKind()) return WriteDateTime(value);
  if (kind_ == ftString) return SetAsString(Converting(*this, host_, [&] { return DateTimeToStr(value); }));
  AccessError("DateTime");
}

// ---- AsBoolean -------------------------------------------------------------------------

bool TField::AsBoolean() const {
  if (kind_ == ftBoolean) {
    const uint8_t* record = ValueRecord();
    return record ? codec::DecodeBoolean(record, def_) : false;
  }
  if (kind_ == ftString) {
    std::string text = AsString();
    return !text.empty() && (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
  }
  AccessError("Boolean");
}

void TField::SetAsBoolean(bool value) {
  if (kind_ == ftBoolean) return Write([&](uint8_t* record) { codec::EncodeBoolean(record, def_, value); });
  if (kind_ == ftString) return SetAsString(value ? "T" : "F");
  AccessError("Boolean");
}

// ---- AsVariant -------------------------------------------------------------------------

Variant TField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  switch (kind_) {
    case ftSmallint:
    case ftInteger:
    case ftAutoInc: return Variant::FromInteger(AsInteger());
    case ftFloat:
    case ftCurrency: return Variant::FromFloat(AsFloat());
    case ftBoolean: return Variant::FromBoolean(AsBoolean());
    case ftDate:
    case ftTime:
    case ftDateTime: return Variant::FromDateTime(AsDateTime());
    default: return Variant(AsString());
  }
}

void TField::SetAsVariant(const Variant& value) {
  switch (value.GetKind()) {
    case Variant::Kind::Null: return Clear();
    case Variant::Kind::Text: return SetAsString(value.Text());
    case Variant::Kind::Integer: return SetAsInteger(value.Integer());
    case Variant::Kind::Float: return SetAsFloat(value.Float());
    case Variant::Kind::Boolean: return SetAsBoolean(value.Boolean());
    case Variant::Kind::DateTime: return SetAsDateTime(value.AsDateTime());
  }
}

}  // namespace dbu
