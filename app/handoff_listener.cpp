#include "app/handoff_listener.h"

#include <poll.h>

#include <cstring>

#include "app/handoff_block.h"

namespace plumet {

HandoffListener::~HandoffListener() { Stop(); }

bool HandoffListener::Start(const std::string& folder, Deliver deliver) {
  if (thread_.joinable() || stop_.fd() < 0) return false;
  if (!block_.Open(folder, kMapName, kHandoffBlockSize)) return false;
  if (!event_.Create(folder, kEventName)) return false;
  std::memset(block_.data(), 0, kHandoffBlockSize);
  deliver_ = std::move(deliver);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void HandoffListener::Stop() {
  if (!thread_.joinable()) return;
  stop_.Set();
  thread_.join();
}

void HandoffListener::Run() {
  for (;;) {
    const auto result = event_.Wait(stop_);
    if (result == platform::NamedEvent::WaitResult::kStopped) break;
    if (result == platform::NamedEvent::WaitResult::kError) {
      // Not a reason to spin: rest until stopped or a second has passed, then try again.
      pollfd stop = {stop_.fd(), POLLIN, 0};
      if (poll(&stop, 1, 1000) > 0) break;
      continue;
    }
    std::optional<std::u16string> text = assembler_.Add(TakeHandoff(block_.data()));
    if (text && !text->empty()) deliver_(std::move(*text));
  }
}

}  // namespace plumet
