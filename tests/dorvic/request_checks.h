#pragma once
// Checks shared by the request-level tests: the common lines of a signed request.

#include <gtest/gtest.h>
#include <strings.h>

#include <string>
#include <utility>
#include <vector>

#include "dorvic/src/signing.h"
#include "tests/dorvic/http_fixture.h"

namespace dorvic_test {

inline constexpr const char kSecret[] = "5e0b7c3a9d21f4e86a0c5b7d3e9f1a24";

// Position of the first header named `name`, or -1.
inline int HeaderIndex(const RecordedRequest& r, const std::string& name) {
  for (size_t i = 0; i < r.headers.size(); ++i) {
    if (strcasecmp(r.headers[i].first.c_str(), name.c_str()) == 0) return static_cast<int>(i);
  }
  return -1;
}

// The request went out as `verb` on `target`, with the common lines in order, a valid signature
// made with `secret` (UTF-8 bytes), no Expect line, its body length and the form content type,
// followed by exactly the operation's own "x-zm-" lines `own` in order.
inline void ExpectRequest(const RecordedRequest& r, const std::string& verb,
                          const std::string& target, int mount, const std::wstring& token,
                          const std::vector<std::pair<std::string, std::string>>& own,
                          const std::string& secret = kSecret) {
  EXPECT_EQ(r.method, verb);
  EXPECT_EQ(r.target, target);
  EXPECT_EQ(r.Header("x-zm-mount"), std::to_string(mount));
  const int mount_at = HeaderIndex(r, "x-zm-mount");
  const int date_at = HeaderIndex(r, "Date");
  const int auth_at = HeaderIndex(r, "Authorization");
  EXPECT_TRUE(mount_at >= 0 && mount_at < date_at && date_at < auth_at)
      << mount_at << " " << date_at << " " << auth_at;
  EXPECT_EQ(r.Header("Authorization"),
            dorvic::SignRequest(secret, token, verb, r.Header("Date"), mount, r.target));
  EXPECT_FALSE(r.HasHeader("Expect"));
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");

  std::vector<std::string> expected_names = {"x-zm-mount"};
  for (const auto& line : own) expected_names.push_back(line.first);
  EXPECT_EQ(r.NamesWithPrefix("x-zm-"), expected_names);
  for (const auto& [name, value] : own) EXPECT_EQ(r.Header(name), value) << name;
  if (!own.empty()) {
    EXPECT_LT(auth_at, HeaderIndex(r, own.front().first));
  }
}

}  // namespace dorvic_test
