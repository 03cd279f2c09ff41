#pragma once
// Whether a request that carries a credential (the refresh token and client secret of the token
// exchange, a signed REST request, an upload's token or session, a signed download location) may
// go to a URL. Every path asks right before its transfer, and a non-empty answer is the refusal,
// told to the user as the cause:
//
//   const std::string refusal = plumet_transport::CredentialRefusal(url, proxy);
//   if (!refusal.empty()) ... fail with `refusal`; nothing was sent
//
// The rules: plain HTTP only to a loopback address of this machine (beyond it the credential
// would cross the network readable; https is verified by ApplyTransportSettings); on loopback,
// only to a listener of our own account or root's, as the kernel's socket tables tell (any
// account can bind a free loopback port before the service does); and plain HTTP through a
// proxy only when the proxy is such a loopback listener too, or spoken to over TLS. A URL no
// parser reads, or a loopback port nobody listens on, is left to fail in the transfer.

#include <string>

#include "common/transport_settings.h"
#include "platform/listener_owner.h"

namespace plumet_transport {

// `url` as libcurl takes it ("http://127.0.0.1:47811/oauth/token", or "host:port/path", read as
// http); `proxy` as CURLOPT_PROXY takes it, "" for none. "" when the request may go.
std::string CredentialRefusal(const std::string& url, const std::string& proxy,
                              const platform::SocketTables& tables = {});

// The same with the proxy the settings choose for `url` (ProxyFor).
std::string CredentialRefusal(const std::string& url, const TransportSettings& settings);

// A proxy given as a host and a separate port (CURLOPT_PROXY with CURLOPT_PROXYPORT; port 0
// keeps the host's own), as one text for CredentialRefusal.
std::string ProxyWithPort(const std::string& proxyHost, long port);

}  // namespace plumet_transport
