// On-disk format of a table file (".adt") and of its memo companion (".memo").
//
// Table file: a header (magic, counts, field definitions), padded to a 4 KiB
// boundary, then one fixed-size slot per record number: a state byte (live,
// deleted, reserved) followed by the raw record in the field layout that
// the data access layer decodes itself. All integers are little-endian.
// Every value read from a header is validated against the file's length
// before use, so a damaged or foreign file fails to open with a clear error.
//
// Encrypted tables (see crypto.h) set bit 0 of the flags word and keep their
// salt, key derivation limits and key check value in the crypto area, which
// is all zero otherwise. Their slots are stored in sealed blocks of as many
// slots as fit in 4 KiB (at least one), each block a nonce, the slots and a
// tag; their memo contents are sealed one by one (the stored size is the
// length plus crypto::kOverhead). The header itself stays in clear.
//
// Checksums: tables made since checksums came set bit 1 of the flags word
// (kFlagChecksums); each of their slots then ends with the CRC32C of its
// state byte and record (4 bytes, little-endian; see checksum.h), so the
// header's slot size is the record length + 5 instead of + 1. Files made
// before carry none and keep working as they are (they are never
// converted in place). An encrypted table keeps the checksums in its
// sealed slots too, so that they hold again when it is decrypted.
//
// Memo file: a 64-byte header, then contents in 64-byte blocks; a memo-like
// field's raw bytes hold the first block and the length (both 0 = empty).
#pragma once

#include <cstdint>
#include <string>

#include "schema.h"

namespace eng {

namespace fmt {
constexpr char kTableMagic[8] = {'D', 'B', 'U', 'T', 'B', 'L', 0x1A, 1};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kFixedHeader = 256;
constexpr uint32_t kFieldDescSize = 160;
constexpr uint32_t kMaxFields = 4000;
constexpr uint32_t kMaxRecordLength = 16u << 20;
constexpr uint32_t kMaxFieldLength = 65530;

// Offsets within the fixed header.
constexpr uint32_t kOffMagic = 0;
constexpr uint32_t kOffVersion = 8;
constexpr uint32_t kOffHeaderSize = 12;
constexpr uint32_t kOffRecordLength = 16;
constexpr uint32_t kOffSlotSize = 20;
constexpr uint32_t kOffFieldCount = 24;
constexpr uint32_t kOffFlags = 26;  // u16: crypto::kFlagEncrypted, kFlagChecksums
constexpr uint32_t kOffSlotCount = 32;
constexpr uint32_t kOffLiveCount = 40;
constexpr uint32_t kOffNextAutoinc = 48;
constexpr uint32_t kOffChangeCounter = 56;
constexpr uint32_t kOffGeneration = 64;
// The table's identity (random, given on its first change) and the stamp of
// its latest change (random, new with every change): the journal keeps
// both, so that it never restores bytes onto other files (see journal.h).
// Zero in a file no change of this version has touched.
constexpr uint32_t kOffTableId = 72;
constexpr uint32_t kOffChangeStamp = 80;
constexpr uint32_t kOffCrypto = 128;  // 128 bytes reserved for encryption parameters

// Offsets within a field descriptor.
constexpr uint32_t kDescName = 0;  // 129 bytes, NUL padded
constexpr uint32_t kDescType = 130;
constexpr uint32_t kDescDecimals = 132;
constexpr uint32_t kDescLength = 136;
constexpr uint32_t kDescOffset = 140;
constexpr uint32_t kDescDeclared = 144;  // declared length of varchar fields

constexpr uint16_t kFlagChecksums = 2;  // every slot ends with a CRC32C
constexpr uint32_t kSlotCrcBytes = 4;

constexpr uint8_t kSlotFree = 0;
constexpr uint8_t kSlotLive = 1;
constexpr uint8_t kSlotDeleted = 2;
constexpr uint8_t kSlotReserved = 3;

constexpr uint32_t kMemoHeader = 64;
constexpr uint32_t kMemoBlock = 64;
constexpr char kMemoMagic[8] = {'D', 'B', 'U', 'M', 'E', 'M', 'O', 1};
constexpr uint32_t kOffMemoNext = 8;   // u64: next free block
constexpr uint32_t kOffMemoDead = 16;  // u64: bytes no longer referenced
}  // namespace fmt

// A field definition as written by the table's creator (before layout).
struct FieldDecl {
  std::string name;
  uint16_t type = 0;
  uint32_t length = 0;  // declared length (string, numeric, raw, varchar)
  uint16_t decimals = 0;
};

// Parses "NAME,TYPE[,LENGTH[,DECIMALS]];..." into field definitions. Throws EngineError
// (ENG_ERR_INVALID_FIELD_DEF) naming the offending definition.
std::vector<FieldDecl> ParseFieldDecls(const std::string& text);
// Checks names, types and lengths and lays the fields out in order.
FieldList LayoutFields(const std::vector<FieldDecl>& field_decls, std::vector<uint32_t>* declared);
const char* TypeName(uint16_t type);

// The raw bytes of an empty field, as written when a field is emptied.
void WriteEmptyField(const FieldDef& f, uint8_t* raw);
// Whether the field's raw bytes hold the empty pattern.
bool IsEmptyField(const FieldDef& f, const uint8_t* raw);

}  // namespace eng
