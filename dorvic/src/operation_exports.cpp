// Operation exports. No exception leaves the library: a failure to allocate ends in false.

#include <dorvic/dorvic.h>

#include <exception>

#include "dorvic/src/client.h"
#include "dorvic/src/operations.h"

namespace {

template <typename Body>
bool Guarded(Body body) {
  try {
    return body(dorvic::Client());
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool dorvic_list_file(std::wstring token, std::wstring path, int32_t mount, int32_t dir,
                      int32_t start, int32_t& size, std::wstring order,
                      std::vector<dorvic_file_stx>& files) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::ListFile(c, token, path, mount, dir, start, size, order, files);
  });
}

bool dorvic_get_file_real_url(std::wstring token, std::wstring path, int32_t mount,
                              std::wstring filehash, std::wstring& url) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::GetFileRealUrl(c, token, path, mount, filehash, url);
  });
}

bool dorvic_add_file(std::wstring token, std::wstring path, int32_t mount, std::wstring filehash,
                     uint64_t filesize, int32_t version, dorvic_addfile_ret& ret) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::AddFile(c, token, path, mount, filehash, filesize, version, ret);
  });
}

bool dorvic_del_file(std::wstring token, std::wstring path, int32_t mount, int32_t& version) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::DelFile(c, token, path, mount, version); });
}

bool dorvic_rename_file(std::wstring token, std::wstring path, int32_t mount, std::wstring newname,
                        int32_t& version) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::RenameFile(c, token, path, mount, newname, version);
  });
}

bool dorvic_regetfile(std::wstring token, std::wstring path, int32_t mount,
                      dorvic_file_reget& file) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::RegetFile(c, token, path, mount, file); });
}

bool dorvic_compare(std::wstring token, std::wstring path, int32_t mount, int32_t& version,
                    int32_t& dateline, std::vector<dorvic_file_stx>& files) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::Compare(c, token, path, mount, version, dateline, files);
  });
}

bool dorvic_version(std::wstring token, std::wstring path, int32_t mount,
                    std::vector<dorvic_file_version>& versions) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::Versions(c, token, path, mount, versions); });
}

bool dorvic_revert(std::wstring token, std::wstring path, int32_t mount, int32_t version) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::Revert(c, token, path, mount, version); });
}

bool dorvic_lockfile(std::wstring token, std::wstring path, int32_t mount, bool lock) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::LockFile(c, token, path, mount, lock); });
}

bool dorvic_remarks(std::wstring token, std::wstring path, int32_t mount, std::wstring message) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::Remarks(c, token, path, mount, message); });
}

bool dorvic_remind(std::wstring token, std::wstring path, int32_t mount,
                   const std::vector<std::wstring>& emails, std::wstring message) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::Remind(c, token, path, mount, emails, message);
  });
}

bool dorvic_discuss(std::wstring token, std::wstring path, int32_t mount,
                    std::vector<dorvic_remind_msg>& messages) {
  return Guarded(
      [&](dorvic::CdorvicClient& c) { return dorvic::Discuss(c, token, path, mount, messages); });
}

bool dorvic_publish(std::wstring token, std::wstring path, int32_t mount, std::wstring& url,
                    uint32_t& day_limit, uint32_t& download_limit, uint32_t& max_download_limit) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::Publish(c, token, path, mount, url, day_limit, download_limit,
                           max_download_limit);
  });
}

bool dorvic_share(std::wstring token, std::wstring path, int32_t mount,
                  const std::vector<std::wstring>& emails, std::wstring message) {
  return Guarded([&](dorvic::CdorvicClient& c) {
    return dorvic::Share(c, token, path, mount, emails, message);
  });
}
