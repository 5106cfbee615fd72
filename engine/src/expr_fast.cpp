#include "expr_fast.h"

#include <cstring>
#include <limits>

#include "engine.h"

#include "record_codec.h"
#include "value.h"

namespace eng {

namespace {

int32_t LoadI32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);  // records are little-endian, as is every host we build for
  return static_cast<int32_t>(v);
}

// memcmp(p, q, n) == 0, inline for the short texts most fields hold.
bool SameBytes(const uint8_t* p, const uint8_t* q, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t a, b, c, d;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, q, 8);
    std::memcpy(&c, p + n - 8, 8);
    std::memcpy(&d, q + n - 8, 8);
    return a == b && c == d;
  }
  if (n < 8) {
    for (size_t i = 0; i < n; ++i)
      if (p[i] != q[i]) return false;
    return true;
  }
  return std::memcmp(p, q, n) == 0;
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// The common scalar layouts read inline; the rest as the record codec does.
bool ReadScalar(const FieldDef& f, const uint8_t* record, double* out) {
  const uint8_t* p = record + f.offset;
  switch (f.type) {
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: {
      uint64_t bits;
      std::memcpy(&bits, p, 8);
      if (bits == 0x8000000000000020ull) return false;  // the empty pattern: words 32, 0x80000000
      std::memcpy(out, &bits, 8);
      return true;
    }
    case ENG_INTEGER: {
      int32_t v = LoadI32(p);
      if (v == std::numeric_limits<int32_t>::min()) return false;
      *out = v;
      return true;
    }
    case ENG_AUTOINC:
    case ENG_TIME: {
      int32_t v = LoadI32(p);
      if (v == -1) return false;
      *out = v;
      return true;
    }
    case ENG_DATE:
      if (f.length == 4) {
        int32_t v = LoadI32(p);
        if (v == 0) return false;
        *out = v;
        return true;
      }
      return ReadScalarField(f, record, out);
    default: return ReadScalarField(f, record, out);
  }
}

}  // namespace

int32_t FastCondition::AddNode(const Node& node) {
  nodes_.push_back(node);
  return static_cast<int32_t>(nodes_.size() - 1);
}

int32_t FastCondition::AddOperand(Operand operand) {
  operands_.push_back(std::move(operand));
  return static_cast<int32_t>(operands_.size() - 1);
}

FastCondition::Tri FastCondition::Scalar(const Node& n, const uint8_t* record) const {
  const Operand& x = operands_[static_cast<size_t>(n.a)];
  const Operand& y = operands_[static_cast<size_t>(n.b)];
  double a = x.number, b = y.number;
  if (x.is_field && !ReadScalar(x.def, record, &a)) return kNull;
  if (y.is_field && !ReadScalar(y.def, record, &b)) return kNull;
  int c = a < b ? -1 : (a > b ? 1 : 0);
  return CompareHolds(n.compare, c) ? kTrue : kFalse;
}

FastCondition::Tri FastCondition::Text(const Node& n, const uint8_t* record, bool exact) const {
  const Operand& x = operands_[static_cast<size_t>(n.a)];
  const Operand& y = operands_[static_cast<size_t>(n.b)];
  std::string_view a = x.text, b = y.text;
  if (x.is_field) {
    const uint8_t* p = record + x.def.offset;
    if (AllZero(p, x.def.length)) return kNull;
    a = std::string_view(reinterpret_cast<const char*>(p), x.def.length);
  }
  if (y.is_field) {
    const uint8_t* p = record + y.def.offset;
    if (AllZero(p, y.def.length)) return kNull;
    b = std::string_view(reinterpret_cast<const char*>(p), y.def.length);
  }
  // Exactness off: a text compared with a literal counts over the literal's length.
  if (!exact && n.literal_side == 1 && a.size() > b.size()) a = a.substr(0, b.size());
  if (!exact && n.literal_side == 0 && b.size() > a.size()) b = b.substr(0, a.size());
  return CompareHolds(n.compare, ComparePadded(a, b)) ? kTrue : kFalse;
}

// A text field compared for equality with a literal: with whole texts the
// field equals it exactly when its bytes are the literal padded with blanks
// (an empty field, all zero bytes, is NULL). One memcmp per record.
FastCondition::Tri FastCondition::TextEquals(const Node& n, const uint8_t* record, bool exact) const {
  if (!exact) return Text(n, record, exact);
  const Operand& x = operands_[static_cast<size_t>(n.a)];
  const std::string& padded = operands_[static_cast<size_t>(n.b) + 1].text;
  const uint8_t* p = record + x.def.offset;
  bool equal = padded.size() == x.def.length && SameBytes(p, reinterpret_cast<const uint8_t*>(padded.data()), x.def.length);
  if (!equal && AllZero(p, x.def.length)) return kNull;
  return equal == (n.compare == CompareOp::kEq) ? kTrue : kFalse;
}

FastCondition::Tri FastCondition::Eval(int32_t i, const uint8_t* record, bool exact) const {
  const Node& n = nodes_[static_cast<size_t>(i)];
  switch (n.kind) {
    case Kind::kConstant: return n.constant;
    case Kind::kTextEquals: return TextEquals(n, record, exact);
    case Kind::kScalarCompare: return Scalar(n, record);
    case Kind::kTextCompare: return Text(n, record, exact);
    case Kind::kAnd: {
      Tri a = Eval(n.a, record, exact);
      if (a == kFalse) return kFalse;
      Tri b = Eval(n.b, record, exact);
      if (b == kFalse) return kFalse;
      return (a == kTrue && b == kTrue) ? kTrue : kNull;
    }
    case Kind::kOr: {
      Tri a = Eval(n.a, record, exact);
      if (a == kTrue) return kTrue;
      Tri b = Eval(n.b, record, exact);
      if (b == kTrue) return kTrue;
      return (a == kFalse && b == kFalse) ? kFalse : kNull;
    }
    case Kind::kNot: {
      Tri a = Eval(n.a, record, exact);
      return a == kNull ? kNull : (a == kTrue ? kFalse : kTrue);
    }
    case Kind::kIsNull:
    case Kind::kIsNotNull: {
      bool empty = IsFieldEmpty(operands_[static_cast<size_t>(n.a)].def, record);
      return empty == (n.kind == Kind::kIsNull) ? kTrue : kFalse;
    }
    case Kind::kLogicalField: {
      bool b;
      if (!ReadLogicalField(operands_[static_cast<size_t>(n.a)].def, record, &b)) return kNull;
      return b ? kTrue : kFalse;
    }
  }
  return kNull;
}

}  // namespace eng
