#include "crypto.h"

#include <pthread.h>
#include <sodium.h>

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "engine.h"
#include "error.h"
#include "util.h"

namespace eng::crypto {

namespace {
constexpr char kAreaMagic[8] = {'D', 'B', 'U', 'C', 'R', 'Y', 'P', 1};
constexpr uint32_t kAreaSalt = 8;
constexpr uint32_t kAreaOps = 24;
constexpr uint32_t kAreaMem = 32;
constexpr uint32_t kAreaCheck = 40;
constexpr uint32_t kAreaHeaderMac = 72;
constexpr char kCheckText[] = "DBU table key check 1";
constexpr size_t kAdBytes = kSaltBytes + 1 + 8;

// Limits accepted from a header: a damaged one must not make us spend
// minutes or gigabytes.
constexpr uint64_t kMaxOps = 16;
constexpr uint64_t kMaxMem = 1ull << 30;

std::once_flag g_init;
uint8_t g_nonce_prefix[16];
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

bool Params::Read(const uint8_t* area) {
  if (std::memcmp(area, kAreaMagic, sizeof kAreaMagic) != 0) return false;
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

Cipher::Cipher(std::shared_ptr<const Key> key, const uint8_t* salt) : key_(std::move(key)) {
  std::memcpy(salt_, salt, kSaltBytes);
}

void Cipher::AssociatedData(Kind kind, uint64_t number, uint8_t* ad) const {
  std::memcpy(ad, salt_, kSaltBytes);
  ad[kSaltBytes] = static_cast<uint8_t>(kind);
  Store64(ad + kSaltBytes + 1, number);
}

void Cipher::Seal(Kind kind, uint64_t number, const uint8_t* plain, size_t n, uint8_t* out) const {
  RequireKeys();
  uint8_t ad[kAdBytes];
  AssociatedData(kind, number, ad);
  std::memcpy(out, g_nonce_prefix, 16);
  Store64(out + 16, g_nonce_counter.fetch_add(1, std::memory_order_relaxed));
  crypto_aead_xchacha20poly1305_ietf_encrypt(out + kNonceBytes, nullptr, plain, n, ad, sizeof ad, nullptr, out,
                                             key_->bytes());
}

bool Cipher::Open(Kind kind, uint64_t number, const uint8_t* in, size_t n, uint8_t* plain) const {
  RequireKeys();
  uint8_t ad[kAdBytes];
  AssociatedData(kind, number, ad);
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
  return std::make_shared<Cipher>(key, params.salt);
}

std::shared_ptr<const Cipher> NewCipher(const std::string& password, Params* params) {
  Init();
  randombytes_buf(params->salt, kSaltBytes);
  params->opslimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  params->memlimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  std::shared_ptr<const Key> key = Derive(password, *params);
  CheckValue(*key, params->check);
  Cache().Add(KeyCache::IdOf(password, *params), key);
  return std::make_shared<Cipher>(key, params->salt);
}

}  // namespace eng::crypto
