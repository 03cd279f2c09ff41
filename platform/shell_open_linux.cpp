#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/shell_open.h"

namespace platform {
namespace {

template <typename T>
struct GFree {
  void operator()(T* p) const { g_free(p); }
};
struct GUnref {
  void operator()(void* p) const { g_object_unref(p); }
};
using GStr = std::unique_ptr<char, GFree<char>>;
template <typename T>
using GRef = std::unique_ptr<T, GUnref>;

// Content types whose default "application" executes them. Each is matched with its subtypes,
// text excepted (see IsRunnableType).
constexpr const char* kRunnableTypes[] = {
    "application/x-desktop",
    "application/x-executable",
    "application/x-pie-executable",
    "application/x-sharedlib",
    "application/x-core",
    "application/x-object",
    "application/x-mach-binary",
    "application/x-msdownload",
    "application/x-ms-dos-executable",
    "application/x-ms-ne-executable",
    "application/vnd.microsoft.portable-executable",
    "application/x-msi",
    "application/x-ms-shortcut",
    "application/x-msdos-program",
    "application/java-archive",
    "application/x-java-archive",
    "application/x-java-jnlp-file",
    "application/x-java",
    "application/vnd.android.package-archive",
    "application/x-appimage",
    "application/vnd.flatpak",
    "application/vnd.flatpak.ref",
    "application/vnd.snap",
    "application/x-deb",
    "application/vnd.debian.binary-package",
    "application/x-rpm",
};

bool IsRunnableType(const char* type) {
  if (type == nullptr || type[0] == '\0') return false;
  // A desktop entry is text too, but its handler runs the command it names.
  if (g_content_type_is_a(type, "application/x-desktop")) return true;
  // Scripts and source files are text (and, in the MIME database, also "executable"): without an
  // execute bit their default application is an editor.
  if (g_content_type_is_a(type, "text/plain")) return false;
  for (const char* runnable : kRunnableTypes) {
    if (g_content_type_is_a(type, runnable)) return true;
  }
  return false;
}

// The first bytes of the file, for sniffing.
std::string Head(const std::string& path, bool* ok) {
  std::string data(4096, '\0');
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  *ok = fd >= 0;
  if (fd < 0) return {};
  const ssize_t n = read(fd, data.data(), data.size());
  close(fd);
  *ok = n >= 0;
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

std::string Guess(const char* name, const std::string& data) {
  GStr type(g_content_type_guess(name, reinterpret_cast<const guchar*>(data.data()), data.size(),
                                 nullptr));
  return type ? std::string(type.get()) : std::string();
}

// Asks the desktop portal to let the user pick an application for the file. Only where a portal
// runs: it is not started on demand for this.
bool AskPortal(const std::string& path) {
  GError* error = nullptr;
  GRef<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
  if (!bus) {
    g_clear_error(&error);
    return false;
  }
  GVariant* owner = g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", "org.freedesktop.portal.Desktop"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
  gboolean running = FALSE;
  if (owner != nullptr) {
    g_variant_get(owner, "(b)", &running);
    g_variant_unref(owner);
  }
  g_clear_error(&error);
  if (!running) return false;

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  GRef<GUnixFDList> fds(g_unix_fd_list_new_from_array(&fd, 1));  // takes the descriptor
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "ask", g_variant_new_boolean(TRUE));
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
      "org.freedesktop.portal.OpenURI", "OpenFile", g_variant_new("(sha{sv})", "", 0, &options),
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 5000, fds.get(), nullptr, nullptr, &error);
  g_clear_error(&error);
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}

// Starts the application with its stdout and stderr on /dev/null: what an editor or browser says
// about itself (warnings, debug noise) is not ours to log, and would bury plumet's own lines.
bool Launch(GAppInfo* app, const char* uri) {
  GList uris = {const_cast<char*>(uri), nullptr, nullptr};
  GError* error = nullptr;
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  bool ok = false;
  if (quiet >= 0 && G_IS_DESKTOP_APP_INFO(app)) {
    ok = g_desktop_app_info_launch_uris_as_manager_with_fds(
             G_DESKTOP_APP_INFO(app), &uris, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
             nullptr, nullptr, -1, quiet, quiet, &error) != FALSE;
  } else {
    ok = g_app_info_launch_uris(app, &uris, nullptr, &error) != FALSE;
  }
  if (quiet >= 0) close(quiet);
  if (error != nullptr) {
    std::fprintf(stderr, "plumet: cannot start %s: %s\n", g_app_info_get_name(app), error->message);
    g_error_free(error);
  }
  return ok;
}

}  // namespace

std::string ContentTypeOf(const std::string& path) {
  bool ok = false;
  const std::string data = Head(path, &ok);
  return ok ? Guess(path.c_str(), data) : std::string();
}

bool RunsCode(const std::string& path) {
  bool ok = false;
  const std::string data = Head(path, &ok);
  if (!ok) return false;
  // By name and content together (what the association will use), and by content alone: a
  // program named "notes.txt" is still a program.
  return IsRunnableType(Guess(path.c_str(), data).c_str()) ||
         IsRunnableType(Guess(nullptr, data).c_str());
}

OpenOutcome OpenInDefaultApplication(const std::string& path) {
  bool readable = false;
  const std::string data = Head(path, &readable);
  if (!readable) return OpenOutcome::kFailed;
  const std::string type = Guess(path.c_str(), data);
  if (IsRunnableType(type.c_str()) || IsRunnableType(Guess(nullptr, data).c_str())) {
    return OpenOutcome::kRefused;
  }
  GStr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  if (!uri) return OpenOutcome::kFailed;
  GRef<GAppInfo> app(g_app_info_get_default_for_type(type.c_str(), FALSE));
  if (app) return Launch(app.get(), uri.get()) ? OpenOutcome::kOpened : OpenOutcome::kFailed;
  return AskPortal(path) ? OpenOutcome::kOpened : OpenOutcome::kNoHandler;
}

bool OpenWebAddress(const std::string& url) {
  GStr scheme(g_uri_parse_scheme(url.c_str()));
  if (!scheme) return false;
  GRef<GAppInfo> app(g_app_info_get_default_for_uri_scheme(scheme.get()));
  return app && Launch(app.get(), url.c_str());
}

bool OpenFolder(const std::string& path) {
  GStr uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  if (!uri) return false;
  GRef<GAppInfo> app(g_app_info_get_default_for_type("inode/directory", FALSE));
  return app && Launch(app.get(), uri.get());
}

}  // namespace platform
