// Failed web logins cost a growing wait per name and per client, forgotten after a quiet spell, in
// a table that cannot grow without bound.
#include "service/web/login_throttle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zelmic {
namespace {

using Clock = LoginThrottle::Clock;
const Clock::time_point kStart = Clock::time_point{} + std::chrono::hours(24);
constexpr Clock::duration kNone{0};

TEST(LoginThrottle, LocksDoubleUpToTheCapAndQuietKeysAreForgotten) {
  LoginThrottle throttle;
  const std::vector<std::string> keys = {"name ann", "peer here"};
  Clock::time_point now = kStart;
  for (unsigned i = 0; i < LoginThrottle::kFreeFailures; ++i) {
    EXPECT_EQ(throttle.Wait(keys, now), kNone) << "failure " << i << " is free";
    throttle.Failed(keys, now);
  }
  const Clock::duration cap = LoginThrottle::kMaxLock;
  for (Clock::duration window = LoginThrottle::kFirstLock; window < 2 * cap; window *= 2) {
    // The client's key alone locks out any name it tries.
    EXPECT_EQ(throttle.Wait({"name bob", "peer here"}, now), std::min(window, cap));
    now += std::min(window, cap);  // a failure the moment the window has passed doubles it
    EXPECT_EQ(throttle.Wait(keys, now), kNone);
    throttle.Failed(keys, now);
  }
  EXPECT_EQ(throttle.Wait(keys, now), cap);
  now += LoginThrottle::kForgetAfter;
  throttle.Failed(keys, now);  // counts as a first failure again
  EXPECT_EQ(throttle.Wait(keys, now), kNone);
}

TEST(LoginThrottle, TheTableIsBoundedAndKeepsTheKeysLockedOut) {
  LoginThrottle throttle;
  for (unsigned i = 0; i < LoginThrottle::kFreeFailures; ++i) throttle.Failed({"name x"}, kStart);
  for (size_t i = 0; i < LoginThrottle::kMaxKeys + 100; ++i)
    throttle.Failed({"name n" + std::to_string(i)}, kStart);
  EXPECT_LE(throttle.size(), LoginThrottle::kMaxKeys);
  EXPECT_GT(throttle.Wait({"name x"}, kStart), kNone);
}

}  // namespace
}  // namespace zelmic
