#include "expr.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "error.h"

namespace eng {
namespace {

// A small table: every field kind the expressions read, and a record builder.
class ExprTest : public ::testing::Test {
 protected:
  ExprTest() {
    Add("NAME", ENG_STRING, 10);
    Add("TABLE_NAME", ENG_STRING, 12);
    Add("AMOUNT", ENG_NUMERIC, 8, 2);
    Add("QTY", ENG_INTEGER, 4);
    Add("ACTIVE", ENG_LOGICAL, 1);
    Add("HIRED", ENG_DATE, 4);
    Add("STAMP", ENG_TIMESTAMP, 8);
    Add("START", ENG_TIME, 4);
    Add("PRICE", ENG_CURDOUBLE, 8);
    Add("NOTES", ENG_MEMO, 9);
    Add("YEAR", ENG_SHORTINT, 2);
    record_.assign(offset_, 0);
    for (const FieldDef& f : fields_) EncodeEmptyField(f, record_.data(), record_.size());
  }

  void Add(const char* name, uint16_t type, uint32_t length, uint16_t decimals = 0) {
    FieldDef f;
    f.name = name;
    f.type = type;
    f.length = length;
    f.decimals = decimals;
    f.offset = offset_;
    offset_ += length;
    fields_.push_back(f);
  }

  void Set(const char* name, const Value& v) {
    for (const FieldDef& f : fields_)
      if (f.name == name) return EncodeField(f, v, record_.data(), record_.size());
    FAIL() << name;
  }

  Value Eval(const std::string& text, bool exact = true) {
    CompiledExpression e = Compile(text, fields_);
    return Evaluate(e, RecordView{record_.data(), record_.size(), &memos_}, exact);
  }

  bool Match(const std::string& text, bool exact = true) {
    CompiledExpression e = CompileFilter(text, fields_);
    return Matches(e, RecordView{record_.data(), record_.size(), &memos_}, exact);
  }

  // The error text of a failing compile ("" when it compiles).
  std::string CompileError(const std::string& text) {
    try {
      Compile(text, fields_);
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), static_cast<uint32_t>(ENG_ERR_EXPRESSION)) << e.what();
      return e.what();
    }
    return "";
  }

  struct Memos : MemoSource {
    std::string notes;
    bool ReadMemo(size_t field, std::string* content) const override {
      if (field != 9 || notes.empty()) return false;
      *content = notes;
      return true;
    }
  } memos_;

  FieldList fields_;
  uint32_t offset_ = 0;
  std::vector<uint8_t> record_;
};

TEST_F(ExprTest, PrecedenceAndArithmetic) {
  EXPECT_EQ(Eval("1 + 2 * 3"), Value::Number(7));
  EXPECT_EQ(Eval("(1 + 2) * 3"), Value::Number(9));
  EXPECT_EQ(Eval("10 - 4 - 3"), Value::Number(3));
  EXPECT_EQ(Eval("-2 * -3 + .5"), Value::Number(6.5));
  EXPECT_EQ(Eval("7 / 2"), Value::Number(3.5));
  EXPECT_TRUE(Eval("7 / 0").is_null());
  EXPECT_EQ(Eval("1e3 + 1"), Value::Number(1001));
  // NOT binds looser than comparison, AND tighter than OR.
  EXPECT_EQ(Eval("NOT 1 = 2"), Value::Logical(true));
  EXPECT_EQ(Eval("TRUE OR FALSE AND FALSE"), Value::Logical(true));
  EXPECT_EQ(Eval("(TRUE OR FALSE) AND FALSE"), Value::Logical(false));
  EXPECT_EQ(Eval("1 < 2 AND 2 <= 2 AND 3 > 2 AND 3 >= 3 AND 1 <> 2 AND 1 != 2 AND 2 = 2"), Value::Logical(true));
  EXPECT_EQ(Eval("'AB' + \"CD\""), Value::String("ABCD"));
  EXPECT_EQ(Eval("'it''s'"), Value::String("it's"));
}

