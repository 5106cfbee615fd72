// Encryption calls of the C interface: a table's password, encrypting and
// decrypting a table in place, and asking whether it is encrypted.
#include "api_support.h"
#include "engine.h"

using namespace eng;

namespace {
void RefuseStaticCrypto(const TableObject& t) {
  if (t.static_cursor) Fail(ENG_ERR_STATIC_CURSOR, "The result of an SQL statement cannot be encrypted or decrypted");
}

template <class F>
ENGRESULT WithTable(ENGHANDLE h, bool change, F&& f) {
  return Call([&] {
    auto t = FindTable(h);
    std::lock_guard<std::mutex> g(t->mu);
    if (change) RefuseStaticCrypto(*t);
    f(Live(*t));
  });
}
}  // namespace

extern "C" {

ENGRESULT EngEnableEncryption(ENGHANDLE hTable, const char* password) {
  return WithTable(hTable, false, [&](TableHandle& t) {
    Need(password, "password");
    t.EnableEncryption(password);
  });
}

ENGRESULT EngEncryptTable(ENGHANDLE hTable) {
  return WithTable(hTable, true, [](TableHandle& t) { t.EncryptTable(); });
}

ENGRESULT EngDecryptTable(ENGHANDLE hTable) {
  return WithTable(hTable, true, [](TableHandle& t) { t.DecryptTable(); });
}

ENGRESULT EngIsTableEncrypted(ENGHANDLE hTable, uint16_t* encrypted) {
  return WithTable(hTable, false, [&](TableHandle& t) { PutValue<uint16_t>(encrypted, t.IsEncrypted()); });
}

}  // extern "C"
