// Every JSON reader of the dorvic answers, each on the same body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dorvic/src/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  int32_t count = 0, version = 0, dateline = 0;
  std::vector<dorvic_file_stx> files;
  dorvic::ReadListing(body, &count, &files);
  dorvic_file_reget file;
  dorvic::ReadReget(body, &file);
  dorvic_addfile_ret added;
  dorvic::ReadAddFile(body, &added);
  dorvic::ReadVersionMember(body, &version);
  dorvic::ReadCompare(body, &version, &dateline, &files);
  std::vector<dorvic_file_version> versions;
  dorvic::ReadVersions(body, &versions);
  std::vector<dorvic_remind_msg> messages;
  dorvic::ReadDiscuss(body, &messages);
  std::wstring url;
  uint32_t day = 0, downloads = 0, most = 0;
  dorvic::ReadPublish(body, &url, &day, &downloads, &most);
  return 0;
}
