#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/mapped_view.h"

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
  ::madvise(data_, static_cast<size_t>(size_), MADV_SEQUENTIAL);
  return true;
}

void MappedView::Unmap() {
  if (data_ != nullptr) ::munmap(data_, static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
}

void MappedView::Populate(uint64_t from, uint64_t to) const {
  to = std::min(to, size_);
  if (data_ == nullptr || from >= to) return;
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = from & ~(page - 1);
  unsigned char* addr = data_ + start;
  const size_t len = static_cast<size_t>(to - start);
  // Populating maps the pages in one call; an older kernel without it still gets the read-ahead.
  if (::madvise(addr, len, MADV_POPULATE_READ) != 0 && errno == EINVAL) {
    ::madvise(addr, len, MADV_WILLNEED);
  }
}

void ViewReadAhead::At(uint64_t position) {
  const uint64_t size = view_.size();
  if (populated_ >= size || position + kAhead / 2 < populated_) return;
  const uint64_t to = std::min(size, std::max(position, populated_) + kAhead);
  view_.Populate(populated_, to);
  // The next step is already being read in the background while this one is scanned.
  if (to < size) {
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t start = to & ~(page - 1);
    const uint64_t next = std::min(size, to + kAhead);
    ::madvise(const_cast<unsigned char*>(view_.data()) + start, static_cast<size_t>(next - start),
              MADV_WILLNEED);
  }
  populated_ = to;
}

}  // namespace platform
