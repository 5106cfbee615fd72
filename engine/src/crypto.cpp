#include "crypto.h"

#include <pthread.h>
#include <sodium.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>

#include "engine.h"
#include "error.h"
#include "util.h"

namespace eng::crypto {

namespace {
// The area's last magic byte is its version: 1 holds XChaCha20-Poly1305
// parameters (every table sealed before AES-GCM came, written unchanged
// since); 2 names its cipher in the byte at kAreaCipher.
constexpr char kAreaMagic[7] = {'D', 'B', 'U', 'C', 'R', 'Y', 'P'};
constexpr uint32_t kAreaVersion = 7;
constexpr uint8_t kAreaVersionXChaCha = 1;
constexpr uint8_t kAreaVersionNamed = 2;
constexpr uint32_t kAreaSalt = 8;
constexpr uint32_t kAreaOps = 24;
constexpr uint32_t kAreaMem = 32;
constexpr uint32_t kAreaCheck = 40;
constexpr uint32_t kAreaHeaderMac = 72;
constexpr uint32_t kAreaCipher = 104;
constexpr char kCheckText[] = "DBU table key check 1";
constexpr size_t kAdBytes = kSaltBytes + 1 + 8;
constexpr char kBlockKeyText[] = "DBU block key 1";
constexpr size_t kGcmNonceBytes = crypto_aead_aes256gcm_NPUBBYTES;
static_assert(kGcmNonceBytes <= kNonceBytes && crypto_aead_aes256gcm_ABYTES == kTagBytes &&
              crypto_aead_aes256gcm_KEYBYTES == kKeyBytes);

// Limits accepted from a header: a damaged one must not make us spend
// minutes or gigabytes.
constexpr uint64_t kMaxOps = 16;
constexpr uint64_t kMaxMem = 1ull << 30;

std::once_flag g_init;
uint8_t g_nonce_prefix[kNoncePrefixBytes];
std::atomic<uint64_t> g_nonce_counter{0};

void NewNoncePrefix() { randombytes_buf(g_nonce_prefix, sizeof g_nonce_prefix); }

void Init() {
  std::call_once(g_init, [] {
    if (sodium_init() < 0) Fail(ENG_ERR_INTERNAL, "The cryptography library cannot be initialized");
    NewNoncePrefix();
    // A forked child must never reuse its parent's nonces.
    pthread_atfork(nullptr, nullptr, [] { NewNoncePrefix(); });
  });
}

// Keys that live in guarded memory; those still alive at exit are wiped then.
struct LiveKeys {
  std::mutex mu;
  std::set<uint8_t*> keys;
};
LiveKeys& Live() {
  static LiveKeys* live = new LiveKeys();  // outlives every key
  return *live;
}
// Set once keys are wiped: a table closed by a later exit handler must fail
// rather than seal with a wiped key.
std::atomic<bool> g_keys_wiped{false};

void RequireKeys() {
  if (g_keys_wiped.load(std::memory_order_acquire))
    Fail(ENG_ERR_INTERNAL, "Table keys are no longer available: the process is exiting");
}

// The test override of the cipher choice (see crypto.h).
std::string_view CipherOverride() {
  const char* v = std::getenv("DBU_TABLE_CIPHER");
  return v ? v : "";
}

struct WipeAtExit {
  ~WipeAtExit() {
    g_keys_wiped.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> g(Live().mu);
    for (uint8_t* k : Live().keys) sodium_memzero(k, kKeyBytes);
  }
} g_wipe_at_exit;
}  // namespace

class Key {
 public:
  Key() {
    bytes_ = static_cast<uint8_t*>(sodium_malloc(kKeyBytes));
    if (!bytes_) throw std::bad_alloc();
    std::lock_guard<std::mutex> g(Live().mu);
    Live().keys.insert(bytes_);
  }
  ~Key() {
    {
      std::lock_guard<std::mutex> g(Live().mu);
      Live().keys.erase(bytes_);
    }
    sodium_free(bytes_);  // wipes
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  uint8_t* bytes() const { return bytes_; }

 private:
  uint8_t* bytes_;
};

namespace {
void CheckValue(const Key& key, uint8_t* out) {
  crypto_generichash(out, kCheckBytes, reinterpret_cast<const uint8_t*>(kCheckText), sizeof kCheckText - 1,
                     key.bytes(), kKeyBytes);
}

std::shared_ptr<const Key> Derive(const std::string& password, const Params& p) {
  auto key = std::make_shared<Key>();
  if (crypto_pwhash(key->bytes(), kKeyBytes, password.data(), password.size(), p.salt, p.opslimit,
                    static_cast<size_t>(p.memlimit), crypto_pwhash_ALG_ARGON2ID13) != 0)
    Fail(ENG_ERR_OUT_OF_MEMORY, "Not enough memory to derive a table key");
  return key;
}

// Keys this process derived, by a salted hash of (limits, password).
struct KeyCache {
  using Id = std::array<uint8_t, 32>;
  std::mutex mu;
  std::map<Id, std::shared_ptr<const Key>> keys;

