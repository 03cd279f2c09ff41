#include "dorvic/src/operations.h"
#include "dorvic/src/readers.h"
#include "dorvic/src/text.h"

namespace dorvic {

namespace {

// "message=" and the escaped message; addresses follow unescaped, each with `suffix`.
std::string MessageBody(const std::wstring& message) {
  return "message=" + UrlEncode(ToUtf8(message));
}

std::string AddressList(const std::vector<std::wstring>& emails, const char* suffix) {
  std::string list;
  for (size_t i = 0; i < emails.size(); ++i) {
    if (i > 0) list += ',';
    list += ToUtf8(emails[i]);
    list += suffix;
  }
  return list;
}

}  // namespace

bool Remarks(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, const std::wstring& message) {
  Request request = MakeRequest("REMIND", token, path, mount);
  request.headers = {"x-zm-bool: 0"};
  request.body = MessageBody(message);
  return client.Perform(request, [](const std::string&) {});
}

bool Remind(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
            int32_t mount, const std::vector<std::wstring>& emails, const std::wstring& message) {
  Request request = MakeRequest("REMIND", token, path, mount);
  request.headers = {"x-zm-bool: 1"};
  request.body = MessageBody(message) + "&email=" + AddressList(emails, "");
  return client.Perform(request, [](const std::string&) {});
}

bool Discuss(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, std::vector<dorvic_remind_msg>& messages) {
  Request request = MakeRequest("DISCUSS", token, path, mount);
  request.headers = {"x-zm-size: 5"};
  return client.Perform(request, [&](const std::string& body) { ReadDiscuss(body, &messages); });
}

bool Publish(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, std::wstring& url, uint32_t& day_limit, uint32_t& download_limit,
             uint32_t& max_download_limit) {
  Request request = MakeRequest("PUBLISH", token, path, mount);
  if (day_limit != 0 || download_limit != 0) {
    // The service reads the limits as signed numbers.
    request.body = "day_limit=" + std::to_string(static_cast<int32_t>(day_limit)) +
                   "&download_limit=" + std::to_string(static_cast<int32_t>(download_limit));
  }
  return client.Perform(request, [&](const std::string& body) {
    ReadPublish(body, &url, &day_limit, &download_limit, &max_download_limit);
  });
}

bool Share(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
           int32_t mount, const std::vector<std::wstring>& emails, const std::wstring& message) {
  Request request = MakeRequest("SHARE", token, path, mount);
  request.body = MessageBody(message) + "&email=" + AddressList(emails, "|1");
  return client.Perform(request, [](const std::string&) {});
}

}  // namespace dorvic
