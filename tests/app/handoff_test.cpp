// The hand-off between starts with the real shared objects in a private folder: block layout,
// a killed resident leaving nothing that blocks or misleads, round trips, rapid concurrent starts
// (none lost), and a later start that finds no listener.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/handoff_block.h"
#include "app/handoff_listener.h"
#include "app/handoff_sender.h"
#include "platform/named_mutex.h"
#include "platform/window_registry.h"
#include "tests/support/scratch_dir.h"

namespace {

using namespace std::chrono_literals;
using plumet::HandoffResult;

std::u16string Text(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST(HandoffBlock, TextIsBoundedAndAlwaysTerminated) {
  const std::u16string full(plumet::kHandoffMaxUnits, u'a');
  std::u16string split_pair(plumet::kHandoffMaxUnits - 1, u'b');
  split_pair += u"\U0001F600";  // its second half would be unit 4000
  const struct {
    const char* name;
    std::u16string in, out;
  } cases[] = {
      {"empty", u"", u""},
      {"url", u"plumet://MXwvYS50eHR8dA==/", u"plumet://MXwvYS50eHR8dA==/"},
      {"3999 units fit with the terminator", full, full},
      {"longer texts are cut to 3999", full + u"xyz", full},
      {"a surrogate pair is not split", split_pair,
       split_pair.substr(0, plumet::kHandoffMaxUnits - 1)},
  };
  for (const auto& c : cases) {
    unsigned char block[plumet::kHandoffBlockSize];
    std::fill(std::begin(block), std::end(block), 0xEE);
    plumet::EncodeHandoff(c.in, block);
    EXPECT_EQ(plumet::DecodeHandoff(block), c.out) << c.name;
    EXPECT_EQ(block[plumet::kHandoffBlockSize - 2] | block[plumet::kHandoffBlockSize - 1], 0)
        << c.name;
    if (!c.out.empty()) {
      EXPECT_EQ(block[0], static_cast<unsigned char>(c.out[0] & 0xFF)) << c.name;
    }
  }
}

TEST(Handoff, KilledResidentLeavesNothingThatBlocksOrMisleads) {
  plumet_test::ScratchDir folder{"plumet-shell"};
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::NamedMutex mutex;
    const bool ok = mutex.TryAcquire(folder.path(), plumet::kMutexName) &&
                    platform::PublishWindow(folder.path(), plumet::kWindowTitle);
    const char byte = ok ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(byte, 'y');

  platform::NamedMutex mine;
  EXPECT_FALSE(mine.TryAcquire(folder.path(), plumet::kMutexName));
  EXPECT_EQ(platform::FindWindow(folder.path(), plumet::kWindowTitle), child);

  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(platform::FindWindow(folder.path(), plumet::kWindowTitle), 0) << "stale entry trusted";
  EXPECT_TRUE(mine.TryAcquire(folder.path(), plumet::kMutexName)) << "a crash must not block";
}

// A resident in this process: the mutex, the listener and the published window.
class Resident {
 public:
  explicit Resident(const std::string& folder) {
    EXPECT_TRUE(mutex_.TryAcquire(folder, plumet::kMutexName));
    EXPECT_TRUE(listener_.Start(folder, [this](std::u16string text) {
      std::this_thread::sleep_for(1ms);  // a slow consumer makes later starts overlap
      std::lock_guard<std::mutex> lock(m_);
      texts_.push_back(std::move(text));
      cv_.notify_all();
    }));
    EXPECT_TRUE(platform::PublishWindow(folder, plumet::kWindowTitle));
  }
  ~Resident() { listener_.Stop(); }

  std::vector<std::u16string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, 10s, [&] { return texts_.size() >= count; });
    return texts_;
  }

 private:
  platform::NamedMutex mutex_;
  plumet::HandoffListener listener_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::u16string> texts_;
};

TEST(Handoff, RoundTripDeliversTheTextOnce) {
  plumet_test::ScratchDir folder{"plumet-shell"};
  Resident resident(folder.path());
  platform::NamedMutex later;
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://first/"), later),
            HandoffResult::kDelivered);
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), u"", later), HandoffResult::kDelivered);
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://second/"), later),
            HandoffResult::kDelivered);
  const auto texts = resident.WaitFor(2);
  EXPECT_EQ(texts,
            (std::vector<std::u16string>{Text("plumet://first/"), Text("plumet://second/")}));
}

