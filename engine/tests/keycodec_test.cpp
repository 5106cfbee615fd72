// Key bytes must order as the field values do, empty values first.
#include "keycodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "error.h"

namespace eng {
namespace {

std::string Encode(const FieldDef& f, const std::string& raw) {
  EXPECT_EQ(raw.size(), f.length) << f.name;
  std::string out(EncodedWidth(f), '\0');
  EncodeSegment(f, reinterpret_cast<const uint8_t*>(raw.data()), reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

std::string I32(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string I16(int16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); }
std::string F64(double v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

// Each value's key sorts strictly after the one before.
void ExpectAscending(const FieldDef& f, const std::vector<std::string>& raws) {
  for (size_t i = 1; i < raws.size(); ++i) {
    std::string a = Encode(f, raws[i - 1]), b = Encode(f, raws[i]);
    EXPECT_LT(a, b) << f.name << ": value " << i - 1 << " (" << Hex(raws[i - 1]) << ") should sort before value " << i
                    << " (" << Hex(raws[i]) << ")";
  }
}

FieldDef Field(const char* name, uint16_t type, uint32_t length, uint16_t decimals = 0) {
  return FieldDef{name, type, length, decimals, 0};
}

TEST(KeyCodec, NumericTextOrdersNumericallyEmptyFirst) {
  FieldDef f = Field("AMOUNT", ENG_NUMERIC, 8, 2);
  ExpectAscending(f, {std::string(8, '\0'), "-9999.99", " -100.00", "  -99.99", "  -10.50", "  -10.25", "   -0.01",
                      "    0.00", "    0.01", "    0.10", "    9.99", "   10.00", "  100.00", "99999.99"});
  // Equal numbers spelled differently encode alike.
  EXPECT_EQ(Encode(f, "   -0.00"), Encode(f, "    0.00"));
  EXPECT_EQ(Encode(f, "  1.5   "), Encode(f, "    1.50"));
  EXPECT_EQ(Encode(f, "00012.30"), Encode(f, "   12.3 "));
  // All blanks reads as no number: sorts with the empty values.
  EXPECT_EQ(Encode(f, std::string(8, ' ')), Encode(f, std::string(8, '\0')));
  // Text that is no number sorts after empty and before every number, and
  // keeps distinct texts apart.
  std::string junkA = Encode(f, "  12x.00"), junkB = Encode(f, "  12y.00");
  EXPECT_LT(Encode(f, std::string(8, '\0')), junkA);
  EXPECT_LT(junkA, junkB);
  EXPECT_LT(junkB, Encode(f, "-9999.99"));

  FieldDef whole = Field("QTY", ENG_NUMERIC, 4);
  ExpectAscending(whole, {std::string(4, '\0'), "-999", " -12", "  -1", "   0", "   1", "  12", "9999"});
}

TEST(KeyCodec, IntegersOrderSignedWithEmptyFirst) {
  ExpectAscending(Field("N", ENG_INTEGER, 4),
                  {I32(INT32_MIN), I32(INT32_MIN + 1), I32(-65536), I32(-1), I32(0), I32(1), I32(256), I32(INT32_MAX)});
  ExpectAscending(Field("S", ENG_SHORTINT, 2), {I16(INT16_MIN), I16(-300), I16(-1), I16(0), I16(1), I16(INT16_MAX)});
  // Autoincrement and time use -1 as empty: it sorts before every other value.
  for (uint16_t type : {uint16_t{ENG_AUTOINC}, uint16_t{ENG_TIME}}) {
    ExpectAscending(Field("T", type, 4), {I32(-1), I32(INT32_MIN), I32(-2), I32(0), I32(1), I32(86399999), I32(INT32_MAX)});
  }
}

TEST(KeyCodec, DatesOrderChronologicallyIncludingBefore1900) {
  FieldDef date = Field("DAY", ENG_DATE, 4);
  // Julian days: empty 0, a date BC, 1 January 1800 (2378497), 30 December
  // 1899 (2415019), 1 January 2006 (2453737).
  ExpectAscending(date, {I32(0), I32(INT32_MIN), I32(-5), I32(1), I32(2378497), I32(2415019), I32(2453737), I32(INT32_MAX)});

  FieldDef text = Field("DAYTEXT", ENG_DATE, 8);
  ExpectAscending(text, {std::string(8, '\0'), "        ", "08991231", "18991230", "19000101", "20051206"});

  // Compact dates: year * 2 + month / 8, then (month % 8) * 32 + day.
  auto compact = [](int y, int m, int d) {
    int hi = y * 2 + m / 8;
    return std::string{static_cast<char>(hi >> 8), static_cast<char>(hi & 0xFF), static_cast<char>((m % 8) * 32 + d)};
  };
  FieldDef cdate = Field("CDAY", ENG_COMPACTDATE, 3);
  EXPECT_EQ(compact(2005, 5, 24), std::string("\x0F\xAA\xB8", 3));
  ExpectAscending(cdate, {std::string(3, '\0'), compact(1, 1, 1), compact(1899, 12, 31), compact(2005, 5, 24),
                          compact(2005, 7, 31), compact(2005, 8, 1), compact(2005, 12, 31), compact(2006, 1, 1)});
}

TEST(KeyCodec, TimeStampsOrderByDayThenTimeEmptyFirst) {
  FieldDef f = Field("STAMP", ENG_TIMESTAMP, 8);
  auto ts = [](int32_t day, int32_t ms) { return I32(day) + I32(ms); };
  ExpectAscending(f, {ts(0, -1), ts(1, 0), ts(2415019, 86399999), ts(2453711, 0), ts(2453711, 30600000),
                      ts(2453711, 86399999), ts(2453712, 0)});
  // Any day-0 value is the empty value, whatever its milliseconds.
  EXPECT_EQ(Encode(f, ts(0, -1)), Encode(f, ts(0, 12345)));
}

TEST(KeyCodec, DoublesOrderNumericallyEmptyFirst) {
  std::string empty = I32(32) + I32(INT32_MIN);
  for (uint16_t type : {uint16_t{ENG_DOUBLE}, uint16_t{ENG_CURDOUBLE}}) {
    FieldDef f = Field("RATE", type, 8);
    ExpectAscending(f, {empty, F64(-1.0 / 0.0), F64(-1e300), F64(-2.5), F64(-1e-300), F64(0.0), F64(4.9e-324),
                        F64(1e-300), F64(2.5), F64(1e300), F64(1.0 / 0.0), F64(std::nan(""))});
    EXPECT_EQ(Encode(f, F64(-0.0)), Encode(f, F64(0.0)));
    EXPECT_EQ(Encode(f, empty), std::string(8, '\0'));
  }
}

TEST(KeyCodec, StringsOrderByStoredBytesEmptyFirst) {
  FieldDef f = Field("NAME", ENG_STRING, 5);
  ExpectAscending(f, {std::string(5, '\0'), "     ", "A    ", "AB   ", "ABC  ", "ABCD ", "ABCDE", "B    ", "a    "});
  FieldDef raw = Field("BYTES", ENG_RAW, 2);
  ExpectAscending(raw, {std::string(2, '\0'), std::string("\x00\x01", 2), std::string("\x01\x00", 2), "\xFF\xFF"});
  FieldDef flag = Field("FLAG", ENG_LOGICAL, 1);
  ExpectAscending(flag, {" ", "F", "T"});
  EXPECT_EQ(Encode(flag, "T"), Encode(flag, "y"));
  EXPECT_EQ(Encode(flag, "F"), Encode(flag, "?"));
}

TEST(KeyCodec, LayoutConcatenatesSegmentsAndDescendingReverses) {
  FieldList fields = {FieldDef{"CODE", ENG_STRING, 3, 0, 10}, FieldDef{"SEQ", ENG_INTEGER, 4, 0, 0},
                      FieldDef{"DAY", ENG_DATE, 4, 0, 4}};
  std::vector<uint8_t> a(13, 0), b(13, 0);
  auto fill = [](std::vector<uint8_t>& rec, const char* code, int32_t seq, int32_t day) {
    std::memcpy(rec.data() + 10, code, 3);
    std::memcpy(rec.data(), &seq, 4);
    std::memcpy(rec.data() + 4, &day, 4);
  };
  fill(a, "AB ", -5, 2453737);
  fill(b, "AB ", 7, 2400000);
  for (bool descending : {false, true}) {
    KeyLayout layout(fields, descending, "CODESEQ");
    ASSERT_EQ(layout.KeyLength(), 11u);
    EXPECT_EQ(layout.PrefixLength(1), 3u);
    EXPECT_EQ(layout.PrefixLength(2), 7u);
    std::vector<uint8_t> ka(11), kb(11), prefix(11);
    layout.EncodeRecord(a.data(), ka.data());
    layout.EncodeRecord(b.data(), kb.data());
    EXPECT_EQ(std::memcmp(ka.data(), kb.data(), 11) < 0, !descending);
    // The prefix of the first two segments equals the key's first bytes.
    const uint8_t* raws[2] = {a.data() + 10, a.data()};
    ASSERT_EQ(layout.EncodePrefix(raws, 2, prefix.data()), 7u);
    EXPECT_EQ(std::memcmp(prefix.data(), ka.data(), 7), 0);
    EXPECT_THROW(layout.EncodePrefix(raws, 4, prefix.data()), EngineError);
  }
}

uint32_t ErrorCode(const std::function<void()>& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const EngineError& e) {
    if (text) *text = e.what();
    return e.code();
  }
  return 0;
}

TEST(KeyCodec, UnsuitableFieldsAndLongKeysAreRefusedByName) {
  std::string text;
  for (uint16_t memo = ENG_MEMO; memo <= ENG_VARCHAR; ++memo) {
    EXPECT_EQ(ErrorCode([&] { KeyLayout({FieldDef{"NOTES", memo, 9, 0, 0}}, false, "T"); }, &text),
              static_cast<uint32_t>(ENG_ERR_FIELD_TYPE));
    EXPECT_NE(text.find("NOTES"), std::string::npos) << text;
  }
  EXPECT_EQ(ErrorCode([&] { KeyLayout({FieldDef{"ODD", 99, 4, 0, 0}}, false); }, &text),
            static_cast<uint32_t>(ENG_ERR_FIELD_TYPE));
  EXPECT_EQ(ErrorCode([&] { KeyLayout({FieldDef{"N", ENG_INTEGER, 2, 0, 0}}, false); }, &text),
            static_cast<uint32_t>(ENG_ERR_INVALID_FIELD_DEF));
  EXPECT_NE(text.find("'N'"), std::string::npos) << text;
  EXPECT_EQ(ErrorCode([&] { KeyLayout({}, false, "EMPTY"); }), static_cast<uint32_t>(ENG_ERR_KEY));

  // 200 + 56 bytes fit exactly; one byte more does not.
  FieldList fits = {FieldDef{"A", ENG_STRING, 200, 0, 0}, FieldDef{"B", ENG_STRING, 56, 0, 200}};
  EXPECT_EQ(KeyLayout(fits, false).KeyLength(), 256u);
  FieldList tooLong = {FieldDef{"A", ENG_STRING, 200, 0, 0}, FieldDef{"B", ENG_NUMERIC, 56, 2, 200}};
  EXPECT_EQ(ErrorCode([&] { KeyLayout(tooLong, false, "LONGTAG"); }, &text), static_cast<uint32_t>(ENG_ERR_KEY));
  EXPECT_NE(text.find("LONGTAG"), std::string::npos) << text;
  EXPECT_NE(text.find("257"), std::string::npos) << text;
}

}  // namespace
}  // namespace eng
