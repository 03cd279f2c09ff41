#pragma once
// Where the program reaches the service: the built-in loopback listeners of the embedded service,
// each replaceable by an environment variable given as "host:port" or as a URL.

#include <string>

namespace plumet {

// "host[:port]" out of "host[:port]" or "scheme://host[:port]/path"; empty for an empty text.
std::string BareHost(const std::string& hostOrUrl);

// "host[:port]", or "scheme://host[:port]" when a URL was given (its path dropped): what the REST
// client prefixes to its request paths, keeping an https scheme.
std::string HostForRequests(const std::string& hostOrUrl);

// The REST API host for dorvic_set_host: PLUMET_API_HOST or the built-in default.
std::string ApiHost();

// The web site's address, opened from the tray icon: PLUMET_WEB_HOST (a URL keeps its scheme and
// path) or the built-in default, as an http URL.
std::string WebSiteUrl();

}  // namespace plumet
