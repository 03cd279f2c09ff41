#include "upload/upload_job.h"

#include <ctime>
#include <cwchar>

namespace plumet {

std::wstring ConflictCopyPath(const std::wstring& remotePath, int64_t now) {
  const time_t seconds = static_cast<time_t>(now);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) local = std::tm{};
  wchar_t stamp[64];
  std::swprintf(stamp, sizeof stamp / sizeof stamp[0], L" (冲突副本 %04d-%02d-%02d %02d%02d%02d)",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
  // The stamp goes before the extension, so that the copy still opens with the same
  // application; a name whose only dot leads it (".bashrc") has no extension.
  const size_t slash = remotePath.rfind(L'/');
  const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
  const size_t dot = remotePath.rfind(L'.');
  if (dot == std::wstring::npos || dot <= nameStart) return remotePath + stamp;
  return remotePath.substr(0, dot) + stamp + remotePath.substr(dot);
}

}  // namespace plumet
