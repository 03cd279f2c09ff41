#pragma once
// The service side of the upload benchmarks: a private zelmicd on loopback with one user, the
// library pointed at it.

#include <dorvic/dorvic.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "bench/upload/bench_support.h"
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

  // Downloads the current version of `remote` as the client does before an edit: true when
  // all `size` bytes came.
  bool Download(const std::string& remote, uint64_t size) {
    dorvic_file_reget file;
    if (!dorvic_regetfile(upload_test::Widen(access), upload_test::Widen(remote), kBenchMount,
                          file)) {
      return false;
    }
    const zelmic_test::HttpResult r =
        zelmic_test::HttpRequest("GET", std::string(file.uri.begin(), file.uri.end()));
    return r.status == 200 && r.body.size() == size;
  }

  // Waits (at most 60 s) until zelmicd has used no processor time for a fifth of a second.
  bool WaitIdle() {
    double last = OtherProcessCpuSeconds(zelmic.pid(), false);
    for (int quiet = 0, step = 0; step < 600; ++step) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double now = OtherProcessCpuSeconds(zelmic.pid(), false);
      quiet = now == last ? quiet + 1 : 0;
      if (quiet == 2) return true;
      last = now;
    }
    return false;
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
