// The one holder of a libmicrohttpd daemon, in each threading mode the service and its test
// servers start it with.
#include "service/http/mhd_daemon.h"

#include <gtest/gtest.h>

#include <utility>

namespace zelmic {
namespace {

MHD_Result Refuse(void*, MHD_Connection*, const char*, const char*, const char*, const char*,
                  size_t*, void**) {
  return MHD_NO;
}

struct Mode {
  const char* name;
  unsigned flags;
};

TEST(MhdDaemon, OwnsItsDaemonAndItsPortInEveryThreadingMode) {
  const Mode modes[] = {
      {"polling thread", MHD_USE_INTERNAL_POLLING_THREAD},
      {"thread per connection", MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION},
      {"epoll", MHD_USE_EPOLL_INTERNAL_THREAD},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    MhdDaemon first = MhdDaemon::Start(mode.flags, 0, &Refuse, nullptr);
    ASSERT_TRUE(first.running());
    const uint16_t port = first.port();
    EXPECT_NE(port, 0);
    // The port stays taken while the holder runs, wherever the holder moved.
    MhdDaemon moved = std::move(first);
    EXPECT_FALSE(first.running());
    EXPECT_EQ(first.port(), 0);
    EXPECT_EQ(moved.port(), port);
    EXPECT_FALSE(MhdDaemon::Start(mode.flags, port, &Refuse, nullptr).running());
    moved.Stop();
    EXPECT_FALSE(moved.running());
    EXPECT_EQ(moved.port(), 0);
  }
}

}  // namespace
}  // namespace zelmic
