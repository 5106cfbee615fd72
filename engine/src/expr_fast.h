// Conditions compiled to direct tests on raw record bytes, for the shapes
// that filters and WHERE clauses mostly take: a field compared with a
// constant or with another field, IS [NOT] NULL on a field, a logical
// field, combined by AND, OR and NOT (BETWEEN and IN come as such). Values
// are read in place (no Value objects, no copies, no allocation), so a scan
// costs a few loads and compares per record.
//
// A FastCondition agrees with Matches() (expr.h) on every record, the
// exactness flag and empty fields included; conditions of any other shape
// (functions, arithmetic, LIKE, memo fields) have none and go through the
// general evaluator.
//
// Immutable after construction: safe to evaluate from several threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "expr.h"
#include "schema.h"

namespace eng {

class FastCondition {
 public:
  // The fast form of a condition, or nothing when it has another shape.
  static std::optional<FastCondition> From(const CompiledExpression& expression);

  // As Matches(expression, record, exact); `record` holds at least
  // expression.min_record_size() bytes.
  bool Matches(const uint8_t* record, bool exact) const { return Eval(root_, record, exact) == kTrue; }

  // Building blocks (used by From, which reads the compiled expression).
  enum Tri : uint8_t { kFalse, kTrue, kNull };
  enum class Kind : uint8_t {
    kConstant,      // result: `constant`
    kAnd,
    kOr,
    kNot,
    kScalarCompare, // operands a and b are scalar operands
    kTextCompare,   // operands are text operands
    kIsNull,        // field `a` is empty (kIsNull) or not (kIsNotNull)
    kIsNotNull,
    kLogicalField,  // the logical field `a`
    kTextEquals,    // string field `a` = (compare kEq) or <> (kNe) the literal `b`;
                    // operand b + 1 holds the literal padded to the field's width
  };
  // A value a comparison reads: a field of the record or a constant.
  struct Operand {
    bool is_field = false;
    FieldDef def;             // field operands
    double number = 0;        // scalar constants
    std::string text;         // text constants
  };
  struct Node {
    Kind kind = Kind::kConstant;
    Tri constant = kNull;
    CompareOp compare = CompareOp::kEq;
    int8_t literal_side = -1;  // text compares: the operand (0 or 1) that is a literal
    int32_t a = -1, b = -1;    // child nodes, or operands of compares and field tests
  };
  int32_t AddNode(const Node& node);
  int32_t AddOperand(Operand operand);
  void SetRoot(int32_t root) { root_ = root; }

 private:
  Tri Eval(int32_t i, const uint8_t* record, bool exact) const;
  Tri Scalar(const Node& n, const uint8_t* record) const;
  Tri Text(const Node& n, const uint8_t* record, bool exact) const;
  Tri TextEquals(const Node& n, const uint8_t* record, bool exact) const;

  std::vector<Node> nodes_;
  std::vector<Operand> operands_;
  int32_t root_ = -1;
};

}  // namespace eng