TEST_F(ExprTest, FieldsByNameWithoutRegardToCase) {
  Set("NAME", Value::String("SMITH"));
  Set("AMOUNT", Value::Number(12.5));
  Set("QTY", Value::Number(3));
  Set("ACTIVE", Value::Logical(true));
  Set("PRICE", Value::Number(2.25));
  Set("YEAR", Value::Number(2005));
  EXPECT_EQ(Eval("name"), Value::String("SMITH     "));
  EXPECT_EQ(Eval("\"Name\""), Value::String("SMITH     "));
  EXPECT_EQ(Eval("EMP.amount * qty + price"), Value::Number(39.75));
  EXPECT_TRUE(Match("active"));
  EXPECT_TRUE(Match("ACTIVE = TRUE AND NOT (QTY > 3)"));
  // A field named like a function is a field unless called.
  EXPECT_EQ(Eval("YEAR + 1"), Value::Number(2006));
  // Keywords of other clauses remain usable as field names.
  FieldList with_desc = fields_;
  with_desc[0].name = "DESC";
  EXPECT_TRUE(Matches(CompileFilter("desc = 'SMITH' AND \"desc\" <> 'X'", with_desc),
                      RecordView{record_.data(), record_.size(), nullptr}, true));
  // A double-quoted text that names no field is a literal.
  EXPECT_TRUE(Match("NAME = \"SMITH\""));
}

TEST_F(ExprTest, StringComparisonAndExactness) {
  Set("NAME", Value::String("SMITH"));
  Set("TABLE_NAME", Value::String("ASSET"));
  // Stored blanks do not matter: the shorter side counts as blank-padded.
  EXPECT_TRUE(Match("TABLE_NAME='ASSET'"));
  EXPECT_FALSE(Match("TABLE_NAME='ASSETS'"));
  EXPECT_FALSE(Match("TABLE_NAME='ASS'"));
  EXPECT_TRUE(Match("TABLE_NAME='ASS'", false));
  EXPECT_TRUE(Match("'SMI' = NAME", false));
  EXPECT_FALSE(Match("'SMI' = NAME", true));
  EXPECT_FALSE(Match("NAME = 'SMX'", false));
  EXPECT_TRUE(Match("NAME <> 'SMX'", false));
  // An empty literal with exactness off matches every text.
  EXPECT_TRUE(Match("NAME = ''", false));
  EXPECT_FALSE(Match("NAME = ''", true));
  // Case matters: strings compare as stored.
  EXPECT_FALSE(Match("NAME = 'smith'"));
  EXPECT_TRUE(Match("NAME > 'SMALL' AND NAME < 'SMZ'"));
  // Field against field pads too.
  EXPECT_FALSE(Match("NAME = TABLE_NAME"));
  Set("TABLE_NAME", Value::String("SMITH"));
  EXPECT_TRUE(Match("NAME = TABLE_NAME"));
}

TEST_F(ExprTest, EmptyFieldsAreNull) {
  EXPECT_TRUE(Match("NAME IS NULL AND AMOUNT IS NULL AND QTY IS NULL AND HIRED IS NULL AND STAMP IS NULL"));
  EXPECT_TRUE(Match("ACTIVE IS NULL AND START IS NULL AND PRICE IS NULL AND NOTES IS NULL"));
  // Comparisons with an empty field are unknown: neither they nor their negation match.
  EXPECT_FALSE(Match("QTY = 0"));
  EXPECT_FALSE(Match("NOT (QTY = 0)"));
  EXPECT_TRUE(Match("QTY = 0 OR TRUE"));
  EXPECT_FALSE(Match("QTY = 0 AND TRUE"));
  EXPECT_TRUE(Eval("QTY + 1").is_null());
  EXPECT_TRUE(Eval("UPPER(NAME)").is_null());
  Set("NAME", Value::String("   "));
  EXPECT_TRUE(Match("NAME IS NOT NULL AND NAME = ''"));
  Set("QTY", Value::Number(0));
  EXPECT_TRUE(Match("QTY IS NOT NULL AND QTY = 0"));
  memos_.notes = "remark";
  EXPECT_TRUE(Match("NOTES IS NOT NULL AND NOTES = 'remark' AND LENGTH(NOTES) = 6"));
}

