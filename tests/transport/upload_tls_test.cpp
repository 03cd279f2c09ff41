// The upload engine against zelmicd behind nginx (TLS, HTTP/2 offered or not) and tinyproxy:
// registration through dorvic, the upload through the front the service names, and what the
// service then serves for download. The front takes one request per connection, so that every
// request through the proxy opens a tunnel with its own CONNECT answer.

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "app/dorvic_network.h"
#include "common/endpoints.h"
#include "tests/transport/tls_fixture.h"
#include "tests/upload/test_files.h"
#include "tests/upload/upload_task_driver.h"
#include "tests/upload/upload_test_util.h"
#include "upload/upload_task.h"

namespace transport_test {
namespace {

using plumet::UploadEnd;

constexpr auto kPatience = std::chrono::seconds(60);
constexpr int kMount = 1;
constexpr uint32_t kBlock = 4096;  // zelmicd's smallest block size
constexpr uint64_t kPart = 32768;

class UploadThroughFront : public ::testing::Test {
 protected:
  void StartWith(const FrontConfig& config) {
    ASSERT_NO_FATAL_FAILURE(service.Start(config));
    access = service.AccessToken();
    ASSERT_FALSE(access.empty()) << "token exchange through the front failed";
    // The REST calls go where the uploads go: the program hands dorvic the same proxy.
    network = plumet_transport::DorvicNetworkInfo(service.settings(), service.ApiUrl());
    dorvic_set_network_info(&network);
    dorvic_set_host(upload_test::Widen(service.ApiUrl()));
    dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
  }

  void Seed(const std::string& remote, const std::string& content) {
    const std::string path = scratch.path() + "/seed.bin";
    ASSERT_TRUE(upload_test::WriteBytes(path, content));
    service.zelmic.Put(kMount, path, remote);
  }

  plumet::UploadJob MakeJob(const std::string& remote, const std::string& content) {
    plumet::UploadJob job;
    job.sourcePath = scratch.path() + "/copy.bin";
    EXPECT_TRUE(upload_test::WriteBytes(job.sourcePath, content));
    job.mount = kMount;
    job.accessToken = upload_test::Widen(access);
    job.remotePath = upload_test::Widen(remote);
    return job;
  }

  UploadEnd Upload(const plumet::UploadJob& job) {
    return run.Run(job, kPatience, &service.settings()).end;
  }

  uint64_t BytesSent() const { return run.BytesSent(); }

  // What the service serves for `remote`: its "uri", downloaded through the front as the
  // program's download does it.
  std::string Stored(const std::string& remote) {
    dorvic_file_reget file;
    if (!dorvic_regetfile(upload_test::Widen(access), upload_test::Widen(remote), kMount, file)) {
      return "<no such file>";
    }
    const std::string uri(file.uri.begin(), file.uri.end());
    EXPECT_EQ(uri.rfind(service.WebUrl() + "/download/", 0), 0u) << uri;
    FrontedService::Reply r = service.Request(uri, "", plumet_transport::Redirects::kFollowed);
    return r.status == 200 ? r.body
                           : "<download failed: status " + std::to_string(r.status) + ", curl " +
                                 std::to_string(static_cast<int>(r.result)) + ">";
  }

  bool Script(const std::string& endpoint, int status, const std::string& body = "") {
    return service.zelmic.Script("{\"endpoint\":\"" + endpoint +
                                 "\",\"kind\":\"status\",\"status\":" + std::to_string(status) +
                                 ",\"server\":\"ZELMIC\",\"body\":\"" + body + "\"}");
  }

  plumet_test::ScratchDir scratch;
  FrontedService service;
  dorvic_info_stx network;
  std::string access;
  upload_test::UploadRun run;  // its task goes before the service
};

class UploadEachWay : public UploadThroughFront, public ::testing::WithParamInterface<FrontConfig> {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartWith(GetParam())); }
};

