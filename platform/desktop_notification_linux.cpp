#include "platform/desktop_notification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace platform {

bool SendDesktopNotification(const std::wstring& summary, const std::wstring& body,
                             int timeout_ms) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QString text = QString::fromStdWString(body);
  if (text.size() >= static_cast<qsizetype>(kNotificationTextCapacity)) {
    text.truncate(static_cast<qsizetype>(kNotificationTextCapacity) - 1);
    // Never leave half of a surrogate pair at the cut.
    if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QStringLiteral("plumet") << 0u << QString() << QString::fromStdWString(summary) << text
       << QStringList() << QVariantMap() << timeout_ms;
  // The id it answers is of no use to us; not waiting keeps a slow service off the main thread.
  call.setAutoStartService(true);
  return bus.send(call);
}

}  // namespace platform
