// dorvicctl as its own process against the loopback fixture: every subcommand, its request, its
// JSON and its exit status; usage errors.

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>

#include "dorvic/src/signing.h"
#include "dorvic/src/text.h"
#include "tests/dorvic/http_fixture.h"
#include "tests/dorvic/process_runner.h"
#include "tests/dorvic/refusing_port.h"
#include "tests/dorvic/request_checks.h"

namespace dorvic_test {
namespace {

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

const cJSON* Member(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  EXPECT_NE(item, nullptr) << key;
  return item;
}
double Number(const cJSON* object, const char* key) {
  const cJSON* item = Member(object, key);
  EXPECT_TRUE(cJSON_IsNumber(item)) << key;
  return item != nullptr ? item->valuedouble : -999;
}
std::string Text(const cJSON* object, const char* key) {
  const cJSON* item = Member(object, key);
  EXPECT_TRUE(cJSON_IsString(item)) << key;
  return cJSON_IsString(item) ? item->valuestring : "<none>";
}

class Dorvicctl : public ::testing::Test {
 protected:
  // Runs dorvicctl and parses the one JSON object it prints; `exit_code` is what it must exit with.
  Json Run(const std::vector<std::string>& args, int exit_code,
           std::map<std::string, std::string> env = {}) {
    env.emplace("DORVIC_HOST", server.host());
    env.emplace("DORVIC_TOKEN", "tok");
    env.emplace("DORVIC_SECRET", kSecret);
    const ProcessResult r = RunProcess(DORVICCTL_PATH, args, env);
    EXPECT_EQ(r.exit_code, exit_code) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line expected: " << r.out;
    Json json(cJSON_Parse(r.out.c_str()));
    EXPECT_TRUE(cJSON_IsObject(json.get())) << r.out;
    if (!json) return Json(cJSON_CreateObject());
    // The common members come first.
    const cJSON* first = json->child;
    EXPECT_TRUE(first && std::string(first->string) == "ok");
    EXPECT_TRUE(first && first->next && std::string(first->next->string) == "error_code");
    EXPECT_EQ(cJSON_IsTrue(Member(json.get(), "ok")), exit_code == 0);
    return json;
  }
  RecordedRequest Last() {
    const auto all = server.requests();
    EXPECT_FALSE(all.empty());
    return all.empty() ? RecordedRequest() : all.back();
  }
  void ExpectUsageError(const std::vector<std::string>& args,
                        std::map<std::string, std::string> env = {}) {
    env.emplace("DORVIC_HOST", server.host());
    const ProcessResult r = RunProcess(DORVICCTL_PATH, args, env);
    EXPECT_EQ(r.exit_code, 2) << r.out;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }

  HttpFixture server;
};

TEST_F(Dorvicctl, List) {
  server.Script(
      {200, R"({"count": 7, "list": [{"filename": "\u6587\u4ef6", "filesize": "5368709120",
                          "dir": 1}]})"});
  Json out =
      Run({"list", "/docs", "--dir", "1", "--start", "2", "--size", "50", "--order", "name"}, 0);
  ExpectRequest(
      Last(), "LIST", "/docs", 0, L"tok",
      {{"x-zm-dir", "1"}, {"x-zm-start", "2"}, {"x-zm-size", "50"}, {"x-zm-order", "name"}});
  EXPECT_EQ(Number(out.get(), "error_code"), 0);
  EXPECT_EQ(Text(out.get(), "error_msg"), "");
  EXPECT_EQ(Number(out.get(), "size"), 7);
  const cJSON* files = Member(out.get(), "files");
  ASSERT_EQ(cJSON_GetArraySize(files), 1);
  const cJSON* entry = cJSON_GetArrayItem(files, 0);
  EXPECT_EQ(Text(entry, "filename"), "\xE6\x96\x87\xE4\xBB\xB6");
  EXPECT_EQ(Number(entry, "filesize"), 5368709120.0);
  EXPECT_EQ(Number(entry, "dir"), 1);
  EXPECT_EQ(Number(entry, "nosync"), -1);

  Run({"list", "/"}, 0);
  EXPECT_EQ(Last().Header("x-zm-size"), "100");
}

