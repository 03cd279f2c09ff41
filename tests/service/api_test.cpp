// The REST verbs of a running zelmicd, spoken as raw signed HTTP.
#include <curl/curl.h>
#include <openssl/evp.h>

#include "common/endpoints.h"
#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

constexpr const char* kPlanPath = "/docs/plan%2Etxt";
constexpr const char* kPlanHash = "ae5f7a11727cc5a37c5f0b62b20a477c82131056";  // SHA-1 of kPlan

TEST_F(ServiceTest, GetAnswersTheFileStateAndItsDownload) {
  HttpResult r = Call(ann_, "GET", 1, kPlanPath);
  ASSERT_EQ(r.status, 200) << r.body;
  Json j = ParseJson(r.body);
  EXPECT_EQ(Str(j, "filehash"), kPlanHash);
  EXPECT_EQ(Num(j, "filesize"), 9);  // a number, not a string
  EXPECT_EQ(Str(j, "fullpath"), "/docs/plan.txt");
  EXPECT_EQ(Str(j, "filename"), "plan.txt");
  EXPECT_EQ(Str(j, "ext"), "txt");
  EXPECT_EQ(Num(j, "version"), 1);
  const std::string uri = Str(j, "uri");
  ASSERT_EQ(uri.rfind(z_.web_base() + "/download/", 0), 0u) << uri;
  HttpResult d = HttpRequest("GET", uri);
  EXPECT_EQ(d.status, 200);
  EXPECT_EQ(d.body, kPlan);
  EXPECT_NE(d.headers.find("Content-Length: 9"), std::string::npos) << d.headers;
  EXPECT_EQ(HttpRequest("GET", z_.web_base() + "/download/0123456789abcdef").status, 404);
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/none").status, 404);
}

TEST_F(ServiceTest, ListAnswersCountAndEntries) {
  HttpResult r = Call(ann_, "LIST", 1, "/docs",
                      {"x-zm-dir: 0", "x-zm-start: 0", "x-zm-size: 10", "x-zm-order: name"});
  ASSERT_EQ(r.status, 200) << r.body;
  Json j = ParseJson(r.body);
  EXPECT_EQ(Num(j, "count"), 1);
  const cJSON* list = cJSON_GetObjectItemCaseSensitive(j.get(), "list");
  ASSERT_TRUE(cJSON_IsArray(list));
  ASSERT_EQ(cJSON_GetArraySize(list), 1);
  const cJSON* entry = cJSON_GetArrayItem(list, 0);
  EXPECT_STREQ(cJSON_GetObjectItem(entry, "filename")->valuestring, "plan.txt");
  EXPECT_STREQ(cJSON_GetObjectItem(entry, "filesize")->valuestring, "9");  // a string here
  EXPECT_EQ(cJSON_GetObjectItem(entry, "nosync")->valueint, 0);
  EXPECT_EQ(Call(ann_, "LIST", 1, "/missing").status, 404);
}

