#pragma once
// One read-only view of a whole open file, for scans that walk the file from front to back.
// The kernel is kept a few MiB ahead of the reader (ReadAhead): touching an unpopulated page costs
// a fault per page, far more than asking for the pages in bulk.

#include <cstddef>
#include <cstdint>

namespace platform {

class MappedView {
 public:
  MappedView() = default;
  ~MappedView();  // Unmaps.
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  // Maps `size` bytes of `fd` from offset 0, read-only. False for an empty size, a size that does
  // not fit the address space, or a refused mapping.
  bool Map(int fd, uint64_t size);
  void Unmap();

  // Asks that the pages up to at least `position` (and some beyond) be present. Only a hint:
  // every byte of the view is readable whether or not it was asked for.
  void ReadAhead(uint64_t position);

  const unsigned char* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  uint64_t size_ = 0;
  uint64_t populated_ = 0;  // pages below this offset have been asked for
  bool canPopulate_ = true;
};

}  // namespace platform
