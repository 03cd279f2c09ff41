// Error members and the JSON value readers (the status line is tested in tests/common/).

#include "dorvic/src/answers.h"

#include <gtest/gtest.h>

#include <limits>

namespace dorvic {
namespace {

TEST(ParseServiceError, CodeAndMessage) {
  ServiceError e = ParseServiceError(R"({"error_code": 40301, "error_msg": "\u6743\u9650"})");
  EXPECT_EQ(e.code, 40301);
  EXPECT_EQ(e.message, L"\u6743\u9650");

  e = ParseServiceError(R"({"error_msg": "gone"})");
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.message, L"gone");

  e = ParseServiceError(R"({"error_code": 7, "error_msg": 12})");  // a number is no message
  EXPECT_EQ(e.code, 7);
  EXPECT_EQ(e.message, L"");

  e = ParseServiceError(
      R"({"error_code": 1, "error_code": 2, "error_msg": "a", "error_msg": "b"})");
  EXPECT_EQ(e.code, 2);
  EXPECT_EQ(e.message, L"b");

  e = ParseServiceError(R"({"error_msg": "a", "error_msg": null})");  // a later non-string keeps
  EXPECT_EQ(e.message, L"a");
}

TEST(ParseServiceError, BodiesThatAreNoObject) {
  for (const char* body :
       {"", "<html>502</html>", "[{\"error_code\": 5}]", "17", "{\"error_code\":", "null"}) {
    const ServiceError e = ParseServiceError(body);
    EXPECT_EQ(e.code, 0) << body;
    EXPECT_EQ(e.message, L"") << body;
  }
}

TEST(JsonValues, IntegerReadingOfEveryType) {
  JsonPtr root = ParseJsonObject(
      R"({"n": 42, "neg": -7.9, "pos": 7.9, "t": true, "f": false, "z": null, "s": "12",
          "a": [1], "o": {"x": 1}, "big": 3000000000, "small": -3000000000, "huge": 1e300})");
  ASSERT_TRUE(root);
  auto get = [&](const char* key) {
    return JsonInt(cJSON_GetObjectItemCaseSensitive(root.get(), key));
  };
  EXPECT_EQ(get("n"), 42);
  EXPECT_EQ(get("neg"), -7);
  EXPECT_EQ(get("pos"), 7);
  EXPECT_EQ(get("t"), 1);
  EXPECT_EQ(get("f"), 0);
  EXPECT_EQ(get("z"), 0);
  EXPECT_EQ(get("s"), 0);
  EXPECT_EQ(get("a"), 0);
  EXPECT_EQ(get("o"), 0);
  EXPECT_EQ(get("big"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(get("small"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(get("huge"), std::numeric_limits<int32_t>::max());
  auto get64 = [&](const char* key) {
    return JsonInt64(cJSON_GetObjectItemCaseSensitive(root.get(), key));
  };
  EXPECT_EQ(get64("big"), 3000000000LL);
  EXPECT_EQ(get64("small"), -3000000000LL);
  EXPECT_EQ(get64("huge"), std::numeric_limits<int64_t>::max());
}

TEST(JsonValues, TextOnlyFromStrings) {
  JsonPtr root = ParseJsonObject(R"({"s": "caf\u00e9 \ud83d\ude00", "n": 5, "e": ""})");
  ASSERT_TRUE(root);
  std::wstring field = L"kept";
  JsonText(cJSON_GetObjectItemCaseSensitive(root.get(), "n"), &field);
  EXPECT_EQ(field, L"kept");
  JsonText(cJSON_GetObjectItemCaseSensitive(root.get(), "s"), &field);
  EXPECT_EQ(field, L"caf\u00e9 \U0001F600");
  JsonText(cJSON_GetObjectItemCaseSensitive(root.get(), "e"), &field);
  EXPECT_EQ(field, L"");
}

TEST(JsonValues, DecimalTextLikeAtoi64) {
  EXPECT_EQ(ParseDecimal64("5368709120"), 5368709120LL);
  EXPECT_EQ(ParseDecimal64("  \t-42xyz"), -42);
  EXPECT_EQ(ParseDecimal64("+7"), 7);
  EXPECT_EQ(ParseDecimal64("x1"), 0);
  EXPECT_EQ(ParseDecimal64(""), 0);
  EXPECT_EQ(ParseDecimal64("-"), 0);
  EXPECT_EQ(ParseDecimal64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseDecimal64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ParseDecimal64("99999999999999999999"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseDecimal64("-99999999999999999999"), std::numeric_limits<int64_t>::min());

  JsonPtr root = ParseJsonObject(R"({"s": " 123", "n": 456})");
  ASSERT_TRUE(root);
  int64_t size = -1;
  JsonDecimalText(cJSON_GetObjectItemCaseSensitive(root.get(), "n"), &size);
  EXPECT_EQ(size, -1);
  JsonDecimalText(cJSON_GetObjectItemCaseSensitive(root.get(), "s"), &size);
  EXPECT_EQ(size, 123);
}

TEST(AppendData, TakesEverything) {
  std::string target = "ab";
  char data[] = "cdefgh";
  EXPECT_EQ(AppendData(data, 2, 3, &target), 6u);
  EXPECT_EQ(target, "abcdefgh");
  EXPECT_EQ(AppendData(data, 1, 0, &target), 0u);
  EXPECT_EQ(target, "abcdefgh");
}

}  // namespace
}  // namespace dorvic
