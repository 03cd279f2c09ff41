#pragma once
// The REST library's proxy record from the transport settings, so that its requests go where the
// other paths' requests go: dorvic_set_network_info(&record) with the record of the API base URL.

#include <dorvic/dorvic.h>

#include <string>

#include "common/transport_settings.h"

namespace plumet_transport {

// The record for requests to `apiUrl` (e.g. "https://api.example:443"): useProxy exactly when
// ProxyFor names a proxy. The whole proxy text travels as the host (libcurl reads its scheme,
// credentials and port from it), so the port field stays 0.
inline dorvic_info_stx DorvicNetworkInfo(const TransportSettings& settings,
                                         const std::string& apiUrl) {
  dorvic_info_stx info;
  const std::string proxy = ProxyFor(settings, apiUrl);
  info.useProxy = !proxy.empty();
  info.proxyHost.assign(proxy.begin(), proxy.end());  // proxy URLs are ASCII
  return info;
}

}  // namespace plumet_transport
