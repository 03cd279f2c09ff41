// Every HTTP path gives up on a peer that stops answering: a private zelmicd holds its answer far
// longer than the lowered stall limit, and each call must fail well before the answer would come.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "auth/token_refresh.h"
#include "common/endpoints.h"
#include "common/transport_settings.h"
#include "dorvic/src/client.h"
#include "dorvic/src/operations.h"
#include "session/download_task.h"
#include "tests/support/zelmic_process.h"
#include "tests/upload/upload_test_util.h"

namespace transport_test {
namespace {

using namespace std::chrono_literals;

constexpr int kMount = 1;
constexpr const char* kRemote = "/docs/stall.txt";
// The service sits on each answer this long; the lowered limit must end the call long before.
// libcurl measures speed over a window of about five seconds, so a request that sent a form first
// (the token exchange) is seen standing still only once the form has left that window.
constexpr int kStallMs = 20000;
constexpr auto kBound = 10s;
const plumet_transport::ProgressLimits kLowered{plumet_transport::kConnectSeconds, 1};

class ProgressLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    refresh = zelmic.AddUser("ann", {kMount});
    ASSERT_FALSE(refresh.empty());
    const std::string seed = zelmic.tmp_dir() + "/seed.txt";
    ASSERT_TRUE(upload_test::WriteBytes(seed, "some content\n"));
    zelmic.Put(kMount, seed, kRemote);
    ASSERT_TRUE(zelmic.Start({"--faults"}));
    access = zelmic.AccessToken(refresh);
    ASSERT_FALSE(access.empty());
    rest.SetHost(upload_test::Widen(zelmic.api_host()));
    rest.SetSecret(upload_test::Widen(plumet_defaults::kClientSecret));
    rest.SetTransferLimits({kLowered.connectSeconds, 30, kLowered.stallSeconds});
    ASSERT_TRUE(dorvic::RegetFile(rest, upload_test::Widen(access), upload_test::Widen(kRemote),
                                  kMount, file));
  }
  void TearDown() override { curl_global_cleanup(); }

  bool Rest() {
    dorvic_file_reget again;
    return dorvic::RegetFile(rest, upload_test::Widen(access), upload_test::Widen(kRemote), kMount,
                             again);
  }

  bool Token() {
    CURL* curl = curl_easy_init();
    std::wstring token;
    const plumet::TokenResult result =
        plumet::RefreshAccessToken(curl, plumet::TokenEndpoint(zelmic.token_host()),
                                   upload_test::Widen(refresh), token, nullptr, kLowered);
    curl_easy_cleanup(curl);
    return result == plumet::TokenResult::kOk;
  }

  bool Download() {
    std::recursive_mutex lock;
    std::mutex m;
    std::condition_variable told;
    std::optional<plumet::DownloadOutcome> outcome;
    plumet::DownloadTask task(lock);
    task.limits = kLowered;
    plumet::DownloadRequest request;
    request.url = std::string(file.uri.begin(), file.uri.end());
    request.localPath = zelmic.tmp_dir() + "/copy.txt";
    request.expectedSize = static_cast<uint64_t>(file.filesize);
    if (!task.Open(request,
                   [&](plumet::DownloadOutcome o, const std::string&) {
                     std::lock_guard<std::mutex> hold(m);
                     outcome = o;
                     told.notify_all();
                   }) ||
        !task.Start()) {
      return false;
    }
    std::unique_lock<std::mutex> wait(m);
    told.wait_for(wait, 20s, [&] { return outcome.has_value(); });
    return outcome == plumet::DownloadOutcome::kComplete;
  }

  zelmic_test::ZelmicProcess zelmic;
  std::string refresh;
  std::string access;
  dorvic::CdorvicClient rest;
  dorvic_file_reget file;
};

TEST_F(ProgressLimitsTest, EveryPathGivesUpOnAStalledAnswer) {
  const struct {
    const char* endpoint;  // zelmicd's fault key of the path
    std::function<bool()> call;
  } cases[] = {
      {"api:GET", [this] { return Rest(); }},
      {"/oauth/token", [this] { return Token(); }},
      {"download", [this] { return Download(); }},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(zelmic.Script(std::string(R"({"endpoint": ")") + c.endpoint +
                              R"(", "kind": "stall", "stall_ms": )" + std::to_string(kStallMs) +
                              "}"))
        << c.endpoint;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.call()) << c.endpoint;
    EXPECT_LT(std::chrono::steady_clock::now() - started, kBound) << c.endpoint;
  }
}

}  // namespace
}  // namespace transport_test
