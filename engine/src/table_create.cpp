// Creating a table file: the header is written to a temporary file which is
// then linked into place, so that a table either appears whole or not at all
// and two creators cannot overwrite each other.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "error.h"
#include "index_hooks.h"
#include "table_format.h"
#include "util.h"

namespace eng {

std::vector<uint8_t> NewTableHeader(const std::vector<FieldDecl>& field_decls, bool checksums) {
  std::vector<uint32_t> declared;
  FieldList fields = LayoutFields(field_decls, &declared);
  uint32_t record_length = 0;
  for (const auto& f : fields) record_length += f.length;
  uint32_t header = fmt::kFixedHeader + static_cast<uint32_t>(fields.size()) * fmt::kFieldDescSize;
  header = (header + 4095) & ~4095u;
  std::vector<uint8_t> h(header, 0);
  std::memcpy(h.data(), fmt::kTableMagic, 8);
  Store32(&h[fmt::kOffVersion], fmt::kVersion);
  Store32(&h[fmt::kOffHeaderSize], header);
  Store32(&h[fmt::kOffRecordLength], record_length);
  Store32(&h[fmt::kOffSlotSize], record_length + 1 + (checksums ? fmt::kSlotCrcBytes : 0));
  Store16(&h[fmt::kOffFieldCount], static_cast<uint16_t>(fields.size()));
  Store16(&h[fmt::kOffFlags], checksums ? fmt::kFlagChecksums : 0);
  Store32(&h[fmt::kOffNextAutoinc], 1);
  for (size_t i = 0; i < fields.size(); ++i) {
    uint8_t* d = &h[fmt::kFixedHeader + i * fmt::kFieldDescSize];
    std::memcpy(d + fmt::kDescName, fields[i].name.data(), fields[i].name.size());
    Store16(d + fmt::kDescType, fields[i].type);
    Store16(d + fmt::kDescDecimals, fields[i].decimals);
    Store32(d + fmt::kDescLength, fields[i].length);
    Store32(d + fmt::kDescOffset, fields[i].offset);
    Store32(d + fmt::kDescDeclared, declared[i]);
  }
  return h;
}

void CreateTableFile(const std::string& path, const std::vector<FieldDecl>& field_decls, bool checksums) {
  std::vector<uint8_t> h = NewTableHeader(field_decls, checksums);
  if (FileExists(path)) Fail(ENG_ERR_FILE_EXISTS, "Table " + path + " already exists");
  std::string tmp = path + ".creating." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    FailIo("Cannot create table " + path, err);
  }
  ssize_t n = ::write(fd, h.data(), h.size());
  const int write_err = n < 0 ? errno : ENOSPC;  // a short write: the disk is full
  ::close(fd);
  if (n != static_cast<ssize_t>(h.size())) {
    ::unlink(tmp.c_str());
    FailIo("Cannot write table " + path, write_err);
  }
  // Stale companions of an earlier table of the same name must not be reused.
  std::string base = StripExtension(path);
  for (const char* ext : {".memo", ".tags", ".jrn"}) {
    std::string companion = ResolveNoCase(base + ext);
    if (FileExists(companion)) ::unlink(companion.c_str());
  }
  int rc = ::link(tmp.c_str(), path.c_str());
  int err = errno;
  ::unlink(tmp.c_str());
  if (rc != 0)
    Fail(err == EEXIST ? ENG_ERR_FILE_EXISTS : ENG_ERR_IO, "Cannot create table " + path + ": " + std::strerror(err));
}

}  // namespace eng
