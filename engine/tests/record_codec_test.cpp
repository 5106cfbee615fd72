#include "record_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine.h"
#include "error.h"

namespace eng {
namespace {

FieldDef Field(const char* name, uint16_t type, uint32_t length, uint32_t offset, uint16_t decimals = 0) {
  FieldDef f;
  f.name = name;
  f.type = type;
  f.length = length;
  f.offset = offset;
  f.decimals = decimals;
  return f;
}

// Encodes into a fresh buffer and returns the field's bytes.
std::vector<uint8_t> Encode(const FieldDef& f, const Value& v) {
  std::vector<uint8_t> rec(f.offset + f.length, 0xEE);
  EncodeField(f, v, rec.data(), rec.size());
  return std::vector<uint8_t>(rec.begin() + f.offset, rec.end());
}

Value Decode(const FieldDef& f, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> rec(f.offset, 0);
  rec.insert(rec.end(), bytes.begin(), bytes.end());
  RecordView view{rec.data(), rec.size(), nullptr};
  return DecodeField(FieldList{f}, 0, view);
}

uint32_t ErrorCode(const std::function<void()>& fn, std::string* text = nullptr) {
  try {
    fn();
  } catch (const EngineError& e) {
    if (text) *text = e.what();
    return e.code();
  }
  return 0;
}

TEST(RecordCodec, NumericFixedPointText) {
  FieldDef f = Field("AMOUNT", ENG_NUMERIC, 6, 3, 2);
  std::vector<uint8_t> bytes = Encode(f, Value::Number(12.5));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), " 12.50");
  EXPECT_EQ(Decode(f, bytes), Value::Number(12.5));

  std::string text;
  EXPECT_EQ(ErrorCode([&] { Encode(f, Value::Number(123456.7)); }, &text), ENG_ERR_VALUE);
  EXPECT_NE(text.find("Numeric out of range."), std::string::npos) << text;
  EXPECT_NE(text.find("AMOUNT"), std::string::npos) << text;

  // Negative values, no decimals, rounding to the field's decimals.
  EXPECT_EQ(Encode(Field("N", ENG_NUMERIC, 5, 0), Value::Number(-42)), std::vector<uint8_t>({' ', ' ', '-', '4', '2'}));
  std::vector<uint8_t> rounded = Encode(f, Value::Number(-1.006));
  EXPECT_EQ(std::string(rounded.begin(), rounded.end()), " -1.01");
  EXPECT_EQ(ErrorCode([&] { Encode(f, Value::Number(1.0 / 0.0)); }), ENG_ERR_VALUE);
  // Exact binary halves round away from zero.
  std::string text5;
  ASSERT_TRUE(FormatNumericText(2.5, 5, 0, &text5));
  EXPECT_EQ(text5, "    3");
  ASSERT_TRUE(FormatNumericText(-0.125, 6, 2, &text5));
  EXPECT_EQ(text5, " -0.13");
  ASSERT_TRUE(FormatNumericText(-0.001, 5, 2, &text5));
  EXPECT_EQ(text5, " 0.00");
  EXPECT_FALSE(FormatNumericText(99.995, 5, 2, &text5));  // rounds to 100.00, six characters
  // Text is converted; unreadable text fails naming the field.
  EXPECT_EQ(Decode(f, Encode(f, Value::String("7.25"))), Value::Number(7.25));
  EXPECT_EQ(ErrorCode([&] { Encode(f, Value::String("seven")); }), ENG_ERR_VALUE);
  // Unreadable stored text reads as empty rather than as a wrong number.
  EXPECT_TRUE(Decode(f, {' ', ' ', 'x', '.', '5', '0'}).is_null());
}

