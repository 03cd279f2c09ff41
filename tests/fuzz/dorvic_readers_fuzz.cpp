// Every JSON reader of the dorvic answers, each on the same body, checked against a reading of
// the same body done here: counts and entries as readers.h promises, numbers as answers.h promises
// (truncated and held to range; decimal text like strtoll), texts decoded exactly when they are
// valid UTF-8, and every remote path read still going out as a well-formed request path.
#include <cjson/cJSON.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dorvic/src/readers.h"
#include "dorvic/src/text.h"
#include "tests/fuzz/fuzz_reach.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// The last member of `object` named `key` (only string members when `strings`), or null: every
// reader lets a later duplicate win.
const cJSON* Last(const cJSON* object, const char* key, bool strings = false) {
  const cJSON* found = nullptr;
  for (const cJSON* m = object->child; m != nullptr; m = m->next)
    if (m->string != nullptr && std::strcmp(m->string, key) == 0 && (!strings || cJSON_IsString(m)))
      found = m;
  return found;
}

// A member's integer: true 1, a number truncated toward zero and held to [lo, hi], else 0.
int64_t IntOf(const cJSON* m, int64_t lo, int64_t hi) {
  if (cJSON_IsTrue(m)) return 1;
  if (!cJSON_IsNumber(m)) return 0;
  const double t = std::trunc(m->valuedouble);
  if (std::isnan(t)) return 0;
  // Both bounds are exact as doubles (INT64_MAX rounds up to 2^63, which no int64 reaches).
  if (t >= static_cast<double>(hi)) return hi;
  if (t <= static_cast<double>(lo)) return lo;
  return static_cast<int64_t>(t);
}
int64_t Int64Of(const cJSON* m) { return IntOf(m, INT64_MIN, INT64_MAX); }
int32_t Int32Of(const cJSON* m) { return static_cast<int32_t>(IntOf(m, INT32_MIN, INT32_MAX)); }
int32_t Int32Or(const cJSON* m, int32_t absent) { return m ? Int32Of(m) : absent; }

// Decimal text as strtoll reads it (saturating), the atoi64 reading the readers promise.
int64_t DecimalOf(const char* text) { return std::strtoll(text, nullptr, 10); }

