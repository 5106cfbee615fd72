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
// Sealed data is a nonce (24 bytes), the ciphertext and a tag (16 bytes),
// with associated data binding it to its table (salt), to the kind of
// block and to its number, so a changed, moved or foreign block fails to
// open instead of giving garbage. Nonces are a random per-process prefix
// (drawn again in a forked child) and a counter: fresh for every seal
// without a system call. Everything here is thread-safe.
//
// Two ciphers, recorded in the table's header (Params::algorithm):
// - XChaCha20-Poly1305 under the table key, the 24-byte nonce as is: new
//   tables, and every table encrypted before AES-GCM came. Their header
//   area is version 1, unchanged.
// - AES-256-GCM, for new tables only when DBU_TABLE_CIPHER=aes-256-gcm asks
//   for it and the processor runs it (AES-NI and PCLMUL): such a table
//   opens only on such processors, and libsodium 1.0.18's AES-256-GCM
//   measured no faster than XChaCha20-Poly1305 here. Its 96-bit
//   nonce must never repeat under one key, and a table's blocks are sealed
//   again at every change, so seals use keys of their own: subkey =
//   BLAKE2b-256 keyed with the table key of ("DBU block key 1" || the
//   nonce's 16-byte random prefix), GCM nonce = the nonce's last 12 bytes
//   (which end in the counter). Under one subkey (one process's prefix) the
//   counter never repeats, and prefixes are 128 random bits: no count of
//   seals per table key bounds it. A cipher keeps the subkey of the prefix
//   it met last (in guarded memory, like the key), so the blocks one
//   process sealed open with one AES key schedule each (0.05 us) and no
//   hash. Their header area is version 2, which names the cipher in a byte
//   of its own.
// A table keeps its recorded cipher when it is sealed again (packed,
// rewritten); only encrypting a plain table picks the cipher anew. A table
// whose cipher this processor cannot run opens (its header is in clear)
// but every use of its data fails with ENG_ERR_NOT_SUPPORTED naming the
// table and the cipher, and nothing is written to it.
//
// DBU_TABLE_CIPHER chooses: "aes-256-gcm" seals new tables with AES-256-GCM
// where the processor runs it; "xchacha20-poly1305" (or unset) with
// XChaCha20-Poly1305; "no-aes-ni" (tests) also acts as a processor that
// cannot run AES-256-GCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace eng::crypto {

constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr size_t kCheckBytes = 32;
constexpr size_t kNonceBytes = 24;
constexpr size_t kNoncePrefixBytes = 16;  // random per process; a counter follows
constexpr size_t kTagBytes = 16;
constexpr size_t kOverhead = kNonceBytes + kTagBytes;  // sealed size - plain size

// The cipher of a table's sealed blocks (its number is the byte kept in
// the header).
enum class Algorithm : uint8_t { kXChaCha20Poly1305 = 1, kAes256Gcm = 2 };
const char* AlgorithmName(Algorithm a);
// False when this processor cannot run a (AES-256-GCM needs AES-NI and PCLMUL).
bool Runnable(Algorithm a);
// The cipher for tables encrypted from now on.
Algorithm PreferredAlgorithm();

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
  Algorithm algorithm = Algorithm::kXChaCha20Poly1305;

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
  Cipher(std::shared_ptr<const Key> key, const uint8_t* salt, Algorithm algorithm);
  Algorithm algorithm() const { return algorithm_; }
  // out receives n + kOverhead bytes.
  void Seal(Kind kind, uint64_t number, const uint8_t* plain, size_t n, uint8_t* out) const;
  // in holds n + kOverhead bytes; false (plain untouched or wiped) when it
  // fails authentication.
  bool Open(Kind kind, uint64_t number, const uint8_t* in, size_t n, uint8_t* plain) const;
  // A keyed BLAKE2b of two byte ranges (kCheckBytes into out).
  void Mac(const uint8_t* a, size_t an, const uint8_t* b, size_t bn, uint8_t* out) const;

 private:
  void AssociatedData(Kind kind, uint64_t number, uint8_t* ad) const;
  // AES-256-GCM: the subkey of the nonce's prefix (see above).
  std::shared_ptr<const Key> BlockKey(const uint8_t* nonce) const;
  std::shared_ptr<const Key> key_;
  mutable std::mutex block_key_mu_;
  mutable uint8_t block_key_prefix_[kNoncePrefixBytes] = {};
  mutable std::shared_ptr<const Key> block_key_;
  uint8_t salt_[kSaltBytes];
  Algorithm algorithm_;
};

// The cipher of a table whose header holds params, or nullptr when the
// password is wrong. Fast when this process opened the table with the same
// password before. The caller checks Runnable(params.algorithm) first.
std::shared_ptr<const Cipher> Unlock(const std::string& password, const Params& params);
// Fresh parameters (new salt, check value, PreferredAlgorithm()) and the
// cipher for encrypting a table with password.
std::shared_ptr<const Cipher> NewCipher(const std::string& password, Params* params);

}  // namespace eng::crypto
