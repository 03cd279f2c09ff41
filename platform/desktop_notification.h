#pragma once
// Desktop notifications (what the tray balloons were): org.freedesktop.Notifications.Notify on the
// session bus. Sent whether or not a tray icon is shown; dropped silently when there is no bus or
// no notification service. Needs a running Qt application object.

#include <string>

namespace platform {

// Capacity of a notification text in UTF-16 code units, the terminating zero included; longer
// texts are cut, never refused.
inline constexpr size_t kNotificationTextCapacity = 256;

// Sends a notification from "plumet" with `summary` and `body`, shown for `timeout_ms`. Does not
// wait for the service's answer. False when no session bus is reachable.
bool SendDesktopNotification(const std::wstring& summary, const std::wstring& body, int timeout_ms);

}  // namespace platform
