// Damaged index pages: a small valid tree is built, the fuzz input patches
// bytes of its pages and then drives walks, seeks, inserts and erases on
// it. Every failure must be an EngineError; crashes, sanitizer reports and
// endless loops are faults.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "btree.h"
#include "error.h"
#include "memory_pagestore.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint16_t kKeyLens[] = {4, 8, 30, 157};

std::vector<uint8_t> ValidImage(uint16_t keyLen, unsigned entries, uint32_t* meta) {
  eng::MemoryPageStore store(512);
  *meta = eng::BTree::Create(store, keyLen);
  eng::BTree tree(store, *meta);
  uint8_t key[256] = {};
  for (unsigned i = 0; i < entries; ++i) {
    key[0] = static_cast<uint8_t>(i % 7);
    key[keyLen - 1] = static_cast<uint8_t>(i);
    tree.Insert(key, i);
  }
  for (unsigned i = 0; i < entries; i += 5) {  // some merges, so that freed pages exist too
    key[0] = static_cast<uint8_t>(i % 7);
    key[keyLen - 1] = static_cast<uint8_t>(i);
    tree.Erase(key, i);
  }
  return store.Image();
}

void Run(eng::MemoryPageStore& store, uint32_t meta, Input& in) {
  eng::BTree tree(store, meta);
  eng::BTree::Cursor cursor(tree);
  uint8_t key[256] = {};
  size_t keyLen = tree.KeyLength();
  for (int op = 0; op < 48 && !in.Empty(); ++op) {
    uint8_t kind = in.Byte();
    for (size_t i = 0; i < keyLen; i += 8) key[i] = in.Byte();
    key[keyLen - 1] = in.Byte();
    uint32_t recno = in.Byte();
    switch (kind % 9) {
      case 0:
        for (bool ok = cursor.First(); ok; ok = cursor.Next()) {
        }
        break;
      case 1:
        for (bool ok = cursor.Last(); ok; ok = cursor.Prev()) {
        }
        break;
      case 2: cursor.SeekGE(key, 1 + recno % tree.EntryLength()); break;
      case 3: cursor.SeekLE(key, 1 + recno % tree.EntryLength()); break;
      case 4: tree.Insert(key, recno); break;
      case 5: tree.Erase(key, recno); break;
      case 6: tree.Verify(); break;
      case 7:
        if (cursor.Valid()) (kind & 0x80) ? cursor.Prev() : cursor.Next();
        break;
      case 8: tree.ContainsKey(key); break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint8_t shape = in.Byte();
  uint16_t keyLen = kKeyLens[shape % 4];
  unsigned entries = (shape >> 2) * 8;
  uint32_t meta = 0;
  std::vector<uint8_t> image = ValidImage(keyLen, entries, &meta);
  size_t pages = image.size() / 512;

  unsigned patches = in.Byte() % 16;
  for (unsigned i = 0; i < patches; ++i) {
    size_t page = 1 + in.Byte() % (pages - 1);
    size_t offset = in.Word() % 512;
    image[page * 512 + offset] = in.Byte();
  }
  eng::MemoryPageStore store = eng::MemoryPageStore::FromImage(image.data(), image.size(), 512);
  try {
    Run(store, meta, in);
  } catch (const eng::EngineError&) {
  }
  return 0;
}
