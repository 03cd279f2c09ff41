#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/io_retry.h"
#include "platform/scheme_registration.h"

namespace platform {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool IsSectionHeader(const std::string& line) {
  const std::string t = Trim(line);
  return !t.empty() && t.front() == '[' && t.back() == ']';
}

std::string KeyOf(const std::string& line) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == '#') return {};
  const size_t eq = t.find('=');
  return eq == std::string::npos ? std::string() : Trim(t.substr(0, eq));
}

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool MakeDirs(const std::string& path) {
  if (path.empty() || path == "/" || path == ".") return true;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (!MakeDirs(DirName(path))) return false;
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The whole file. `error` receives 0 when it was read, ENOENT when there is none, and any other
// errno when it exists (or may exist) but could not be read: that content is unknown, not empty.
std::string ReadAll(const std::string& path, int* error) {
  std::string content;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return content;
  }
  *error = 0;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    // A directory, a FIFO or a device is nothing we could edit line by line.
    *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  if (*error == 0 && !ReadToEnd(fd, content)) *error = errno;
  close(fd);
  if (*error != 0) content.clear();
  return content;
}

// Says once, on stderr and to the system log, why the user's file was left alone.
void TellUnreadable(const std::string& path, int error, const char* consequence) {
  std::fprintf(stderr, "plumet: %s cannot be read (%s): %s\n", path.c_str(), std::strerror(error),
               consequence);
  ::syslog(LOG_WARNING, "%s cannot be read (%s): %s", path.c_str(), std::strerror(error),
           consequence);
}

std::string XdgHome(const char* variable, const char* fallback) {
  const char* v = std::getenv(variable);
  if (v != nullptr && v[0] == '/') return v;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/" + fallback;
}

// Resolves `path` through any chain of symlinks to the file that really gets written, also when
// the final target does not exist yet.
std::string WriteTarget(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return path;
    std::string target(buffer, static_cast<size_t>(n));
    path = target.front() == '/' ? target : DirName(path) + "/" + target;
  }
  return {};
}

}  // namespace

std::string SetDefaultApplication(const std::string& mimeapps, const std::string& key,
                                  const std::string& value) {
  const std::string wanted = key + "=" + value;
  std::vector<std::string> lines;
  {
    size_t start = 0;
    while (start < mimeapps.size()) {
      const size_t nl = mimeapps.find('\n', start);
      const size_t end = nl == std::string::npos ? mimeapps.size() : nl;
      lines.push_back(mimeapps.substr(start, end - start));
      start = end + 1;
    }
  }
  const bool crlf = !lines.empty() && !lines[0].empty() && lines[0].back() == '\r';
  const std::string eol = crlf ? "\r\n" : "\n";

  bool in_section = false, set = false;
  long last_of_section = -1;  // last key line of the section (its header at least)
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (IsSectionHeader(line)) {
      if (in_section && !set) {
        out.insert(out.begin() + last_of_section + 1, wanted + (crlf ? "\r" : ""));
        set = true;
      }
      in_section = Trim(line) == "[Default Applications]";
      if (in_section) last_of_section = static_cast<long>(out.size());
      out.push_back(line);
      continue;
    }
    if (in_section && KeyOf(line) == key) {
      if (set) continue;  // a repeat of our key would override the line we set
      out.push_back(wanted + (crlf ? "\r" : ""));
      set = true;
      last_of_section = static_cast<long>(out.size()) - 1;
      continue;
    }
    // Comments and blank lines at the end of a section usually introduce the next one.
    if (in_section && !KeyOf(line).empty()) last_of_section = static_cast<long>(out.size());
    out.push_back(line);
  }
  if (in_section && !set) {
    out.insert(out.begin() + last_of_section + 1, wanted + (crlf ? "\r" : ""));
    set = true;
  }

  std::string result;
  for (size_t i = 0; i < out.size(); ++i) {
    result += out[i];
    if (i + 1 < out.size()) result += "\n";
  }
  const bool ended = mimeapps.empty() || mimeapps.back() == '\n';
  if (ended && !out.empty()) result += "\n";
  if (!set) {
    if (!result.empty() && result.back() != '\n') result += eol;
    if (!result.empty() && Trim(out.back()).size() > 0) result += eol;
    result += "[Default Applications]" + eol + wanted + eol;
  }
  return result;
}

