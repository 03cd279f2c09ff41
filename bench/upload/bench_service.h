#pragma once
// The service side of the upload benchmarks: a private zelmicd on loopback with one user, the
// library pointed at it.

#include <dorvic/dorvic.h>

#include <cstdint>
#include <string>

#include "common/endpoints.h"
#include "tests/support/zelmic_process.h"
#include "tests/upload/upload_test_util.h"

namespace plumet_bench {

// The mount every benchmark file lives in.
inline constexpr int kBenchMount = 1;

struct Service {
  zelmic_test::ZelmicProcess zelmic;
  std::string access;

  bool Start() {
    upload_test::ClearProxyEnvironment();
    const std::string refresh = zelmic.AddUser("bench", {kBenchMount});
    if (refresh.empty() || !zelmic.Start()) return false;
    access = zelmic.AccessToken(refresh);
    dorvic_set_host(upload_test::Widen(zelmic.api_host()));
    dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
    return !access.empty();
  }

  // Registers content with the service; false when it needs no transfer or is refused.
  bool Register(const std::string& remote, const std::string& hash, uint64_t size,
                dorvic_addfile_ret& answer) {
    return dorvic_add_file(upload_test::Widen(access), upload_test::Widen(remote), kBenchMount,
                           upload_test::Widen(hash), size, 0, answer) &&
           answer.state == 0;
  }
};

}  // namespace plumet_bench
