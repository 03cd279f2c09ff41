#pragma once
// SIGTERM, SIGINT, SIGHUP and SIGQUIT take the same orderly exit as the menu command: the handler
// only sets an event whose descriptor the event loop watches, and the exit then runs on the main
// thread.

#include <QObject>
#include <functional>

namespace plumet {

// Installs the handlers; `onSignal` runs on the calling (main) thread's event loop. Call once.
void RouteExitSignals(QObject* context, std::function<void()> onSignal);

}  // namespace plumet