TEST_F(ServiceTest, PutRegistersAnUploadOrKnowsTheContent) {
  HttpResult same = Call(bob_, "PUT", 1, kPlanPath,
                         {std::string("x-zm-filehash: ") + kPlanHash, "x-zm-filesize: 9",
                          "x-zm-version: 0", "x-zm-machine: box"});
  ASSERT_EQ(same.status, 200) << same.body;
  Json s = ParseJson(same.body);
  EXPECT_EQ(Num(s, "state"), 1);
  EXPECT_EQ(Num(s, "version"), 1);
  EXPECT_EQ(Str(s, "server"), "http://127.0.0.1:" + std::to_string(z_.upload_port()));

  HttpResult fresh = Call(bob_, "PUT", 1, "/docs/new%2Etxt",
                          {"x-zm-filehash: " + std::string(40, 'a'), "x-zm-filesize: 12",
                           "x-zm-version: 0", "x-zm-machine: box"});
  ASSERT_EQ(fresh.status, 200) << fresh.body;
  Json f = ParseJson(fresh.body);
  EXPECT_EQ(Num(f, "state"), 0);
  EXPECT_EQ(Str(f, "hash").size(), 40u);
  EXPECT_EQ(Num(f, "version"), 1);
  EXPECT_EQ(Str(f, "server"), "http://127.0.0.1:" + std::to_string(z_.upload_port()));
  // Registering is not storing: the file does not exist until its upload commits.
  EXPECT_EQ(Call(bob_, "GET", 1, "/docs/new%2Etxt").status, 404);
  EXPECT_EQ(Call(bob_, "PUT", 1, kPlanPath, {"x-zm-filehash: xyz", "x-zm-filesize: 9"}).status,
            400);
  EXPECT_EQ(Call(bob_, "PUT", 1, kPlanPath,
                 {std::string("x-zm-filehash: ") + kPlanHash, "x-zm-filesize: nine"})
                .status,
            400);
}

TEST_F(ServiceTest, UrlAnswersTheBareLocation) {
  HttpResult r = Call(ann_, "URL", 1, kPlanPath, {std::string("x-zm-filehash: ") + kPlanHash});
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.rfind(z_.web_base() + "/download/", 0), 0u) << r.body;
  EXPECT_EQ(HttpRequest("GET", r.body).body, kPlan);
  EXPECT_EQ(Call(ann_, "URL", 1, kPlanPath, {"x-zm-filehash: " + std::string(40, '0')}).status,
            404);
}

TEST_F(ServiceTest, VersionsRevertRenameDelete) {
  const std::string local = z_.tmp_dir() + "/v2.txt";
  ASSERT_TRUE(WriteFile(local, "second\n"));
  z_.Put(1, local, "/docs/plan.txt");
  HttpResult v = Call(ann_, "VERSION", 1, kPlanPath);
  ASSERT_EQ(v.status, 200);
  Json versions = ParseJson(v.body);
  ASSERT_EQ(cJSON_GetArraySize(versions.get()), 2);
  EXPECT_STREQ(versions->child->string, "2");  // newest first, keyed by number
  EXPECT_STREQ(
      cJSON_GetObjectItem(cJSON_GetObjectItem(versions.get(), "1"), "filehash")->valuestring,
      kPlanHash);
  EXPECT_STREQ(
      cJSON_GetObjectItem(cJSON_GetObjectItem(versions.get(), "2"), "filesize")->valuestring, "7");

  HttpResult revert = Call(ann_, "REVERT", 1, std::string(kPlanPath) + "?v=1");
  ASSERT_EQ(revert.status, 200) << revert.body;
  EXPECT_EQ(Num(ParseJson(revert.body), "version"), 3);
  EXPECT_EQ(Str(ParseJson(Call(ann_, "GET", 1, kPlanPath).body), "filehash"), kPlanHash);
  EXPECT_EQ(Call(ann_, "REVERT", 1, std::string(kPlanPath) + "?v=abc").status, 400);
  EXPECT_EQ(Call(ann_, "REVERT", 1, kPlanPath).status, 400);

  HttpResult rename = Call(ann_, "RENAME", 1, kPlanPath, {"x-zm-newname: renamed%20plan%2Etxt"});
  ASSERT_EQ(rename.status, 200) << rename.body;
  EXPECT_EQ(Num(ParseJson(rename.body), "version"), 3);
  EXPECT_EQ(Call(ann_, "GET", 1, kPlanPath).status, 404);
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/renamed%20plan%2Etxt").status, 200);
  EXPECT_EQ(
      Call(ann_, "RENAME", 1, "/docs/renamed%20plan%2Etxt", {"x-zm-newname: %2E%2E%2F%2E%2E%2Fx"})
          .status,
      400);

  HttpResult del = Call(ann_, "DELETE", 1, "/docs/renamed%20plan%2Etxt", {"x-zm-machine: box"});
  ASSERT_EQ(del.status, 200);
  EXPECT_EQ(Num(ParseJson(del.body), "version"), 3);
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/renamed%20plan%2Etxt").status, 404);
  EXPECT_EQ(Call(ann_, "DELETE", 1, "/docs/renamed%20plan%2Etxt").status, 404);
}

