// The secrets the store mints.
#include "service/store/secrets.h"

#include <gtest/gtest.h>

namespace zelmic {
namespace {

TEST(RandomHex, IsLongAndFresh) {
  const std::string a = RandomHex(20), b = RandomHex(20);
  EXPECT_EQ(a.size(), 40u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace zelmic
