#include "common/transport_settings.h"

#include <strings.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

namespace plumet_transport {

namespace {

std::string Variable(const char* name, const char* fallback = nullptr) {
  const char* value = std::getenv(name);
  if ((value == nullptr || *value == '\0') && fallback != nullptr) value = std::getenv(fallback);
  return value != nullptr ? value : "";
}

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextFree {
  void operator()(char* text) const { curl_free(text); }
};

// The scheme and host of `url` in lower case (without a scheme, the one a transfer would guess:
// "http" for most names); false when libcurl cannot read it.
bool SchemeAndHost(const std::string& url, std::string& scheme, std::string& host) {
  std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                              CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return false;
  }
  char* raw = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) return false;
  std::unique_ptr<char, TextFree> schemeText(raw);
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) return false;
  std::unique_ptr<char, TextFree> hostText(raw);
  scheme = schemeText.get();
  host = hostText.get();
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// One no_proxy entry against a host: the name itself or any name below it.
bool EntryCovers(std::string_view entry, std::string_view host) {
  if (entry == "*") return true;
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') {
    entry = entry.substr(1, entry.size() - 2);
  }
  if (entry.empty()) return false;
  if (EqualsIgnoringCase(entry, host)) return true;
  return host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
         EqualsIgnoringCase(entry, host.substr(host.size() - entry.size()));
}

bool Listed(const std::string& noProxy, const std::string& host) {
  size_t start = 0;
  while (start < noProxy.size()) {
    size_t end = noProxy.find_first_of(", \t", start);
    if (end == std::string::npos) end = noProxy.size();
    if (EntryCovers(std::string_view(noProxy).substr(start, end - start), host)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

TransportSettings ReadEnvironment() {
  TransportSettings settings;
  settings.httpsProxy = Variable("https_proxy", "HTTPS_PROXY");
  settings.httpProxy = Variable("http_proxy");
  settings.noProxy = Variable("no_proxy", "NO_PROXY");
  settings.caFile = Variable("SSL_CERT_FILE");
  return settings;
}

TransportSettings FromEnvironment() {
  static const TransportSettings settings = ReadEnvironment();
  return settings;
}

std::string ProxyFor(const TransportSettings& settings, const std::string& url) {
  std::string scheme, host;
  // A URL libcurl cannot read fails in the transfer anyway; no proxy learns of it.
  if (!SchemeAndHost(url, scheme, host)) return {};
  const std::string& proxy = scheme == "https"  ? settings.httpsProxy
                             : scheme == "http" ? settings.httpProxy
                                                : std::string();
  if (proxy.empty() || Listed(settings.noProxy, host)) return {};
  return proxy;
}

void ApplyTransportSettings(CURL* curl, const std::string& url, const TransportSettings& settings,
                            Redirects redirects) {
  const std::string proxy = ProxyFor(settings, url);
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  // The choice above is final: libcurl must not apply the environment's no_proxy to it.
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  // Through a proxy the tunnel's "200 Connection established" would otherwise reach the header
  // callback first and be read as the service's status.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  // The bundle replaces only libcurl's default file; its default directory, the system store
  // as well, stays in use.
  if (!settings.caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, settings.caFile.c_str());
  }
  if (redirects == Redirects::kFollowed) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  } else {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  }
}

}  // namespace plumet_transport
