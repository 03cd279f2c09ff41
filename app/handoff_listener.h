#pragma once
// The resident instance's listener thread: waits on the hand-off event and on its stop signal
// (never polling), copies each handed-over text out of the block, marks the block taken and hands
// the copy to `deliver` (which must only queue it: it runs on the listener thread), a long text
// once all its parts are in. The copy travels with the call, so a further hand-off can never
// overwrite a text that is being read.

#include <functional>
#include <string>
#include <thread>

#include "app/handoff_block.h"
#include "platform/local_event.h"
#include "platform/named_event.h"
#include "platform/shared_block.h"

namespace plumet {

class HandoffListener {
 public:
  using Deliver = std::function<void(std::u16string)>;

  HandoffListener() = default;
  ~HandoffListener();  // Stop()
  HandoffListener(const HandoffListener&) = delete;
  HandoffListener& operator=(const HandoffListener&) = delete;

  // Opens (creating) the block and the event in `folder`, clears any text a previous resident
  // left, and starts the thread. False when an object cannot be had; no thread then runs.
  bool Start(const std::string& folder, Deliver deliver);

  // Sets the stop signal and joins the thread. Idempotent.
  void Stop();

 private:
  void Run();

  HandoffAssembler assembler_;  // joins the parts of a long text; listener thread only
  platform::SharedBlock block_;
  platform::NamedEvent event_;
  platform::LocalEvent stop_;
  Deliver deliver_;
  std::thread thread_;
};

}  // namespace plumet
