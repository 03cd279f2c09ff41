// kill -9 in the middle of uploads never loses a committed version nor corrupts the database.
#include <atomic>
#include <random>
#include <thread>

#include "service/store/store.h"
#include "tests/service/upload_helper.h"

namespace zelmic_test {
namespace {

// Every stored version's download must be the content its filehash names.
void ExpectEveryVersionIntact(ServiceTest& t, ZelmicProcess& z, const std::string& access,
                              const std::string& path) {
  HttpResult v = SignedRequest(z.api_host(), access, "VERSION", 1, path);
  ASSERT_EQ(v.status, 200) << v.body;
  Json versions = ParseJson(v.body);
  ASSERT_GE(cJSON_GetArraySize(versions.get()), 1);
  for (const cJSON* item = versions->child; item; item = item->next) {
    const std::string hash = cJSON_GetObjectItem(item, "filehash")->valuestring;
    HttpResult url =
        SignedRequest(z.api_host(), access, "URL", 1, path, {"x-zm-filehash: " + hash});
    ASSERT_EQ(url.status, 200) << item->string;
    const std::string content = HttpRequest("GET", url.body).body;
    EXPECT_EQ(Sha1Hex(content), hash) << "version " << item->string;
    EXPECT_EQ(std::to_string(content.size()), cJSON_GetObjectItem(item, "filesize")->valuestring);
  }
  (void)t;
}

void ExpectDatabaseConsistent(ZelmicProcess& z) {
  std::unique_ptr<zelmic::Store> store;
  const zelmic::Status opened = zelmic::Store::Open(z.dir(), store);
  ASSERT_TRUE(opened.ok()) << opened.message();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->IntegrityOk());
}

TEST_F(ServiceTest, KillDuringAnUploadKeepsThePreviousVersion) {
  const std::string content(64 * 1024, 'n');
  UploadOutcome partial = UploadContent(z_, ann_, 1, "/docs/plan%2Etxt", content, 4, 2);
  ASSERT_EQ(partial.put_status, 200);
  EXPECT_EQ(partial.finish_status, 0);
  z_.Kill9();
  ExpectDatabaseConsistent(z_);
  ASSERT_TRUE(z_.Start());
  const std::string access = z_.AccessToken(ann_refresh_);
  HttpResult get = Call(access, "GET", 1, "/docs/plan%2Etxt");
  Json j = ParseJson(get.body);
  EXPECT_EQ(Num(j, "version"), 1);
  EXPECT_EQ(HttpRequest("GET", Str(j, "uri")).body, kPlan);
  // The store goes on working: the upload, started again, commits.
  EXPECT_EQ(UploadContent(z_, access, 1, "/docs/plan%2Etxt", content, 2).finish_status, 200);
  EXPECT_EQ(Num(ParseJson(Call(access, "GET", 1, "/docs/plan%2Etxt").body), "version"), 2);
}

TEST_F(ServiceTest, KillAtRandomMomentsOfBackToBackUploads) {
  std::mt19937 random(20261207);
  int total_committed = 0;
  for (int round = 0; round < 3; ++round) {
    const std::string access = round == 0 ? ann_ : z_.AccessToken(ann_refresh_);
    std::atomic<bool> stop{false};
    std::atomic<int> committed{0};
    std::thread uploader([&] {
      for (int i = 0; i < 200 && !stop; ++i) {
        std::string content =
            "round " + std::to_string(round) + " upload " + std::to_string(i) + "\n";
        content += std::string(4096 * (i % 5), static_cast<char>('a' + i % 26));
        UploadOutcome out = UploadContent(z_, access, 1, "/docs/plan%2Etxt", content, 2);
        if (out.finish_status != 200) break;  // the server is gone
        ++committed;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 400));
    z_.Kill9();
    stop = true;
    uploader.join();
    ExpectDatabaseConsistent(z_);
    ASSERT_TRUE(z_.Start());
    const std::string fresh = z_.AccessToken(ann_refresh_);
    ann_ = fresh;
    ExpectEveryVersionIntact(*this, z_, fresh, "/docs/plan%2Etxt");
    // Every upload that was answered as finished is stored.
    total_committed += committed.load();
    EXPECT_GE(VersionCount(1, "/docs/plan%2Etxt") - 1, total_committed) << "round " << round;
  }
  EXPECT_GT(total_committed, 0);  // the kills did land among real commits
}

}  // namespace
}  // namespace zelmic_test
