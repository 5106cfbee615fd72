#include "recordcodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine.h"
#include "testsupport.h"

namespace dbu {
namespace {

using test::Bytes;
using test::Def;

// A record with some guard bytes around the field, so that writes outside
// the field show up.
struct Record {
  explicit Record(const TEngineFieldDef& d) : def(d), raw(d.Offset + d.Length + 4, 0xEE) {}
  std::vector<uint8_t> FieldBytes() const {
    return std::vector<uint8_t>(raw.begin() + def.Offset, raw.begin() + def.Offset + def.Length);
  }
  std::string FieldText() const {
    std::vector<uint8_t> bytes = FieldBytes();
    return std::string(bytes.begin(), bytes.end());
  }
  void SetField(const std::vector<uint8_t>& bytes) { std::memcpy(raw.data() + def.Offset, bytes.data(), bytes.size()); }
  bool GuardsIntact() const {
    for (size_t i = 0; i < raw.size(); ++i)
      if ((i < def.Offset || i >= def.Offset + def.Length) && raw[i] != 0xEE) return false;
    return true;
  }
  TEngineFieldDef def;
  std::vector<uint8_t> raw;
};

test::CalendarJulian julian;

TEST(RecordCodec, LogicalReadsTrueCharactersAndWritesTF) {
  Record r(Def("L", ENG_LOGICAL, 1, 2));
  for (char c : std::string("1TtYy")) {
    r.SetField({static_cast<uint8_t>(c)});
    EXPECT_TRUE(codec::DecodeBoolean(r.raw.data(), r.def)) << c;
  }
  for (char c : std::string("0FfNn?")) {
    r.SetField({static_cast<uint8_t>(c)});
    EXPECT_FALSE(codec::DecodeBoolean(r.raw.data(), r.def)) << c;
  }
  codec::EncodeBoolean(r.raw.data(), r.def, true);
  EXPECT_EQ(r.FieldBytes(), Bytes({'T'}));
  codec::EncodeBoolean(r.raw.data(), r.def, false);
  EXPECT_EQ(r.FieldBytes(), Bytes({'F'}));
  EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
  codec::WriteEmpty(r.raw.data(), r.def, true);
  EXPECT_EQ(r.FieldBytes(), Bytes({' '}));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, NumericFixedPointTextAndRange) {
  Record r(Def("AMOUNT", ENG_NUMERIC, 6, 3, 2));
  codec::EncodeFloat(r.raw.data(), r.def, 12.5);
  EXPECT_EQ(r.FieldText(), " 12.50");
  EXPECT_DOUBLE_EQ(codec::DecodeFloat(r.raw.data(), r.def), 12.5);
  EXPECT_TRUE(r.GuardsIntact());

  try {
    codec::EncodeFloat(r.raw.data(), r.def, 123456.7);
    FAIL() << "no error";
  } catch (const TCodecError& e) {
    EXPECT_STREQ(e.what(), "Numeric out of range.");
  }
  EXPECT_EQ(r.FieldText(), " 12.50") << "failed write left the field";
  EXPECT_THROW(codec::EncodeFloat(r.raw.data(), r.def, NAN), TCodecError);

  codec::EncodeFloat(r.raw.data(), r.def, -1.005);
  EXPECT_NEAR(codec::DecodeFloat(r.raw.data(), r.def), -1.0, 0.011);
  codec::EncodeFloat(r.raw.data(), r.def, -0.001);
  EXPECT_EQ(r.FieldText(), "  0.00");
}

TEST(RecordCodec, NumericTextFollowsPrecisionOfTheField) {
  EXPECT_EQ(codec::NumericText(1234.5678, 7, 2), "1234.57");
  EXPECT_EQ(codec::NumericText(99999, 5, 0), "99999");
  EXPECT_THROW(codec::NumericText(100000, 5, 0), TCodecError);
  EXPECT_THROW(codec::NumericText(12.3456, 6, 4), TCodecError);  // "12.3460" is 7 characters
  EXPECT_EQ(codec::NumericText(1.23456, 6, 4), "1.2346");
  EXPECT_EQ(codec::NumericText(0, 6, 2), "0.00");
}

TEST(RecordCodec, NumericSmallintIsIntegerText) {
  EXPECT_EQ(FieldKindOf(Def("N", ENG_NUMERIC, 5, 0)), ftFloat);
  EXPECT_EQ(FieldKindOf(Def("N", ENG_NUMERIC, 4, 0, 1)), ftFloat);
  Record r(Def("QTY", ENG_NUMERIC, 4, 0));
  EXPECT_EQ(FieldKindOf(r.def), ftSmallint);
  codec::EncodeInteger(r.raw.data(), r.def, -123);
  EXPECT_EQ(r.FieldText(), "-123");
  EXPECT_EQ(codec::DecodeInteger(r.raw.data(), r.def), -123);
  codec::EncodeInteger(r.raw.data(), r.def, 7);
  EXPECT_EQ(r.FieldText(), "   7");
  EXPECT_THROW(codec::EncodeInteger(r.raw.data(), r.def, 12345), TCodecError);
  r.SetField(Bytes({'a', 'b', ' ', ' '}));
  EXPECT_EQ(codec::DecodeInteger(r.raw.data(), r.def), 0) << "garbage reads as 0";
  EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
  codec::WriteEmpty(r.raw.data(), r.def, true);
  EXPECT_EQ(r.FieldBytes(), Bytes({0, 0, 0, 0}));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, DateOfLengthFourIsJulianDay) {
  Record r(Def("D", ENG_DATE, 4, 1));
  DateTime newYear2006 = EncodeDate(2006, 1, 1);
  EXPECT_EQ(newYear2006, 38718);
  codec::EncodeDateTime(r.raw.data(), r.def, newYear2006 + 0.75, julian);  // the time is dropped
  int32_t stored;
  std::memcpy(&stored, r.raw.data() + 1, 4);
  EXPECT_EQ(stored, 2453737);
  EXPECT_EQ(codec::DecodeDateTime(r.raw.data(), r.def, julian), 38718);
  codec::WriteEmpty(r.raw.data(), r.def, true);
  EXPECT_EQ(r.FieldBytes(), Bytes({0, 0, 0, 0}));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, DateTextFormUsesTheEngineConversions) {
  Record r(Def("D", ENG_DATE, 8, 0));
  codec::EncodeDateTime(r.raw.data(), r.def, EncodeDate(2005, 5, 24), julian);
  EXPECT_EQ(r.FieldText(), "20050524");
  EXPECT_EQ(codec::DecodeDateTime(r.raw.data(), r.def, julian), EncodeDate(2005, 5, 24));

  Record tooShort(Def("D", ENG_DATE, 6, 0));
  try {
    codec::EncodeDateTime(tooShort.raw.data(), tooShort.def, EncodeDate(2005, 5, 24), julian);
    FAIL() << "no error";
  } catch (const TCodecError& e) {
    EXPECT_STREQ(e.what(), "Something's wrong with the engine date functions");
  }
  // On other table formats blanks are empty; on native ones only zeros.
  r.SetField(Bytes({' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, false));
  EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
}

TEST(RecordCodec, CompactDatePacksYearMonthDay) {
  Record r(Def("CD", ENG_COMPACTDATE, 3, 2));
  codec::EncodeDateTime(r.raw.data(), r.def, EncodeDate(2005, 5, 24), julian);
  EXPECT_EQ(r.FieldBytes(), Bytes({0x0F, 0xAA, 0xB8}));
  EXPECT_EQ(codec::DecodeDateTime(r.raw.data(), r.def, julian), EncodeDate(2005, 5, 24));
  codec::EncodeDateTime(r.raw.data(), r.def, EncodeDate(1999, 12, 31), julian);  // month >= 8 uses the high bit
  EXPECT_EQ(codec::DecodeDateTime(r.raw.data(), r.def, julian), EncodeDate(1999, 12, 31));
  codec::WriteEmpty(r.raw.data(), r.def, true);
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, false));
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, StringBlanksAreNotEmptyZerosAre) {
  Record r(Def("NAME", ENG_STRING, 10, 1));
  r.SetField(std::vector<uint8_t>(10, ' '));
  EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, false));
  EXPECT_EQ(codec::DecodeString(r.raw.data(), r.def), "");
  r.SetField(std::vector<uint8_t>(10, 0));
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));

  codec::EncodeString(r.raw.data(), r.def, "AB", true);
  EXPECT_EQ(r.FieldText(), "AB        ");
  EXPECT_EQ(codec::DecodeString(r.raw.data(), r.def), "AB");
  codec::EncodeString(r.raw.data(), r.def, "", true);
  EXPECT_EQ(r.FieldBytes(), std::vector<uint8_t>(10, 0));
  codec::EncodeString(r.raw.data(), r.def, "", false);
  EXPECT_EQ(r.FieldBytes(), std::vector<uint8_t>(10, ' '));
  codec::EncodeString(r.raw.data(), r.def, "  lead", true);
  EXPECT_EQ(codec::DecodeString(r.raw.data(), r.def), "  lead") << "leading blanks stay";
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, DoubleAndMoneyEmptyPattern) {
  for (uint16_t type : {uint16_t(ENG_DOUBLE), uint16_t(ENG_CURDOUBLE)}) {
    Record r(Def("F", type, 8, 2));
    codec::EncodeFloat(r.raw.data(), r.def, -2.25);
    EXPECT_EQ(codec::DecodeFloat(r.raw.data(), r.def), -2.25);
    EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
    codec::WriteEmpty(r.raw.data(), r.def, true);
    EXPECT_EQ(r.FieldBytes(), Bytes({32, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
    EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, false)) << "never empty on other formats";
    codec::WriteEmpty(r.raw.data(), r.def, false);
    EXPECT_EQ(r.FieldBytes(), std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(r.GuardsIntact());
  }
}

TEST(RecordCodec, IntegerShortAutoincAndTimeEmptyValues) {
  Record i(Def("I", ENG_INTEGER, 4, 0));
  codec::EncodeInteger(i.raw.data(), i.def, INT32_MIN);
  EXPECT_TRUE(codec::IsEmpty(i.raw.data(), i.def, true)) << "the minimum is the empty value";
  codec::EncodeInteger(i.raw.data(), i.def, -5);
  EXPECT_EQ(codec::DecodeInteger(i.raw.data(), i.def), -5);
  codec::WriteEmpty(i.raw.data(), i.def, true);
  EXPECT_EQ(i.FieldBytes(), Bytes({0, 0, 0, 0x80}));

  Record s(Def("S", ENG_SHORTINT, 2, 1));
  codec::EncodeInteger(s.raw.data(), s.def, -300);
  EXPECT_EQ(codec::DecodeInteger(s.raw.data(), s.def), -300);
  codec::WriteEmpty(s.raw.data(), s.def, true);
  EXPECT_EQ(s.FieldBytes(), Bytes({0, 0x80}));
  EXPECT_TRUE(codec::IsEmpty(s.raw.data(), s.def, true));
  EXPECT_TRUE(s.GuardsIntact());

  for (uint16_t type : {uint16_t(ENG_AUTOINC), uint16_t(ENG_TIME)}) {
    Record r(Def("A", type, 4, 0));
    codec::WriteEmpty(r.raw.data(), r.def, true);
    EXPECT_EQ(r.FieldBytes(), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
    EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, false)) << "always empty on other formats";
  }
}

TEST(RecordCodec, TimeIsMillisecondsSinceMidnight) {
  Record r(Def("T", ENG_TIME, 4, 0));
  DateTime value = EncodeDate(2005, 12, 6) + EncodeTime(8, 30, 0, 0);
  codec::EncodeDateTime(r.raw.data(), r.def, value, julian);
  int32_t ms;
  std::memcpy(&ms, r.raw.data(), 4);
  EXPECT_EQ(ms, 30600000);
  EXPECT_NEAR(codec::DecodeDateTime(r.raw.data(), r.def, julian), EncodeTime(8, 30, 0, 0), 1e-9);
  codec::EncodeDateTime(r.raw.data(), r.def, 0.99999999999, julian);  // rounds to the next midnight
  std::memcpy(&ms, r.raw.data(), 4);
  EXPECT_EQ(ms, 0);
}

TEST(RecordCodec, TimeStampIsJulianDayAndMilliseconds) {
  Record r(Def("TS", ENG_TIMESTAMP, 8, 1));
  DateTime value = EncodeDate(2005, 12, 6) + EncodeTime(8, 30, 0, 0);
  codec::EncodeDateTime(r.raw.data(), r.def, value, julian);
  int32_t day, ms;
  std::memcpy(&day, r.raw.data() + 1, 4);
  std::memcpy(&ms, r.raw.data() + 5, 4);
  EXPECT_EQ(day, 2453711);
  EXPECT_EQ(ms, 30600000);
  EXPECT_NEAR(codec::DecodeDateTime(r.raw.data(), r.def, julian), value, 1e-8);

  codec::EncodeDateTime(r.raw.data(), r.def, EncodeDate(2005, 12, 6) + 0.9999999999, julian);
  std::memcpy(&day, r.raw.data() + 1, 4);
  std::memcpy(&ms, r.raw.data() + 5, 4);
  EXPECT_EQ(day, 2453712) << "rounding carries into the next day";
  EXPECT_EQ(ms, 0);

  codec::WriteEmpty(r.raw.data(), r.def, true);
  std::memcpy(&day, r.raw.data() + 1, 4);
  std::memcpy(&ms, r.raw.data() + 5, 4);
  EXPECT_EQ(day, 0);
  EXPECT_EQ(ms, -1);
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(RecordCodec, RawBytesAndMemoMarkers) {
  Record r(Def("R", ENG_RAW, 4, 0));
  codec::EncodeBytes(r.raw.data(), r.def, std::string("\x01\x02", 2));
  EXPECT_EQ(r.FieldBytes(), Bytes({1, 2, 0, 0}));
  EXPECT_EQ(codec::DecodeBytes(r.raw.data(), r.def), std::string("\x01\x02\0\0", 4));
  EXPECT_FALSE(codec::IsEmpty(r.raw.data(), r.def, true));
  codec::WriteEmpty(r.raw.data(), r.def, true);
  EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));

  for (uint16_t type : {uint16_t(ENG_MEMO), uint16_t(ENG_BINARY), uint16_t(ENG_IMAGE), uint16_t(ENG_VARCHAR)}) {
    Record m(Def("M", type, 9, 2));
    codec::SetMemoMarker(m.raw.data(), m.def, -1);
    EXPECT_FALSE(codec::IsEmpty(m.raw.data(), m.def, true));
    EXPECT_FALSE(codec::IsEmpty(m.raw.data(), m.def, false));
    codec::WriteEmpty(m.raw.data(), m.def, true);
    EXPECT_EQ(codec::MemoMarker(m.raw.data(), m.def), 0);
    EXPECT_TRUE(codec::IsEmpty(m.raw.data(), m.def, true));
    EXPECT_TRUE(m.GuardsIntact());
  }
}

