#include "dorvic/src/operations.h"
#include "dorvic/src/readers.h"
#include "dorvic/src/signing.h"
#include "dorvic/src/text.h"

namespace dorvic {

namespace {

std::string MachineLine() { return "x-zm-machine: " + ToUtf8(GetMachineName()); }

}  // namespace

bool ListFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, int32_t dir, int32_t start, int32_t& size, const std::wstring& order,
              std::vector<dorvic_file_stx>& files) {
  Request request = MakeRequest("LIST", token, path, mount);
  request.headers = {"x-zm-dir: " + std::to_string(dir), "x-zm-start: " + std::to_string(start),
                     "x-zm-size: " + std::to_string(size), "x-zm-order: " + ToUtf8(order)};
  return client.Perform(request,
                        [&](const std::string& body) { ReadListing(body, &size, &files); });
}

bool GetFileRealUrl(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
                    int32_t mount, const std::wstring& filehash, std::wstring& url) {
  Request request = MakeRequest("URL", token, path, mount);
  request.headers = {"x-zm-filehash: " + ToUtf8(filehash)};
  // The whole body is the location, not a JSON document.
  return client.Perform(request, [&](const std::string& body) { url = FromUtf8(body); });
}

bool AddFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, const std::wstring& filehash, uint64_t filesize, int32_t version,
             dorvic_addfile_ret& ret) {
  Request request = MakeRequest("PUT", token, path, mount);
  // Sizes go out as signed 64-bit decimals.
  request.headers = {"x-zm-filehash: " + ToUtf8(filehash),
                     "x-zm-filesize: " + std::to_string(static_cast<int64_t>(filesize)),
                     "x-zm-version: " + std::to_string(version), MachineLine()};
  return client.Perform(request, [&](const std::string& body) { ReadAddFile(body, &ret); });
}

bool DelFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, int32_t& version) {
  Request request = MakeRequest("DELETE", token, path, mount);
  request.headers = {MachineLine()};
  return client.Perform(request,
                        [&](const std::string& body) { ReadVersionMember(body, &version); });
}

bool RenameFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
                int32_t mount, const std::wstring& newname, int32_t& version) {
  Request request = MakeRequest("RENAME", token, path, mount);
  // The new name is escaped whole: a "/" in it is part of the name.
  request.headers = {"x-zm-newname: " + UrlEncode(ToUtf8(newname)), MachineLine()};
  return client.Perform(request,
                        [&](const std::string& body) { ReadVersionMember(body, &version); });
}

bool RegetFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
               int32_t mount, dorvic_file_reget& file) {
  Request request = MakeRequest("GET", token, path, mount);
  return client.Perform(request, [&](const std::string& body) { ReadReget(body, &file); });
}

}  // namespace dorvic