TEST_P(UploadEachWay, WholeAndDeltaUploadsStoreTheBytes) {
  const std::string content = upload_test::RandomBytes(3 * kPart + 99, 51);
  const plumet::UploadJob whole = MakeJob("/docs/new.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(whole));
  EXPECT_EQ(content.size(), BytesSent());
  // Read once: what is shown on a failure is what was compared.
  const std::string first = Stored("/docs/new.bin");
  EXPECT_TRUE(content == first) << upload_test::Difference(content, first);

  const std::string stored = upload_test::RandomBytes(64 * kBlock + 123, 52);
  Seed("/docs/a.bin", stored);
  std::string edited = stored;
  edited.replace(20 * kBlock + 5, 100, std::string(100, 'x'));
  edited.insert(50 * kBlock, "inserted bytes");
  const plumet::UploadJob delta = MakeJob("/docs/a.bin", edited);
  ASSERT_EQ(UploadEnd::kStored, Upload(delta));
  EXPECT_LT(BytesSent(), edited.size() / 8);
  const std::string second = Stored("/docs/a.bin");
  EXPECT_TRUE(edited == second) << upload_test::Difference(edited, second);
  if (GetParam().viaProxy) {
    EXPECT_GT(service.proxy().ConnectCount(), 10);
  }
}

TEST_P(UploadEachWay, RefusedFinishIsAFailureAndKeepsTheStoredVersion) {
  // Through the proxy, the tunnel's "200 Connection established" must not pass for the answer.
  Seed("/docs/e.bin", "old");
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(Script("/upload_finish", 500));
  const plumet::UploadJob job = MakeJob("/docs/e.bin", upload_test::RandomBytes(50000, 53));
  EXPECT_EQ(UploadEnd::kRetry, Upload(job));
  EXPECT_EQ("old", Stored("/docs/e.bin"));
}

TEST_P(UploadEachWay, TheFrontSpeaksTheOfferedProtocol) {
  FrontedService::Reply r = service.Request(service.WebUrl() + "/");
  EXPECT_EQ(r.result, CURLE_OK);
  EXPECT_EQ(r.version, GetParam().http2 ? CURL_HTTP_VERSION_2_0 : CURL_HTTP_VERSION_1_1);
  // The page's forms come from the front's origin, which --web-url names: the login reaches the
  // password check (this user has no password) instead of being refused as another site's form.
  const std::string origin = "Origin: " + service.WebUrl();
  EXPECT_EQ(service
                .Request(service.WebUrl() + "/login", "user=nobody&password=x",
                         plumet_transport::Redirects::kRefused, origin)
                .status,
            401);
}

INSTANTIATE_TEST_SUITE_P(Fronts, UploadEachWay,
                         ::testing::Values(FrontConfig{true, true, "Http2ViaProxy"},
                                           FrontConfig{false, true, "Http1ViaProxy"},
                                           FrontConfig{true, false, "Http2Direct"}),
                         PrintConfig);

// The retry rules, over HTTP/2 through the proxy.
class UploadRetries : public UploadThroughFront {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartWith({true, true, "Http2ViaProxy"})); }
};

TEST_F(UploadRetries, ConflictOtherThanTheOffsetOneResendsTheSamePart) {
  const std::string content = upload_test::RandomBytes(4 * kPart, 54);
  ASSERT_TRUE(Script("/upload_part", 409, "{\\\"error_code\\\":40901}"));
  const plumet::UploadJob job = MakeJob("/docs/c.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(job));
  EXPECT_EQ(content.size() + kPart, BytesSent());  // the first part twice, nothing else
  const std::string got = Stored("/docs/c.bin");
  EXPECT_TRUE(content == got) << upload_test::Difference(content, got);
}

TEST_F(UploadRetries, QueryAndChecksumRetriesShareOneCounter) {
  const std::string stored = upload_test::RandomBytes(16 * kBlock, 55);
  struct Case {
    int queryFailures, checksumFailures;
    UploadEnd outcome;
  };
  // Five retries in all: three and two pass, three and three do not.
  for (const Case c : {Case{3, 2, UploadEnd::kStored}, Case{3, 3, UploadEnd::kRetry}}) {
    SCOPED_TRACE(std::to_string(c.queryFailures) + "+" + std::to_string(c.checksumFailures));
    const std::string remote = "/docs/d" + std::to_string(c.checksumFailures) + ".bin";
    std::string edited = stored;  // content of its own: the service would hold the same already
    edited[3 * kBlock] = static_cast<char>(c.checksumFailures);
    Seed(remote, stored);
    for (int i = 0; i < c.queryFailures; ++i) ASSERT_TRUE(Script("/upload_req", 503));
    for (int i = 0; i < c.checksumFailures; ++i) ASSERT_TRUE(Script("/download_checksum", 503));
    const plumet::UploadJob job = MakeJob(remote, edited);
    EXPECT_EQ(c.outcome, Upload(job));
    EXPECT_TRUE((c.outcome == UploadEnd::kStored ? edited : stored) == Stored(remote));
    if (c.outcome == UploadEnd::kStored) {
      EXPECT_LT(BytesSent(), 4 * kBlock);  // the delta was used
    }
    run.Stop();
  }
}

TEST_F(UploadRetries, FinishAfterAnAcceptedMatchListIsRetriedABoundedNumberOfTimes) {
  const std::string stored = upload_test::RandomBytes(16 * kBlock, 56);
  Seed("/docs/f.bin", stored);
  std::string edited = stored;
  edited[5 * kBlock] ^= 1;
  ASSERT_TRUE(Script("/upload_checksum_result", 202));
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(Script("/upload_finish", 503));
  const plumet::UploadJob job = MakeJob("/docs/f.bin", edited);
  // More refusals are queued than the engine may try: an endless loop would never report.
  EXPECT_EQ(UploadEnd::kRetry, Upload(job));
  EXPECT_TRUE(stored == Stored("/docs/f.bin"));
}

}  // namespace
}  // namespace transport_test
