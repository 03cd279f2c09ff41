#pragma once
// Built-in endpoints and credentials. plumet, dorvicctl and zelmicd agree on these, so a new user
// runs against the embedded service on loopback without configuring anything.

namespace plumet_defaults {

// Bare host names as the clients use them (no scheme: libcurl reaches them over plain HTTP).
inline constexpr const char* kApiHost = "127.0.0.1:47810";    // signed REST interface
inline constexpr const char* kTokenHost = "127.0.0.1:47811";  // "/oauth/token"
inline constexpr const char* kWebHost = "127.0.0.1:47813";    // web site and download locations

// Listening ports of zelmicd, matching the hosts above; the upload server is named by the service.
inline constexpr unsigned short kApiPort = 47810;
inline constexpr unsigned short kTokenPort = 47811;
inline constexpr unsigned short kUploadPort = 47812;
inline constexpr unsigned short kWebPort = 47813;

// OAuth client credentials of plumet. The client secret is also the REST signing secret.
inline constexpr const char* kClientId = "a3f18d0c72e94b5d16c8e2f07b9a4d35";
inline constexpr const char* kClientSecret = "5e0b7c3a9d21f4e86a0c5b7d3e9f1a24";

}  // namespace plumet_defaults
