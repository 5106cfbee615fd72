// Feeds arbitrary bytes to the text parsers and slicers. Besides not
// crashing, every date that parses must format and parse back to itself, and
// every number that parses must format without failing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "_4passtr.h"
#include "formatsettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  dbu::DateTime value;
  if (dbu::TryStrToDate(text, value)) {
    dbu::DateTime again;
    if (!dbu::TryStrToDate(dbu::DateToStr(value), again) || again != value) std::abort();
  }
  if (dbu::TryStrToDateTime(text, value)) (void)dbu::FormatDateTime("dddd d mmmm yyyy h:nn:ss.zzz am/pm", value);
  if (dbu::TryStrToTime(text, value) && (value < 0 || value >= 1)) std::abort();

  double number;
  if (dbu::TryStrToFloat(text, number)) (void)dbu::FloatToStr(number);
  std::int32_t integer;
  if (dbu::TryStrToInt(text, integer) && dbu::StrToInt(std::to_string(integer)) != integer) std::abort();

  const std::string trimmed = dbu::TrimSpaces(text);
  if (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.back() == ' ')) std::abort();
  if (size >= 2) (void)dbu::MidText(text.substr(2), data[0], data[1]);
  // Patterns come from the program, but must not crash on any text either.
  (void)dbu::FormatDateTime(text, 38718.5);
  return 0;
}
