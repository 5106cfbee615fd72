// Compiles arbitrary text as an expression over a table with one field of
// every kind, and evaluates what compiles on a record of arbitrary bytes
// (taken from the input's tail), both with exactness on and off; a condition's
// fast form must give what the evaluator gives. Expression
// errors are expected; a crash or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "error.h"
#include "expr.h"
#include "expr_fast.h"

namespace {

eng::FieldList MakeFields() {
  struct Case {
    const char* name;
    uint16_t type;
    uint32_t length;
    uint16_t decimals;
  };
  static const Case kCases[] = {
      {"S", ENG_STRING, 6, 0},    {"N", ENG_NUMERIC, 7, 2},   {"D", ENG_DATE, 4, 0},     {"L", ENG_LOGICAL, 1, 0},
      {"I", ENG_INTEGER, 4, 0},   {"H", ENG_SHORTINT, 2, 0},  {"F", ENG_DOUBLE, 8, 0},   {"T", ENG_TIME, 4, 0},
      {"TS", ENG_TIMESTAMP, 8, 0}, {"A", ENG_AUTOINC, 4, 0},  {"R", ENG_RAW, 3, 0},      {"C", ENG_COMPACTDATE, 3, 0},
      {"M", ENG_CURDOUBLE, 8, 0}, {"TD", ENG_DATE, 8, 0},     {"MEMO", ENG_MEMO, 9, 0},
  };
  eng::FieldList fields;
  uint32_t offset = 0;
  for (const Case& s : kCases) {
    eng::FieldDef f;
    f.name = s.name;
    f.type = s.type;
    f.length = s.length;
    f.decimals = s.decimals;
    f.offset = offset;
    offset += s.length;
    fields.push_back(f);
  }
  return fields;
}

struct FuzzMemos : eng::MemoSource {
  std::string content;
  bool ReadMemo(size_t, std::string* out) const override {
    if (content.empty()) return false;
    *out = content;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const eng::FieldList fields = MakeFields();
  const size_t record_size = fields.back().offset + fields.back().length;
  // Input: expression text, then (after the last NUL) the record bytes.
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.rfind('\0');
  std::string_view text = split == std::string_view::npos ? input : input.substr(0, split);
  std::vector<uint8_t> record(record_size, 0);
  if (split != std::string_view::npos) {
    std::string_view bytes = input.substr(split + 1);
    for (size_t i = 0; i < bytes.size() && i < record.size(); ++i) record[i] = static_cast<uint8_t>(bytes[i]);
  }
  FuzzMemos memos;
  memos.content = std::string(text.substr(0, 16));
  try {
    eng::CompiledExpression e = eng::Compile(text, fields);
    eng::RecordView view{record.data(), record.size(), &memos};
    eng::Value v1 = eng::Evaluate(e, view, true);
    eng::Value v2 = eng::Evaluate(e, view, false);
    (void)v1.ToText();
    (void)v2.ToText();
    if (e.result_type() == eng::ValueType::kLogical) {
      // The fast form, where there is one, must agree with the evaluator on any bytes.
      std::optional<eng::FastCondition> fast = eng::FastCondition::From(e);
      for (bool exact : {true, false}) {
        bool slow = eng::Matches(e, view, exact);
        if (fast && fast->Matches(record.data(), exact) != slow) __builtin_trap();
      }
    }
    (void)eng::FindSeekHints(e);
  } catch (const eng::EngineError& e) {
    if (e.code() != ENG_ERR_EXPRESSION) __builtin_trap();
  }
  return 0;
}
