// Field accessors over a record buffer, with a stand-in for the cursor.
#include "dbfield.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "engine.h"
#include "testsupport.h"

namespace dbu {
namespace {

using test::Def;

// A cursor stand-in: one record buffer, a state, and memo contents.
class FakeCursor : public TFieldHost {
 public:
  TDataSetState state = StateBrowse;
  bool hasRecord = true;
  bool native = true;
  std::vector<uint8_t> raw = std::vector<uint8_t>(128, 0);
  std::map<uint16_t, std::string> blobs;
  std::map<uint16_t, bool> blobChanged;
  int writes = 0;
  test::CalendarJulian julian;

  TErrorContext ErrorContext() const override {
    TErrorContext c;
    c.DataSetName = "MEDSCH";
    c.TableName = "EMPLOYEE";
    return c;
  }
  TDataSetState State() const override { return state; }
  const uint8_t* FieldReadBuffer() const override { return hasRecord || Editing() ? raw.data() : nullptr; }
  uint8_t* FieldWriteBuffer(const TField&) override {
    if (!Editing()) RaiseDataLayerError(this, "Dataset not in edit mode");
    return raw.data();
  }
  void FieldWritten(const TField&, size_t) override { ++writes; }
  bool NativeTable() const override { return native; }
  const TJulianTextConverter& JulianConverter() const override { return julian; }
  bool BlobIsNull(const TField& f) const override {
    auto it = blobs.find(f.FieldNo());
    return it == blobs.end() || it->second.empty();
  }
  std::string ReadBlob(const TField& f) override { return blobs[f.FieldNo()]; }
  void WriteBlob(const TField& f, const std::string& content) override {
    if (!Editing()) RaiseDataLayerError(this, "Table must be in Edit or Insert state to open blob stream in Write Mode.");
    blobs[f.FieldNo()] = content;
    blobChanged[f.FieldNo()] = true;
  }

 private:
  bool Editing() const { return state == StateEdit || state == StateInsert; }
};

class FieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetFormatSettings();
    FormatSettings s = saved_;
    s.dateSeparator = '/';
    s.timeSeparator = ':';
    s.decimalSeparator = '.';
    s.defaultDateFormat = "dd/MM/yyyy";
    s.longTimeFormat = "hh:nn:ss";
    SetFormatSettings(s);
  }
  void TearDown() override { SetFormatSettings(saved_); }

  TField& Make(const TEngineFieldDef& def) {
    fields_.push_back(std::make_unique<TField>(cursor, def, -1));
    TField& f = *fields_.back();
    cursor.state = StateEdit;
    f.Clear();
    cursor.state = StateBrowse;
    return f;
  }
  // Runs f and returns the message of the EDatabaseError it raised.
  template <typename F>
  std::string ErrorOf(F&& f) {
    try {
      f();
    } catch (const EDatabaseError& e) {
      return e.Message();
    }
    return "<no error>";
  }
  void Edit() { cursor.state = StateEdit; }

  FakeCursor cursor;
  std::vector<std::unique_ptr<TField>> fields_;
  FormatSettings saved_;
};

