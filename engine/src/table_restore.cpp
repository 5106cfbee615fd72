// Putting a table's files back from copies of them (EngRestoreTable): the
// way back from a saved state, journaled like ALTER TABLE's switch-over.
//
// The whole current table file (and memo file, and the tag pages) is saved
// in the journal, then overwritten with the copy, and the change commits;
// a crash or failure in between puts the current files back. The change
// carries the copy's own identity and stamp (Journal::StampNextChangeWith),
// so that at every moment the table file matches the journal's tie (before
// the change: the current words; during it: the copy's) and, once done,
// every file is byte for byte the copy. A memo file the table lacks now is
// written beside it first (the table does not read it before the commit);
// files the copy lacks are removed by the caller once the table is closed.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "crypto.h"
#include "error.h"
#include "index_file.h"
#include "table_file.h"
#include "table_format.h"
#include "util.h"

namespace eng {

namespace {

struct CopyHeader {
  uint64_t identity = 0, stamp = 0;
  bool encrypted = false;
};

CopyHeader ReadCopyHeader(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(ENG_ERR_FILE_NOT_FOUND, "Cannot read the table copy " + path + ": " + std::strerror(errno));
  uint8_t h[fmt::kFixedHeader];
  ssize_t n = ::pread(fd, h, sizeof h, 0);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, fmt::kTableMagic, 8) != 0 ||
      Load32(h + fmt::kOffVersion) != fmt::kVersion)
    Fail(ENG_ERR_CORRUPT, "File " + path + " is not a table");
  CopyHeader copy;
  copy.identity = Load64(h + fmt::kOffTableId);
  copy.stamp = Load64(h + fmt::kOffChangeStamp);
  copy.encrypted = (Load16(h + fmt::kOffFlags) & crypto::kFlagEncrypted) != 0;
  return copy;
}

// Copies from to a file beside to, then renames it there: to appears whole or not at all.
void PlaceFile(const std::string& from, const std::string& to) {
  const std::string tmp = to + ".restoring";
  {
    MappedFile out;
    ::unlink(tmp.c_str());
    out.Open(tmp, true);
    const uint64_t length = out.CopyFrom(from);
    out.Truncate(length);
  }
  if (::rename(tmp.c_str(), to.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    FailIo("Cannot write " + to, err);
  }
}

}  // namespace

void SharedTable::RestoreFrom(const std::string& adt, const std::string& memo, const std::string& tags) {
  const CopyHeader copy = ReadCopyHeader(adt);
  if (!tags.empty() && !indexes_->HasFile())
    Fail(ENG_ERR_INVALID_ARGUMENT, "Table " + path_ + " has no tags file to put " + tags + " back into");
  const bool had_memo = memo_.IsOpen();
  const std::string new_memo = !memo.empty() && !had_memo ? ResolveNoCase(base() + ".memo") : std::string();
  if (!new_memo.empty()) PlaceFile(memo, new_memo);
  DiscardWhenClosed();
  try {
    TableLock lock(*this);
    ChangeScope scope(*this, "restore");
    journal_.StampNextChangeWith(copy.identity, copy.stamp);
    uint64_t tags_length = 0;
    if (indexes_->HasFile()) {
      if (!tags.empty())
        tags_length = indexes_->ReplaceFileFrom(tags);
      else
        while (indexes_->TagCount() > 0) indexes_->DropTag(indexes_->TagCount() - 1);
    }
    adt_.Refresh();
    journal_.Save(kTableFile, 0, adt_.size());
    header_saved_ = true;
    uint64_t memo_length = 0;
    if (!memo.empty() && had_memo) {
      memo_.Refresh();
      journal_.Save(kMemoFile, 0, memo_.size());
      memo_length = memo_.CopyFrom(memo);
    }
    const uint64_t adt_length = adt_.CopyFrom(adt);
    scope.Commit();
    adt_.Truncate(adt_length);
    if (memo_length != 0) memo_.Truncate(memo_length);
    if (tags_length != 0) indexes_->TruncateFile(tags_length);
    // Plain bytes the journal saved must not stay beside an encrypted table.
    if (copy.encrypted) journal_.WipeIfPlain();
  } catch (...) {
    if (!new_memo.empty()) ::unlink(new_memo.c_str());
    throw;
  }
}

}  // namespace eng
