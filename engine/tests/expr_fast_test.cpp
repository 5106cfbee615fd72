// The fast form of conditions must give what the general evaluator gives:
// random conditions over random records (empty fields, blank padding, bytes
// below the blank, -0, both exactness settings) are evaluated both ways.
#include "expr_fast.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"
#include "record_codec.h"

namespace eng {
namespace {

class FastConditionTest : public ::testing::Test {
 protected:
  FastConditionTest() {
    Add("NAME", ENG_STRING, 6);
    Add("CODE", ENG_STRING, 3);
    Add("QTY", ENG_INTEGER, 4);
    Add("SMALL", ENG_SHORTINT, 2);
    Add("PRICE", ENG_DOUBLE, 8);
    Add("COST", ENG_CURDOUBLE, 8);
    Add("HIRED", ENG_DATE, 4);
    Add("LEFT_ON", ENG_DATE, 4);
    Add("START", ENG_TIME, 4);
    Add("STAMP", ENG_TIMESTAMP, 8);
    Add("ACTIVE", ENG_LOGICAL, 1);
    Add("AMOUNT", ENG_NUMERIC, 6, 2);
    Add("ID", ENG_AUTOINC, 4);
    Add("NOTES", ENG_MEMO, 9);
  }

  void Add(const char* name, uint16_t type, uint32_t length, uint16_t decimals = 0) {
    FieldDef f;
    f.name = name;
    f.type = type;
    f.length = length;
    f.decimals = decimals;
    f.offset = size_;
    size_ += length;
    fields_.push_back(f);
  }

  const FieldDef& F(const char* name) const {
    for (const FieldDef& f : fields_)
      if (f.name == name) return f;
    throw std::runtime_error(name);
  }

  std::string RandomText(size_t max) {
    static const char kChars[] = {'A', 'B', 'a', ' ', '\x01', 'Z'};
    std::string s;
    size_t n = rng_() % (max + 1);
    for (size_t i = 0; i < n; ++i) s += kChars[rng_() % sizeof kChars];
    return s;
  }

  // A record with every field set at random, often empty.
  std::vector<uint8_t> RandomRecord() {
    std::vector<uint8_t> r(size_, 0);
    for (const FieldDef& f : fields_) {
      EncodeEmptyField(f, r.data(), r.size());
      if (rng_() % 5 == 0 || IsMemoType(f.type)) continue;
      uint8_t* p = r.data() + f.offset;
      switch (f.type) {
        case ENG_STRING: {
          std::string s = RandomText(f.length);
          s.resize(f.length, ' ');  // stored blank-padded; all blanks is not empty
          std::memcpy(p, s.data(), f.length);
          break;
        }
        case ENG_DOUBLE:
        case ENG_CURDOUBLE: {
          static const double kValues[] = {-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 1e10};
          EncodeField(f, Value::Number(kValues[rng_() % 7]), r.data(), r.size());
          if (rng_() % 7 == 0) {  // -0 written raw (the encoder may fold it)
            double z = -0.0;
            std::memcpy(p, &z, 8);
          }
          break;
        }
        case ENG_INTEGER:
        case ENG_SHORTINT:
        case ENG_AUTOINC:
          EncodeField(f, Value::Number(static_cast<double>(static_cast<int>(rng_() % 7) - 3)), r.data(), r.size());
          break;
        case ENG_NUMERIC:
          EncodeField(f, Value::Number(static_cast<double>(static_cast<int>(rng_() % 9) - 4) / 2), r.data(), r.size());
          break;
        case ENG_DATE: EncodeField(f, Value::Date(2453735 + static_cast<int32_t>(rng_() % 5)), r.data(), r.size()); break;
        case ENG_TIME: EncodeField(f, Value::Time(static_cast<int32_t>(rng_() % 3) * 3600000), r.data(), r.size()); break;
        case ENG_TIMESTAMP:
          EncodeField(f, Value::Timestamp(2453735 + static_cast<double>(rng_() % 8) / 4), r.data(), r.size());
          break;
        case ENG_LOGICAL: p[0] = "TF"[rng_() % 2]; break;
      }
    }
    return r;
  }

  std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
  }

  std::string RandomOp() {
    static const char* kOps[] = {"=", "<>", "<", "<=", ">", ">="};
    return kOps[rng_() % 6];
  }

