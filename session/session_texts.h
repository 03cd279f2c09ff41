#pragma once
// What the user reads: the notification title and texts of the session list and the shell. "%s"
// stands for a remote path (the first) or a local path (the second).

#include <string>

namespace plumet::texts {

// The pattern with its first "%s" replaced by first and the next by second.
inline std::wstring Format(const wchar_t* pattern, const std::wstring& first,
                           const std::wstring& second = {}) {
  std::wstring out(pattern);
  const size_t a = out.find(L"%s");
  if (a != std::wstring::npos) out.replace(a, 2, first);
  const size_t b = out.find(L"%s", a == std::wstring::npos ? 0 : a + first.size());
  if (b != std::wstring::npos) out.replace(b, 2, second);
  return out;
}

inline constexpr const wchar_t* kTitle = L"提示";
inline constexpr const wchar_t* kNoTempFolder = L"临时文件夹不可用，程序无法运行";
inline constexpr const wchar_t* kOpening = L"正在打开[%s]文件";
inline constexpr const wchar_t* kAlreadyOpen = L"[%s]文件已经打开";
inline constexpr const wchar_t* kUploaded = L"文件[%s]上传完成";
inline constexpr const wchar_t* kDownloadFailed = L"文件[%s]下载失败";
inline constexpr const wchar_t* kUploadFailed = L"文件[%s]上传失败，修改保存在[%s]";
inline constexpr const wchar_t* kUploadRetrying =
    L"文件[%s]暂时无法上传，修改保存在[%s]，稍后自动重试";
inline constexpr const wchar_t* kConflictCopy =
    L"文件[%s]在编辑期间已被他人修改，您的修改已另存为[%s]";
inline constexpr const wchar_t* kWaitingForService =
    L"暂时无法连接服务，未完成的打开和上传会在恢复后自动继续";
inline constexpr const wchar_t* kServiceBack = L"服务已恢复，等待中的文件已继续处理";
inline constexpr const wchar_t* kLinkExpired = L"文件[%s]的编辑链接已过期，请从网页重新打开";
inline constexpr const wchar_t* kLinkExpiredKept = L"文件[%s]的编辑链接已过期，修改保存在[%s]";
inline constexpr const wchar_t* kMovedAside = L"文件[%s]未上传的修改已另存为[%s]";
inline constexpr const wchar_t* kRunsCode = L"文件[%s]的内容会作为程序运行，没有打开";
inline constexpr const wchar_t* kUnsentKept = L"上次退出时未上传的修改保存在[%s]";

}  // namespace plumet::texts