TEST(RecordCodec, DatesAndTimes) {
  FieldDef date = Field("D", ENG_DATE, 4, 1);
  int32_t jan2006 = JulianFromCivil(2006, 1, 1);
  EXPECT_EQ(jan2006, 2453737);
  EXPECT_EQ(jan2006 - kJulianOfDateTimeZero, 38718);
  std::vector<uint8_t> bytes = Encode(date, Value::Date(jan2006));
  int32_t stored;
  std::memcpy(&stored, bytes.data(), 4);
  EXPECT_EQ(stored, 2453737);
  EXPECT_EQ(Decode(date, bytes), Value::Date(jan2006));
  EXPECT_EQ(Decode(date, Encode(date, Value::String("2006-01-01"))), Value::Date(jan2006));
  EXPECT_EQ(ErrorCode([&] { Encode(date, Value::String("2006-02-30")); }), ENG_ERR_VALUE);

  FieldDef text_date = Field("TD", ENG_DATE, 8, 0);
  bytes = Encode(text_date, Value::Date(jan2006));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "20060101");
  EXPECT_EQ(Decode(text_date, bytes), Value::Date(jan2006));

  FieldDef compact = Field("C", ENG_COMPACTDATE, 3, 2);
  bytes = Encode(compact, Value::Date(JulianFromCivil(2005, 5, 24)));
  EXPECT_EQ(bytes, std::vector<uint8_t>({0x0F, 0xAA, 0xB8}));
  EXPECT_EQ(Decode(compact, bytes), Value::Date(JulianFromCivil(2005, 5, 24)));
  // December exercises the month bit kept in the year bytes.
  EXPECT_EQ(Decode(compact, Encode(compact, Value::Date(JulianFromCivil(1999, 12, 31)))),
            Value::Date(JulianFromCivil(1999, 12, 31)));

  FieldDef stamp = Field("TS", ENG_TIMESTAMP, 8, 0);
  double dec6 = JulianFromCivil(2005, 12, 6) + 30600000.0 / kMillisecondsPerDay;
  bytes = Encode(stamp, Value::Timestamp(dec6));
  int32_t day, ms;
  std::memcpy(&day, bytes.data(), 4);
  std::memcpy(&ms, bytes.data() + 4, 4);
  EXPECT_EQ(day, 2453711);
  EXPECT_EQ(ms, 30600000);
  EXPECT_EQ(Decode(stamp, bytes).ToText(), "2005-12-06 08:30:00.000");
  // A time a hair before midnight rounds into the next day, not to ms 86400000.
  bytes = Encode(stamp, Value::Timestamp(2453711 + (kMillisecondsPerDay - 0.2) / kMillisecondsPerDay));
  std::memcpy(&day, bytes.data(), 4);
  std::memcpy(&ms, bytes.data() + 4, 4);
  EXPECT_EQ(day, 2453712);
  EXPECT_EQ(ms, 0);

  FieldDef time = Field("T", ENG_TIME, 4, 0);
  EXPECT_EQ(Decode(time, Encode(time, Value::String("08:30"))), Value::Time(30600000));
  EXPECT_EQ(Decode(time, Encode(time, Value::Timestamp(dec6))), Value::Time(30600000));
}

