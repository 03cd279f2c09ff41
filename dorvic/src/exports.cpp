// Configuration and last-error exports.

#include <dorvic/dorvic.h>

#include <utility>

#include "dorvic/src/client.h"

void dorvic_set_host(std::wstring host) { dorvic::Client().SetHost(std::move(host)); }

std::wstring dorvic_get_host() { return dorvic::Client().GetHost(); }

// The interface takes the secret by value; only its UTF-8 bytes are kept.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void dorvic_set_secret(std::wstring secret) { dorvic::Client().SetSecret(secret); }

void dorvic_set_network_info(dorvic_info_stx* info) { dorvic::Client().SetNetworkInfo(info); }

int32_t dorvic_get_last_error_code() { return dorvic::Client().GetLastErrorCode(); }

int32_t dorvic_get_last_error_code(std::wstring& message) {
  return dorvic::Client().GetLastError(&message);
}