  static Id IdOf(const std::string& password, const Params& p) {
    Id id;
    crypto_generichash_state st;
    crypto_generichash_init(&st, p.salt, kSaltBytes, id.size());
    uint8_t limits[16];
    Store64(limits, p.opslimit);
    Store64(limits + 8, p.memlimit);
    crypto_generichash_update(&st, limits, sizeof limits);
    crypto_generichash_update(&st, reinterpret_cast<const uint8_t*>(password.data()), password.size());
    crypto_generichash_final(&st, id.data(), id.size());
    return id;
  }
  std::shared_ptr<const Key> Find(const Id& id) {
    std::lock_guard<std::mutex> g(mu);
    auto it = keys.find(id);
    return it == keys.end() ? nullptr : it->second;
  }
  void Add(const Id& id, std::shared_ptr<const Key> key) {
    std::lock_guard<std::mutex> g(mu);
    keys.emplace(id, std::move(key));
  }
};
KeyCache& Cache() {
  static KeyCache cache;  // destroyed (keys wiped and freed) at exit
  return cache;
}
}  // namespace

const char* AlgorithmName(Algorithm a) {
  return a == Algorithm::kAes256Gcm ? "AES-256-GCM" : "XChaCha20-Poly1305";
}

bool Runnable(Algorithm a) {
  if (a != Algorithm::kAes256Gcm) return true;
  Init();
  return crypto_aead_aes256gcm_is_available() && CipherOverride() != "no-aes-ni";
}

Algorithm PreferredAlgorithm() {
  // XChaCha20-Poly1305 unless AES-256-GCM is asked for: a table sealed with
  // this libsodium's AES-256-GCM opens only where the processor has AES-NI
  // (no ARM machine), a high price for its modest lead in speed.
  if (CipherOverride() != "aes-256-gcm") return Algorithm::kXChaCha20Poly1305;
  return Runnable(Algorithm::kAes256Gcm) ? Algorithm::kAes256Gcm : Algorithm::kXChaCha20Poly1305;
}

bool Params::Read(const uint8_t* area) {
  if (std::memcmp(area, kAreaMagic, sizeof kAreaMagic) != 0) return false;
  if (area[kAreaVersion] == kAreaVersionXChaCha) {
    algorithm = Algorithm::kXChaCha20Poly1305;
  } else if (area[kAreaVersion] == kAreaVersionNamed && (area[kAreaCipher] == uint8_t(Algorithm::kXChaCha20Poly1305) ||
                                                         area[kAreaCipher] == uint8_t(Algorithm::kAes256Gcm))) {
    algorithm = static_cast<Algorithm>(area[kAreaCipher]);
  } else {
    return false;
  }
  std::memcpy(salt, area + kAreaSalt, kSaltBytes);
  opslimit = Load64(area + kAreaOps);
  memlimit = Load64(area + kAreaMem);
  std::memcpy(check, area + kAreaCheck, kCheckBytes);
  std::memcpy(header_mac, area + kAreaHeaderMac, kCheckBytes);
  return opslimit >= crypto_pwhash_OPSLIMIT_MIN && opslimit <= kMaxOps && memlimit >= crypto_pwhash_MEMLIMIT_MIN &&
         memlimit <= kMaxMem;
}

void Params::Write(uint8_t* area) const {
  std::memset(area, 0, kAreaBytes);
  std::memcpy(area, kAreaMagic, sizeof kAreaMagic);
  if (algorithm == Algorithm::kXChaCha20Poly1305) {
    area[kAreaVersion] = kAreaVersionXChaCha;  // as every such table was written before
  } else {
    area[kAreaVersion] = kAreaVersionNamed;
    area[kAreaCipher] = static_cast<uint8_t>(algorithm);
  }
  std::memcpy(area + kAreaSalt, salt, kSaltBytes);
  Store64(area + kAreaOps, opslimit);
  Store64(area + kAreaMem, memlimit);
  std::memcpy(area + kAreaCheck, check, kCheckBytes);
  std::memcpy(area + kAreaHeaderMac, header_mac, kCheckBytes);
}

bool Params::AreaIsEmpty(const uint8_t* area) {
  for (size_t i = 0; i < kAreaBytes; ++i)
    if (area[i]) return false;
  return true;
}

Cipher::Cipher(std::shared_ptr<const Key> key, const uint8_t* salt, Algorithm algorithm)
    : key_(std::move(key)), algorithm_(algorithm) {
  if (!Runnable(algorithm)) Fail(ENG_ERR_NOT_SUPPORTED, std::string(AlgorithmName(algorithm)) + " cannot run on this processor");
  std::memcpy(salt_, salt, kSaltBytes);
}

void Cipher::AssociatedData(Kind kind, uint64_t number, uint8_t* ad) const {
  std::memcpy(ad, salt_, kSaltBytes);
  ad[kSaltBytes] = static_cast<uint8_t>(kind);
  Store64(ad + kSaltBytes + 1, number);
}

namespace {
// The subkey of the seals whose nonces share prefix: BLAKE2b-256 keyed with
// the table key over (kBlockKeyText || prefix).
void DeriveBlockKey(const uint8_t* table_key, const uint8_t* prefix, uint8_t* subkey) {
  crypto_generichash_state st;
  crypto_generichash_init(&st, table_key, kKeyBytes, kKeyBytes);
  crypto_generichash_update(&st, reinterpret_cast<const uint8_t*>(kBlockKeyText), sizeof kBlockKeyText - 1);
  crypto_generichash_update(&st, prefix, kNoncePrefixBytes);
  crypto_generichash_final(&st, subkey, kKeyBytes);
  sodium_memzero(&st, sizeof st);
}

// The AES-256-GCM key schedule of one seal or open, wiped when done.
class BlockAes {
 public:
  explicit BlockAes(const uint8_t* subkey) { crypto_aead_aes256gcm_beforenm(&state_, subkey); }
  ~BlockAes() { sodium_memzero(&state_, sizeof state_); }
  BlockAes(const BlockAes&) = delete;
  BlockAes& operator=(const BlockAes&) = delete;
  const crypto_aead_aes256gcm_state* state() const { return &state_; }

