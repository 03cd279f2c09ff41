#include "app/exit_signals.h"

#include <signal.h>

#include <QSocketNotifier>

#include "platform/local_event.h"

namespace plumet {
namespace {

platform::LocalEvent* g_exitEvent = nullptr;

void OnExitSignal(int) {
  if (g_exitEvent != nullptr) g_exitEvent->Set();
}

}  // namespace

void RouteExitSignals(QObject* context, std::function<void()> onSignal) {
  static platform::LocalEvent event;  // lives until the process ends, as the handlers do
  g_exitEvent = &event;
  auto* notifier = new QSocketNotifier(event.fd(), QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context,
                   [onSignal = std::move(onSignal)] {
                     g_exitEvent->Reset();
                     onSignal();
                   });
  struct sigaction action {};
  action.sa_handler = OnExitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // Closing the terminal (SIGHUP), a session manager's quit (SIGHUP, SIGQUIT) and kill/Ctrl-C all
  // end the program the same orderly way: unsent copies saved, the journal kept.
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
}

}  // namespace plumet
