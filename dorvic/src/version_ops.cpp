#include "dorvic/src/operations.h"
#include "dorvic/src/readers.h"

namespace dorvic {

bool Compare(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, int32_t& version, int32_t& dateline,
             std::vector<dorvic_file_stx>& files) {
  Request request = MakeRequest("COMPARE", token, path, mount);
  request.headers = {"x-zm-version: " + std::to_string(version),
                     "x-zm-dateline: " + std::to_string(dateline)};
  return client.Perform(
      request, [&](const std::string& body) { ReadCompare(body, &version, &dateline, &files); });
}

bool Versions(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, std::vector<dorvic_file_version>& versions) {
  Request request = MakeRequest("VERSION", token, path, mount);
  return client.Perform(request, [&](const std::string& body) { ReadVersions(body, &versions); });
}

bool Revert(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
            int32_t mount, int32_t version) {
  Request request = MakeRequest("REVERT", token, path, mount);
  request.query = "?v=" + std::to_string(version);
  return client.Perform(request, [](const std::string&) {});
}

bool LockFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, bool lock) {
  Request request = MakeRequest("LOCK", token, path, mount);
  request.headers = {lock ? "x-zm-bool: 1" : "x-zm-bool: 0"};
  return client.Perform(request, [](const std::string&) {});
}

}  // namespace dorvic
