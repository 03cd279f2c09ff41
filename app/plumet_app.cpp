#include "app/plumet_app.h"

#include <curl/curl.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/exit_signals.h"
#include "app/handoff_block.h"
#include "app/handoff_sender.h"
#include "app/launch_argument.h"
#include "app/main_dialog.h"
#include "platform/instance_folder.h"

namespace plumet {
namespace {

// Without any display the program still runs, with no icon: Qt would otherwise refuse to start.
void ChooseHeadlessPlatformIfNeeded() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if (chosen != nullptr && chosen[0] != '\0') return;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || x11[0] == '\0') && (wayland == nullptr || wayland[0] == '\0')) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
}

}  // namespace

int CplumetApp::Run(int argc, char** argv) {
  const std::u16string launch = TakeLaunchArgument(argc, argv);
  m_folder = platform::InstanceFolder();
  if (m_folder.empty()) {
    std::fprintf(stderr, "plumet: no private folder for the single-instance objects\n");
    return 1;
  }
  if (!m_mutex.TryAcquire(m_folder, kMutexName)) {
    switch (HandOffToResident(m_folder, launch, m_mutex)) {
      case HandoffResult::kBecomeResident:
        break;  // the resident ended meanwhile: this start takes its place
      case HandoffResult::kDelivered:
        return 0;
      case HandoffResult::kNoResident:
      case HandoffResult::kNotTaken:
      case HandoffResult::kNoListener:
        std::fprintf(stderr, "plumet: the running instance did not take the request\n");
        return 1;
    }
  }
  const int status = RunResident(argc, argv, launch);
  ExitInstance();
  return status;
}

int CplumetApp::RunResident(int argc, char** argv, const std::u16string& launch) {
  ChooseHeadlessPlatformIfNeeded();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("plumet"));

  CplumetDlg dialog(m_folder);
  if (!m_listener.Start(m_folder, [&dialog](std::u16string text) {
        dialog.PostLaunchRequest(std::move(text));
      })) {
    std::fprintf(stderr, "plumet: later starts cannot reach this instance (hand-off objects)\n");
  }
  RouteExitSignals(&dialog, [&dialog] { dialog.OnExit(); });
  int status = 1;
  if (dialog.OnInitDialog(launch)) {
    QApplication::exec();
    status = 0;
  }
  dialog.OnExit();
  // The listener hands texts to the dialog: it stops before the dialog goes.
  m_listener.Stop();
  return status;
}

void CplumetApp::ExitInstance() {
  m_listener.Stop();
  m_mutex.Release();
  curl_global_cleanup();
}

}  // namespace plumet
