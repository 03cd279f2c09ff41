#include "session/tray_tooltip.h"

namespace plumet {

std::wstring TrayTooltip(const SessionSummary& summary) {
  std::wstring text = kProductName;
  if (summary.transferring == 0) return text;
  const size_t slash = summary.transferPath.rfind(L'/');
  const std::wstring name =
      slash == std::wstring::npos ? summary.transferPath : summary.transferPath.substr(slash + 1);
  text += summary.transferIsUpload ? L"\n上传 " : L"\n下载 ";
  text += std::to_wstring(summary.transferPercent) + L"% " + name;
  if (summary.transferring > 1) text += L" (+" + std::to_wstring(summary.transferring - 1) + L")";
  return text;
}

}  // namespace plumet
