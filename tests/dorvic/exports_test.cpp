// The configuration and error exports on the library's global client.

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

namespace {

TEST(Exports, ConfigurationIsKeptAsGiven) {
  // Nothing has failed or been configured yet in this process.
  std::wstring message = L"caller's";
  EXPECT_EQ(dorvic_get_last_error_code(message), 0);
  EXPECT_EQ(message, L"");
  EXPECT_EQ(dorvic_get_last_error_code(), 0);
  EXPECT_EQ(dorvic_get_host(), L"");

  dorvic_set_host(L"https://api.example.test:8443");
  EXPECT_EQ(dorvic_get_host(), L"https://api.example.test:8443");
  dorvic_set_host(L" odd/host/ \u6587");  // no normalisation at all
  EXPECT_EQ(dorvic_get_host(), L" odd/host/ \u6587");
  dorvic_set_secret(L"s\u00e9cret");
  dorvic_info_stx info;
  dorvic_set_network_info(&info);
  dorvic_set_network_info(nullptr);
  EXPECT_EQ(dorvic_get_last_error_code(), 0);
}

TEST(Exports, FailedOperationSetsTheLastError) {
  dorvic_set_host(L"");  // no URL at all: the transfer cannot start
  std::vector<dorvic_remind_msg> messages;
  EXPECT_FALSE(dorvic_discuss(L"t", L"/f", 0, messages));
  std::wstring message;
  EXPECT_EQ(dorvic_get_last_error_code(message), 10061);
  EXPECT_EQ(message, L"");
  EXPECT_TRUE(messages.empty());
}

}  // namespace
