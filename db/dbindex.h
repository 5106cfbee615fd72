// Index definitions of a table cursor, the matching of a field list to an
// index, the lookup key buffer FindKey fills, and the values FindKey takes.
//
// Plain value types without engine calls: the cursor reads the definitions
// from the engine into TIndexDefs and owns one TKeyBuffer per open table.
// Not thread-safe (owned by one cursor).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formatsettings.h"
#include "variant.h"

namespace dbu {

enum TIndexOption : unsigned { ixUnique = 1, ixDescending = 2 };
using TIndexOptions = unsigned;  // OR of TIndexOption values

struct TIndexDef {
  std::string Name;
  std::string Fields;  // segment field names joined with ";", upper-cased
  TIndexOptions Options = 0;
};

// The indexes open on a table, in the engine's order, and whether they
// must be read again before use.
class TIndexDefs {
 public:
  bool Stale() const { return stale_; }
  void MarkStale() { stale_ = true; }
  void Assign(std::vector<TIndexDef> defs) {
    defs_ = std::move(defs);
    stale_ = false;
  }
  size_t Count() const { return defs_.size(); }
  const TIndexDef& Items(size_t index) const { return defs_.at(index); }
  // The entry of that name (letter case ignored); nullptr when none.
  const TIndexDef* FindByName(const std::string& name) const;
  // The non-descending index for a ";"-separated field list: first one whose
  // fields equal the list, else the first whose fields begin with it at a
  // segment boundary. Letter case is ignored; blanks are not.
  const TIndexDef* FindForFields(const std::string& fieldList) const;

 private:
  std::vector<TIndexDef> defs_;
  bool stale_ = true;
};

// One value given to FindKey, kept with its kind so that it reaches the
// field through the matching accessor.
class TKeyValue {
 public:
  enum class Kind { Text, Integer, Float, Boolean, Money, Variable };
  TKeyValue(const char* text) : kind_(Kind::Text), text_(text ? text : "") {}
  TKeyValue(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
  TKeyValue(int value) : kind_(Kind::Integer), integer_(value) {}
  TKeyValue(long value) : kind_(Kind::Integer), integer_(value) {}
  TKeyValue(long long value) : kind_(Kind::Integer), integer_(value) {}
  TKeyValue(double value) : kind_(Kind::Float), number_(value) {}
  TKeyValue(bool value) : kind_(Kind::Boolean), integer_(value ? 1 : 0) {}
  TKeyValue(Currency value) : kind_(Kind::Money), money_(value) {}
  TKeyValue(Variant value) : kind_(Kind::Variable), variable_(std::move(value)) {}

  Kind GetKind() const { return kind_; }
  const std::string& Text() const { return text_; }
  int64_t Integer() const { return integer_; }
  double Float() const { return number_; }
  bool Boolean() const { return integer_ != 0; }
  Currency Money() const { return money_; }
  const Variant& Variable() const { return variable_; }

 private:
  Kind kind_;
  std::string text_;
  int64_t integer_ = 0;
  double number_ = 0;
  Currency money_{};
  Variant variable_;
};

// The lookup key being built: a record image and, per engine field, the
// length of the text given (1 for other kinds) or kNoValue.
struct TKeyBuffer {
  static constexpr uint16_t kNoValue = 0xFFFF;
  bool Changed = false;
  uint16_t ValueCount = 0;
  std::vector<uint8_t> Raw;
  std::vector<uint16_t> Markers;

  void Reset(std::vector<uint8_t> emptyRecord, size_t fieldCount) {
    Raw = std::move(emptyRecord);
    Markers.assign(fieldCount, kNoValue);
    Changed = false;
    ValueCount = 0;
  }
};

// Splits a ";"-separated list; names are kept as written (no trimming).
std::vector<std::string> SplitFieldList(const std::string& list);

}  // namespace dbu
