#include "service/store/paths.h"

#include <vector>

#include "service/store/unicode_names.h"

namespace zelmic {

namespace {

constexpr size_t kMaxPath = 4096;
constexpr size_t kMaxSegment = 255;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    unsigned min;
    unsigned value;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, value = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      value = (value << 6) | (cc & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

namespace {

Status CheckSegment(const std::string& segment) {
  if (segment == "." || segment == "..")
    return Status::Error("path segments \".\" and \"..\" are not allowed");
  if (segment.size() > kMaxSegment) return Status::Error("path segment too long");
  for (unsigned char c : segment) {
    if (c < 0x20 || c == 0x7F) return Status::Error("control bytes are not allowed in paths");
  }
  if (!IsValidUtf8(segment)) return Status::Error("path is not valid UTF-8");
  if (HasBidiControl(segment))
    return Status::Error("bidirectional control characters are not allowed in paths");
  return Status::OK();
}

Status Join(const std::vector<std::string>& segments, std::string& path) {
  std::string out;
  for (const auto& sent : segments) {
    if (Status bad = CheckSegment(sent); !bad.ok()) return bad;
    // Every way in reaches here: one spelling per name, checked again as stored (it may grow).
    const std::string s = ComposedUtf8(sent);
    if (Status bad = CheckSegment(s); !bad.ok()) return bad;
    out += '/';
    out += s;
  }
  if (out.empty()) out.push_back('/');  // the root
  if (out.size() > kMaxPath) return Status::Error("path too long");
  path = out;
  return Status::OK();
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    if (slash > start) parts.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

}  // namespace

bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

Status DecodeRequestPath(const std::string& raw, std::string& path, bool& trailing_slash) {
  if (raw.empty() || raw[0] != '/') return Status::Error("the request path must begin with \"/\"");
  if (raw.size() > kMaxPath * 3) return Status::Error("path too long");
  trailing_slash = raw.size() > 1 && raw.back() == '/';
  std::vector<std::string> segments;
  for (const auto& part : Split(raw)) {
    std::string decoded;
    if (!PercentDecode(part, decoded)) return Status::Error("malformed percent-escape in path");
    if (decoded.find('/') != std::string::npos)
      return Status::Error("an escaped \"/\" is not allowed inside a path segment");
    if (decoded.empty()) continue;
    segments.push_back(decoded);
  }
  return Join(segments, path);
}

Status NormalisePath(const std::string& text, std::string& path) {
  if (text.size() > kMaxPath) return Status::Error("path too long");
  return Join(Split(text), path);
}

Status ResolvePath(const std::string& folder, const std::string& relative, std::string& path) {
  if (!relative.empty() && relative[0] == '/') return NormalisePath(relative, path);
  return NormalisePath(folder + "/" + relative, path);
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtOf(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return name.substr(dot + 1);
}

bool IsInside(const std::string& path, const std::string& folder) {
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace zelmic
