// Table files written whole: the image of a new table built record by
// record (ALTER TABLE's new table, SELECT results), and private folders
// for temporary tables. Plain objects with one owner each.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "checksum.h"
#include "crypto.h"
#include "error.h"
#include "index_hooks.h"
#include "record_codec.h"
#include "table_file.h"
#include "table_format.h"
#include "util.h"

namespace eng {

// A table file built in memory (its header, then slots),
// or, when streamed, written out as it grows through a small buffer so that
// a large result never sits in memory twice; the header goes last, with the
// final counts. A streamed image can be sealed (Seal): it is then an
// encrypted table from its first byte, so no value of it is ever written
// in clear.
class TableImage {
 public:
  enum class Mode { kInMemory, kStreamed };
  TableImage(const std::string& path, const std::vector<FieldDecl>& field_decls, Mode mode = Mode::kInMemory)
      : path_(path) {
    Start(field_decls);
    if (mode == Mode::kStreamed) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) FailIo("Cannot write " + path, errno);
      StreamTo(fd);
    }
  }
  // Streamed into fd (taken over), a file without a name (memfd_create);
  // `name` stands for it in messages. Finish with WriteToDescriptors.
  TableImage(int fd, const std::string& name, const std::vector<FieldDecl>& field_decls) : path_(name) {
    Start(field_decls);
    StreamTo(fd);
  }
  ~TableImage() {
    if (fd_ >= 0) ::close(fd_);
  }
  TableImage(const TableImage&) = delete;
  TableImage& operator=(const TableImage&) = delete;

  const FieldList& fields() const { return fields_; }
  uint32_t record_length() const { return record_length_; }
  // Makes the image an encrypted table under cipher and params (the key and
  // salt of the table it is to replace, with the header's MAC made for this
  // header): slots go out in sealed blocks, memo contents sealed one by
  // one. Streamed images only, before the first Add.
  void Seal(const crypto::Cipher* cipher, const crypto::Params& params) {
    if (fd_ < 0 || slots_ != 0) Fail(ENG_ERR_INTERNAL, "Table image " + path_ + " cannot be sealed now");
    cipher_ = cipher;
    per_block_ = SharedTable::SlotsPerSealedBlock(slot_size_);
    stored_ = per_block_ * slot_size_ + crypto::kOverhead;
    uint8_t* h = header_.data();
    Store16(h + fmt::kOffFlags, static_cast<uint16_t>(Load16(h + fmt::kOffFlags) | crypto::kFlagEncrypted));
    crypto::Params sealed = params;
    cipher->Mac(h, fmt::kOffSlotCount, h + fmt::kFixedHeader, header_.size() - fmt::kFixedHeader, sealed.header_mac);
    sealed.Write(h + fmt::kOffCrypto);
  }
  const std::vector<uint8_t>& empty() const { return empty_; }
  void Reserve(size_t slots) {
    if (fd_ < 0) adt_.reserve(adt_.size() + slots * slot_size_);
  }

  // raw: record_length bytes; memo fields' references are set here.
  void Add(uint8_t state, uint8_t* raw, const std::vector<std::pair<size_t, std::string>>& memos) {
    for (const auto& m : memos) {
      uint8_t* p = raw + fields_[m.first].offset;
      if (m.second.empty()) {
        Store32(p, 0);
        Store32(p + 4, 0);
        continue;
      }
      uint64_t block = memo_.size() / fmt::kMemoBlock;
      const size_t stored = m.second.size() + (cipher_ ? crypto::kOverhead : 0);
      size_t blocks = (stored + fmt::kMemoBlock - 1) / fmt::kMemoBlock;
      memo_.resize(memo_.size() + blocks * fmt::kMemoBlock, 0);
      uint8_t* at = memo_.data() + block * fmt::kMemoBlock;
      if (cipher_)
        cipher_->Seal(crypto::Kind::kMemo, block, reinterpret_cast<const uint8_t*>(m.second.data()), m.second.size(), at);
      else
        std::memcpy(at, m.second.data(), m.second.size());
      Store32(p, static_cast<uint32_t>(block));
      Store32(p + 4, static_cast<uint32_t>(m.second.size()));
    }
    adt_.push_back(state);
    adt_.insert(adt_.end(), raw, raw + record_length_);
    if (checksums_) {
      adt_.resize(adt_.size() + fmt::kSlotCrcBytes);
      StampCrc(adt_.data() + adt_.size() - slot_size_, slot_size_ - fmt::kSlotCrcBytes);
    }
    ++slots_;
    if (state == fmt::kSlotLive) ++live_;
    if (fd_ >= 0 && adt_.size() >= kStreamBuffer) Flush();
  }
  void Finish(uint32_t next_autoinc) {
    std::vector<uint8_t>& header = fd_ >= 0 ? header_ : adt_;
    Store64(&header[fmt::kOffSlotCount], slots_);
    Store64(&header[fmt::kOffLiveCount], live_);
    Store32(&header[fmt::kOffNextAutoinc], next_autoinc);
    if (has_memo_) Store64(memo_.data() + fmt::kOffMemoNext, memo_.size() / fmt::kMemoBlock);
  }
  // A streamed image written to a descriptor: its last slots and header,
  // and the memo contents into a new file without a name (returned, -1
  // when the table has no memo fields). The image is spent afterwards.
  int WriteToDescriptors() {
    Flush(true);
    WriteAt(fd_, path_, header_.data(), header_.size(), 0);
    if (!has_memo_) return -1;
    int memo = ::memfd_create((path_ + " memo").c_str(), MFD_CLOEXEC);
    if (memo < 0) FailIo("Cannot make the memo contents of " + path_, errno);
    try {
      WriteAt(memo, path_, memo_.data(), memo_.size(), 0);
    } catch (...) {
      ::close(memo);
      throw;
    }
    return memo;
  }
  // Gives the descriptor of a streamed image away (after WriteToDescriptors).
  int ReleaseDescriptor() { return std::exchange(fd_, -1); }

  // In memory only.
  const std::vector<uint8_t>& adt() const { return adt_; }
  const std::vector<uint8_t>& memo() const { return memo_; }
  bool has_memo() const { return has_memo_; }
  // Hands the in-memory bytes over (the image is spent afterwards).
  std::vector<uint8_t> TakeAdt() { return std::move(adt_); }
  std::vector<uint8_t> TakeMemo() { return std::move(memo_); }
  void WriteFiles() {
    if (fd_ >= 0) {
      Flush(true);
      WriteAt(fd_, path_, header_.data(), header_.size(), 0);
      ::close(fd_);
      fd_ = -1;
    } else {
      WriteFile(path_, adt_);
    }
    if (has_memo_) WriteFile(StripExtension(path_) + ".memo", memo_);
  }
  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      int err = errno;
      FailIo("Cannot write " + path, err);
    }
    try {
      WriteAt(fd, path, bytes.data(), bytes.size(), 0);
    } catch (...) {
      ::close(fd);
      ::unlink(path.c_str());  // no half-written file left behind (a full disk, say)
      throw;
    }
    ::close(fd);
  }

 private:
  static constexpr size_t kStreamBuffer = 64 * 1024;

  void Start(const std::vector<FieldDecl>& field_decls) {
    adt_ = NewTableHeader(field_decls);
    std::vector<uint32_t> declared;
    fields_ = LayoutFields(field_decls, &declared);
    record_length_ = Load32(&adt_[fmt::kOffRecordLength]);
    slot_size_ = Load32(&adt_[fmt::kOffSlotSize]);
    checksums_ = (Load16(&adt_[fmt::kOffFlags]) & fmt::kFlagChecksums) != 0;
    empty_.assign(record_length_, 0);
    for (const auto& fd : fields_) WriteEmptyField(fd, empty_.data());
    for (const auto& fd : fields_) has_memo_ = has_memo_ || IsMemoType(fd.type);
    if (has_memo_) {
      memo_.assign(fmt::kMemoHeader, 0);
      std::memcpy(memo_.data(), fmt::kMemoMagic, 8);
    }
  }
  void StreamTo(int fd) {
    fd_ = fd;
    header_.swap(adt_);
    written_ = header_.size();
    adt_.reserve(kStreamBuffer + slot_size_);
  }

  static void WriteAt(int fd, const std::string& path, const uint8_t* bytes, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) FailIo("Cannot write " + path, n < 0 ? errno : ENOSPC);
      done += static_cast<size_t>(n);
    }
  }
  // Writes out the buffered slots; sealed, only whole blocks unless last
  // (the last block is filled up with free slots).
  void Flush(bool last = false) {
    if (!cipher_) {
      WriteAt(fd_, path_, adt_.data(), adt_.size(), written_);
      written_ += adt_.size();
      adt_.clear();
      return;
    }
    const size_t block_bytes = per_block_ * slot_size_;
    size_t whole = adt_.size() / block_bytes;
    if (last && adt_.size() % block_bytes) {
      adt_.resize(++whole * block_bytes, fmt::kSlotFree);
    }
    sealed_.resize(whole * stored_);
    for (size_t k = 0; k < whole; ++k)
      cipher_->Seal(crypto::Kind::kRecords, written_blocks_ + k, adt_.data() + k * block_bytes, block_bytes,
                    sealed_.data() + k * stored_);
    WriteAt(fd_, path_, sealed_.data(), sealed_.size(), header_.size() + written_blocks_ * stored_);
    written_blocks_ += whole;
    adt_.erase(adt_.begin(), adt_.begin() + static_cast<std::ptrdiff_t>(whole * block_bytes));
  }

  std::string path_;
  std::vector<uint8_t> adt_, memo_, empty_;
  std::vector<uint8_t> header_;  // streamed: the header, written last
  int fd_ = -1;                  // streamed: the file being written
  uint64_t written_ = 0;         // streamed: bytes of the file written so far
  const crypto::Cipher* cipher_ = nullptr;  // sealed: the table's cipher
  uint64_t per_block_ = 0, stored_ = 0;     // sealed: slots per block, bytes per sealed block
  uint64_t written_blocks_ = 0;             // sealed: blocks of the file written so far
  std::vector<uint8_t> sealed_;             // sealed: blocks on their way out
  FieldList fields_;
  uint32_t record_length_ = 0, slot_size_ = 0;
  bool checksums_ = false;
  uint64_t slots_ = 0, live_ = 0;
  bool has_memo_ = false;
};

// A private folder for temporary tables, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!::mkdtemp(buf.data())) {
      int err = errno;
      FailIo("Cannot create a temporary folder in " + tmpl, err);
    }
    path_ = buf.data();
  }
  ~TempFolder() {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string Release() { return std::exchange(path_, std::string()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};


}  // namespace eng
