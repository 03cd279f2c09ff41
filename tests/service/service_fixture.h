#pragma once
// A served zelmicd with two users: ann (mounts 1 and 2) and bob (mount 1), and one file
// /docs/plan.txt on mount 1.

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/zelmic_process.h"

namespace zelmic_test {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
inline Json ParseJson(const std::string& text) {
  return Json(cJSON_Parse(text.c_str()), &cJSON_Delete);
}
inline std::string Str(const Json& j, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(j.get(), name);
  return cJSON_IsString(item) ? item->valuestring : "<missing>";
}
inline double Num(const Json& j, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(j.get(), name);
  return cJSON_IsNumber(item) ? item->valuedouble : -12345;
}

class ServiceTest : public ::testing::Test {
 protected:
  static constexpr const char* kPlan = "the plan\n";
  static constexpr const char* kAnnPassword = "ann's secret";
  static constexpr const char* kBobPassword = "bob-pw";

  void SetUp() override { Prepare({}); }
  void Prepare(const std::vector<std::string>& serve_args) {
    ann_refresh_ = z_.AddUser("ann", {1, 2}, kAnnPassword);
    bob_refresh_ = z_.AddUser("bob", {1}, kBobPassword);
    const std::string local = z_.tmp_dir() + "/plan.txt";
    ASSERT_TRUE(WriteFile(local, kPlan));
    z_.Put(1, local, "/docs/plan.txt");
    ASSERT_TRUE(z_.Start(serve_args));
    ann_ = z_.AccessToken(ann_refresh_);
    bob_ = z_.AccessToken(bob_refresh_);
    ASSERT_FALSE(ann_.empty());
    ASSERT_FALSE(bob_.empty());
  }
  HttpResult Call(const std::string& token, const std::string& verb, int mount,
                  const std::string& path, const std::vector<std::string>& headers = {},
                  const std::string& body = {}) {
    return SignedRequest(z_.api_host(), token, verb, mount, path, headers, body);
  }
  // Number of stored versions of path, or -1 when it is unknown.
  int VersionCount(int mount, const std::string& path) {
    HttpResult r = Call(ann_, "GET", mount, path);
    if (r.status != 200) return -1;
    return static_cast<int>(Num(ParseJson(r.body), "vcount"));
  }

  ZelmicProcess z_;
  std::string ann_refresh_, bob_refresh_, ann_, bob_;
};

// The same service with its fault hooks on, for tests that script answers.
class ScriptedServiceTest : public ServiceTest {
 protected:
  void SetUp() override { Prepare({"--faults"}); }
};

}  // namespace zelmic_test