TEST_F(ServiceTest, CompareReportsChangesSinceADateline) {
  HttpResult r = Call(ann_, "COMPARE", 1, kPlanPath, {"x-zm-version: 0", "x-zm-dateline: 0"});
  ASSERT_EQ(r.status, 200) << r.body;
  Json j = ParseJson(r.body);
  EXPECT_EQ(Num(j, "version"), 1);
  const double dateline = Num(j, "dateline");
  EXPECT_GT(dateline, 0);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(j.get(), "list")), 1);
  HttpResult same =
      Call(ann_, "COMPARE", 1, kPlanPath,
           {"x-zm-version: 1", "x-zm-dateline: " + std::to_string(static_cast<long>(dateline))});
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(ParseJson(same.body).get(), "list")), 0);
}

TEST_F(ServiceTest, LocksKeepOthersFromWriting) {
  ASSERT_EQ(Call(ann_, "LOCK", 1, kPlanPath, {"x-zm-bool: 1"}).status, 200);
  EXPECT_EQ(Num(ParseJson(Call(bob_, "GET", 1, kPlanPath).body), "lock"), 1);
  HttpResult put = Call(bob_, "PUT", 1, kPlanPath,
                        {"x-zm-filehash: " + std::string(40, 'c'), "x-zm-filesize: 3"});
  EXPECT_EQ(put.status, 423);
  EXPECT_NE(ParseJson(put.body).get(), nullptr);
  EXPECT_GT(Num(ParseJson(put.body), "error_code"), 0);
  EXPECT_EQ(Call(bob_, "LOCK", 1, kPlanPath, {"x-zm-bool: 0"}).status, 423);
  EXPECT_EQ(Call(ann_, "LOCK", 1, kPlanPath, {"x-zm-bool: 0"}).status, 200);
  EXPECT_EQ(Call(ann_, "LOCK", 1, kPlanPath, {"x-zm-bool: 2"}).status, 400);
}

TEST_F(ServiceTest, RemarksRemindersDiscussionShares) {
  EXPECT_EQ(Call(ann_, "REMIND", 1, kPlanPath, {"x-zm-bool: 0"}, "message=first%20remark").status,
            200);
  EXPECT_EQ(Call(bob_, "REMIND", 1, kPlanPath, {"x-zm-bool: 1"},
                 "message=%E8%AF%B7%E7%9C%8B&email=ann@example.com,cy@example.com")
                .status,
            200);
  EXPECT_EQ(Call(ann_, "REMIND", 1, kPlanPath, {"x-zm-bool: 0"}, "message=").status, 400);
  EXPECT_EQ(
      Call(ann_, "REMIND", 1, kPlanPath, {"x-zm-bool: 1"}, "message=x&email=not-an-address").status,
      400);
  HttpResult d = Call(ann_, "DISCUSS", 1, kPlanPath, {"x-zm-size: 5"});
  ASSERT_EQ(d.status, 200);
  Json messages = ParseJson(d.body);
  ASSERT_TRUE(cJSON_IsArray(messages.get()));
  ASSERT_EQ(cJSON_GetArraySize(messages.get()), 2);
  const cJSON* second = cJSON_GetArrayItem(messages.get(), 1);
  EXPECT_STREQ(cJSON_GetObjectItem(second, "text")->valuestring, "\xE8\xAF\xB7\xE7\x9C\x8B");
  EXPECT_STREQ(cJSON_GetObjectItem(second, "member_name")->valuestring, "bob");
  EXPECT_GT(cJSON_GetObjectItem(second, "lasttime")->valueint, 0);

  EXPECT_EQ(Call(ann_, "SHARE", 1, kPlanPath, {}, "message=look&email=cy@example.com|1").status,
            200);
  EXPECT_EQ(Call(ann_, "SHARE", 1, kPlanPath, {}, "message=look&email=").status, 400);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, kPlanPath).body), "share"), 1);
}