TEST_F(FieldTest, StringFieldConversions) {
  TField& f = Make(Def("NAME", ENG_STRING, 10, 4));
  Edit();
  f.SetAsString("AB");
  EXPECT_EQ(f.AsString(), "AB");
  f.SetAsString("ABCDEFGHIJKL");
  EXPECT_EQ(f.AsString(), "ABCDEFGHIJ") << "cut to Size silently";
  f.SetAsString("  42 ");
  EXPECT_EQ(f.AsInteger(), 42);
  f.SetAsInteger(-17);
  EXPECT_EQ(f.AsString(), "-17");
  f.SetAsFloat(1.0 / 3.0);
  EXPECT_EQ(f.AsString(), "0.33333333") << "cut to 10 characters";
  f.SetAsFloat(2.5);
  EXPECT_DOUBLE_EQ(f.AsFloat(), 2.5);
  f.SetAsBoolean(true);
  EXPECT_EQ(f.AsString(), "T");
  EXPECT_TRUE(f.AsBoolean());
  f.SetAsString("yes");
  EXPECT_TRUE(f.AsBoolean());
  f.SetAsString("no");
  EXPECT_FALSE(f.AsBoolean());
  f.SetAsDateTime(EncodeDate(2005, 5, 24));
  EXPECT_EQ(f.AsString(), "24/05/2005");
  EXPECT_EQ(f.AsDateTime(), EncodeDate(2005, 5, 24));
  f.SetAsString("abc");
  EXPECT_EQ(ErrorOf([&] { f.AsInteger(); }), "MEDSCH: 'abc' is not a valid integer value");
  EXPECT_EQ(ErrorOf([&] { f.AsFloat(); }), "MEDSCH: 'abc' is not a valid floating point value");
  EXPECT_EQ(ErrorOf([&] { f.AsDateTime(); }), "MEDSCH: 'abc' is not a valid date and time");
  f.SetAsString("");
  EXPECT_TRUE(f.IsNull()) << "\"\" on a native table is the empty field";
  EXPECT_EQ(f.AsInteger(), 0);
  EXPECT_EQ(f.AsFloat(), 0.0);
}

TEST_F(FieldTest, StringOfBlanksIsNotNullButReadsEmpty) {
  TField& f = Make(Def("NAME", ENG_STRING, 10, 4));
  std::fill(cursor.raw.begin() + 4, cursor.raw.begin() + 14, ' ');
  EXPECT_FALSE(f.IsNull());
  EXPECT_EQ(f.AsString(), "");
  EXPECT_EQ(f.AsVariant(), Variant(""));
}

TEST_F(FieldTest, IntegerFieldConversionsAndErrors) {
  TField& f = Make(Def("EMP_ID", ENG_INTEGER, 4, 0));
  EXPECT_TRUE(f.IsNull());
  EXPECT_EQ(f.AsInteger(), 0);
  EXPECT_EQ(f.AsString(), "");
  EXPECT_TRUE(f.AsVariant().IsNull());
  Edit();
  f.SetAsString("-1234");
  EXPECT_EQ(f.AsInteger(), -1234);
  EXPECT_EQ(f.AsString(), "-1234");
  EXPECT_EQ(f.AsFloat(), -1234.0);
  f.SetAsFloat(2.6);
  EXPECT_EQ(f.AsInteger(), 3) << "rounded";
  f.SetAsCurrency(Currency::FromRaw(74999));
  EXPECT_EQ(f.AsInteger(), 7);
  EXPECT_EQ(f.AsCurrency(), Currency::FromRaw(70000));
  EXPECT_EQ(ErrorOf([&] { f.SetAsString("12a"); }), "MEDSCH: '12a' is not a valid integer value for field 'EMP_ID'");
  EXPECT_EQ(ErrorOf([&] { f.SetAsInteger(3000000000LL); }),
            "MEDSCH: 3000000000 is not a valid value for field 'EMP_ID'. The allowed range is -2147483648 to 2147483647");
  EXPECT_EQ(ErrorOf([&] { f.SetAsBoolean(true); }), "MEDSCH: Cannot access field 'EMP_ID' as type Boolean");
  EXPECT_EQ(ErrorOf([&] { f.AsBoolean(); }), "MEDSCH: Cannot access field 'EMP_ID' as type Boolean");
  EXPECT_EQ(ErrorOf([&] { f.AsDateTime(); }), "MEDSCH: Cannot access field 'EMP_ID' as type DateTime");
  EXPECT_EQ(ErrorOf([&] { f.SetAsDateTime(1.0); }), "MEDSCH: Cannot access field 'EMP_ID' as type DateTime");
  EXPECT_EQ(f.AsInteger(), 7) << "failed writes leave the value";
  f.SetAsString("");
  EXPECT_TRUE(f.IsNull());
  f.SetAsInteger(INT32_MIN);
  EXPECT_TRUE(f.IsNull()) << "the minimum is the empty value";
}

