// Index calls until the index layer is wired: the engine answers as one
// without indexes would.
#include "api_support.h"
#include "engine.h"
#include "index_hooks.h"

using namespace eng;

namespace {
[[noreturn]] void NotYet(const char* what) {
  Fail(ENG_ERR_NOT_SUPPORTED, std::string(what) + " is not supported by this engine build");
}
}  // namespace

namespace eng {
ENGHANDLE IndexOwner(Object& index) { return index.connection; }
RecordOrder* IndexOrder(Object&) { return nullptr; }
void ReleaseIndexObject(Object&) {}
void AttachIndexes(TableObject&) {}
void SetKeySegment(Object&, uint16_t, const uint8_t*, uint32_t, bool) { NotYet("Building index keys"); }
}  // namespace eng

extern "C" {

ENGRESULT EngCreateIndex(ENGHANDLE, const char*, const char*, uint32_t, uint32_t, ENGHANDLE*) {
  return Call([&] { NotYet("Creating an index"); });
}
ENGRESULT EngDeleteIndex(ENGHANDLE) { return Call([&] { NotYet("Dropping an index"); }); }
ENGRESULT EngReindex(ENGHANDLE hTable) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngGetAllIndexes(ENGHANDLE hTable, ENGHANDLE*, uint16_t* count) {
  return Call([&] {
    FindTable(hTable);
    PutValue<uint16_t>(count, 0);
  });
}
ENGRESULT EngGetIndexHandle(ENGHANDLE hTable, const char* tag, ENGHANDLE*) {
  return Call([&] {
    auto t = FindTable(hTable);
    Fail(ENG_ERR_INDEX_NOT_FOUND, std::string("Index tag ") + (tag ? tag : "") + " does not exist for table " + t->path);
  });
}
ENGRESULT EngGetIndexName(ENGHANDLE, char*, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetNumSegments(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetSegmentFieldname(ENGHANDLE, uint16_t, char*, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngIsIndexUnique(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngIsIndexDescending(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetIndexPageSize(ENGHANDLE, uint32_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngOpenIndex(ENGHANDLE, const char*, ENGHANDLE*, uint16_t*) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngCloseIndex(ENGHANDLE) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngGetIndexFilename(ENGHANDLE, uint16_t, char*, uint16_t*) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngInitRawKey(ENGHANDLE) { return Call([&] { NotYet("Index keys"); }); }
ENGRESULT EngBuildRawKey(ENGHANDLE, uint8_t*, uint16_t*) { return Call([&] { NotYet("Index keys"); }); }
ENGRESULT EngSeek(ENGHANDLE, const uint8_t*, uint16_t, uint16_t, uint16_t, uint16_t*) {
  return Call([&] { NotYet("Index seeks"); });
}

}  // extern "C"