TEST_F(ServiceTest, PublishAnswersTheLinkAndLimits) {
  HttpResult r = Call(ann_, "PUBLISH", 1, kPlanPath, {}, "day_limit=7&download_limit=1");
  ASSERT_EQ(r.status, 200) << r.body;
  Json j = ParseJson(r.body);
  EXPECT_EQ(Num(j, "day_limit"), 7);
  EXPECT_EQ(Num(j, "download_limit"), 1);
  EXPECT_GT(Num(j, "max_download_limit"), 1);
  const std::string url = Str(j, "url");
  EXPECT_EQ(HttpRequest("GET", url).body, kPlan);
  EXPECT_EQ(HttpRequest("GET", url).status, 404);  // the one download is used up
  HttpResult again = Call(ann_, "PUBLISH", 1, kPlanPath);
  EXPECT_EQ(Str(ParseJson(again.body), "url"), url);
  EXPECT_EQ(Call(ann_, "PUBLISH", 1, kPlanPath, {}, "day_limit=-1&download_limit=0").status, 400);
}

TEST_F(ServiceTest, LinkTokensAreLimitedToTheirFile) {
  const std::string launch = z_.Link(1, "/docs/plan.txt", "ann");
  ASSERT_EQ(launch.rfind("plumet://", 0), 0u);
  // The launch URL carries mount|path|token; take the token from the decoded payload.
  std::string payload = launch.substr(9, launch.size() - 10);
  unsigned char decoded[512];
  int n = EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(payload.data()),
                          static_cast<int>(payload.size()));
  ASSERT_GT(n, 0);
  std::string fields(reinterpret_cast<char*>(decoded), static_cast<size_t>(n));
  fields.resize(fields.find_last_not_of('\0') + 1);
  ASSERT_EQ(fields.rfind("1|/docs/plan.txt|", 0), 0u) << fields;
  const std::string access = z_.AccessToken(fields.substr(17));
  ASSERT_FALSE(access.empty());
  EXPECT_EQ(Call(access, "GET", 1, kPlanPath).status, 200);
  EXPECT_EQ(Call(access, "PUT", 1, kPlanPath,
                 {"x-zm-filehash: " + std::string(40, 'd'), "x-zm-filesize: 1"})
                .status,
            200);
  EXPECT_EQ(Call(access, "GET", 1, "/docs/other").status, 403);
  EXPECT_EQ(Call(access, "LIST", 1, "/docs").status, 403);
  EXPECT_EQ(Call(access, "GET", 2, kPlanPath).status, 403);
  EXPECT_EQ(Call(access, "RENAME", 1, kPlanPath, {"x-zm-newname: elsewhere"}).status, 403);
  // The general token of bob has no access to mount 2.
  EXPECT_EQ(Call(bob_, "LIST", 2, "/").status, 403);
}

