#pragma once
// Desktop notifications (what the tray balloons were): org.freedesktop.Notifications.Notify on the
// session bus. Sent whether or not a tray icon is shown; dropped silently when there is no bus or
// no notification service. Needs a running Qt application object.

#include <functional>
#include <string>

namespace platform {

// Capacity of a notification text in UTF-16 code units, the terminating zero included; longer
// texts are cut, never refused.
inline constexpr size_t kNotificationTextCapacity = 256;

// A button of the notification. `run` is called on the Qt application's thread when the user
// chooses it. Offered only where the notification server shows actions; elsewhere the text alone
// must say what to do.
struct NotificationAction {
  std::wstring label;
  std::function<void()> run;
};

// Sends a notification from "plumet" with `summary` and `body`, shown for `timeout_ms`. Does not
// wait for the service's answer. False when no session bus is reachable. May be called from any
// thread.
bool SendDesktopNotification(const std::wstring& summary, const std::wstring& body, int timeout_ms,
                             NotificationAction action = {});

}  // namespace platform
