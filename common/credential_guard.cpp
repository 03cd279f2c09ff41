#include "common/credential_guard.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace plumet_transport {

namespace {

constexpr const char* kRefusing = "; refusing to send credentials";

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct Endpoint {
  std::string scheme;  // lower case
  std::string host;    // as the parser gives it ("[::1]" keeps its brackets)
  long port = 0;
};

std::string Part(CURLU* url, CURLUPart part, unsigned flags) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || raw == nullptr) return {};
  std::string text(raw);
  curl_free(raw);
  return text;
}

// Read by the parser the transfer uses, so that both agree on host and port ("127.1" and
// "2130706433" come out as 127.0.0.1). Without a port: the scheme's, or for a proxy libcurl's
// default (1080; 443 for an https proxy).
bool ReadEndpoint(const std::string& text, bool proxy, Endpoint& out) {
  std::unique_ptr<CURLU, UrlFree> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(),
                           CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return false;
  }
  out.scheme = Part(url.get(), CURLUPART_SCHEME, 0);
  out.host = Part(url.get(), CURLUPART_HOST, 0);
  for (char& c : out.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (out.host.empty()) return false;
  std::string port = Part(url.get(), CURLUPART_PORT, proxy ? 0 : CURLU_DEFAULT_PORT);
  if (port.empty() && proxy) port = out.scheme == "https" ? "443" : "1080";
  out.port = std::strtol(port.c_str(), nullptr, 10);
  return out.port > 0 && out.port <= 65535;
}

// The refusal for a loopback listener at `at`, or "" when it may be trusted (or is absent).
std::string ListenerRefusal(const char* what, const Endpoint& at,
                            const platform::SocketTables& tables) {
  const platform::ListenerCheck check =
      platform::CheckLoopbackListener(at.host, static_cast<uint16_t>(at.port), tables);
  switch (check.verdict) {
    case platform::ListenerVerdict::kOtherUser:
      return std::string("the ") + what + " on " + check.address +
             " belongs to another user (uid " + std::to_string(check.uid) + ")" + kRefusing;
    case platform::ListenerVerdict::kUnreadable:
      return std::string("cannot tell who owns the ") + what + " on " + check.address +
             " (the socket tables cannot be read)" + kRefusing;
    case platform::ListenerVerdict::kNotLoopback:
    case platform::ListenerVerdict::kOwned:
    case platform::ListenerVerdict::kNoListener:
      break;
  }
  return {};
}

}  // namespace

std::string CredentialRefusal(const std::string& url, const std::string& proxy,
                              const platform::SocketTables& tables) {
  Endpoint target;
  if (!ReadEndpoint(url, false, target)) return {};
  const bool targetLocal = platform::IsLoopbackHost(target.host);
  const bool plain = target.scheme != "https";
  if (plain && !targetLocal) {
    return target.host + " is not on this machine and the URL is not https" + kRefusing +
           " over plain HTTP";
  }
  if (targetLocal) {
    std::string refusal = ListenerRefusal("service", target, tables);
    if (!refusal.empty()) return refusal;
  }
  // Through a proxy, a tunnelled https request stays unreadable to it; a plain one does not.
  Endpoint via;
  if (!plain || proxy.empty() || !ReadEndpoint(proxy, true, via)) return {};
  if (platform::IsLoopbackHost(via.host)) return ListenerRefusal("proxy", via, tables);
  if (via.scheme != "https") {
    return "the proxy " + via.host + " is not on this machine and is not spoken to over TLS" +
           kRefusing + " over plain HTTP";
  }
  return {};
}

std::string CredentialRefusal(const std::string& url, const TransportSettings& settings) {
  return CredentialRefusal(url, ProxyFor(settings, url));
}

std::string ProxyWithPort(const std::string& proxyHost, long port) {
  if (proxyHost.empty() || port <= 0) return proxyHost;
  std::unique_ptr<CURLU, UrlFree> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, proxyHost.c_str(),
                           CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return proxyHost;
  }
  // CURLOPT_PROXYPORT applies only where the text names no port.
  if (!Part(url.get(), CURLUPART_PORT, 0).empty()) return proxyHost;
  curl_url_set(url.get(), CURLUPART_PORT, std::to_string(port).c_str(), 0);
  const std::string text = Part(url.get(), CURLUPART_URL, 0);
  return text.empty() ? proxyHost : text;
}

}  // namespace plumet_transport
