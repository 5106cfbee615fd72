#include "transaction.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "error.h"
#include "journal.h"
#include "table_file.h"
#include "table_handle.h"
#include "util.h"

namespace eng {

std::function<void()> g_transaction_at_commit_point;

namespace {

constexpr char kRecordHead[] = "DBU transaction ";

std::string Hex(uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// The record's text, or false when there is none; ENG_ERR_IO when it cannot be read.
bool ReadRecord(const std::string& record, std::string* text) {
  int fd = ::open(record.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    FailIo("Cannot read transaction record " + record + " (whether its transaction committed)", errno);
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      FailIo("Cannot read transaction record " + record, err);
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace

bool CommitRecordExists(const std::string& record, uint64_t id) {
  std::string text;
  if (!ReadRecord(record, &text)) return false;
  // Only ever renamed into place whole; another id is another transaction's.
  return text.compare(0, std::strlen(kRecordHead) + 16, kRecordHead + Hex(id)) == 0;
}

void ForgetCommitRecord(const std::string& record, uint64_t id) {
  std::string text;
  try {
    if (!ReadRecord(record, &text)) return;
  } catch (const EngineError&) {
    return;  // left for a later recovery
  }
  size_t at = text.find('\n');
  while (at != std::string::npos && at + 1 < text.size()) {
    size_t end = text.find('\n', at + 1);
    const std::string journal = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    if (!journal.empty() && Journal::HoldsTransaction(journal, id)) return;
    at = end;
  }
  ::unlink(record.c_str());
}

Transaction::Transaction(int64_t wait_ms) : wait_ms_(wait_ms), thread_(std::this_thread::get_id()) {
  while (id_ == 0) randombytes_buf(&id_, sizeof id_);
}

Transaction::~Transaction() {
  try {
    Rollback();
  } catch (...) {
    // Whatever could not be put back is restored by the tables' next users.
  }
}

void Transaction::RequireOwner() const {
  if (std::this_thread::get_id() != thread_)
    Fail(ENG_ERR_INTERNAL, "The transaction of this connection belongs to another thread");
}

void Transaction::Enlist(const std::string& path) {
  RequireOwner();
  for (const Member& m : members_)
    if (m.table->path() == path) return;
  Member m;
  m.handle = std::make_unique<TableHandle>(path, OpenOptions{});
  m.table = &m.handle->table();
  for (const Member& other : members_)
    if (other.table == m.table) return;  // another spelling of a table already in
  if (record_.empty()) {
    const std::string dir = DirName(path);
    record_ = (dir.empty() ? std::string(".") : dir) + "/eng-" + Hex(id_) + ".commit";
  }
  SharedTable& t = *m.table;
  t.LockShared(wait_ms_);
  try {
    t.journal().SetTransaction(record_, id_);
    t.BeginChange();
  } catch (...) {
    t.journal().SetTransaction(std::string(), 0);
    t.UnlockShared();
    throw;
  }
  members_.push_back(std::move(m));
}

void Transaction::WriteCommitRecord(const std::vector<std::string>& journals) {
  std::string text = kRecordHead + Hex(id_) + "\n";
  for (const std::string& j : journals) text += j + "\n";
  const std::string temp = record_ + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) FailIo("Cannot write transaction record " + temp, errno);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(temp.c_str());
      FailIo("Cannot write transaction record " + temp, err);
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (::rename(temp.c_str(), record_.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    FailIo("Cannot write transaction record " + record_, err);
  }
}

void Transaction::Commit() {
  RequireOwner();
  std::vector<std::string> journals;
  try {
    for (Member& m : members_) {
      m.table->PrepareCommit();
      if (m.table->journal().HasEntries()) journals.push_back(m.table->journal().path());
    }
    if (journals.size() > 1) WriteCommitRecord(journals);
  } catch (...) {
    Rollback();
    throw;
  }
  // Committed (by the record, or by the one journal's clearing below).
  if (g_transaction_at_commit_point) g_transaction_at_commit_point();
  for (Member& m : members_) m.table->FinishCommit();
  if (journals.size() > 1) ::unlink(record_.c_str());
  Release();
}

void Transaction::Rollback() {
  if (members_.empty()) return;
  RequireOwner();
  for (auto it = members_.rbegin(); it != members_.rend(); ++it)
    while (it->table->ChangeDepth() > 0) it->table->AbortChange();
  Release();
}

void Transaction::Release() {
  for (Member& m : members_) {
    m.table->journal().SetTransaction(std::string(), 0);
    m.table->UnlockShared();
  }
  members_.clear();
}

}  // namespace eng