TEST_F(FieldTest, SmallintRangeAndNumericWidth) {
  TField& s = Make(Def("S", ENG_SHORTINT, 2, 0));
  Edit();
  s.SetAsInteger(32767);
  EXPECT_EQ(s.AsInteger(), 32767);
  EXPECT_EQ(ErrorOf([&] { s.SetAsInteger(40000); }),
            "MEDSCH: 40000 is not a valid value for field 'S'. The allowed range is -32768 to 32767");
  EXPECT_EQ(ErrorOf([&] { s.SetAsInteger(-32769); }),
            "MEDSCH: -32769 is not a valid value for field 'S'. The allowed range is -32768 to 32767");

  TField& n = Make(Def("QTY", ENG_NUMERIC, 4, 8));
  Edit();
  n.SetAsInteger(9999);
  EXPECT_EQ(n.AsString(), "9999");
  try {
    n.SetAsInteger(10000);
    FAIL() << "no error";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message(), "MEDSCH: Numeric out of range.");
    EXPECT_EQ(e.ErrorCode(), 5121);
  }
}

TEST_F(FieldTest, FloatAndCurrencyFields) {
  TField& f = Make(Def("AMOUNT", ENG_NUMERIC, 6, 0, 2));
  EXPECT_EQ(f.DataType(), ftFloat);
  Edit();
  f.SetAsFloat(12.5);
  EXPECT_EQ(f.AsString(), "12.5");
  EXPECT_EQ(f.AsInteger(), 13) << "12.5 rounds half away from zero";
  f.SetAsString("3.14159");
  EXPECT_EQ(f.AsString(), "3.14") << "stored with two decimals";
  f.SetAsInteger(7);
  EXPECT_EQ(f.AsFloat(), 7.0);
  EXPECT_EQ(ErrorOf([&] { f.SetAsString("1,5x"); }),
            "MEDSCH: '1,5x' is not a valid floating point value for field 'AMOUNT'");
  EXPECT_EQ(ErrorOf([&] { f.SetAsFloat(123456.7); }), "MEDSCH: Numeric out of range.");
  EXPECT_EQ(ErrorOf([&] { f.AsDateTime(); }), "MEDSCH: Cannot access field 'AMOUNT' as type DateTime");

  TField& m = Make(Def("SALARY", ENG_CURDOUBLE, 8, 16));
  EXPECT_EQ(m.DataType(), ftCurrency);
  Edit();
  m.SetAsCurrency(Currency::FromRaw(123456789));
  EXPECT_DOUBLE_EQ(m.AsFloat(), 12345.6789);
  EXPECT_EQ(m.AsCurrency(), Currency::FromRaw(123456789));
  m.SetAsFloat(0.1 + 0.2);
  EXPECT_EQ(m.AsString(), "0.3") << "15 significant digits";
  EXPECT_EQ(m.AsCurrency(), Currency::FromRaw(3000));
  EXPECT_EQ(m.AsVariant(), Variant::FromFloat(0.1 + 0.2));
  m.Clear();
  EXPECT_TRUE(m.IsNull());
  EXPECT_EQ(m.AsString(), "");
  EXPECT_EQ(m.AsFloat(), 0.0);
}

