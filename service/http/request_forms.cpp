#include "service/http/request_forms.h"

namespace zelmic {

bool ParseForm(const std::string& body, FormPairs& out) {
  if (body.empty()) return true;
  size_t start = 0;
  while (start <= body.size()) {
    size_t amp = body.find('&', start);
    if (amp == std::string::npos) amp = body.size();
    const std::string pair = body.substr(start, amp - start);
    const size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    out.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    start = amp + 1;
  }
  return true;
}

const std::string* FormValue(const FormPairs& form, const char* name) {
  for (const auto& [k, v] : form)
    if (k == name) return &v;
  return nullptr;
}

namespace {

bool PlausibleEmail(const std::string& e) {
  const size_t at = e.find('@');
  if (e.size() > 254 || at == std::string::npos || at == 0 || at + 1 == e.size()) return false;
  for (unsigned char c : e)
    if (c <= 0x20 || c == 0x7F || c == ',' || c == '|' || c == '&' || c == '<' || c == '>')
      return false;
  return true;
}

}  // namespace

bool ParseEmails(const std::string& list, bool with_permission, std::vector<std::string>& out) {
  size_t start = 0;
  while (start < list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string item = list.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;
    if (with_permission) {
      const size_t bar = item.find('|');
      if (bar != std::string::npos) {
        const std::string perm = item.substr(bar + 1);
        if (perm != "0" && perm != "1") return false;
        item.resize(bar);
      }
    }
    if (!PlausibleEmail(item)) return false;
    out.push_back(item);
  }
  return true;
}

}  // namespace zelmic
