// dorvicctl against zelmicd: every export of the library meets the service's answers.
#include "tests/service/upload_helper.h"

namespace zelmic_test {
namespace {

class DorvicctlTest : public ServiceTest {
 protected:
  // Runs dorvicctl as ann on mount 1 (unless told otherwise) and parses its JSON line.
  Json Ctl(const std::vector<std::string>& args, int* exit_code = nullptr,
           const std::string& token = "", int mount = 1) {
    std::vector<std::string> argv = {DORVICCTL_PATH,
                                     "--host",
                                     z_.api_host(),
                                     "--token",
                                     token.empty() ? ann_ : token,
                                     "--mount",
                                     std::to_string(mount)};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProgram(argv);
    if (exit_code) *exit_code = r.exit_code;
    Json j = ParseJson(r.out);
    EXPECT_TRUE(j) << "no JSON from dorvicctl: " << r.out << r.err;
    return j;
  }
  static bool Ok(const Json& j) { return cJSON_IsTrue(cJSON_GetObjectItem(j.get(), "ok")); }
};

TEST_F(DorvicctlTest, FileOperations) {
  Json list = Ctl({"list", "/docs", "--size", "10"});
  ASSERT_TRUE(Ok(list));
  EXPECT_EQ(Num(list, "size"), 1);
  const cJSON* entry = cJSON_GetArrayItem(cJSON_GetObjectItem(list.get(), "files"), 0);
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(cJSON_GetObjectItem(entry, "filename")->valuestring, "plan.txt");
  EXPECT_EQ(cJSON_GetObjectItem(entry, "filesize")->valueint, 9);

  Json get = Ctl({"get", "/docs/plan.txt"});
  ASSERT_TRUE(Ok(get));
  const cJSON* file = cJSON_GetObjectItem(get.get(), "file");
  EXPECT_EQ(cJSON_GetObjectItem(file, "filesize")->valueint, 9);
  const std::string filehash = cJSON_GetObjectItem(file, "filehash")->valuestring;
  EXPECT_EQ(filehash, Sha1Hex(kPlan));
  EXPECT_EQ(HttpRequest("GET", cJSON_GetObjectItem(file, "uri")->valuestring).body, kPlan);

  Json url = Ctl({"url", "/docs/plan.txt", "--filehash", filehash});
  ASSERT_TRUE(Ok(url));
  EXPECT_EQ(HttpRequest("GET", Str(url, "url")).body, kPlan);

  Json add = Ctl({"add", "/docs/next.txt", "--filehash", Sha1Hex("next"), "--filesize", "4"});
  ASSERT_TRUE(Ok(add));
  EXPECT_EQ(Num(add, "state"), 0);
  EXPECT_EQ(Str(add, "hash").size(), 40u);
  EXPECT_EQ(Str(add, "server"), "http://127.0.0.1:" + std::to_string(z_.upload_port()));

  Json rename = Ctl({"rename", "/docs/plan.txt", "a b.txt"});
  ASSERT_TRUE(Ok(rename));
  EXPECT_EQ(Num(rename, "version"), 1);
  EXPECT_TRUE(Ok(Ctl({"get", "/docs/a b.txt"})));

  Json del = Ctl({"delete", "/docs/a b.txt"});
  ASSERT_TRUE(Ok(del));
  EXPECT_EQ(Num(del, "version"), 1);
  int code = 0;
  Json gone = Ctl({"get", "/docs/a b.txt"}, &code);
  EXPECT_FALSE(Ok(gone));
  EXPECT_EQ(code, 1);
  EXPECT_EQ(Num(gone, "error_code"), 40400);
}

TEST_F(DorvicctlTest, VersionOperations) {
  ASSERT_EQ(UploadContent(z_, ann_, 1, "/docs/plan%2Etxt", "second\n").finish_status, 200);
  Json versions = Ctl({"versions", "/docs/plan.txt"});
  ASSERT_TRUE(Ok(versions));
  const cJSON* array = cJSON_GetObjectItem(versions.get(), "versions");
  ASSERT_EQ(cJSON_GetArraySize(array), 2);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(array, 0), "version")->valueint, 2);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(array, 1), "filesize")->valueint, 9);

  Json compare = Ctl({"compare", "/docs/plan.txt", "--version", "1", "--dateline", "0"});
  ASSERT_TRUE(Ok(compare));
  EXPECT_EQ(Num(compare, "version"), 2);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(compare.get(), "files")), 1);

  EXPECT_TRUE(Ok(Ctl({"revert", "/docs/plan.txt", "1"})));
  Json get = Ctl({"get", "/docs/plan.txt"});
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(get.get(), "file"), "version")->valueint, 3);
  EXPECT_FALSE(Ok(Ctl({"revert", "/docs/plan.txt", "99"})));

  EXPECT_TRUE(Ok(Ctl({"lock", "/docs/plan.txt"})));
  Json blocked =
      Ctl({"add", "/docs/plan.txt", "--filehash", Sha1Hex("x"), "--filesize", "1"}, nullptr, bob_);
  EXPECT_FALSE(Ok(blocked));
  EXPECT_EQ(Num(blocked, "error_code"), 42300);
  EXPECT_FALSE(Ok(Ctl({"unlock", "/docs/plan.txt"}, nullptr, bob_)));
  EXPECT_TRUE(Ok(Ctl({"unlock", "/docs/plan.txt"})));
}

