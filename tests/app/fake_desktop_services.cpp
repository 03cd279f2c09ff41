// Stand-ins for the desktop's D-Bus services on a test's private session bus. Every call they
// receive is appended as one tab-separated line to the log file, so tests can watch what the
// program under test told the desktop:
//   notify <app> <summary> <body> <timeout> [<action labels, "|" between>]
//                                                org.freedesktop.Notifications.Notify
// With PLUMET_TEST_CHOOSE_ACTIONS=1 in its environment it also "clicks" the first action of each
// notification that offers one (the ActionInvoked signal, a moment after the answer).
//   item <service> org.kde.StatusNotifierWatcher.RegisterStatusNotifierItem
// Usage: fake_desktop_services LOG [--watcher]
// With --watcher it also is the StatusNotifierWatcher with a registered host, so that Qt shows its
// tray icon as a StatusNotifierItem. "ready" is logged once the names are owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <cstdio>

namespace {

QFile* g_log = nullptr;

void Log(const QStringList& fields) {
  g_log->write(fields.join(QLatin1Char('\t')).toUtf8() + "\n");
  g_log->flush();
}

class Notifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public slots:
  uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
              const QStringList& actions, const QVariantMap&, int timeout) {
    QStringList fields = {QStringLiteral("notify"), app, summary, body, QString::number(timeout)};
    QStringList labels;
    for (qsizetype i = 1; i < actions.size(); i += 2) labels << actions[i];
    if (!labels.isEmpty()) fields << labels.join(QLatin1Char('|'));
    Log(fields);
    const uint id = ++last_;
    if (!actions.isEmpty() && qgetenv("PLUMET_TEST_CHOOSE_ACTIONS") == "1") {
      const QString key = actions.first();
      QTimer::singleShot(200, this, [this, id, key] { emit ActionInvoked(id, key); });
    }
    return id;
  }
  // As the usual servers do: bodies are read as markup, so the program must escape its texts.
  QStringList GetCapabilities() {
    return {QStringLiteral("body"), QStringLiteral("body-markup"), QStringLiteral("actions")};
  }

 signals:
  void ActionInvoked(uint id, const QString& key);
  void NotificationClosed(uint id, uint reason);

 public slots:
  QString GetServerInformation(QString& vendor, QString& version, QString& protocol) {
    vendor = QStringLiteral("test");
    version = QStringLiteral("1");
    protocol = QStringLiteral("1.2");
    return QStringLiteral("fake");
  }

 private:
  uint last_ = 0;
};

class Watcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

 public:
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  QStringList items() const { return items_; }

 public slots:
  void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
    // Items may pass their object path instead of a bus name: the sender then names them.
    const QString name = service.startsWith(QLatin1Char('/')) ? message.service() : service;
    items_ << name;
    Log({QStringLiteral("item"), name});
    emit StatusNotifierItemRegistered(name);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  QStringList items_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: fake_desktop_services LOG [--watcher]\n");
    return 2;
  }
  QFile log(args[1]);
  if (!log.open(QIODevice::Append)) return 2;
  g_log = &log;
  QDBusConnection bus = QDBusConnection::sessionBus();
  Notifications notifications;
  Watcher watcher;
  const auto exports = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                       QDBusConnection::ExportAllProperties;
  bool ok = bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications,
                               exports) &&
            bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
  if (ok && args.contains(QStringLiteral("--watcher"))) {
    ok = bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, exports) &&
         bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
  }
  if (!ok) return 1;
  Log({QStringLiteral("ready")});
  return QCoreApplication::exec();
}

#include "fake_desktop_services.moc"
