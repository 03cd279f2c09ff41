#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <atomic>

#include "common/display_text.h"
#include "platform/desktop_notification.h"

namespace platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// Whether the notification server reads bodies as markup ("body-markup" among its capabilities).
// Asked once; a server that does not answer is asked again at the next notification.
bool BodyIsMarkup(QDBusConnection& bus) {
  static std::atomic<int> known{-1};
  const int value = known.load();
  if (value >= 0) return value == 1;
  QDBusMessage ask =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
  const QDBusMessage reply = bus.call(ask, QDBus::Block, 1000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  const bool markup =
      reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
  known.store(markup ? 1 : 0);
  return markup;
}

}  // namespace

bool SendDesktopNotification(const std::wstring& summary, const std::wstring& body,
                             int timeout_ms) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  // The body carries a remote path: a line break in it would fake a line of our own.
  QString text = QString::fromStdWString(plumet_text::ControlsReplaced(body));
  if (text.size() >= static_cast<qsizetype>(kNotificationTextCapacity)) {
    text.truncate(static_cast<qsizetype>(kNotificationTextCapacity) - 1);
    // Never leave half of a surrogate pair at the cut.
    if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
  }
  // Escaped after the cut, so that no entity is cut in half; "<b>" in a path stays literal text.
  if (BodyIsMarkup(bus)) {
    text = QString::fromStdWString(plumet_text::MarkupEscaped(text.toStdWString()));
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  call << QStringLiteral("plumet") << 0u << QString() << QString::fromStdWString(summary) << text
       << QStringList() << QVariantMap() << timeout_ms;
  // The id it answers is of no use to us; not waiting keeps a slow service off the main thread.
  call.setAutoStartService(true);
  return bus.send(call);
}

}  // namespace platform
