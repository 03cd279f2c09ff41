#include "app/resident.h"

#include <curl/curl.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/exit_signals.h"
#include "app/handoff_listener.h"
#include "app/main_dialog.h"

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

extern "C" int plumet_run_resident(int argc, char** argv, const char16_t* launch,
                                   size_t launchUnits, const char* folder) {
  const std::u16string first(launch, launchUnits);
  ChooseHeadlessPlatformIfNeeded();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int status = 1;
  {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("plumet"));

    plumet::CplumetDlg dialog(folder);
    plumet::HandoffListener listener;
    if (!listener.Start(folder, [&dialog](std::u16string text) {
          dialog.PostLaunchRequest(std::move(text));
        })) {
      std::fprintf(stderr, "plumet: later starts cannot reach this instance (hand-off objects)\n");
    }
    // The listener hands texts to the dialog: it stops when the exit begins, before the dialog
    // goes.
    dialog.SetBeforeExit([&listener] { listener.Stop(); });
    dialog.Publish();
    plumet::RouteExitSignals(&dialog, [&dialog] { dialog.OnExit(); });
    if (dialog.OnInitDialog(first)) {
      QApplication::exec();
      status = 0;
    }
    dialog.OnExit();
    listener.Stop();
    if (dialog.LeftWorkRunning()) {
      // A call to a service that does not answer, or a transfer stuck in one, would hold the
      // exit: everything of the user's is saved and journaled by now, so the process ends here.
      std::fflush(nullptr);
      std::_Exit(status);
    }
  }
  curl_global_cleanup();
  return status;
}
