#include "app/scheme_entry.h"

#include <sys/stat.h>

#include "app/desktop_entry_template.h"
#include "platform/scheme_registration.h"

namespace plumet {
namespace {

void Replace(std::string& text, const std::string& field, const std::string& value) {
  for (size_t at = text.find(field); at != std::string::npos;
       at = text.find(field, at + value.size())) {
    text.replace(at, field.size(), value);
  }
}

}  // namespace

std::string DesktopEntryFor(const std::string& programPath) {
  // The build puts the icon in share/plumet/ beside bin/.
  const size_t slash = programPath.rfind('/');
  std::string icon = programPath.substr(0, slash == std::string::npos ? 0 : slash);
  icon = icon.substr(0, icon.rfind('/') == std::string::npos ? 0 : icon.rfind('/')) +
         "/share/plumet/plumet.png";
  struct stat st {};
  // Icon values are not unquoted: a path with blanks works, a newline would end the line.
  if (stat(icon.c_str(), &st) != 0 || icon.find('\n') != std::string::npos) icon = "plumet";
  std::string entry = kDesktopEntryTemplate;
  Replace(entry, "@EXEC@", platform::DesktopExecLine(programPath));
  Replace(entry, "@ICON@", icon);
  return entry;
}

}  // namespace plumet
