#pragma once
// One read-only view of a whole open file, for scans that walk the file from front to back.
// The kernel is kept a few MiB ahead of each reader (ViewReadAhead): touching an unpopulated page
// costs a fault per page, far more than asking for the pages in bulk. Pages of the file are only
// mapped, never copied: the memory a scan needs does not grow with the file beyond the view.

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

  // Asks that the pages of [from, to) be present (clipped to the view). Only a hint: every byte
  // of the view is readable whether or not it was asked for. Safe from several threads at once.
  void Populate(uint64_t from, uint64_t to) const;

  const unsigned char* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  uint64_t size_ = 0;
};

// One reader's walk through a view: keeps the pages from its position to some MiB beyond it
// present, asking in large steps. One object per reading thread.
class ViewReadAhead {
 public:
  // The reader starts at `start`.
  ViewReadAhead(const MappedView& view, uint64_t start) : view_(view), populated_(start) {}

  // The reader is about to read up to `position`.
  void At(uint64_t position);

 private:
  const MappedView& view_;
  uint64_t populated_;  // pages from the start up to this offset have been asked for
};

}  // namespace platform
