// Text routines over the buffer routines of _4pchar: each copies its
// argument into a fresh NUL-ended buffer, applies one buffer routine and
// returns the result as a new text. The tasks use them to clean values read
// from side tables, workbook cells and input boxes.
//
// Characters are single bytes and only the space counts as blank. A text
// that holds a NUL character ends there. Arguments are never changed; the
// routines keep no state and are thread-safe.
#ifndef DBU_TEXT_4PASSTR_H
#define DBU_TEXT_4PASSTR_H

#include <string>
#include <string_view>

namespace dbu {

std::string TrimLeadingSpaces(std::string_view text);
// Keeps the first character even when it is a space: three spaces give one.
std::string TrimTrailingSpaces(std::string_view text);
// Trailing spaces first, then leading ones; an all-space text gives "".
std::string TrimSpaces(std::string_view text);

// Up to count characters of the text from the 1-based position start (0
// acts as 1). Start and count are 8-bit values, 0 to 255; a value outside
// that range throws std::out_of_range naming it, rather than being wrapped
// or clamped into a slice the caller did not ask for.
std::string MidText(std::string_view text, int start, int count);

}  // namespace dbu

#endif  // DBU_TEXT_4PASSTR_H
