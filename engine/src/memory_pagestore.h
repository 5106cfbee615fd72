// A PageStore held in memory: for tests, for the fuzz target and for
// temporary indexes that never reach a file. Page 0 is never handed out
// (trees use 0 as "no page"), so page numbers start at 1. Freed pages are
// reused by later allocations. Reading or freeing a page that is not
// allocated throws EngineError(ENG_ERR_CORRUPT) naming the page, as a file
// store does for a page number beyond its end.
//
// With SetMoveOnAllocate(true) every Allocate() moves all pages to new
// buffers, as a remapped file would; a caller that keeps a page pointer
// across Allocate() then reads freed memory, which the sanitizer build
// reports. Not thread-safe: one owner at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "pagestore.h"

namespace eng {

class MemoryPageStore final : public PageStore {
 public:
  explicit MemoryPageStore(uint32_t pageSize = 512) : pageSize_(pageSize) {
    if (pageSize < 128 || pageSize > 65536) {
      Fail(ENG_ERR_INVALID_ARGUMENT, "index page size " + std::to_string(pageSize) + " is not between 128 and 65536");
    }
    pages_.emplace_back();  // page 0: reserved
    live_.push_back(false);
  }

  // A store over a page image: page i is the bytes at i * pageSize. Every
  // page but page 0 counts as allocated; a trailing partial page is dropped.
  static MemoryPageStore FromImage(const uint8_t* image, size_t size, uint32_t pageSize) {
    MemoryPageStore store(pageSize);
    size_t count = size / pageSize;
    for (size_t i = 1; i < count; ++i) {
      store.pages_.push_back(std::make_unique<uint8_t[]>(pageSize));
      std::memcpy(store.pages_.back().get(), image + i * pageSize, pageSize);
      store.live_.push_back(true);
      ++store.livePages_;
    }
    return store;
  }

  // Page i at offset i * pageSize; free pages and page 0 are zeros.
  std::vector<uint8_t> Image() const {
    std::vector<uint8_t> image(pages_.size() * size_t{pageSize_}, 0);
    for (size_t i = 1; i < pages_.size(); ++i) {
      if (live_[i]) std::memcpy(image.data() + i * pageSize_, pages_[i].get(), pageSize_);
    }
    return image;
  }

  uint32_t PageSize() const override { return pageSize_; }

  const uint8_t* Read(uint32_t page) override { return Live(page); }
  uint8_t* Write(uint32_t page) override { return Live(page); }

  uint32_t Allocate() override {
    if (moveOnAllocate_) MoveAllPages();
    uint32_t page;
    if (!freeList_.empty()) {
      page = freeList_.back();
      freeList_.pop_back();
      std::memset(pages_[page].get(), 0, pageSize_);
    } else {
      if (pages_.size() >= UINT32_MAX) Fail(ENG_ERR_OUT_OF_MEMORY, "in-memory index is full");
      page = static_cast<uint32_t>(pages_.size());
      pages_.push_back(std::make_unique<uint8_t[]>(pageSize_));  // value-initialized: zeros
      live_.push_back(false);
    }
    live_[page] = true;
    ++livePages_;
    return page;
  }

  void Free(uint32_t page) override {
    Live(page);
    live_[page] = false;
    freeList_.push_back(page);
    --livePages_;
  }

  size_t LivePages() const { return livePages_; }
  void SetMoveOnAllocate(bool move) { moveOnAllocate_ = move; }

 private:
  uint8_t* Live(uint32_t page) {
    if (page >= pages_.size() || !live_[page]) {
      Fail(ENG_ERR_CORRUPT, "index page " + std::to_string(page) + " is not an allocated page");
    }
    return pages_[page].get();
  }

  void MoveAllPages() {
    for (size_t i = 1; i < pages_.size(); ++i) {
      auto moved = std::make_unique<uint8_t[]>(pageSize_);
      std::memcpy(moved.get(), pages_[i].get(), pageSize_);
      pages_[i] = std::move(moved);
    }
  }

  uint32_t pageSize_;
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  std::vector<bool> live_;
  std::vector<uint32_t> freeList_;
  size_t livePages_ = 0;
  bool moveOnAllocate_ = false;
};

}  // namespace eng