TEST_F(ExprTest, Functions) {
  Set("NAME", Value::String("  Smith"));
  EXPECT_EQ(Eval("UPPER(NAME)"), Value::String("  SMITH   "));
  EXPECT_EQ(Eval("LOWER(NAME)"), Value::String("  smith   "));
  EXPECT_EQ(Eval("TRIM(NAME)"), Value::String("Smith"));
  EXPECT_EQ(Eval("LTRIM(NAME)"), Value::String("Smith   "));
  EXPECT_EQ(Eval("RTRIM(NAME)"), Value::String("  Smith"));
  EXPECT_EQ(Eval("LEFT(TRIM(NAME), 2)"), Value::String("Sm"));
  EXPECT_EQ(Eval("RIGHT(TRIM(NAME), 3)"), Value::String("ith"));
  EXPECT_EQ(Eval("LEFT('abc', 10)"), Value::String("abc"));
  EXPECT_EQ(Eval("LEFT('abc', -1)"), Value::String(""));
  EXPECT_EQ(Eval("SUBSTRING('abcdef', 2, 3)"), Value::String("bcd"));
  EXPECT_EQ(Eval("SUBSTRING('abcdef', 4)"), Value::String("def"));
  EXPECT_EQ(Eval("SUBSTR('abcdef', 0, 2)"), Value::String("a"));
  EXPECT_EQ(Eval("SUBSTRING('abc', 9, 2)"), Value::String(""));
  EXPECT_EQ(Eval("SUBSTRING('abc', 1, 1e300)"), Value::String("abc"));
  EXPECT_EQ(Eval("LENGTH(NAME)"), Value::Number(7));
  EXPECT_EQ(Eval("LENGTH('')"), Value::Number(0));
  Set("HIRED", Value::Date(JulianFromCivil(2005, 5, 24)));
  EXPECT_EQ(Eval("YEAR(HIRED) * 10000 + MONTH(HIRED) * 100 + DAY(HIRED)"), Value::Number(20050524));
  EXPECT_EQ(Eval("day({ts '2005-12-06 08:30'})"), Value::Number(6));
  EXPECT_TRUE(Match("upper(trim(name)) = 'SMITH'"));
}

TEST_F(ExprTest, LikePatterns) {
  Set("NAME", Value::String("SMITH"));
  EXPECT_TRUE(Match("NAME LIKE 'SMI%'"));
  EXPECT_TRUE(Match("NAME LIKE 'SMITH'"));
  EXPECT_TRUE(Match("NAME LIKE '%IT%' AND NAME LIKE 'S_I_H' AND NAME LIKE '%'"));
  EXPECT_FALSE(Match("NAME LIKE 'smi%'"));
  EXPECT_FALSE(Match("NAME LIKE 'S_I'"));
  EXPECT_TRUE(Match("NAME NOT LIKE '%X%'"));
  EXPECT_TRUE(Match("NOT NAME LIKE '%X%'"));
  EXPECT_TRUE(Match("'aXbXc' LIKE '%X%X_' AND 'ab' LIKE 'a%%b' AND NOT 'ab' LIKE 'a%c'"));
  EXPECT_TRUE(Match("'' LIKE '%' AND NOT '' LIKE '_'"));
  EXPECT_TRUE(Eval("QTY = 1 OR TABLE_NAME LIKE 'A%'").is_null());  // both sides unknown on empty fields
  EXPECT_EQ(CompileError("QTY LIKE '1%'"), "Expected a string, found number: \"QTY\" at position 1");
}

TEST_F(ExprTest, InAndBetween) {
  Set("NAME", Value::String("SMITH"));
  Set("QTY", Value::Number(5));
  Set("HIRED", Value::Date(JulianFromCivil(2005, 5, 24)));
  EXPECT_TRUE(Match("QTY BETWEEN 1 AND 5 AND QTY NOT BETWEEN 6 AND 9"));
  EXPECT_FALSE(Match("QTY BETWEEN 6 AND 9"));
  EXPECT_TRUE(Match("HIRED BETWEEN '2005-01-01' AND {d '2005-12-31'}"));
  EXPECT_TRUE(Match("NAME IN ('JONES', 'SMITH') AND QTY IN (5) AND QTY NOT IN (1, 2, 3)"));
  EXPECT_FALSE(Match("NAME IN ('SMI', 'SMIT')"));
  EXPECT_TRUE(Match("NAME IN ('SMI', 'X')", false));
  // BETWEEN's AND does not end the condition early.
  EXPECT_TRUE(Match("QTY BETWEEN 1 AND 5 AND NAME = 'SMITH'"));
  std::string list = "QTY IN (0";
  for (int i = 1; i < 3000; ++i) list += ", " + std::to_string(i);
  EXPECT_TRUE(Match(list + ")"));
  EXPECT_EQ(CompileError("QTY IN (1, 'A')"), "Cannot compare number with string: \"IN\" at position 5");
  EXPECT_EQ(CompileError("QTY BETWEEN 1 OR 2"), "Expected AND: \"OR\" at position 15");
  std::vector<SeekHint> hints = FindSeekHints(Compile("QTY BETWEEN 2 AND 8", fields_));
  ASSERT_EQ(hints.size(), 2u);
  EXPECT_EQ(hints[0].op, CompareOp::kGe);
  EXPECT_EQ(hints[1].op, CompareOp::kLe);
  EXPECT_EQ(hints[1].literal, Value::Number(8));
}