TEST_F(Dorvicctl, UrlAddDeleteRenameGet) {
  server.Script({200, "http://dl/x\n"});
  Json out = Run({"url", "/a.txt", "--filehash", "ab12"}, 0);
  ExpectRequest(Last(), "URL", "/a%2Etxt", 0, L"tok", {{"x-zm-filehash", "ab12"}});
  EXPECT_EQ(Text(out.get(), "url"), "http://dl/x\n");

  server.Script({200, R"({"state": 1, "hash": "h", "version": 4, "server": "http://up"})"});
  out =
      Run({"add", "/a.txt", "--filehash", "ab12", "--filesize", "5368709121", "--version", "2"}, 0);
  ExpectRequest(Last(), "PUT", "/a%2Etxt", 0, L"tok",
                {{"x-zm-filehash", "ab12"},
                 {"x-zm-filesize", "5368709121"},
                 {"x-zm-version", "2"},
                 {"x-zm-machine", dorvic::ToUtf8(dorvic::GetMachineName())}});
  EXPECT_EQ(Number(out.get(), "state"), 1);
  EXPECT_EQ(Text(out.get(), "hash"), "h");
  EXPECT_EQ(Number(out.get(), "version"), 4);
  EXPECT_EQ(Text(out.get(), "server"), "http://up");

  server.Script({200, R"({"version": 5})"});
  out = Run({"delete", "/a.txt"}, 0);
  EXPECT_EQ(Last().method, "DELETE");
  EXPECT_EQ(Number(out.get(), "version"), 5);

  server.Script({200, R"({"version": 6})"});
  out = Run({"rename", "/a.txt", "b c/d"}, 0);
  ExpectRequest(
      Last(), "RENAME", "/a%2Etxt", 0, L"tok",
      {{"x-zm-newname", "b%20c%2Fd"}, {"x-zm-machine", dorvic::ToUtf8(dorvic::GetMachineName())}});
  EXPECT_EQ(Number(out.get(), "version"), 6);

  server.Script(
      {200, R"({"filehash": "fh", "filesize": 3221225472, "dir": 0, "uri": "http://dl/y"})"});
  out = Run({"get", "/docs/plan.txt"}, 0, {{"DORVIC_MOUNT", "7"}});
  ExpectRequest(Last(), "GET", "/docs/plan%2Etxt", 7, L"tok", {});
  const cJSON* file = Member(out.get(), "file");
  EXPECT_EQ(Text(file, "filehash"), "fh");
  EXPECT_EQ(Number(file, "filesize"), 3221225472.0);
  EXPECT_EQ(Text(file, "dir"), "0");
  EXPECT_EQ(Text(file, "uri"), "http://dl/y");
}

TEST_F(Dorvicctl, VersionOperations) {
  server.Script({200, R"({"version": 9, "dateline": 100, "a": [{"filename": "f"}]})"});
  Json out = Run({"compare", "/d", "--version", "3", "--dateline", "4"}, 0);
  ExpectRequest(Last(), "COMPARE", "/d", 0, L"tok",
                {{"x-zm-version", "3"}, {"x-zm-dateline", "4"}});
  EXPECT_EQ(Number(out.get(), "version"), 9);
  EXPECT_EQ(Number(out.get(), "dateline"), 100);
  EXPECT_EQ(cJSON_GetArraySize(Member(out.get(), "files")), 1);

  server.Script({200, R"({"3": {"filesize": "30"}, "2": {"filehash": "h2"}})"});
  out = Run({"versions", "/d"}, 0);
  EXPECT_EQ(Last().method, "VERSION");
  const cJSON* versions = Member(out.get(), "versions");
  ASSERT_EQ(cJSON_GetArraySize(versions), 2);
  EXPECT_EQ(Number(cJSON_GetArrayItem(versions, 0), "version"), 3);
  EXPECT_EQ(Number(cJSON_GetArrayItem(versions, 0), "filesize"), 30);
  EXPECT_EQ(Text(cJSON_GetArrayItem(versions, 1), "filehash"), "h2");

  Run({"revert", "/d", "7"}, 0);
  ExpectRequest(Last(), "REVERT", "/d?v=7", 0, L"tok", {});
  Run({"lock", "/d"}, 0);
  ExpectRequest(Last(), "LOCK", "/d", 0, L"tok", {{"x-zm-bool", "1"}});
  Run({"unlock", "/d"}, 0);
  ExpectRequest(Last(), "LOCK", "/d", 0, L"tok", {{"x-zm-bool", "0"}});
}

TEST_F(Dorvicctl, CollaborationOperations) {
  Run({"remark", "/\xE6\x96\x87", "\xE5\xA5\xBD ok"}, 0);
  ExpectRequest(Last(), "REMIND", "/%E6%96%87", 0, L"tok", {{"x-zm-bool", "0"}});
  EXPECT_EQ(Last().body, "message=%E5%A5%BD%20ok");

  Run({"remind", "/f", "look", "a@b.c", "d@e.f"}, 0);
  ExpectRequest(Last(), "REMIND", "/f", 0, L"tok", {{"x-zm-bool", "1"}});
  EXPECT_EQ(Last().body, "message=look&email=a@b.c,d@e.f");
  Run({"remind", "/f", "look"}, 0);
  EXPECT_EQ(Last().body, "message=look&email=");

  Run({"share", "/f", "m", "a@b.c"}, 0);
  ExpectRequest(Last(), "SHARE", "/f", 0, L"tok", {});
  EXPECT_EQ(Last().body, "message=m&email=a@b.c|1");

  server.Script({200, R"([{"text": "\u4f60\u597d", "member_name": "m", "lasttime": 3}])"});
  Json out = Run({"discuss", "/f"}, 0);
  ExpectRequest(Last(), "DISCUSS", "/f", 0, L"tok", {{"x-zm-size", "5"}});
  const cJSON* messages = Member(out.get(), "messages");
  ASSERT_EQ(cJSON_GetArraySize(messages), 1);
  EXPECT_EQ(Text(cJSON_GetArrayItem(messages, 0), "text"), "\xE4\xBD\xA0\xE5\xA5\xBD");
  EXPECT_EQ(Number(cJSON_GetArrayItem(messages, 0), "lasttime"), 3);

  server.Script({200, R"({"url": "http://w/p", "day_limit": 7, "max_download_limit": 50})"});
  out = Run({"publish", "/f", "--days", "7"}, 0);
  ExpectRequest(Last(), "PUBLISH", "/f", 0, L"tok", {});
  EXPECT_EQ(Last().body, "day_limit=7&download_limit=0");
  EXPECT_EQ(Text(out.get(), "url"), "http://w/p");
  EXPECT_EQ(Number(out.get(), "day_limit"), 7);
  EXPECT_EQ(Number(out.get(), "download_limit"), 0);
  EXPECT_EQ(Number(out.get(), "max_download_limit"), 50);
  Run({"publish", "/f"}, 0);
  EXPECT_EQ(Last().body, "");
}

TEST_F(Dorvicctl, FailuresReportTheLastError) {
  server.Script({404, R"({"error_code": 40401, "error_msg": "\u4e0d\u5b58\u5728 \"x\"\n"})"});
  Json out = Run({"delete", "/gone"}, 1);
  EXPECT_EQ(Number(out.get(), "error_code"), 40401);
  EXPECT_EQ(Text(out.get(), "error_msg"), "\xE4\xB8\x8D\xE5\xAD\x98\xE5\x9C\xA8 \"x\"\n");

  server.Script({500, "oops"});
  out = Run({"lock", "/x"}, 1);
  EXPECT_EQ(Number(out.get(), "error_code"), 500);

  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  out = Run({"--host", refusing.host(), "get", "/x"}, 1);
  EXPECT_EQ(Number(out.get(), "error_code"), 10061);
}

TEST_F(Dorvicctl, GlobalOptionsOverrideTheEnvironment) {
  HttpFixture other;
  Run({"--host", other.host(), "--token", "t2", "--secret", "other", "--mount", "9", "lock", "/x"},
      0, {{"DORVIC_MOUNT", "4"}});
  EXPECT_EQ(server.request_count(), 0u);
  const auto seen = other.requests();
  ASSERT_EQ(seen.size(), 1u);
  ExpectRequest(seen[0], "LOCK", "/x", 9, L"t2", {{"x-zm-bool", "1"}}, "other");
}

TEST_F(Dorvicctl, ProxyOptions) {
  HttpFixture proxy;
  Run({"--proxy-type", "0", "--proxy-host", "127.0.0.1", "--proxy-port",
       std::to_string(proxy.port()), "--proxy-user", "u", "--proxy-password", "p", "lock", "/x"},
      0);
  EXPECT_EQ(server.request_count(), 0u);
  const auto seen = proxy.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "http://" + server.host() + "/x");
  EXPECT_EQ(seen[0].Header("Proxy-Authorization"), "Basic dTpw");
}

TEST_F(Dorvicctl, UsageErrors) {
  ExpectUsageError({});
  ExpectUsageError({"frobnicate", "/x"});
  ExpectUsageError({"list"});
  ExpectUsageError({"list", "/a", "/b"});
  ExpectUsageError({"list", "/a", "--size", "abc"});
  ExpectUsageError({"list", "/a", "--size"});
  ExpectUsageError({"list", "/a", "--colour", "red"});
  ExpectUsageError({"url", "/a"});
  ExpectUsageError({"add", "/a", "--filehash", "h"});
  ExpectUsageError({"add", "/a", "--filehash", "h", "--filesize", "-1"});
  ExpectUsageError({"rename", "/a"});
  ExpectUsageError({"revert", "/a", "seven"});
  ExpectUsageError({"remark", "/a"});
  ExpectUsageError({"share", "/a"});
  ExpectUsageError({"publish", "/a", "--days", "4294967296"});
  ExpectUsageError({"--mount", "x", "lock", "/a"});
  ExpectUsageError({"--host"});
  ExpectUsageError({"--bogus", "1", "lock", "/a"});
  ExpectUsageError({"--proxy-port", "8080", "lock", "/a"});
  ExpectUsageError({"lock", "/a"}, {{"DORVIC_MOUNT", "abc"}});
  EXPECT_EQ(server.request_count(), 0u);
}

}  // namespace
}  // namespace dorvic_test
