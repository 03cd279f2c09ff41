// zelmicd's reading of what a client sends: request paths (percent-encoded and plain), the
// Authorization value, the Date text, integer header values, form bodies and queries, address
// lists, the upload headers' decimals and ranges, and the admin endpoint's scripted answers.
// What is accepted is held to what the headers promise, against short readings done here: paths
// in the stored form of paths.h and with the segments the client named, decimals and ranges with
// the values of their digits, forms and authorizations that give back the text they came from.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "service/http/api_request.h"
#include "service/http/auth.h"
#include "service/http/faults.h"
#include "service/http/request_forms.h"
#include "service/store/paths.h"
#include "service/store/secrets.h"
#include "service/store/unicode_names.h"
#include "service/upload/upload_answer.h"
#include "tests/fuzz/fuzz_reach.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// The non-empty "/"-separated parts of text.
std::vector<std::string> Segments(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text + "/") {
    if (c != '/') {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  return parts;
}

// Strict UTF-8: no overlong form, surrogate, value above U+10FFFF, stray or missing continuation.
bool ValidUtf8(const std::string& text) {
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    uint32_t c = static_cast<unsigned char>(text[i++]);
    const int more = c < 0x80 ? 0 : c < 0xC0 ? -1 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF8 ? 3 : -1;
    if (more < 0 || i + more > text.size()) return false;
    if (more > 0) c &= 0x3Fu >> more;
    for (int k = 0; k < more; ++k, ++i) {
      if ((text[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (text[i] & 0x3Fu);
    }
    if (c < kMin[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

// A segment paths.h lets a stored path hold.
bool GoodSegment(const std::string& s) {
  if (s.empty() || s == "." || s == ".." || s.size() > 255 || !ValidUtf8(s)) return false;
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

// The path made of these segments when paths.h accepts them: each segment in its composed
// (NFC, Qt's tables) spelling, no direction controls, "/" alone for none, at most 4096 bytes.
bool Expected(const std::vector<std::string>& segments, std::string& path) {
  path.clear();
  for (const std::string& sent : segments) {
    if (!GoodSegment(sent) || zelmic::HasBidiControl(sent)) return false;
    const std::string s = zelmic::ComposedUtf8(sent);
    if (!GoodSegment(s) || zelmic::HasBidiControl(s)) return false;
    path += "/" + s;
  }
  if (path.empty()) path = "/";
  return path.size() <= 4096;
}

// Every accepted path is in the stored form, and a second normalisation leaves it as it is.
void CheckStored(const std::string& path) {
  Require(!path.empty() && path[0] == '/' && (path == "/" || path.back() != '/'));
  std::vector<std::string> segments = Segments(path);
  std::string rebuilt;
  Require(Expected(segments, rebuilt) && rebuilt == path);
  std::string again;
  Require(zelmic::NormalisePath(path, again).ok() && again == path);
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "%XX" with two hex digits of either case; anything else after "%" refuses the text.
bool Decode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
    } else if (i + 2 < in.size() && Hex(in[i + 1]) >= 0 && Hex(in[i + 2]) >= 0) {
      out += static_cast<char>(Hex(in[i + 1]) * 16 + Hex(in[i + 2]));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The digits' own value, or false past 2^64 - 1.
bool DigitsValue(const std::string& digits, uint64_t& value) {
  unsigned __int128 v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > UINT64_MAX) return false;
  }
  value = static_cast<uint64_t>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter pathsAccepted("paths_accepted");
  static fuzz_reach::Counter numbersAccepted("numbers_accepted");
  static fuzz_reach::Counter rangesAccepted("ranges_accepted");
  static fuzz_reach::Counter formsAccepted("forms_accepted");
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string path, decoded, token, signature, expected;
  bool folder = false;

  // The request target: each part percent-decoded, none hiding a "/", empty ones dropped.
  bool ok = !text.empty() && text[0] == '/' && text.size() <= 3 * 4096;
  std::vector<std::string> parts;
  for (const std::string& raw : Segments(text)) {
    ok = ok && Decode(raw, decoded) && decoded.find('/') == std::string::npos;
    if (ok && !decoded.empty()) parts.push_back(decoded);
  }
  ok = ok && Expected(parts, expected);
  Require(zelmic::DecodeRequestPath(text, path, folder).ok() == ok);
  if (ok) {
    Require(path == expected && folder == (text.size() > 1 && text.back() == '/'));
    CheckStored(path);
    pathsAccepted.Hit();
  }
  // A plain path: the same rules without escapes.
  ok = text.size() <= 4096 && Expected(Segments(text), expected);
  Require(zelmic::NormalisePath(text, path).ok() == ok);
  if (ok) {
    Require(path == expected);
    CheckStored(path);
  }
  // Relative to a folder: stays inside it unless the text is itself absolute.
  if (zelmic::ResolvePath("/docs", text, path).ok()) {
    CheckStored(path);
    Require(text[0] == '/' || path == "/docs" || path.rfind("/docs/", 0) == 0);
  }
  const bool decodedOk = zelmic::PercentDecode(text, decoded);
  Require(decodedOk == Decode(text, expected) && (!decodedOk || decoded == expected));
  Require(zelmic::IsValidUtf8(text) == ValidUtf8(text));

  // "token:signature" split at the last colon, neither part empty.
  if (zelmic::SplitAuthorization(text, token, signature)) {
    Require(!token.empty() && !signature.empty() && signature.find(':') == std::string::npos &&
            token + ":" + signature == text);
    (void)zelmic::SameSecret(token, signature);
  } else {
    const size_t colon = text.rfind(':');
    Require(colon == std::string::npos || colon == 0 || colon + 1 == text.size());
  }
  time_t wall = 0;
  if (zelmic::ParseRequestDate(text, wall)) (void)zelmic::DatePlausible(wall, std::time(nullptr));

  // Header integers: an optional "-" and digits (20 characters at most), the value in range.
  long long number = 0;
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  ok = text.size() <= 20 && AllDigits(text.substr(negative)) &&
       DigitsValue(text.substr(negative), magnitude) &&
       magnitude <= (negative ? 1ull << 31 : (1ull << 31) - 1);
  Require(zelmic::ParseInt(text, INT32_MIN, INT32_MAX, number) == ok);
  if (ok) {
    Require(number ==
            (negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude)));
    numbersAccepted.Hit();
  }

  // "name=value&...": every pair has a non-empty name before its first "=", values as sent.
  zelmic::FormPairs form;
  ok = true;
  for (size_t start = 0; !text.empty() && start <= text.size();) {
    const size_t amp = std::min(text.find('&', start), text.size());
    const size_t eq = text.find('=', start);
    ok = ok && eq != std::string::npos && eq > start && eq < amp;
    start = amp + 1;
  }
  Require(zelmic::ParseForm(text, form) == ok);
  if (ok) {
    std::string rebuilt;
    for (size_t i = 0; i < form.size(); ++i) {
      const auto& [name, value] = form[i];
      Require(!name.empty() && name.find_first_of("=&") == std::string::npos &&
              value.find('&') == std::string::npos);
      rebuilt += (i == 0 ? "" : "&") + name + "=" + value;
    }
    Require(rebuilt == text);
    if (!form.empty()) formsAccepted.Hit();
    for (const char* name : {"message", "email", "day_limit", "v"}) {
      if (const std::string* value = zelmic::FormValue(form, name)) {
        std::vector<std::string> emails;
        (void)zelmic::ParseEmails(*value, true, emails);
        (void)zelmic::PercentDecode(*value, decoded);
      }
    }
  }
  std::vector<std::string> emails;
  if (zelmic::ParseEmails(text, false, emails)) {
    for (const std::string& e : emails) {
      const size_t at = e.find('@');
      Require(at != std::string::npos && at > 0 && at + 1 < e.size() && e.size() <= 254 &&
              e.find_first_of(",|&<>") == std::string::npos);
      for (unsigned char c : e) Require(c > 0x20 && c != 0x7F);
    }
  }

  // The upload headers: strict decimals (digits only, no overflow) and "A-B" with A <= B.
  uint64_t first = 0, last = 0, value = 0;
  ok = AllDigits(text) && DigitsValue(text, value);
  Require(zelmic::ParseDecimal(text, first) == ok && (!ok || first == value));
  const size_t dash = text.find('-');
  uint64_t a = 0, b = 0;
  ok = dash != std::string::npos && AllDigits(text.substr(0, dash)) &&
       AllDigits(text.substr(dash + 1)) && DigitsValue(text.substr(0, dash), a) &&
       DigitsValue(text.substr(dash + 1), b) && a <= b;
  Require(zelmic::ParseRange(text, first, last) == ok);
  if (ok) {
    Require(first <= last && first == a && last == b);
    rangesAccepted.Hit();
  }
  std::string endpoint;
  zelmic::ScriptedAnswer answer;
  (void)zelmic::ParseScriptedAnswer(text, endpoint, answer);
  return 0;
}
