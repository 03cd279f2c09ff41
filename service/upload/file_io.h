#pragma once
// Small POSIX file helpers for the upload server: whole reads and writes that retry short
// transfers (over platform/io_retry.h). The SHA-1 of a file is the store's
// (service/store/file_hash.h).

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text_forms.h"

namespace zelmic {

// Reads exactly size bytes at offset; false on an error or an early end of file.
bool PreadAll(int fd, void* data, size_t size, uint64_t offset);
// Writes all size bytes at offset.
bool PwriteAll(int fd, const void* data, size_t size, uint64_t offset);
// Appends all size bytes at the descriptor's position.
bool WriteAll(int fd, const void* data, size_t size);

// Lowercase hex of raw bytes.
using plumet_text::HexLower;

}  // namespace zelmic
