// Helpers shared by the data access layer tests.
#pragma once

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "formatsettings.h"
#include "recordcodec.h"

namespace dbu::test {

// Julian texts computed with the calendar routines, as the engine would.
class CalendarJulian : public TJulianTextConverter {
 public:
  double StringToJulian(const std::string& text) const override {
    int y = 0, m = 0, d = 0;
    if (std::sscanf(text.c_str(), "%4d%2d%2d", &y, &m, &d) != 3) throw TCodecError("bad date text " + text);
    return EncodeDate(y, m, d) + kJulianOffset;
  }
  std::string JulianToString(double julian) const override {
    int y = 0, m = 0, d = 0;
    DecodeDate(julian - kJulianOffset, y, m, d);
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
    return text;
  }
};

inline TEngineFieldDef Def(const std::string& name, uint16_t type, uint32_t length, uint32_t offset,
                           uint16_t decimals = 0, uint16_t number = 1) {
  TEngineFieldDef def;
  def.Name = name;
  def.Type = type;
  def.Length = length;
  def.Offset = offset;
  def.Decimals = decimals;
  def.FieldNum = number;
  return def;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

}  // namespace dbu::test
