#include "app/hosts.h"

#include <cstdlib>

#include "common/endpoints.h"

namespace plumet {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string BareHost(const std::string& hostOrUrl) {
  std::string host = hostOrUrl;
  const size_t scheme = host.find("://");
  if (scheme != std::string::npos) host.erase(0, scheme + 3);
  const size_t path = host.find_first_of("/?#");
  if (path != std::string::npos) host.erase(path);
  return host;
}

std::string HostForRequests(const std::string& hostOrUrl) {
  const size_t scheme = hostOrUrl.find("://");
  if (scheme == std::string::npos) return BareHost(hostOrUrl);
  const std::string host = BareHost(hostOrUrl);
  return host.empty() ? std::string() : hostOrUrl.substr(0, scheme + 3) + host;
}

std::string ApiHost() {
  const std::string host = HostForRequests(Environment("PLUMET_API_HOST"));
  return host.empty() ? plumet_defaults::kApiHost : host;
}

std::string WebSiteUrl() {
  std::string given = Environment("PLUMET_WEB_HOST");
  if (given.find("://") != std::string::npos) return given;
  const std::string host = BareHost(given);
  return "http://" + (host.empty() ? std::string(plumet_defaults::kWebHost) : host) + "/";
}

}  // namespace plumet