TEST_F(ServiceTest, LinkTokensOnlyReadAndStoreTheirFile) {
  const std::string launch = z_.Link(1, "/docs/plan.txt", "ann");
  std::string fields(launch.size(), '\0');
  EVP_DecodeBlock(reinterpret_cast<unsigned char*>(fields.data()),
                  reinterpret_cast<const unsigned char*>(launch.data() + 9),
                  static_cast<int>(launch.size() - 10));
  const std::string access = z_.AccessToken(fields.substr(17, 40));
  const std::pair<const char*, std::vector<std::string>> allowed[] = {
      {"GET", {}},
      {"VERSION", {}},
      {"URL", {std::string("x-zm-filehash: ") + kPlanHash}},
      {"COMPARE", {"x-zm-version: 0", "x-zm-dateline: 0"}},
      {"PUT", {"x-zm-filehash: " + std::string(40, 'd'), "x-zm-filesize: 1"}}};
  for (const auto& [verb, headers] : allowed)
    EXPECT_EQ(Call(access, verb, 1, kPlanPath, headers).status, 200) << verb;
  for (const char* verb :
       {"LIST", "DELETE", "RENAME", "REVERT", "LOCK", "REMIND", "DISCUSS", "PUBLISH", "SHARE"}) {
    HttpResult r = Call(access, verb, 1, kPlanPath);
    EXPECT_EQ(r.status, 403) << verb;
    EXPECT_EQ(Num(ParseJson(r.body), "error_code"), 40302) << verb;
  }
}

TEST_F(ScriptedServiceTest, ScriptedAnswersReplaceTheNextOnes) {
  ASSERT_TRUE(z_.Script(
      R"({"endpoint":"api:GET","status":503,"body":"{\"error_code\":7,\"error_msg\":\"busy\"}"})"));
  HttpResult r = Call(ann_, "GET", 1, kPlanPath);
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(r.body, "{\"error_code\":7,\"error_msg\":\"busy\"}");
  EXPECT_EQ(Call(ann_, "GET", 1, kPlanPath).status, 200);  // only the next one

  ASSERT_TRUE(z_.Script(R"({"endpoint":"api:LIST","kind":"drop"})"));
  EXPECT_EQ(Call(ann_, "LIST", 1, "/").status, 0);
  ASSERT_TRUE(
      z_.Script(R"({"endpoint":"api:GET","kind":"redirect","location":"http://127.0.0.1:1/x"})"));
  HttpResult redirect = Call(ann_, "GET", 1, kPlanPath);
  EXPECT_EQ(redirect.status, 302);
  EXPECT_NE(redirect.headers.find("Location: http://127.0.0.1:1/x"), std::string::npos);
  ASSERT_TRUE(z_.Script(R"({"endpoint":"download","status":500,"body":"x","server":"ZELMIC"})"));
  HttpResult d = HttpRequest("GET", Str(ParseJson(Call(ann_, "GET", 1, kPlanPath).body), "uri"));
  EXPECT_EQ(d.status, 500);
  EXPECT_NE(d.headers.find("X-SERVER: ZELMIC"), std::string::npos);
  ASSERT_TRUE(z_.Script(R"({"endpoint":"api:GET","kind":"stall","stall_ms":200})"));
  EXPECT_EQ(Call(ann_, "GET", 1, kPlanPath).status, 200);
  ASSERT_TRUE(z_.Script(R"({"endpoint":"api:GET","status":500})"));
  ASSERT_TRUE(z_.ClearScript());
  EXPECT_EQ(Call(ann_, "GET", 1, kPlanPath).status, 200);
  EXPECT_FALSE(z_.Script(R"({"kind":"status"})"));
  EXPECT_FALSE(z_.Script("not json"));
}

TEST_F(ServiceTest, ConnectionsAreKeptAlive) {
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  std::string sink;
  long connects_total = 0;
  for (int i = 0; i < 3; ++i) {
    const std::string date = RequestDate();
    curl_slist* h = nullptr;
    h = curl_slist_append(h, "x-zm-mount: 1");
    h = curl_slist_append(h, ("Date: " + date).c_str());
    h = curl_slist_append(h, ("Authorization: " + SignRequest(plumet_defaults::kClientSecret, ann_,
                                                              "GET", date, 1, kPlanPath))
                                 .c_str());
    curl_easy_setopt(curl, CURLOPT_URL, ("http://" + z_.api_host() + kPlanPath).c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, h);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    long status = 0, connects = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    EXPECT_EQ(status, 200);
    connects_total += connects;
    curl_slist_free_all(h);
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(connects_total, 1);
}

}  // namespace
}  // namespace zelmic_test
