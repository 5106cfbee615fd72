// Index keys as bytes that compare with memcmp in the order of the field
// values they come from. Each key segment encodes one field of a fixed-size
// type into a fixed number of bytes, so a tag's key is its segments' bytes
// one after the other and the first n segments of a key are a valid prefix
// to seek with. Empty field values (the native empty patterns: all-zero
// strings, integer -2147483648, double words 32 / 0x80000000, ...) sort
// before every other value of their field. A descending tag complements
// every key byte, which reverses the order of whole keys and of prefixes
// alike.
//
// KeyLayout is immutable after construction and safe to share between
// threads; the encoders write only into the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "schema.h"

namespace eng {

// Longest key a tag may have (ENG_MAX_KEY_SIZE in engine.h).
constexpr size_t kMaxKeyBytes = 256;

// Bytes the field's key segment takes. Throws EngineError naming the field
// for memo-like and unknown types (ENG_ERR_FIELD_TYPE) and for a length that
// does not suit the type (ENG_ERR_INVALID_FIELD_DEF).
size_t EncodedWidth(const FieldDef& field);

// Encodes the field's raw bytes (field.length bytes, laid out as in a raw
// record) into EncodedWidth(field) bytes at out, ascending order.
void EncodeSegment(const FieldDef& field, const uint8_t* raw, uint8_t* out);

class KeyLayout {
 public:
  // tagName only names the tag in error texts. Throws EngineError for an
  // empty segment list, a field that cannot be keyed, or a key longer than
  // kMaxKeyBytes (ENG_ERR_KEY).
  KeyLayout(std::vector<FieldDef> segments, bool descending, const std::string& tagName = "");

  size_t KeyLength() const { return keyLength_; }
  size_t SegmentCount() const { return segments_.size(); }
  const FieldDef& Segment(size_t i) const { return segments_[i]; }
  size_t SegmentOffset(size_t i) const { return offsets_[i]; }
  size_t SegmentWidth(size_t i) const { return offsets_[i + 1] - offsets_[i]; }
  // Bytes taken by the first n segments.
  size_t PrefixLength(size_t n) const { return offsets_[n]; }
  bool Descending() const { return descending_; }

  // The whole key of a raw record (fields read at their offsets); writes
  // KeyLength() bytes.
  void EncodeRecord(const uint8_t* record, uint8_t* key) const;

  // One segment from the field's raw bytes, written at its place in key
  // (key + SegmentOffset(i)).
  void EncodeSegmentAt(size_t i, const uint8_t* raw, uint8_t* key) const;

  // A key prefix from the raw bytes of the first n segments (segmentRaw[i]
  // holds Segment(i).length bytes); returns PrefixLength(n), the number of
  // bytes written.
  size_t EncodePrefix(const uint8_t* const* segmentRaw, size_t n, uint8_t* key) const;

 private:
  std::vector<FieldDef> segments_;
  std::vector<size_t> offsets_;  // SegmentCount() + 1 entries
  size_t keyLength_ = 0;
  bool descending_ = false;
};

}  // namespace eng