std::string DesktopExecLine(const std::string& program) {
  // A path with a reserved character is quoted, and inside the quotes ", `, $ and \ are escaped
  // with a backslash. A plain path stays unquoted: the generic fallback of xdg-open takes the
  // first word of Exec literally, quotes and all. % is doubled either way (it would start a field
  // code). The value as a whole is a string, whose own escapes double every backslash again.
  const bool reserved = program.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
  std::string argument = reserved ? "\"" : "";
  for (char c : program) {
    if (reserved && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
    if (c == '%') argument += '%';
    argument += c;
  }
  if (reserved) argument += "\"";
  std::string value;
  for (char c : argument) {
    if (c == '\n') {
      value += "\\n";
    } else if (c == '\t') {
      value += "\\t";
    } else if (c == '\r') {
      value += "\\r";
    } else {
      if (c == '\\') value += '\\';
      value += c;
    }
  }
  return value + " %u";
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string target = WriteTarget(path);
  if (target.empty()) return false;
  struct stat st {};
  const mode_t mode = stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  std::string temp = target + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && WriteFull(fd, content.data(), content.size());
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool RegisterUrlScheme(const std::string& scheme, const std::string& desktop_file,
                       const std::string& entry) {
  const std::string data_home = XdgHome("XDG_DATA_HOME", ".local/share");
  const std::string config_home = XdgHome("XDG_CONFIG_HOME", ".config");
  if (data_home.empty() || config_home.empty()) return false;

  // The user's file first: when its content cannot be known, writing our key would replace every
  // other default in it, so nothing is registered at all.
  const std::string list_path = config_home + "/mimeapps.list";
  int list_error = 0;
  const std::string old_list = ReadAll(list_path, &list_error);
  if (list_error != 0 && list_error != ENOENT) {
    TellUnreadable(list_path, list_error, "plumet:// links are not registered");
    return false;
  }

  bool ok = true;
  const std::string applications = data_home + "/applications";
  const std::string entry_path = applications + "/" + desktop_file;
  int entry_error = 0;
  if (ReadAll(entry_path, &entry_error) != entry || entry_error != 0) {
    ok = MakeDirs(applications) && WriteFileAtomically(entry_path, entry);
  }

  const std::string new_list =
      SetDefaultApplication(old_list, "x-scheme-handler/" + scheme, desktop_file);
  if (new_list != old_list || list_error != 0) {
    ok =
        MakeDirs(DirName(WriteTarget(list_path))) && WriteFileAtomically(list_path, new_list) && ok;
  }
  return ok;
}

std::string RemoveDefaultApplication(const std::string& mimeapps, const std::string& key,
                                     const std::string& value) {
  std::string out;
  bool in_section = false;
  size_t start = 0;
  while (start < mimeapps.size()) {
    const size_t nl = mimeapps.find('\n', start);
    const size_t end = nl == std::string::npos ? mimeapps.size() : nl + 1;
    const std::string line = mimeapps.substr(start, (nl == std::string::npos ? end : nl) - start);
    const std::string eol = mimeapps.substr(start + line.size(), end - start - line.size());
    start = end;
    if (IsSectionHeader(line)) in_section = Trim(line) == "[Default Applications]";
    if (in_section && KeyOf(line) == key) {
      const std::string t = Trim(line);
      if (Trim(t.substr(t.find('=') + 1)) == value) continue;
    }
    out += line + eol;
  }
  return out;
}

bool UnregisterUrlScheme(const std::string& scheme, const std::string& desktop_file) {
  const std::string data_home = XdgHome("XDG_DATA_HOME", ".local/share");
  const std::string config_home = XdgHome("XDG_CONFIG_HOME", ".config");
  if (data_home.empty() || config_home.empty()) return false;
  const std::string entry_path = data_home + "/applications/" + desktop_file;
  bool ok = unlink(entry_path.c_str()) == 0 || errno == ENOENT;

  const std::string list_path = config_home + "/mimeapps.list";
  int list_error = 0;
  const std::string old_list = ReadAll(list_path, &list_error);
  if (list_error != 0 && list_error != ENOENT) {
    TellUnreadable(list_path, list_error, "its plumet:// key is left in place");
    return false;
  }
  const std::string new_list =
      RemoveDefaultApplication(old_list, "x-scheme-handler/" + scheme, desktop_file);
  if (list_error == 0 && new_list != old_list) ok = WriteFileAtomically(list_path, new_list) && ok;
  return ok;
}

}  // namespace platform
