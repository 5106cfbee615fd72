// Buffer routines on NUL-ended character buffers, used by the text routines
// of _4passtr to trim and slice values read from tables, cells and input
// boxes.
//
// The routines work in place: they never move characters; they return a
// position inside the buffer or write a NUL into it. The caller owns the
// buffer, which must be NUL-ended. Only the space (code 32) counts as blank.
// Counts and positions are unsigned 16-bit values, as the types say; the
// buffer itself is measured in full, so a buffer longer than 65535
// characters still gives positions inside it that match the descriptions
// below (its last n characters, its character number start).
// Stateless and thread-safe for distinct buffers.
#ifndef DBU_TEXT_4PCHAR_H
#define DBU_TEXT_4PCHAR_H

#include <cstdint>

namespace dbu {

// The first character that is not a space; for an empty or all-space buffer
// its ending NUL.
char* SkipLeadingSpaces(char* buffer);

// Ends the buffer after its last character that is not a space, but never
// removes the first character: an all-space buffer keeps one space.
char* CutTrailingSpaces(char* buffer);

// Ends the buffer after its first n characters when it holds more.
char* CutAtLength(char* buffer, std::uint16_t n);

// The position of the last n characters when the buffer holds more than n,
// else the start of the buffer.
char* RightmostPart(char* buffer, std::uint16_t n);

// Up to count characters from the 1-based position start (0 acts as 1).
// A start beyond the end empties the buffer and returns its start.
char* MiddlePart(char* buffer, std::uint16_t start, std::uint16_t count);

}  // namespace dbu

#endif  // DBU_TEXT_4PCHAR_H