 private:
  crypto_aead_aes256gcm_state state_;
};
const uint8_t* GcmNonce(const uint8_t* nonce) { return nonce + kNonceBytes - kGcmNonceBytes; }
}  // namespace

std::shared_ptr<const Key> Cipher::BlockKey(const uint8_t* nonce) const {
  {
    std::lock_guard<std::mutex> g(block_key_mu_);
    if (block_key_ && std::memcmp(block_key_prefix_, nonce, kNoncePrefixBytes) == 0) return block_key_;
  }
  auto subkey = std::make_shared<Key>();
  DeriveBlockKey(key_->bytes(), nonce, subkey->bytes());
  std::lock_guard<std::mutex> g(block_key_mu_);
  std::memcpy(block_key_prefix_, nonce, kNoncePrefixBytes);
  block_key_ = subkey;
  return subkey;
}

void Cipher::Seal(Kind kind, uint64_t number, const uint8_t* plain, size_t n, uint8_t* out) const {
  RequireKeys();
  uint8_t ad[kAdBytes];
  AssociatedData(kind, number, ad);
  std::memcpy(out, g_nonce_prefix, kNoncePrefixBytes);
  Store64(out + kNoncePrefixBytes, g_nonce_counter.fetch_add(1, std::memory_order_relaxed));
  if (algorithm_ == Algorithm::kAes256Gcm) {
    BlockAes aes(BlockKey(out)->bytes());
    crypto_aead_aes256gcm_encrypt_afternm(out + kNonceBytes, nullptr, plain, n, ad, sizeof ad, nullptr, GcmNonce(out),
                                          aes.state());
    return;
  }
  crypto_aead_xchacha20poly1305_ietf_encrypt(out + kNonceBytes, nullptr, plain, n, ad, sizeof ad, nullptr, out,
                                             key_->bytes());
}

bool Cipher::Open(Kind kind, uint64_t number, const uint8_t* in, size_t n, uint8_t* plain) const {
  RequireKeys();
  uint8_t ad[kAdBytes];
  AssociatedData(kind, number, ad);
  if (algorithm_ == Algorithm::kAes256Gcm) {
    BlockAes aes(BlockKey(in)->bytes());
    return crypto_aead_aes256gcm_decrypt_afternm(plain, nullptr, nullptr, in + kNonceBytes, n + kTagBytes, ad,
                                                 sizeof ad, GcmNonce(in), aes.state()) == 0;
  }
  return crypto_aead_xchacha20poly1305_ietf_decrypt(plain, nullptr, nullptr, in + kNonceBytes, n + kTagBytes, ad,
                                                    sizeof ad, in, key_->bytes()) == 0;
}

void Cipher::Mac(const uint8_t* a, size_t an, const uint8_t* b, size_t bn, uint8_t* out) const {
  RequireKeys();
  crypto_generichash_state st;
  crypto_generichash_init(&st, key_->bytes(), kKeyBytes, kCheckBytes);
  crypto_generichash_update(&st, a, an);
  crypto_generichash_update(&st, b, bn);
  crypto_generichash_final(&st, out, kCheckBytes);
}

std::shared_ptr<const Cipher> Unlock(const std::string& password, const Params& params) {
  Init();
  KeyCache::Id id = KeyCache::IdOf(password, params);
  std::shared_ptr<const Key> key = Cache().Find(id);
  if (!key) {
    key = Derive(password, params);
    uint8_t check[kCheckBytes];
    CheckValue(*key, check);
    if (sodium_memcmp(check, params.check, kCheckBytes) != 0) return nullptr;
    Cache().Add(id, key);
  }
  return std::make_shared<Cipher>(key, params.salt, params.algorithm);
}

std::shared_ptr<const Cipher> NewCipher(const std::string& password, Params* params) {
  Init();
  randombytes_buf(params->salt, kSaltBytes);
  params->opslimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  params->memlimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  params->algorithm = PreferredAlgorithm();
  std::shared_ptr<const Key> key = Derive(password, *params);
  CheckValue(*key, params->check);
  Cache().Add(KeyCache::IdOf(password, *params), key);
  return std::make_shared<Cipher>(key, params->salt, params->algorithm);
}

}  // namespace eng::crypto
