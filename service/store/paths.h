#pragma once
// Remote paths inside a mount. Every path the service stores is normalised: "/" for the mount's
// root, otherwise "/" followed by non-empty segments joined by "/", none of them "." or "..", with
// no NUL or control byte and valid UTF-8 in canonical composition (NFC), without bidirectional
// control characters. Whatever a client sends is decoded into that form or
// refused, so no request can name anything outside its mount.

#include <string>

#include "service/store/status.h"

namespace zelmic {

bool IsValidUtf8(const std::string& text);

// Decodes "%XX" escapes; false on a malformed escape.
bool PercentDecode(const std::string& in, std::string& out);

// The path part of a REST request target (query already cut off), percent-encoded segment by
// segment. An escaped "/" inside a segment is refused: it would smuggle a separator past the
// client's encoding. trailing_slash tells whether the client named a folder.
// A refusal is a plain Status::Error saying what is wrong with the path.
Status DecodeRequestPath(const std::string& raw, std::string& path, bool& trailing_slash);

// A plain (unescaped) path from the command line, a form or a rename: the same rules, with empty
// segments dropped.
Status NormalisePath(const std::string& text, std::string& path);

// Joins a folder and a relative path and normalises the result.
Status ResolvePath(const std::string& folder, const std::string& relative, std::string& path);

std::string ParentOf(const std::string& path);  // "/a/b" -> "/a", "/a" -> "/"
std::string NameOf(const std::string& path);    // "/a/b.txt" -> "b.txt", "/" -> ""
std::string ExtOf(const std::string& name);     // "b.tar.gz" -> "gz", "b" -> ""
// Whether path lies strictly inside folder.
bool IsInside(const std::string& path, const std::string& folder);

}  // namespace zelmic
