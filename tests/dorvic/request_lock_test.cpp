// Operations called from several threads at once run one at a time on the library's one handle.

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/dorvic/http_fixture.h"

namespace dorvic_test {
namespace {

constexpr int kThreads = 4;
constexpr int kCallsPerThread = 25;

// Paths are "/t<thread>x<call>"; the answer's number is thread * 1000 + call.
int NumberOf(const std::string& target) {
  const size_t x = target.find('x');
  return std::stoi(target.substr(2, x - 2)) * 1000 + std::stoi(target.substr(x + 1));
}

TEST(RequestLock, ConcurrentCallersAreSerialised) {
  HttpFixture server(/*thread_per_connection=*/true);
  std::atomic<int> in_flight{0};
  std::atomic<int> most_in_flight{0};
  server.SetResponder([&](const RecordedRequest& r) {
    const int now = ++in_flight;
    int seen = most_in_flight.load();
    while (now > seen && !most_in_flight.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --in_flight;
    const int number = NumberOf(r.target);
    if (number % 5 == 0) {
      return ScriptedAnswer{409, "{\"error_code\": " + std::to_string(number) + "}"};
    }
    return ScriptedAnswer{200, "{\"version\": " + std::to_string(number) + "}"};
  });
  dorvic_set_host(server.whost());
  dorvic_set_secret(L"k");

  std::atomic<int> wrong{0};
  std::atomic<bool> running{true};
  std::vector<std::thread> threads;
  for (int t = 1; t <= kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 1; i <= kCallsPerThread; ++i) {
        const int expected = t * 1000 + i;
        int32_t version = -1;
        const bool ok = dorvic_del_file(
            L"tok", L"/t" + std::to_wstring(t) + L"x" + std::to_wstring(i), 0, version);
        const bool should_fail = expected % 5 == 0;
        if (ok == should_fail || (ok && version != expected) || (!ok && version != -1)) ++wrong;
      }
    });
  }
  // The error getters are read while the operations run.
  std::thread reader([&] {
    while (running.load()) {
      std::wstring message;
      const int32_t code = dorvic_get_last_error_code(message);
      if (code != 0 && (code % 5 != 0 || code < 1000)) ++wrong;
      std::this_thread::yield();
    }
  });
  for (auto& thread : threads) thread.join();
  running = false;
  reader.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(most_in_flight.load(), 1);
  EXPECT_EQ(server.request_count(), static_cast<size_t>(kThreads * kCallsPerThread));
  EXPECT_EQ(dorvic_get_last_error_code() % 5, 0);
}

}  // namespace
}  // namespace dorvic_test
