#include "platform/mapped_view.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

// Pages are requested this far ahead of the reader, in steps of this size.
constexpr uint64_t kAhead = 8u << 20;

}  // namespace

MappedView::~MappedView() { Unmap(); }

bool MappedView::Map(int fd, uint64_t size) {
  Unmap();
  if (fd < 0 || size == 0 || size > SIZE_MAX) return false;
  void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<unsigned char*>(p);
  size_ = size;
  populated_ = 0;
  canPopulate_ = true;
  ::madvise(data_, static_cast<size_t>(size_), MADV_SEQUENTIAL);
  return true;
}

void MappedView::Unmap() {
  if (data_ != nullptr) ::munmap(data_, static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
  populated_ = 0;
}

void MappedView::ReadAhead(uint64_t position) {
  if (data_ == nullptr || populated_ >= size_ || position + kAhead / 2 < populated_) return;
  const uint64_t from = populated_;
  const uint64_t to = std::min(size_, std::max(position, populated_) + kAhead);
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = from & ~(page - 1);
  unsigned char* addr = data_ + start;
  const size_t len = static_cast<size_t>(to - start);
  // Populating maps the pages in one call; an older kernel without it still gets the read-ahead.
  if (canPopulate_ && ::madvise(addr, len, MADV_POPULATE_READ) != 0 && errno == EINVAL) {
    canPopulate_ = false;
  }
  if (!canPopulate_) ::madvise(addr, len, MADV_WILLNEED);
  // The next step is already being read in the background while this one is scanned.
  if (to < size_) {
    ::madvise(data_ + to, static_cast<size_t>(std::min(size_, to + kAhead) - to), MADV_WILLNEED);
  }
  populated_ = to;
}

}  // namespace platform