TEST_F(ExprTest, DatesTimesAndStamps) {
  Set("HIRED", Value::Date(JulianFromCivil(2005, 5, 24)));
  Set("STAMP", Value::Timestamp(JulianFromCivil(2005, 12, 6) + 0.35416666666666666));
  Set("START", Value::Time(30600000));
  EXPECT_TRUE(Match("HIRED = {d '2005-05-24'}"));
  EXPECT_TRUE(Match("HIRED = DATE '2005-05-24'"));
  EXPECT_TRUE(Match("HIRED = '2005-05-24'"));
  EXPECT_TRUE(Match("'20050524' = HIRED"));
  EXPECT_TRUE(Match("HIRED > '2005/05/23' AND HIRED < '2005-05-25'"));
  EXPECT_EQ(Eval("HIRED + 8"), Value::Date(JulianFromCivil(2005, 6, 1)));
  EXPECT_EQ(Eval("HIRED - 24"), Value::Date(JulianFromCivil(2005, 4, 30)));
  EXPECT_EQ(Eval("{d '2005-06-01'} - HIRED"), Value::Number(8));
  EXPECT_EQ(Eval("HIRED - '2005-01-01'"), Value::Number(143));
  EXPECT_TRUE(Match("STAMP > HIRED AND STAMP < {ts '2005-12-06 08:31:00'}"));
  EXPECT_TRUE(Match("STAMP = TIMESTAMP '2005-12-06 08:30:00'"));
  EXPECT_TRUE(Match("START = {t '08:30:00'} AND START = '08:30' AND START < TIME '09:00'"));
  EXPECT_EQ(Eval("STAMP + 1").ToText(), "2005-12-07 08:30:00.000");
  // Past the calendar's end a date has no value.
  EXPECT_TRUE(Eval("HIRED + 1e300").is_null());
  EXPECT_TRUE(Eval("HIRED - 3000000").is_null());
  EXPECT_NE(CompileError("HIRED = '2005-02-30'").find("'2005-02-30'"), std::string::npos);
  EXPECT_NE(CompileError("HIRED = {d 'soon'}"), "");
}

TEST_F(ExprTest, ErrorsNameTokenAndPosition) {
  EXPECT_EQ(CompileError("NAMX = 'A'"), "Unknown field: \"NAMX\" at position 1");
  EXPECT_EQ(CompileError("NAME = 'A' AND"), "Expected an expression: end of text at position 15");
  EXPECT_EQ(CompileError("NAME = 'A"), "Unterminated quoted text: \"'A\" at position 8");
  EXPECT_EQ(CompileError("(QTY = 1"), "Expected \")\": end of text at position 9");
  EXPECT_EQ(CompileError("QTY = 1 2"), "Unexpected token after the expression: \"2\" at position 9");
  EXPECT_EQ(CompileError("QTY # 1"), "Unexpected character: \"#\" at position 5");
  EXPECT_EQ(CompileError("NAME = 5"), "Cannot compare string with number: \"=\" at position 6");
  EXPECT_EQ(CompileError("NAME * 2"), "Expected a number, found string: \"NAME\" at position 1");
  EXPECT_EQ(CompileError("FOO(NAME)"), "Unknown function: \"FOO\" at position 1");
  EXPECT_EQ(CompileError("LEFT(NAME)"), "Wrong number of arguments (1): \"LEFT\" at position 1");
  EXPECT_EQ(CompileError("QTY AND TRUE"), "Expected a condition, found number: \"QTY\" at position 1");
  EXPECT_EQ(CompileError("QTY = :limit"), "Parameter markers are not supported here: \":limit\" at position 7");
  EXPECT_EQ(CompileError(""), "Empty expression: end of text at position 1");
  EXPECT_NE(CompileError(std::string(500, '(') + "1" + std::string(500, ')')).find("nested too deeply"), std::string::npos);
  std::string chain = "1";
  for (int i = 0; i < 5000; ++i) chain += "+1";
  EXPECT_NE(CompileError(chain).find("nested too deeply"), std::string::npos);
  // A filter must be a condition.
  try {
    CompileFilter("QTY + 1", fields_);
    ADD_FAILURE();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), static_cast<uint32_t>(ENG_ERR_EXPRESSION));
  }
}