TEST_F(DorvicctlTest, CollaborationOperations) {
  EXPECT_TRUE(Ok(Ctl({"remark", "/docs/plan.txt", "looks good & done"})));
  EXPECT_TRUE(
      Ok(Ctl({"remind", "/docs/plan.txt", "please read", "bob@example.com", "cy@example.com"})));
  Json discuss = Ctl({"discuss", "/docs/plan.txt"});
  ASSERT_TRUE(Ok(discuss));
  const cJSON* messages = cJSON_GetObjectItem(discuss.get(), "messages");
  ASSERT_EQ(cJSON_GetArraySize(messages), 2);
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(messages, 0), "text")->valuestring,
               "looks good & done");
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(messages, 1), "member_name")->valuestring,
               "ann");

  Json publish = Ctl({"publish", "/docs/plan.txt", "--days", "7", "--downloads", "3"});
  ASSERT_TRUE(Ok(publish));
  EXPECT_EQ(Num(publish, "day_limit"), 7);
  EXPECT_EQ(Num(publish, "download_limit"), 3);
  EXPECT_GT(Num(publish, "max_download_limit"), 3);
  EXPECT_EQ(HttpRequest("GET", Str(publish, "url")).body, kPlan);
  Json too_many = Ctl({"publish", "/docs/plan.txt", "--downloads", "4294967295"});
  EXPECT_FALSE(Ok(too_many));  // sent as -1, refused

  EXPECT_TRUE(Ok(Ctl({"share", "/docs/plan.txt", "have a look", "cy@example.com"})));
  EXPECT_FALSE(Ok(Ctl({"share", "/docs/plan.txt", "nobody"})));
}

TEST_F(DorvicctlTest, FailuresCarryTheServiceErrors) {
  int code = 0;
  Json bad = Ctl({"get", "/docs/plan.txt"}, &code, "not-a-token");
  EXPECT_FALSE(Ok(bad));
  EXPECT_EQ(code, 1);
  EXPECT_EQ(Num(bad, "error_code"), 40102);
  EXPECT_NE(Str(bad, "error_msg"), "");
  Json escape = Ctl({"get", "/docs/../../../etc/passwd"});
  EXPECT_FALSE(Ok(escape));
  EXPECT_EQ(Num(escape, "error_code"), 40001);
  Json other_mount = Ctl({"list", "/"}, nullptr, bob_, 2);
  EXPECT_EQ(Num(other_mount, "error_code"), 40301);
}

}  // namespace
}  // namespace zelmic_test
