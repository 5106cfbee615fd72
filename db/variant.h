// Variant: a value of one of the kinds a field exchanges with the program
// (null, text, integer, floating number, boolean, DateTime). A plain value
// type; copies are independent.
#pragma once

#include <cstdint>
#include <string>

#include "formatsettings.h"

namespace dbu {

class Variant {
 public:
  enum class Kind { Null, Text, Integer, Float, Boolean, DateTime };

  Variant() = default;  // null
  Variant(const char* text) : kind_(Kind::Text), text_(text) {}
  Variant(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
  static Variant Null() { return Variant(); }
  static Variant FromInteger(int64_t value) {
    Variant v;
    v.kind_ = Kind::Integer;
    v.integer_ = value;
    return v;
  }
  static Variant FromFloat(double value) {
    Variant v;
    v.kind_ = Kind::Float;
    v.number_ = value;
    return v;
  }
  static Variant FromBoolean(bool value) {
    Variant v;
    v.kind_ = Kind::Boolean;
    v.integer_ = value ? 1 : 0;
    return v;
  }
  static Variant FromDateTime(DateTime value) {
    Variant v;
    v.kind_ = Kind::DateTime;
    v.number_ = static_cast<double>(value);
    return v;
  }

  Kind GetKind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::Null; }
  // The payload of the matching kind (others read as empty / 0 / false).
  const std::string& Text() const { return text_; }
  int64_t Integer() const { return kind_ == Kind::Integer ? integer_ : 0; }
  double Float() const { return kind_ == Kind::Float ? number_ : 0.0; }
  bool Boolean() const { return kind_ == Kind::Boolean && integer_ != 0; }
  DateTime AsDateTime() const { return static_cast<DateTime>(kind_ == Kind::DateTime ? number_ : 0.0); }

  bool operator==(const Variant& other) const {
    return kind_ == other.kind_ && text_ == other.text_ && integer_ == other.integer_ && number_ == other.number_;
  }

 private:
  Kind kind_ = Kind::Null;
  std::string text_;
  int64_t integer_ = 0;
  double number_ = 0.0;
};

}  // namespace dbu