  // One comparison or test on a field (or a constant).
  std::string RandomLeaf() {
    switch (rng_() % 16) {
      case 0: return "NAME " + RandomOp() + " " + Quote(RandomText(8));
      case 1: return Quote(RandomText(4)) + " " + RandomOp() + " CODE";
      case 2: return "NAME " + RandomOp() + " CODE";
      case 3: return "QTY " + RandomOp() + " " + std::to_string(static_cast<int>(rng_() % 7) - 3) + (rng_() % 2 ? ".5" : "");
      case 4: return std::to_string(static_cast<int>(rng_() % 5) - 2) + " " + RandomOp() + " SMALL";
      case 5: return (rng_() % 2 ? "PRICE " : "COST ") + RandomOp() + (rng_() % 3 ? " 0" : " 1");
      case 6: return "PRICE " + RandomOp() + " QTY";
      case 7: {
        std::string day = "2006-01-0" + std::to_string(1 + rng_() % 4);
        return "HIRED " + RandomOp() + (rng_() % 2 ? " '" + day + "'" : " {d '" + day + "'}");
      }
      case 8: return "HIRED " + RandomOp() + " LEFT_ON";
      case 9: return "STAMP " + RandomOp() + " HIRED";
      case 10: return "START " + RandomOp() + " '01:00'";
      case 11: return std::string(rng_() % 2 ? "ACTIVE" : "NOT ACTIVE");
      case 12: {
        static const char* kFields[] = {"NAME", "QTY", "PRICE", "HIRED", "ACTIVE", "AMOUNT", "ID", "STAMP", "START"};
        return std::string(kFields[rng_() % 9]) + (rng_() % 2 ? " IS NULL" : " IS NOT NULL");
      }
      case 13: return "AMOUNT " + RandomOp() + " " + std::to_string(static_cast<int>(rng_() % 5) - 2);
      case 14: return rng_() % 2 ? "QTY BETWEEN -1 AND 1" : "CODE IN ('A', 'B  ', '')";
      default: {
        static const char* kConstants[] = {"TRUE", "FALSE", "NAME = NULL", "NULL <> QTY", "ID >= 0"};
        return kConstants[rng_() % 5];
      }
    }
  }

  std::string RandomCondition(int depth) {
    if (depth == 0 || rng_() % 3 == 0) return RandomLeaf();
    switch (rng_() % 3) {
      case 0: return "(" + RandomCondition(depth - 1) + ") AND (" + RandomCondition(depth - 1) + ")";
      case 1: return "(" + RandomCondition(depth - 1) + ") OR (" + RandomCondition(depth - 1) + ")";
      default: return "NOT (" + RandomCondition(depth - 1) + ")";
    }
  }

  FieldList fields_;
  uint32_t size_ = 0;
  std::mt19937 rng_{20261209};
};

TEST_F(FastConditionTest, AgreesWithTheEvaluatorOnRandomConditionsAndRecords) {
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < 60; ++i) records.push_back(RandomRecord());
  int trues = 0, falses = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = RandomCondition(3);
    CompiledExpression e = CompileFilter(text, fields_);
    std::optional<FastCondition> fast = FastCondition::From(e);
    ASSERT_TRUE(fast.has_value()) << text;
    for (const auto& r : records)
      for (bool exact : {true, false}) {
        bool expected = Matches(e, RecordView{r.data(), r.size(), nullptr}, exact);
        ASSERT_EQ(fast->Matches(r.data(), exact), expected) << text << " exact " << exact;
        (expected ? trues : falses)++;
      }
  }
  // Both outcomes occur often enough for the comparison to mean something.
  EXPECT_GT(trues, 20000);
  EXPECT_GT(falses, 20000);
}

TEST_F(FastConditionTest, PaddingExactnessAndEmptyFieldsAtTheirBoundaries) {
  std::vector<uint8_t> r(size_, 0);
  for (const FieldDef& f : fields_) EncodeEmptyField(f, r.data(), r.size());
  std::memcpy(r.data() + F("NAME").offset, "SMITH ", 6);
  struct Case {
    const char* text;
    bool exact, inexact;
  };
  const Case cases[] = {
      {"NAME = 'SMITH'", true, true},      {"NAME = 'SMITH   '", true, true}, {"NAME = 'SMI'", false, true},
      {"NAME > 'SMI'", true, false},       {"NAME >= 'SMI'", true, true},     {"'SMI' = NAME", false, true},
      {"NAME = 'SMITHS'", false, false},   {"NAME < 'SMITH\x01'", false, false}, {"NAME = ''", false, true},
      {"CODE IS NULL", true, true},        {"CODE = ''", false, false},       {"NOT (CODE = 'A')", false, false},
      {"QTY IS NULL OR NAME <> 'X'", true, true}, {"PRICE = 0 OR PRICE <> 0", false, false},
  };
  for (const Case& c : cases) {
    CompiledExpression e = CompileFilter(c.text, fields_);
    auto fast = FastCondition::From(e);
    ASSERT_TRUE(fast.has_value()) << c.text;
    EXPECT_EQ(fast->Matches(r.data(), true), c.exact) << c.text;
    EXPECT_EQ(fast->Matches(r.data(), false), c.inexact) << c.text;
    EXPECT_EQ(Matches(e, RecordView{r.data(), r.size(), nullptr}, true), c.exact) << c.text;
  }
  // Negative zero equals zero.
  double z = -0.0;
  std::memcpy(r.data() + F("PRICE").offset, &z, 8);
  auto fast = FastCondition::From(CompileFilter("PRICE = 0 AND PRICE >= 0 AND NOT PRICE < 0", fields_));
  ASSERT_TRUE(fast.has_value());
  EXPECT_TRUE(fast->Matches(r.data(), true));
}

TEST_F(FastConditionTest, OtherShapesAreLeftToTheEvaluator) {
  for (const char* text : {"UPPER(NAME) = 'A'", "QTY + 1 > 2", "NAME LIKE 'A%'", "NOTES = 'x'", "NOTES IS NULL",
                           "YEAR(HIRED) = 2006", "NAME + CODE = 'AB'"}) {
    EXPECT_FALSE(FastCondition::From(CompileFilter(text, fields_)).has_value()) << text;
  }
}

}  // namespace
}  // namespace eng