TEST(Handoff, LongTextsArriveWholeOrNotAtAll) {
  plumet_test::ScratchDir folder{"plumet-shell"};
  Resident resident(folder.path());
  std::u16string link = Text("plumet://");
  for (size_t i = 0; link.size() < 20000; ++i) link.push_back(u'A' + static_cast<char16_t>(i % 26));
  // A pair whose halves fall into different blocks.
  std::u16string pair_across(plumet::kHandoffMaxUnits - 2, u'p');
  pair_across += u"\U0001F600" + std::u16string(5000, u'q');
  const struct {
    const char* name;
    std::u16string text;
    HandoffResult result;
    bool arrives;
  } cases[] = {
      {"a link of 20000 characters", link, HandoffResult::kDelivered, true},
      {"a surrogate pair across two blocks", pair_across, HandoffResult::kDelivered, true},
      {"a short text that begins with a part marker",
       std::u16string(1, plumet::kHandoffLastPart) + u"x", HandoffResult::kDelivered, true},
      {"the longest text taken", std::u16string(plumet::kHandoffMaxTextUnits, u'm'),
       HandoffResult::kDelivered, true},
      {"one unit longer is refused, not cut",
       std::u16string(plumet::kHandoffMaxTextUnits + 1, u'n'), HandoffResult::kNotTaken, false},
  };
  std::vector<std::u16string> expected;
  for (const auto& c : cases) {
    platform::NamedMutex later;
    EXPECT_EQ(plumet::HandOffToResident(folder.path(), c.text, later), c.result) << c.name;
    if (c.arrives) expected.push_back(c.text);
  }
  // A short link after them arrives as itself: nothing of a long one is left over.
  platform::NamedMutex later;
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://short/"), later),
            HandoffResult::kDelivered);
  expected.push_back(Text("plumet://short/"));
  const auto texts = resident.WaitFor(expected.size());
  ASSERT_EQ(texts.size(), expected.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_TRUE(texts[i] == expected[i]) << cases[std::min(i, std::size(cases) - 1)].name << ": "
                                         << texts[i].size() << " units arrived";
  }
}

TEST(Handoff, RapidConcurrentStartsLoseNothing) {
  plumet_test::ScratchDir folder{"plumet-shell"};
  Resident resident(folder.path());
  constexpr int kStarts = 6, kEach = 5;
  std::vector<std::thread> starts;
  std::vector<HandoffResult> results(kStarts * kEach, HandoffResult::kNotTaken);
  for (int s = 0; s < kStarts; ++s) {
    starts.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        platform::NamedMutex later;  // every start is its own process with its own descriptors
        results[s * kEach + i] = plumet::HandOffToResident(
            folder.path(), Text("plumet://" + std::to_string(s) + "-" + std::to_string(i)), later);
      }
    });
  }
  for (auto& t : starts) t.join();
  for (HandoffResult r : results) EXPECT_EQ(r, HandoffResult::kDelivered);
  const auto texts = resident.WaitFor(kStarts * kEach);
  std::set<std::u16string> distinct(texts.begin(), texts.end());
  EXPECT_EQ(texts.size(), static_cast<size_t>(kStarts * kEach));
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kStarts * kEach));
}

TEST(Handoff, LaterStartWithoutListenerOrResident) {
  plumet_test::ScratchDir folder{"plumet-shell"};
  platform::NamedMutex resident_mutex;
  ASSERT_TRUE(resident_mutex.TryAcquire(folder.path(), plumet::kMutexName));
  plumet::HandoffTimeouts quick;
  quick.findWindow = 300ms;

  // Mutex held, no window ever appears: bounded search, then the text is reported as not handed.
  platform::NamedMutex later;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://x"), later, quick),
            HandoffResult::kNoResident);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  // A window but nobody listening: no waiting for an answer that cannot come.
  ASSERT_TRUE(platform::PublishWindow(folder.path(), plumet::kWindowTitle));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://x"), later, quick),
            HandoffResult::kNoListener);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

  // The resident ends while a later start looks for its window: that start takes over.
  platform::WithdrawWindow(folder.path(), plumet::kWindowTitle);
  std::thread ending([&] {
    std::this_thread::sleep_for(50ms);
    resident_mutex.Release();
  });
  EXPECT_EQ(plumet::HandOffToResident(folder.path(), Text("plumet://x"), later, quick),
            HandoffResult::kBecomeResident);
  ending.join();
  EXPECT_TRUE(later.owned());
}

}  // namespace
