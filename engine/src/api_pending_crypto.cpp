// Encryption calls until table encryption is built: every table is plain.
#include "api_support.h"
#include "engine.h"
#include "index_hooks.h"

using namespace eng;

namespace {
[[noreturn]] void NotYet(const char* what) {
  Fail(ENG_ERR_NOT_SUPPORTED, std::string(what) + " is not supported by this engine build");
}
}  // namespace

extern "C" {

ENGRESULT EngEnableEncryption(ENGHANDLE hTable, const char*) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngEncryptTable(ENGHANDLE) { return Call([&] { NotYet("Table encryption"); }); }
ENGRESULT EngDecryptTable(ENGHANDLE hTable) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngIsTableEncrypted(ENGHANDLE hTable, uint16_t* encrypted) {
  return Call([&] {
    FindTable(hTable);
    PutValue<uint16_t>(encrypted, 0);
  });
}

}  // extern "C"
