// A transaction: changes to several tables, made by one thread of one
// process over several statements, that stand or fall together, also when
// the process is killed.
//
// Each table keeps its own journal. A table joins the transaction when it
// is first changed in it (Enlist): from then until the commit or rollback
// the transaction holds the table's lock (other users wait, or give up
// after their own wait) and one change of the table stays open, its
// entries tagged with the path and id of the transaction's commit record.
// Statements are changes nested inside (a failed one is undone alone).
//
// Committing: every table's pending sealed blocks go into its file (what
// may fail, before anything is decided); then, when more than one table
// changed, the commit record is written beside the first table and renamed
// into place: that rename is the moment the transaction commits. Then each
// journal is cleared and the record removed. With one changed table its
// journal's clearing is that moment, and no record is written.
//
// Recovering a journal (the next locker after its holder died, or the next
// first opener) restores a tagged change unless its commit record exists:
// then the transaction had committed, the entries are only dropped, and
// the record is removed once no journal it lists holds entries of it.
//
// Deadlocks: a transaction waits for a table it is about to enlist at most
// its wait (ENG_ERR_TABLE_LOCKED after that), so two transactions that wait
// for each other's tables end with an error in one or both, never hang.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace eng {

class SharedTable;
class TableHandle;

// Whether the commit record at path exists and is that of transaction id;
// ENG_ERR_IO when it cannot be told (the entries then wait for a retry).
bool CommitRecordExists(const std::string& record, uint64_t id);
// Removes the commit record once no journal it lists still holds entries
// of transaction id.
void ForgetCommitRecord(const std::string& record, uint64_t id);

// Test hook: runs right after a transaction's commit point, before the
// journals are cleared (a crash test kills the process there).
extern std::function<void()> g_transaction_at_commit_point;

class Transaction {
 public:
  // wait_ms: how long to wait for a table's lock when enlisting it.
  explicit Transaction(int64_t wait_ms);
  ~Transaction();  // rolls back what is still open
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Makes the table at path (resolved) part of the transaction, once.
  void Enlist(const std::string& path);
  // Throws unless called on the thread that began the transaction.
  void RequireOwner() const;
  void Commit();
  void Rollback();
  size_t TableCount() const { return members_.size(); }

 private:
  void WriteCommitRecord(const std::vector<std::string>& journals);
  void Release();  // ends every table's part: unlocks, closes

  struct Member {
    std::unique_ptr<TableHandle> handle;  // keeps the table loaded
    SharedTable* table = nullptr;
  };
  std::vector<Member> members_;
  std::string record_;
  uint64_t id_ = 0;
  int64_t wait_ms_;
  std::thread::id thread_;
};

}  // namespace eng
