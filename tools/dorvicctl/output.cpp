#include "tools/dorvicctl/output.h"

#include "dorvic/src/text.h"

namespace dorvicctl {

void AddText(cJSON* object, const char* key, const std::wstring& text) {
  cJSON_AddItemToObject(object, key, cJSON_CreateString(dorvic::ToUtf8(text).c_str()));
}

void AddNumber(cJSON* object, const char* key, double value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateNumber(value));
}

cJSON* FileEntryJson(const dorvic_file_stx& e) {
  cJSON* o = cJSON_CreateObject();
  AddText(o, "hash", e.hash);
  AddText(o, "fullpath", e.fullpath);
  AddText(o, "filename", e.filename);
  AddText(o, "filehash", e.filehash);
  AddNumber(o, "filesize", static_cast<double>(e.filesize));
  AddNumber(o, "version", e.version);
  AddNumber(o, "cmd", e.cmd);
  AddNumber(o, "dir", e.dir);
  AddNumber(o, "last_member_id", e.last_member_id);
  AddText(o, "last_member_name", e.last_member_name);
  AddNumber(o, "dateline", e.dateline);
  AddNumber(o, "auth", e.auth);
  AddNumber(o, "send", e.send);
  AddNumber(o, "lock", e.lock);
  AddNumber(o, "nosync", e.nosync);
  return o;
}

cJSON* RegetJson(const dorvic_file_reget& f) {
  cJSON* o = cJSON_CreateObject();
  AddText(o, "hash", f.hash);
  AddText(o, "dir", f.dir);
  AddText(o, "fullpath", f.fullpath);
  AddText(o, "filename", f.filename);
  AddText(o, "ext", f.ext);
  AddText(o, "filehash", f.filehash);
  AddNumber(o, "filesize", static_cast<double>(f.filesize));
  AddNumber(o, "version", f.version);
  AddNumber(o, "cmd", f.cmd);
  AddNumber(o, "last_member_id", f.last_member_id);
  AddText(o, "last_member_name", f.last_member_name);
  AddText(o, "last_member_machine", f.last_member_machine);
  AddNumber(o, "nosync", f.nosync);
  AddNumber(o, "lock", f.lock);
  AddNumber(o, "vcount", f.vcount);
  AddNumber(o, "share", f.share);
  AddNumber(o, "publish", f.publish);
  AddNumber(o, "discuss", f.discuss);
  AddText(o, "uri", f.uri);
  return o;
}

cJSON* VersionJson(const dorvic_file_version& v) {
  cJSON* o = cJSON_CreateObject();
  AddNumber(o, "version", v.version);
  AddNumber(o, "filesize", static_cast<double>(v.filesize));
  AddText(o, "filehash", v.filehash);
  AddNumber(o, "last_member_id", v.last_member_id);
  AddText(o, "last_member_name", v.last_member_name);
  AddNumber(o, "dateline", v.dateline);
  AddNumber(o, "cmd", v.cmd);
  return o;
}

cJSON* MessageJson(const dorvic_remind_msg& m) {
  cJSON* o = cJSON_CreateObject();
  AddText(o, "text", m.text);
  AddText(o, "member_name", m.member_name);
  AddNumber(o, "lasttime", m.lasttime);
  return o;
}

}  // namespace dorvicctl