TEST_F(ExprTest, SeekHintsFromTopLevelConjuncts) {
  CompiledExpression e = Compile("TABLE_NAME='ASSET' AND 5 < QTY AND (NAME = 'A' OR NAME = 'B') AND HIRED >= '2005-01-01'", fields_);
  std::vector<SeekHint> hints = FindSeekHints(e);
  ASSERT_EQ(hints.size(), 3u);
  EXPECT_EQ(hints[0].field, 1u);
  EXPECT_EQ(hints[0].op, CompareOp::kEq);
  EXPECT_EQ(hints[0].literal, Value::String("ASSET"));
  EXPECT_EQ(hints[1].field, 3u);
  EXPECT_EQ(hints[1].op, CompareOp::kGt);  // reversed: QTY > 5
  EXPECT_EQ(hints[1].literal, Value::Number(5));
  EXPECT_EQ(hints[2].field, 5u);
  EXPECT_EQ(hints[2].op, CompareOp::kGe);
  EXPECT_EQ(hints[2].literal, Value::Date(JulianFromCivil(2005, 1, 1)));
  EXPECT_TRUE(FindSeekHints(Compile("NAME = 'A' OR QTY = 1", fields_)).empty());
  EXPECT_TRUE(FindSeekHints(Compile("NAME <> 'A'", fields_)).empty());
  EXPECT_EQ(Compile("NAME = 'A' AND QTY = 1", fields_).referenced_fields(), (std::vector<size_t>{0, 3}));
}

TEST_F(ExprTest, InvalidFieldDefinitionIsRefused) {
  FieldList bad = fields_;
  bad[3].length = 2;  // QTY, an integer
  try {
    Compile("QTY = 1", bad);
    ADD_FAILURE();
  } catch (const EngineError& e) {
    EXPECT_STREQ(e.what(), "Field is 2 bytes long, too short for its type: \"QTY\" at position 1");
  }
}

TEST_F(ExprTest, ResultShapeForSelectColumns) {
  EXPECT_EQ(Compile("name", fields_).field_reference(), 0);
  EXPECT_EQ(Compile("T.\"QTY\"", fields_).field_reference(), 3);
  EXPECT_EQ(Compile("(QTY)", fields_).field_reference(), 3);
  EXPECT_EQ(Compile("QTY + 0", fields_).field_reference(), -1);
  EXPECT_EQ(Compile("NAME", fields_).result_max_length(), 10u);
  EXPECT_EQ(Compile("UPPER(TRIM(NAME)) + '-' + TABLE_NAME", fields_).result_max_length(), 23u);
  EXPECT_EQ(Compile("LEFT(NAME, 3) + NULL", fields_).result_max_length(), 10u);
  EXPECT_EQ(Compile("NAME + NOTES", fields_).result_max_length(), 0u);
  EXPECT_EQ(Compile("QTY * 2", fields_).result_type(), ValueType::kNumber);
  EXPECT_EQ(Compile("HIRED + 1", fields_).result_type(), ValueType::kDate);
  EXPECT_EQ(Compile("HIRED - HIRED", fields_).result_type(), ValueType::kNumber);
}

TEST_F(ExprTest, ShortRecordIsRefused) {
  CompiledExpression e = Compile("PRICE > 1", fields_);
  std::vector<uint8_t> shorter(record_.begin(), record_.end() - 12);
  try {
    Matches(e, RecordView{shorter.data(), shorter.size(), nullptr}, true);
    ADD_FAILURE();
  } catch (const EngineError& err) {
    EXPECT_EQ(err.code(), static_cast<uint32_t>(ENG_ERR_INTERNAL));
  }
}

}  // namespace
}  // namespace eng