TEST(RecordCodec, EmptyPatternsOfEveryType) {
  struct Case {
    FieldDef field;
    std::vector<uint8_t> empty;
    Value sample;
  };
  const std::vector<Case> cases = {
      {Field("L", ENG_LOGICAL, 1, 0), {' '}, Value::Logical(true)},
      {Field("N", ENG_NUMERIC, 4, 0), {0, 0, 0, 0}, Value::Number(12)},
      {Field("D", ENG_DATE, 4, 0), {0, 0, 0, 0}, Value::Date(2453737)},
      {Field("S", ENG_STRING, 3, 0), {0, 0, 0}, Value::String("ab ")},
      {Field("C", ENG_COMPACTDATE, 3, 0), {0, 0, 0}, Value::Date(2453737)},
      {Field("F", ENG_DOUBLE, 8, 0), {32, 0, 0, 0, 0, 0, 0, 0x80}, Value::Number(-2.5)},
      {Field("I", ENG_INTEGER, 4, 0), {0, 0, 0, 0x80}, Value::Number(-7)},
      {Field("H", ENG_SHORTINT, 2, 0), {0, 0x80}, Value::Number(300)},
      {Field("T", ENG_TIME, 4, 0), {0xFF, 0xFF, 0xFF, 0xFF}, Value::Time(0)},
      {Field("TS", ENG_TIMESTAMP, 8, 0), {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, Value::Timestamp(2453737.5)},
      {Field("A", ENG_AUTOINC, 4, 0), {0xFF, 0xFF, 0xFF, 0xFF}, Value::Number(0)},
      {Field("R", ENG_RAW, 3, 0), {0, 0, 0}, Value::String(std::string("\x01\x00\x02", 3))},
      {Field("M", ENG_CURDOUBLE, 8, 0), {32, 0, 0, 0, 0, 0, 0, 0x80}, Value::Number(19.99)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field.name);
    std::vector<uint8_t> empty = Encode(c.field, Value::Null());
    EXPECT_EQ(empty, c.empty);
    std::vector<uint8_t> rec(c.field.length);
    EncodeEmptyField(c.field, rec.data(), rec.size());
    EXPECT_EQ(rec, c.empty);
    EXPECT_TRUE(IsFieldEmpty(c.field, rec.data()));
    EXPECT_TRUE(Decode(c.field, empty).is_null());
    // Round trip of a real value, which is not empty.
    std::vector<uint8_t> full = Encode(c.field, c.sample);
    EXPECT_FALSE(IsFieldEmpty(c.field, full.data()));
    EXPECT_EQ(Decode(c.field, full), c.sample);
  }
}

TEST(RecordCodec, EmptinessEdgeCases) {
  // INT32_MIN is the empty integer: writing it empties the field.
  FieldDef i = Field("I", ENG_INTEGER, 4, 0);
  EXPECT_TRUE(Decode(i, Encode(i, Value::Number(-2147483648.0))).is_null());
  EXPECT_EQ(ErrorCode([&] { Encode(i, Value::Number(2147483648.0)); }), ENG_ERR_VALUE);
  FieldDef h = Field("H", ENG_SHORTINT, 2, 0);
  EXPECT_EQ(ErrorCode([&] { Encode(h, Value::Number(40000)); }), ENG_ERR_VALUE);

  // Blanks are a value (reads as blanks), zero bytes are empty.
  FieldDef s = Field("S", ENG_STRING, 10, 0);
  std::vector<uint8_t> blanks(10, ' ');
  EXPECT_FALSE(IsFieldEmpty(s, blanks.data()));
  EXPECT_EQ(Decode(s, blanks), Value::String(std::string(10, ' ')));
  EXPECT_EQ(Encode(s, Value::String("")), std::vector<uint8_t>(10, 0));
  EXPECT_EQ(Decode(s, Encode(s, Value::String("SMITH"))), Value::String("SMITH     "));
  // Trailing blanks may be cut; real characters may not.
  EXPECT_EQ(Decode(s, Encode(s, Value::String("0123456789   "))), Value::String("0123456789"));
  std::string text;
  EXPECT_EQ(ErrorCode([&] { Encode(s, Value::String("0123456789X")); }, &text), ENG_ERR_VALUE);
  EXPECT_NE(text.find("\"S\""), std::string::npos) << text;

  // Logical: the readings of the layout.
  FieldDef l = Field("L", ENG_LOGICAL, 1, 0);
  for (char c : std::string("1TtYy")) EXPECT_EQ(Decode(l, {static_cast<uint8_t>(c)}), Value::Logical(true)) << c;
  for (char c : std::string("0FfNx")) EXPECT_EQ(Decode(l, {static_cast<uint8_t>(c)}), Value::Logical(false)) << c;
  EXPECT_EQ(Encode(l, Value::Logical(false)), std::vector<uint8_t>({'F'}));
}

TEST(RecordCodec, BoundsAndMemoFields) {
  FieldDef f = Field("FAR", ENG_INTEGER, 4, 10);
  std::vector<uint8_t> rec(12);
  std::string text;
  EXPECT_EQ(ErrorCode([&] { EncodeField(f, Value::Number(1), rec.data(), rec.size()); }, &text), ENG_ERR_INTERNAL);
  EXPECT_NE(text.find("FAR"), std::string::npos);
  RecordView view{rec.data(), rec.size(), nullptr};
  EXPECT_EQ(ErrorCode([&] { DecodeField(FieldList{f}, 0, view); }), ENG_ERR_INTERNAL);

  // A definition shorter than its type is refused, not read past.
  FieldDef short_int = Field("TINY", ENG_INTEGER, 2, 0);
  EXPECT_EQ(ErrorCode([&] { EncodeField(short_int, Value::Number(1), rec.data(), rec.size()); }, &text),
            ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_NE(text.find("TINY"), std::string::npos);
  EXPECT_EQ(ErrorCode([&] { DecodeField(FieldList{Field("STAMP", ENG_TIMESTAMP, 4, 0)}, 0, view); }), ENG_ERR_INVALID_FIELD_DEF);

  FieldDef memo = Field("NOTES", ENG_MEMO, 9, 0);
  EXPECT_EQ(ErrorCode([&] { EncodeField(memo, Value::String("x"), rec.data(), rec.size()); }), ENG_ERR_FIELD_TYPE);
  struct Memos : MemoSource {
    bool ReadMemo(size_t field, std::string* content) const override {
      if (field != 1) return false;
      *content = "long text";
      return true;
    }
  } memos;
  FieldList fields = {memo, Field("BODY", ENG_VARCHAR, 9, 0)};
  RecordView with_memos{rec.data(), rec.size(), &memos};
  EXPECT_TRUE(DecodeField(fields, 0, with_memos).is_null());
  EXPECT_EQ(DecodeField(fields, 1, with_memos), Value::String("long text"));
  EXPECT_TRUE(DecodeField(fields, 1, view).is_null());
}

TEST(Calendar, ConversionsAndTexts) {
  EXPECT_EQ(JulianFromCivil(1899, 12, 30), kJulianOfDateTimeZero);
  EXPECT_EQ(JulianFromCivil(1970, 1, 1), 2440588);
  for (int32_t j : {1721426, 2415019, 2451545, 2453737, 2460000, 5373484}) {
    int32_t y, m, d;
    CivilFromJulian(j, &y, &m, &d);
    EXPECT_EQ(JulianFromCivil(y, m, d), j);
  }
  int32_t j;
  EXPECT_TRUE(ParseDateText(" 2005-05-24 ", &j));
  EXPECT_EQ(FormatDate(j), "2005-05-24");
  EXPECT_TRUE(ParseDateText("20000229", &j));
  EXPECT_FALSE(ParseDateText("19000229", &j));
  EXPECT_FALSE(ParseDateText("2005-5-24", &j));
  int32_t ms;
  EXPECT_TRUE(ParseTimeText("23:59:59.5", &ms));
  EXPECT_EQ(ms, 86399500);
  EXPECT_FALSE(ParseTimeText("24:00", &ms));
  double ts;
  EXPECT_TRUE(ParseTimestampText("2005-12-06T08:30", &ts));
  EXPECT_EQ(Value::Timestamp(ts).ToText(), "2005-12-06 08:30:00.000");
}

}  // namespace
}  // namespace eng

