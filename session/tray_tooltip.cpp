#include "session/tray_tooltip.h"

namespace plumet {

std::wstring TrayTooltip(const SessionSummary& summary) {
  std::wstring text = kProductName;
  // Saved changes that have not reached the service yet (being sent, or waiting for a retry or
  // for a click that renews an expired link): the user should not think them stored.
  const int waiting = summary.unsent - summary.uploading;
  if (summary.opening > 0) text += L"\n" + std::to_wstring(summary.opening) + L"个文件等待打开";
  if (summary.editing > 0) text += L"\n" + std::to_wstring(summary.editing) + L"个文件正在编辑";
  if (summary.transferring == 0) {
    if (summary.unsent > 0) text += L"\n" + std::to_wstring(summary.unsent) + L"个文件等待上传";
    return text;
  }
  const size_t slash = summary.transferPath.rfind(L'/');
  const std::wstring name =
      slash == std::wstring::npos ? summary.transferPath : summary.transferPath.substr(slash + 1);
  text += summary.transferIsUpload ? L"\n上传 " : L"\n下载 ";
  text += std::to_wstring(summary.transferPercent) + L"% " + name;
  if (summary.transferring > 1) text += L" (+" + std::to_wstring(summary.transferring - 1) + L")";
  if (waiting > 0) text += L"\n" + std::to_wstring(waiting) + L"个文件等待上传";
  return text;
}

}  // namespace plumet