TEST_F(FieldTest, BooleanFieldTextsAndErrors) {
  TField& f = Make(Def("ACTIVE", ENG_LOGICAL, 1, 0));
  EXPECT_TRUE(f.IsNull());
  EXPECT_EQ(f.AsString(), "");
  EXPECT_FALSE(f.AsBoolean());
  Edit();
  f.SetAsString("t");
  EXPECT_TRUE(f.AsBoolean());
  EXPECT_EQ(f.AsString(), "True");
  f.SetAsString("Fa");
  EXPECT_EQ(f.AsString(), "False");
  f.SetAsString("TRUE");
  EXPECT_TRUE(f.AsBoolean());
  EXPECT_EQ(ErrorOf([&] { f.SetAsString("maybe"); }), "MEDSCH: 'maybe' is not a valid boolean value for field 'ACTIVE'");
  EXPECT_EQ(ErrorOf([&] { f.SetAsString("Trueish"); }), "MEDSCH: 'Trueish' is not a valid boolean value for field 'ACTIVE'");
  EXPECT_EQ(ErrorOf([&] { f.AsInteger(); }), "MEDSCH: Cannot access field 'ACTIVE' as type Integer");
  EXPECT_EQ(ErrorOf([&] { f.AsFloat(); }), "MEDSCH: Cannot access field 'ACTIVE' as type Float");
  EXPECT_EQ(ErrorOf([&] { f.SetAsCurrency(Currency()); }), "MEDSCH: Cannot access field 'ACTIVE' as type Float");
  EXPECT_EQ(ErrorOf([&] { f.AsDateTime(); }), "MEDSCH: Cannot access field 'ACTIVE' as type DateTime");
  EXPECT_EQ(f.AsVariant(), Variant::FromBoolean(true));
  f.SetAsString("");
  EXPECT_TRUE(f.IsNull());
}

TEST_F(FieldTest, DateTimeAndTimeStampTexts) {
  TField& d = Make(Def("HIRED", ENG_DATE, 4, 0));
  TField& t = Make(Def("START", ENG_TIME, 4, 4));
  TField& ts = Make(Def("STAMP", ENG_TIMESTAMP, 8, 8));
  EXPECT_EQ(d.AsString(), "");
  EXPECT_EQ(d.AsDateTime(), 0);
  Edit();
  DateTime when = EncodeDate(2005, 12, 6) + EncodeTime(8, 30, 0, 0);
  d.SetAsDateTime(when);
  EXPECT_EQ(d.AsDateTime(), EncodeDate(2005, 12, 6)) << "a date keeps whole days";
  EXPECT_EQ(d.AsString(), "06/12/2005");
  EXPECT_EQ(d.AsFloat(), EncodeDate(2005, 12, 6));
  t.SetAsDateTime(when);
  EXPECT_NEAR(t.AsDateTime(), EncodeTime(8, 30, 0, 0), 1e-9) << "a time keeps the time of day";
  EXPECT_EQ(t.AsString(), "08:30:00");
  ts.SetAsDateTime(when);
  EXPECT_EQ(ts.AsString(), "06/12/2005 08:30:00");
  ts.SetAsDateTime(EncodeDate(2005, 12, 6));
  EXPECT_EQ(ts.AsString(), "06/12/2005") << "no time at midnight";
  ts.SetAsFloat(38718.25);
  EXPECT_EQ(ts.AsString(), "01/01/2006 06:00:00");

  d.SetAsString("24/05/2005");
  EXPECT_EQ(d.AsDateTime(), EncodeDate(2005, 5, 24));
  t.SetAsString("17:45");
  EXPECT_EQ(t.AsString(), "17:45:00");
  ts.SetAsString("24/05/2005 17:45:10");
  EXPECT_EQ(ts.AsString(), "24/05/2005 17:45:10");
  EXPECT_EQ(ErrorOf([&] { d.SetAsString("31/02/2005"); }), "MEDSCH: '31/02/2005' is not a valid date");
  EXPECT_EQ(ErrorOf([&] { t.SetAsString("25:61"); }), "MEDSCH: '25:61' is not a valid time");
  EXPECT_EQ(ErrorOf([&] { ts.SetAsString("soon"); }), "MEDSCH: 'soon' is not a valid date and time");
  EXPECT_EQ(ErrorOf([&] { d.AsInteger(); }), "MEDSCH: Cannot access field 'HIRED' as type Integer");
  EXPECT_EQ(ErrorOf([&] { d.AsBoolean(); }), "MEDSCH: Cannot access field 'HIRED' as type Boolean");
  EXPECT_EQ(d.AsVariant(), Variant::FromDateTime(EncodeDate(2005, 5, 24)));
  d.SetAsString("");
  EXPECT_TRUE(d.IsNull());
}