// Strict UTF-8 to code points; false for an overlong form, a surrogate, a value above U+10FFFF,
// a stray or missing continuation byte.
bool DecodeStrict(const char* text, std::wstring& out) {
  out.clear();
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  for (auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
    uint32_t c = *p++;
    const int more = c < 0x80 ? 0 : c < 0xC0 ? -1 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF8 ? 3 : -1;
    if (more < 0) return false;
    if (more > 0) c &= 0x3Fu >> more;
    for (int k = 0; k < more; ++k, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      c = (c << 6) | (*p & 0x3Fu);
    }
    if (c < kMin[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(static_cast<wchar_t>(c));
  }
  return true;
}

// A text field read from `m` (null: the member is absent and the field keeps `before`): only
// scalar values and no NUL; exactly the source's code points when the source is valid UTF-8,
// otherwise at least one U+FFFD where the source was broken.
void CheckText(const std::wstring& got, const cJSON* m, const std::wstring& before = L"") {
  if (m == nullptr) return Require(got == before);
  for (wchar_t wc : got) {
    const auto c = static_cast<uint32_t>(wc);
    Require(c != 0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF));
  }
  std::wstring expected;
  if (DecodeStrict(m->valuestring, expected)) {
    Require(got == expected);
  } else {
    Require(got.find(L'\uFFFD') != std::wstring::npos);
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the encoding promises uppercase
}

// text.h: a remote path goes out as "/" and its non-empty segments, each percent-encoded (only
// letters and digits kept), with a trailing "/" exactly when the path had one. So the request
// path is absolute, has no empty, "." or ".." segment and no byte that needs quoting, and decodes
// back to the path's own segments.
void CheckRequestPath(const std::wstring& path) {
  const std::string encoded = dorvic::EncodePath(path);
  const std::string utf8 = dorvic::ToUtf8(path);
  std::vector<std::string> segments;
  for (size_t at = 0; at <= utf8.size();) {
    size_t slash = utf8.find('/', at);
    if (slash == std::string::npos) slash = utf8.size();
    if (slash > at) segments.push_back(utf8.substr(at, slash - at));
    at = slash + 1;
  }
  Require(!encoded.empty() && encoded[0] == '/');
  std::vector<std::string> decoded(1);
  for (size_t i = 1; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '/') {
      Require(!decoded.back().empty());  // no empty segment
      if (i + 1 < encoded.size()) decoded.emplace_back();
    } else if (c == '%') {
      Require(i + 2 < encoded.size() && HexDigit(encoded[i + 1]) >= 0 &&
              HexDigit(encoded[i + 2]) >= 0);
      decoded.back() += static_cast<char>(HexDigit(encoded[i + 1]) * 16 + HexDigit(encoded[i + 2]));
      i += 2;
    } else {
      Require((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
      decoded.back() += c;
    }
  }
  if (decoded.back().empty()) decoded.pop_back();
  Require(decoded == segments);
  const bool trailing = encoded.size() > 1 && encoded.back() == '/';
  Require(trailing == (!segments.empty() && utf8.back() == '/'));
}

// One entry of a listing (listing fields too) or of a comparison, against its element.
void CheckEntry(const dorvic_file_stx& entry, const cJSON* element, bool listing) {
  if (!cJSON_IsObject(element)) {
    Require(entry.nosync == -1 && entry.fullpath.empty() && entry.filesize == 0 &&
            entry.version == 0);
    return;
  }
  const cJSON* fullpath = Last(element, "fullpath", true);
  CheckText(entry.fullpath, fullpath);
  if (fullpath) CheckRequestPath(entry.fullpath);
  CheckText(entry.filename, Last(element, "filename", true));
  const cJSON* filesize = Last(element, "filesize", true);
  Require(entry.filesize == (filesize ? DecimalOf(filesize->valuestring) : 0));
  Require(entry.version == Int32Or(Last(element, "version"), 0));
  Require(entry.dateline == Int32Or(Last(element, "dateline"), 0));
  Require(entry.nosync == Int32Or(Last(element, "nosync"), -1));
  Require(entry.dir == (listing ? Int32Or(Last(element, "dir"), 0) : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter objects("objects_read");
  static fuzz_reach::Counter entries("entries_checked");
  static fuzz_reach::Counter paths("paths_checked");
  const std::string body(reinterpret_cast<const char*>(data), size);
  cJSON* parsed = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* root = cJSON_IsObject(parsed) ? parsed : nullptr;
  if (root) objects.Hit();

  int32_t count = 0, version = 0, dateline = 0;
  std::vector<dorvic_file_stx> files;
  dorvic::ReadListing(body, &count, &files);
  // The elements of every array member other than "count", in order.
  std::vector<const cJSON*> elements;
  int32_t expectedCount = 0;
  for (const cJSON* m = root ? root->child : nullptr; m != nullptr; m = m->next) {
    if (std::strcmp(m->string, "count") == 0) {
      expectedCount = Int32Of(m);
    } else if (cJSON_IsArray(m)) {
      for (const cJSON* e = m->child; e != nullptr; e = e->next) elements.push_back(e);
    }
  }
  Require(count == expectedCount && files.size() == elements.size());
  for (size_t i = 0; i < files.size(); ++i) CheckEntry(files[i], elements[i], true);

  dorvic_file_reget file;
  file.dir = L"before";
  dorvic::ReadReget(body, &file);
  if (root) {
    const cJSON* fullpath = Last(root, "fullpath", true);
    CheckText(file.fullpath, fullpath);
    if (fullpath) {
      CheckRequestPath(file.fullpath);
      paths.Hit();
    }
    const cJSON* filesize = Last(root, "filesize");
    Require(file.filesize == (filesize ? Int64Of(filesize) : 0));
    // "dir": a number as its decimal text, a string as it is; the last such member wins.
    const cJSON* dir = nullptr;
    for (const cJSON* m = root->child; m != nullptr; m = m->next)
      if (std::strcmp(m->string, "dir") == 0 && (cJSON_IsNumber(m) || cJSON_IsString(m))) dir = m;
    if (dir && cJSON_IsNumber(dir)) {
      Require(file.dir == std::to_wstring(Int64Of(dir)));
    } else {
      CheckText(file.dir, dir, L"before");
    }
  }

  dorvic_addfile_ret added;
  dorvic::ReadAddFile(body, &added);
  version = 7;
  dorvic::ReadVersionMember(body, &version);
  Require(version == (root ? Int32Or(Last(root, "version"), 7) : 7));

  std::vector<dorvic_file_stx> compared;
  version = dateline = 0;
  dorvic::ReadCompare(body, &version, &dateline, &compared);
  if (root) {
    Require(version == Int32Or(Last(root, "version"), 0) &&
            dateline == Int32Or(Last(root, "dateline"), 0));
    // Every array member other than "version" and "dateline" gives entries, without the
    // listing's own fields.
    std::vector<const cJSON*> all;
    for (const cJSON* m = root->child; m != nullptr; m = m->next) {
      if (std::strcmp(m->string, "version") == 0 || std::strcmp(m->string, "dateline") == 0)
        continue;
      if (cJSON_IsArray(m))
        for (const cJSON* e = m->child; e != nullptr; e = e->next) all.push_back(e);
    }
    Require(compared.size() == all.size());
    for (size_t i = 0; i < compared.size(); ++i) CheckEntry(compared[i], all[i], false);
    if (!all.empty()) entries.Hit();
  } else {
    Require(compared.empty() && version == 0 && dateline == 0);
  }

  std::vector<dorvic_file_version> versions;
  dorvic::ReadVersions(body, &versions);
  size_t v = 0;
  for (const cJSON* m = root ? root->child : nullptr; m != nullptr; m = m->next) {
    if (!cJSON_IsObject(m)) continue;
    Require(v < versions.size());
    // Numbered by the member's name read as decimal text and held to 32 bits.
    const int64_t number = DecimalOf(m->string);
    Require(versions[v].version == (number > INT32_MAX   ? INT32_MAX
                                    : number < INT32_MIN ? INT32_MIN
                                                         : number));
    const cJSON* filesize = Last(m, "filesize", true);
    Require(versions[v].filesize == (filesize ? DecimalOf(filesize->valuestring) : 0));
    CheckText(versions[v].filehash, Last(m, "filehash", true));
    ++v;
  }
  Require(v == versions.size());

  std::vector<dorvic_remind_msg> messages;
  dorvic::ReadDiscuss(body, &messages);
  std::wstring url;
  uint32_t day = 0, downloads = 0, most = 0;
  dorvic::ReadPublish(body, &url, &day, &downloads, &most);
  if (root) {
    CheckText(url, Last(root, "url", true));
    Require(day == static_cast<uint32_t>(Int32Or(Last(root, "day_limit"), 0)));
  }
  cJSON_Delete(parsed);
  return 0;
}
