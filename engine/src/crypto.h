// Table encryption primitives: keys derived from a table's password, the
// encryption parameters kept in a table's header, and authenticated sealing
// of blocks of a table's files.
//
// A key is derived with Argon2id from the password and the random salt of
// the table's header. Deriving is slow by design, so a key that opened a
// table once is kept for the life of the process, found by a salted hash
// of the password (never by the password itself), in sodium_malloc'd
// memory that is wiped when freed and, for keys still in use, at exit.
// The header holds a key check value (a keyed BLAKE2b of a constant), so a
// wrong password is told before any data is touched.
//
// Sealed data is a nonce (24 bytes), the ciphertext and a tag (16 bytes):
// XChaCha20-Poly1305 with associated data binding it to its table (salt),
// to the kind of block and to its number, so a changed, moved or foreign
// block fails to open instead of giving garbage. Nonces are a random
// per-process prefix (drawn again in a forked child) and a counter: fresh
// for every seal without a system call. Everything here is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace eng::crypto {

constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr size_t kCheckBytes = 32;
constexpr size_t kNonceBytes = 24;
constexpr size_t kTagBytes = 16;
constexpr size_t kOverhead = kNonceBytes + kTagBytes;  // sealed size - plain size

// Bit of the table header's flags word: the table is encrypted.
constexpr uint16_t kFlagEncrypted = 1;

// What a sealed block is, as bound into its associated data.
enum class Kind : uint8_t { kRecords = 'R', kMemo = 'M', kIndexPage = 'P' };

// The encryption parameters in a table header's crypto area (128 bytes).
struct Params {
  uint8_t salt[kSaltBytes] = {};
  uint64_t opslimit = 0;
  uint64_t memlimit = 0;
  uint8_t check[kCheckBytes] = {};
  uint8_t header_mac[kCheckBytes] = {};  // Cipher::Mac of the table's definition bytes

  // False when the area does not hold valid parameters.
  bool Read(const uint8_t* area);
  void Write(uint8_t* area) const;
  static bool AreaIsEmpty(const uint8_t* area);
};
constexpr size_t kAreaBytes = 128;

class Key;

// A table's key bound to its salt: seals and opens that table's blocks.
class Cipher {
 public:
  Cipher(std::shared_ptr<const Key> key, const uint8_t* salt);
  // out receives n + kOverhead bytes.
  void Seal(Kind kind, uint64_t number, const uint8_t* plain, size_t n, uint8_t* out) const;
  // in holds n + kOverhead bytes; false (plain untouched or wiped) when it
  // fails authentication.
  bool Open(Kind kind, uint64_t number, const uint8_t* in, size_t n, uint8_t* plain) const;
  // A keyed BLAKE2b of two byte ranges (kCheckBytes into out).
  void Mac(const uint8_t* a, size_t an, const uint8_t* b, size_t bn, uint8_t* out) const;

 private:
  void AssociatedData(Kind kind, uint64_t number, uint8_t* ad) const;
  std::shared_ptr<const Key> key_;
  uint8_t salt_[kSaltBytes];
};

// The cipher of a table whose header holds params, or nullptr when the
// password is wrong. Fast when this process opened the table with the same
// password before.
std::shared_ptr<const Cipher> Unlock(const std::string& password, const Params& params);
// Fresh parameters (new salt, check value) and the cipher for encrypting a
// table with password.
std::shared_ptr<const Cipher> NewCipher(const std::string& password, Params* params);

}  // namespace eng::crypto