TEST(RecordCodec, OtherFormatsEmptyRulesAndEmptying) {
  Record logical(Def("L", ENG_LOGICAL, 1, 0));
  logical.SetField({0});
  EXPECT_TRUE(codec::IsEmpty(logical.raw.data(), logical.def, false));
  EXPECT_FALSE(codec::IsEmpty(logical.raw.data(), logical.def, true));
  Record numeric(Def("N", ENG_NUMERIC, 5, 0, 1));
  codec::WriteEmpty(numeric.raw.data(), numeric.def, false);
  EXPECT_EQ(numeric.FieldBytes(), std::vector<uint8_t>(5, ' '));
  EXPECT_TRUE(codec::IsEmpty(numeric.raw.data(), numeric.def, false));
  Record integer(Def("I", ENG_INTEGER, 4, 0));
  codec::WriteEmpty(integer.raw.data(), integer.def, false);
  EXPECT_EQ(integer.FieldBytes(), std::vector<uint8_t>(4, 0));
  EXPECT_FALSE(codec::IsEmpty(integer.raw.data(), integer.def, false));
  Record stamp(Def("TS", ENG_TIMESTAMP, 8, 0));
  codec::WriteEmpty(stamp.raw.data(), stamp.def, false);
  EXPECT_EQ(stamp.FieldBytes(), std::vector<uint8_t>(8, ' '));
  Record date(Def("D", ENG_DATE, 4, 0));
  codec::EncodeDateTime(date.raw.data(), date.def, 1, julian);
  EXPECT_FALSE(codec::IsEmpty(date.raw.data(), date.def, false));
  date.SetField({0, 0, 0, 0});
  EXPECT_TRUE(codec::IsEmpty(date.raw.data(), date.def, false));
}

TEST(RecordCodec, UndersizedFieldsAreNeverOverrun) {
  // A field shorter than its type needs must not write past its bytes.
  for (uint16_t type : {uint16_t(ENG_DOUBLE), uint16_t(ENG_INTEGER), uint16_t(ENG_TIMESTAMP), uint16_t(ENG_SHORTINT)}) {
    Record r(Def("X", type, 1, 1));
    codec::WriteEmpty(r.raw.data(), r.def, true);
    codec::EncodeInteger(r.raw.data(), r.def, 5);
    codec::EncodeDateTime(r.raw.data(), r.def, 38718.5, julian);
    codec::EncodeFloat(r.raw.data(), r.def, 1.0);
    EXPECT_TRUE(r.GuardsIntact()) << type;
    EXPECT_TRUE(codec::IsEmpty(r.raw.data(), r.def, true));
  }
}

}  // namespace
}  // namespace dbu