TEST_F(FieldTest, DateTextFollowsTheSeparatorSetting) {
  TField& d = Make(Def("HIRED", ENG_DATE, 4, 0));
  Edit();
  d.SetAsDateTime(EncodeDate(2005, 5, 24));
  SetDateSeparator('-');
  EXPECT_EQ(d.AsString(), "24-05-2005");
  d.SetAsString("25-05-2005");
  EXPECT_EQ(d.AsDateTime(), EncodeDate(2005, 5, 25));
}

TEST_F(FieldTest, MemoAndBlobContents) {
  TField& memo = Make(Def("NOTES", ENG_MEMO, 9, 0, 0, 3));
  TField& blob = Make(Def("PHOTO", ENG_BINARY, 9, 9, 0, 4));
  cursor.blobs[3] = "line one\r\nline two";
  EXPECT_EQ(memo.AsString(), "line one\r\nline two");
  EXPECT_FALSE(memo.IsNull());
  EXPECT_TRUE(blob.IsNull());
  EXPECT_EQ(ErrorOf([&] { memo.SetAsString("x"); }),
            "MEDSCH: Table must be in Edit or Insert state to open blob stream in Write Mode.");
  EXPECT_EQ(ErrorOf([&] { memo.AsInteger(); }), "MEDSCH: Cannot access field 'NOTES' as type Integer");
  EXPECT_EQ(ErrorOf([&] { blob.AsBoolean(); }), "MEDSCH: Cannot access field 'PHOTO' as type Boolean");
  Edit();
  blob.SetAsString(std::string("\0\1\2", 3));
  EXPECT_EQ(blob.AsString(), std::string("\0\1\2", 3));
  memo.Clear();
  EXPECT_TRUE(memo.IsNull());
  EXPECT_TRUE(cursor.blobChanged[3]);
}

TEST_F(FieldTest, WritesOutsideEditStatesAreRefused) {
  TField& f = Make(Def("NAME", ENG_STRING, 10, 0));
  int before = cursor.writes;
  try {
    f.SetAsString("X");
    FAIL() << "no error";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message(), "MEDSCH: Dataset not in edit mode");
    EXPECT_EQ(e.ErrorCode(), 5121);
    EXPECT_EQ(e.TableNameText(), "EMPLOYEE");
  }
  EXPECT_THROW(f.Clear(), EDbEngineError);
  EXPECT_EQ(cursor.writes, before);
}

TEST_F(FieldTest, NoCurrentRecordReadsEmpty) {
  TField& s = Make(Def("NAME", ENG_STRING, 10, 0));
  TField& i = Make(Def("ID", ENG_INTEGER, 4, 10));
  TField& m = Make(Def("NOTES", ENG_MEMO, 9, 14, 0, 3));
  Edit();
  s.SetAsString("Someone");
  i.SetAsInteger(5);
  cursor.state = StateBrowse;
  cursor.hasRecord = false;
  cursor.blobs[3] = "kept";
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(s.AsString(), "");
  EXPECT_EQ(i.AsInteger(), 0);
  EXPECT_TRUE(i.AsVariant().IsNull());
  EXPECT_EQ(m.AsString(), "");
}

