#include "session/launch_request.h"

#include <openssl/sha.h>

#include <climits>
#include <cstdlib>

#include "common/text_utf.h"
#include "session/session_texts.h"

namespace plumet {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;

namespace {

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void EmitGroup(const int* values, int count, std::string& out) {
  if (count >= 2) out.push_back(static_cast<char>((values[0] << 2) | (values[1] >> 4)));
  if (count >= 3) out.push_back(static_cast<char>(((values[1] & 0x0F) << 4) | (values[2] >> 2)));
  if (count >= 4) out.push_back(static_cast<char>(((values[2] & 0x03) << 6) | values[3]));
}

}  // namespace

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  int group[4];
  int filled = 0;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '=' && filled >= 2) {
      // Padding where the third or fourth character belongs ends the text.
      EmitGroup(group, filled, out);
      return out;
    }
    const int value = Base64Value(c);
    if (value < 0) continue;
    group[filled++] = value;
    if (filled == 4) {
      EmitGroup(group, 4, out);
      filled = 0;
    }
  }
  EmitGroup(group, filled, out);
  return out;
}

std::vector<std::string> SplitNonEmpty(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

namespace {

// A name the file system can hold and that stays in its folder.
bool UsableName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == L'/') return false;
  }
  const std::string utf8 = ToUtf8(name);
  return !utf8.empty() && utf8.size() <= NAME_MAX;
}

// 16 hexadecimal digits of the SHA-1 of `text`: short, and the same in every run.
std::string ShortKey(const std::string& text) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0xF]);
  }
  return out;
}

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  return dir;
}

// Paths beyond this many bytes take the hashed form: editors and archive tools still cope.
constexpr size_t kMirroredPathMax = 1024;

}  // namespace

std::string LocalPathFor(const std::string& tempDir, int32_t mount,
                         const std::wstring& remotePath) {
  const size_t slash = remotePath.rfind(L'/');
  const std::wstring name = slash == std::wstring::npos ? remotePath : remotePath.substr(slash + 1);
  const std::string dir = WithSlash(tempDir);
  if (dir.empty() || !UsableName(name)) return {};
  const std::wstring folders = slash == std::wstring::npos ? L"" : remotePath.substr(0, slash);

  std::string mirrored = dir + std::to_string(mount) + "/";
  bool usable = true;
  for (const std::string& part : SplitNonEmpty(ToUtf8(folders), '/')) {
    if (!UsableName(FromUtf8(part))) {
      usable = false;
      break;
    }
    mirrored += part + "/";
  }
  // "//" in a remote path is not a folder of its own: mirrored, "/a//b" and "/a/b" would share a
  // folder, so such paths are hashed whole.
  if (remotePath.find(L"//") != std::wstring::npos) usable = false;
  const std::string file = ToUtf8(name);
  if (usable && mirrored.size() + file.size() <= kMirroredPathMax) return mirrored + file;
  return dir + std::to_string(mount) + ".h/" + ShortKey(ToUtf8(folders)) + "/" + file;
}

std::string WorkDirFor(const std::string& tempDir, int32_t mount, const std::wstring& remotePath) {
  if (tempDir.empty()) return {};
  return WithSlash(tempDir) + ".work/" +
         ShortKey(std::to_string(mount) + "|" + ToUtf8(remotePath)) + "/";
}

std::unique_ptr<EditSession> ParseLaunchRequest(std::wstring_view text,
                                                const std::string& tempDir) {
  const size_t zero = text.find(L'\0');
  if (zero != std::wstring_view::npos) text = text.substr(0, zero);
  if (text.empty()) return nullptr;
  std::string utf8 = ToUtf8(std::wstring(text));
  if (!utf8.empty() && utf8.back() == '/') utf8.pop_back();
  std::string_view payload = utf8;
  const size_t scheme = payload.find("://");
  if (scheme != std::string_view::npos) payload.remove_prefix(scheme + 3);
  const std::vector<std::string> fields = SplitNonEmpty(Base64Decode(payload), '|');
  if (fields.size() < 3) return nullptr;

  auto session = std::make_unique<EditSession>();
  session->mount = std::atoi(fields[0].c_str());
  session->remotePath = FromUtf8(fields[1]);
  session->refreshToken = FromUtf8(fields[2]);
  session->localPath = FromUtf8(LocalPathFor(tempDir, session->mount, session->remotePath));
  if (session->localPath.empty()) return nullptr;
  session->workDir = WorkDirFor(tempDir, session->mount, session->remotePath);
  return session;
}

}  // namespace plumet

namespace plumet {

bool OnLaunchRequest(SessionList& list, std::wstring_view text) {
  std::unique_ptr<EditSession> session = ParseLaunchRequest(text, list.tempDir());
  if (!session) {
    // The text holds a token: only the fact is worth a line.
    if (!text.empty() && text.front() != L'\0' && list.ports().log != nullptr)
      list.ports().log->Failure("launch request discarded: not a usable edit link");
    return false;
  }
  // A file that has a session goes to it; only a copy nobody knows of may be open elsewhere.
  if (!list.HasSession(session->mount, session->remotePath) &&
      list.ports().probes->IsFileOpenElsewhere(ToUtf8(session->localPath))) {
    list.ports().notifier->ShowBalloon(texts::kTitle,
                                       texts::Format(texts::kAlreadyOpen, session->remotePath));
    return false;
  }
  return list.RegisterSession(std::move(session));
}

}  // namespace plumet
