#pragma once
// The SHA-1 of a file's content, as the store names its blobs and the upload server checks what
// it staged: one reader, so both agree on what a file's hash is.

#include <cstdint>
#include <string>

#include "service/store/status.h"

namespace zelmic {

// A length that hashes the file up to its end, however long it is.
inline constexpr uint64_t kWholeFile = UINT64_MAX;

// SHA-1 of the first `length` bytes of the file at path (kWholeFile: all of it) as 40 lowercase
// hex characters; `hashed`, when given, receives how many bytes that was. A failure (a plain
// Status::Error) says why: the file cannot be opened ("cannot open PATH: REASON") or read, or it
// ends before `length` ("cannot read PATH"), or the digest fails ("SHA-1 failed").
Status Sha1OfFile(const std::string& path, uint64_t length, std::string& hex,
                  uint64_t* hashed = nullptr);

}  // namespace zelmic
