#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <atomic>
#include <map>

#include "common/display_text.h"
#include "platform/desktop_notification.h"

namespace platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kActionKey = QStringLiteral("default-action-of-plumet");

// What the notification server can do, asked once; a server that does not answer is asked again
// at the next notification.
enum Capability : int { kMarkup = 1, kActions = 2 };

int Capabilities(QDBusConnection& bus) {
  static std::atomic<int> known{-1};
  const int value = known.load();
  if (value >= 0) return value;
  QDBusMessage ask =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
  const QDBusMessage reply = bus.call(ask, QDBus::Block, 1000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return 0;
  const QStringList list = reply.arguments().first().toStringList();
  const int caps = (list.contains(QStringLiteral("body-markup")) ? kMarkup : 0) |
                   (list.contains(QStringLiteral("actions")) ? kActions : 0);
  known.store(caps);
  return caps;
}

// The actions of the notifications still shown, by the id the server gave them. Lives on the
// application's thread, where the server's signals arrive.
class ActionRouter : public QObject {
  Q_OBJECT

 public:
  static ActionRouter& Instance(QDBusConnection& bus) {
    static ActionRouter* router = [&bus] {
      auto* made = new ActionRouter(QCoreApplication::instance());
      bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), made,
                  SLOT(Invoked(uint, QString)));
      bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), made,
                  SLOT(Closed(uint, uint)));
      return made;
    }();
    return *router;
  }

  void Add(uint id, std::function<void()> run) { actions_[id] = std::move(run); }

 private slots:
  void Invoked(uint id, const QString& key) {
    const auto found = actions_.find(id);
    if (found == actions_.end() || key != kActionKey) return;
    const std::function<void()> run = found->second;
    run();
  }
  void Closed(uint id, uint) { actions_.erase(id); }

 private:
  using QObject::QObject;
  std::map<uint, std::function<void()>> actions_;
};

}  // namespace

bool SendDesktopNotification(const std::wstring& summary, const std::wstring& body, int timeout_ms,
                             NotificationAction action) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  // The body carries a remote path: a line break in it would fake a line of our own.
  QString text = QString::fromStdWString(plumet_text::ControlsReplaced(body));
  if (text.size() >= static_cast<qsizetype>(kNotificationTextCapacity)) {
    text.truncate(static_cast<qsizetype>(kNotificationTextCapacity) - 1);
    // Never leave half of a surrogate pair at the cut.
    if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
  }
  const int caps = Capabilities(bus);
  // Escaped after the cut, so that no entity is cut in half; "<b>" in a path stays literal text.
  if ((caps & kMarkup) != 0) {
    text = QString::fromStdWString(plumet_text::MarkupEscaped(text.toStdWString()));
  }
  const bool withAction = action.run && (caps & kActions) != 0;
  QStringList actions;
  if (withAction) actions << kActionKey << QString::fromStdWString(action.label);
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  call << QStringLiteral("plumet") << 0u << QString() << QString::fromStdWString(summary) << text
       << actions << QVariantMap() << timeout_ms;
  call.setAutoStartService(true);
  QCoreApplication* app = QCoreApplication::instance();
  if (!withAction || app == nullptr) {
    // The id it answers is of no use here; not waiting keeps a slow service off the main thread.
    return bus.send(call);
  }
  // The id names the notification in the server's signals; it is read on the application's
  // thread, which also runs the action.
  QMetaObject::invokeMethod(
      app,
      [call, run = std::move(action.run)] {
        QDBusConnection main = QDBusConnection::sessionBus();
        ActionRouter& router = ActionRouter::Instance(main);
        auto* watcher = new QDBusPendingCallWatcher(main.asyncCall(call), &router);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &router,
                         [&router, run](QDBusPendingCallWatcher* done) {
                           const QDBusPendingReply<uint> reply = *done;
                           if (reply.isValid()) router.Add(reply.value(), run);
                           done->deleteLater();
                         });
      },
      Qt::QueuedConnection);
  return true;
}

}  // namespace platform

#include "desktop_notification_linux.moc"