namespace eng {
namespace {

TEST(ValueOrder, NullsFirstThenByValue) {
  EXPECT_LT(CompareValues(Value::Null(), Value::Number(-1e300)), 0);
  EXPECT_EQ(CompareValues(Value::Null(), Value::Null()), 0);
  EXPECT_LT(CompareValues(Value::Number(2), Value::Number(10)), 0);
  EXPECT_EQ(CompareValues(Value::String("AB"), Value::String("AB   ")), 0);
  EXPECT_LT(CompareValues(Value::String("AB"), Value::String("AB!")), 0);  // "!" sorts after the pad blank
  EXPECT_LT(CompareValues(Value::String("AB\t"), Value::String("AB")), 0);  // tab sorts before the pad blank
  EXPECT_LT(CompareValues(Value::Date(2453737), Value::Timestamp(2453737.5)), 0);
  EXPECT_GT(CompareValues(Value::String("\xE9"), Value::String("z")), 0);  // bytes compare unsigned
  EXPECT_EQ(Value::Number(0.1).ToText(), "0.1");
  EXPECT_EQ(Value::Logical(false).ToText(), "FALSE");
  EXPECT_EQ(Value::Time(30600000).ToText(), "08:30:00.000");
  EXPECT_FALSE(Value::Number(1) == Value::Date(1));
}

}  // namespace
}  // namespace eng
