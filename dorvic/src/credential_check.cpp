#include "dorvic/src/credential_check.h"

#include "common/credential_guard.h"
#include "dorvic/src/text.h"

namespace dorvic {

std::string CredentialRefusal(const std::string& url, const dorvic_info_stx* network) {
  std::string proxy;
  if (network != nullptr && network->useProxy) {
    proxy = plumet_transport::ProxyWithPort(ToUtf8(network->proxyHost), network->proxyPort);
  }
  return plumet_transport::CredentialRefusal(url, proxy);
}

}  // namespace dorvic