TEST_F(FieldTest, VariantWritesUseTheMatchingAccessor) {
  TField& i = Make(Def("ID", ENG_INTEGER, 4, 0));
  TField& s = Make(Def("NAME", ENG_STRING, 10, 4));
  TField& d = Make(Def("HIRED", ENG_DATE, 4, 14));
  Edit();
  i.SetAsVariant(Variant("15"));
  EXPECT_EQ(i.AsVariant(), Variant::FromInteger(15));
  i.SetAsVariant(Variant::FromFloat(2.4));
  EXPECT_EQ(i.AsInteger(), 2);
  i.SetAsVariant(Variant::Null());
  EXPECT_TRUE(i.IsNull());
  s.SetAsVariant(Variant::FromInteger(42));
  EXPECT_EQ(s.AsVariant(), Variant("42"));
  s.SetAsVariant(Variant::FromBoolean(false));
  EXPECT_EQ(s.AsString(), "F");
  d.SetAsVariant(Variant::FromDateTime(38718.5));
  EXPECT_EQ(d.AsVariant(), Variant::FromDateTime(38718));
  EXPECT_EQ(ErrorOf([&] { i.SetAsVariant(Variant::FromBoolean(true)); }),
            "MEDSCH: Cannot access field 'ID' as type Boolean");
  // Copying a record field by field through variants.
  TField& copy = Make(Def("ID2", ENG_INTEGER, 4, 20));
  Edit();
  i.SetAsInteger(99);
  copy.SetAsVariant(i.AsVariant());
  EXPECT_EQ(copy.AsInteger(), 99);
}

TEST_F(FieldTest, OtherTableFormatsKeepBlankStrings) {
  cursor.native = false;
  TField& s = Make(Def("NAME", ENG_STRING, 5, 0));
  Edit();
  s.SetAsString("");
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(std::string(cursor.raw.begin(), cursor.raw.begin() + 5), "     ");
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(FieldTest, StringViewsReadInPlaceAndMayBeWrittenBackOverlapping) {
  TField& a = Make(Def("A", ENG_STRING, 10, 4, 0, 1));
  TField& b = Make(Def("B", ENG_STRING, 20, 14, 0, 2));
  TField& n = Make(Def("N", ENG_INTEGER, 4, 0, 0, 3));
  Edit();
  a.SetAsString("left  ");
  b.SetAsString("a longer value, cut here");
  n.SetAsInteger(42);
  EXPECT_EQ(a.AsStringView(), "left") << "trailing blanks removed as by AsString";
  EXPECT_EQ(b.AsStringView(), "a longer value, cut") << "cut to 20, then the blank trimmed";
  EXPECT_EQ(b.AsStringView().data(), reinterpret_cast<const char*>(cursor.raw.data() + 14)) << "no copy";
  EXPECT_EQ(n.AsStringView(), "42") << "other kinds: the AsString text";

  // Writing a field from a view of the same record, its own included.
  b.SetAsString(a.AsStringView());
  EXPECT_EQ(b.AsString(), "left");
  a.SetAsString(a.AsStringView());
  EXPECT_EQ(a.AsString(), "left");
  b.SetAsString("xyz");
  a.SetAsString(b.AsStringView().substr(1));
  EXPECT_EQ(a.AsString(), "yz");
  b.SetAsString(b.AsStringView().substr(1));
  EXPECT_EQ(b.AsString(), "yz") << "a view overlapping the field moves into place";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cursor.raw.data() + 14), 20), "yz" + std::string(18, ' '));

  // A NUL ends the text; an empty native string reads as "".
  cursor.raw[14 + 1] = 0;
  EXPECT_EQ(b.AsStringView(), "y");
  b.SetAsString("");
  EXPECT_TRUE(b.AsStringView().empty());
  std::fill(cursor.raw.begin() + 14, cursor.raw.begin() + 34, ' ');
  EXPECT_TRUE(b.AsStringView().empty()) << "all blanks";
  cursor.state = StateBrowse;
  cursor.hasRecord = false;
  EXPECT_TRUE(a.AsStringView().empty()) << "no current record";
}

}  // namespace
}  // namespace dbu
