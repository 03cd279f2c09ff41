#pragma once
// How every HTTP exchange of the programs reaches the service the way the user's other programs
// do: through the proxy the environment names, trusting the certificate bundle the environment
// names besides the system store, and without letting a proxy's or a redirect's answer pass for
// the service's. Every path (REST, token exchange, download, upload) applies the same settings:
//
//   const plumet_transport::TransportSettings& settings = plumet_transport::FromEnvironment();
//   curl_easy_reset(curl);
//   curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
//   plumet_transport::ApplyTransportSettings(curl, url, settings);             // credentialed
//   plumet_transport::ApplyTransportSettings(curl, url, settings, kFollowed);  // downloads
//
// The REST library takes its proxy from its caller (app/dorvic_network.h builds that record
// from the same settings) and reads only the certificate bundle itself.

#include <curl/curl.h>

#include <string>

namespace plumet_transport {

struct TransportSettings {
  std::string httpsProxy;  // proxy of https:// URLs, "" for none
  std::string httpProxy;   // proxy of http:// URLs, "" for none
  std::string noProxy;     // hosts reached directly: "host,.domain,10.0.0.1" or "*" for all
  std::string caFile;      // PEM bundle trusted besides the system store, "" for none
};

// The environment now: https_proxy (else HTTPS_PROXY), http_proxy (lowercase only, as libcurl
// reads it: a CGI program gets HTTP_PROXY from a request's "Proxy:" header), no_proxy (else
// NO_PROXY) and SSL_CERT_FILE.
TransportSettings ReadEnvironment();

// ReadEnvironment at the first call; the same settings for the rest of the process.
TransportSettings FromEnvironment();

// The proxy a request to `url` goes through: "" when none is set for its scheme or its host is
// listed in noProxy (a name, a domain suffix with or without its leading dot, or "*").
std::string ProxyFor(const TransportSettings& settings, const std::string& url);

enum class Redirects {
  kRefused,   // a 3xx is the answer: a request that carries a credential never follows one
  kFollowed,  // for requests without credentials only (downloads)
};

// Sets on `curl`, for a request to `url`: the proxy of ProxyFor (and no other: libcurl would
// otherwise consult the environment itself), the certificate bundle with peer and host
// verification on, no CONNECT answer among the header lines the caller collects, and the redirect
// rule. Call it after curl_easy_reset; options the caller sets afterwards win.
void ApplyTransportSettings(CURL* curl, const std::string& url, const TransportSettings& settings,
                            Redirects redirects = Redirects::kRefused);

// No exchange may hang on a peer that stops answering: connecting is bounded, and a connection
// that moves fewer than kStallBytesPerSecond bytes a second for kStallSeconds (waiting for an
// answer included) ends the request; each path's retry rules take it from there. One set of
// values for REST, token exchange, download and upload.
inline constexpr long kConnectSeconds = 10;
inline constexpr long kStallBytesPerSecond = 1;
inline constexpr long kStallSeconds = 30;

// The limits one transfer runs under; tests lower them to meet a scripted stall quickly.
struct ProgressLimits {
  long connectSeconds = kConnectSeconds;
  long stallSeconds = kStallSeconds;
};

inline void ApplyProgressLimits(CURL* curl, const ProgressLimits& limits = {}) {
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
}

}  // namespace plumet_transport
