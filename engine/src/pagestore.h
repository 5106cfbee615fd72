// Fixed-size pages of an index file, as the B+-tree sees them. The store
// owns the bytes; the tree never keeps a page pointer across a call that may
// allocate (pages may move when the file grows). Write() records the page's
// before-image for crash recovery the first time a page is written within
// one engine operation, so the tree simply writes in place.
#pragma once

#include <cstdint>

namespace eng {

class PageStore {
 public:
  virtual ~PageStore() = default;
  virtual uint32_t PageSize() const = 0;
  // The page's bytes; throws EngineError(ENG_ERR_CORRUPT) for a page number
  // that is not allocated.
  virtual const uint8_t* Read(uint32_t page) = 0;
  virtual uint8_t* Write(uint32_t page) = 0;
  // A new zero-filled page, already writable.
  virtual uint32_t Allocate() = 0;
  virtual void Free(uint32_t page) = 0;
};

}  // namespace eng
