#include "dorvic/src/readers.h"

#include <cstring>

#include "dorvic/src/answers.h"

namespace dorvic {

namespace {

bool Is(const cJSON* member, const char* key) {
  return member->string != nullptr && std::strcmp(member->string, key) == 0;
}

// One element of a listing (with_listing_fields) or of a comparison.
dorvic_file_stx ReadFileEntry(const cJSON* element, bool with_listing_fields) {
  dorvic_file_stx entry;
  entry.nosync = -1;
  if (!cJSON_IsObject(element)) return entry;
  for (const cJSON* m = element->child; m != nullptr; m = m->next) {
    if (Is(m, "hash")) {
      JsonText(m, &entry.hash);
    } else if (Is(m, "fullpath")) {
      JsonText(m, &entry.fullpath);
    } else if (Is(m, "filename")) {
      JsonText(m, &entry.filename);
    } else if (Is(m, "filehash")) {
      JsonText(m, &entry.filehash);
    } else if (Is(m, "last_member_name")) {
      JsonText(m, &entry.last_member_name);
    } else if (Is(m, "filesize")) {
      JsonDecimalText(m, &entry.filesize);
    } else if (Is(m, "version")) {
      entry.version = JsonInt(m);
    } else if (Is(m, "cmd")) {
      entry.cmd = JsonInt(m);
    } else if (Is(m, "last_member_id")) {
      entry.last_member_id = JsonInt(m);
    } else if (Is(m, "dateline")) {
      entry.dateline = JsonInt(m);
    } else if (Is(m, "lock")) {
      entry.lock = JsonInt(m);
    } else if (Is(m, "nosync")) {
      entry.nosync = JsonInt(m);
    } else if (with_listing_fields && Is(m, "dir")) {
      entry.dir = JsonInt(m);
    } else if (with_listing_fields && Is(m, "auth")) {
      entry.auth = JsonInt(m);
    } else if (with_listing_fields && Is(m, "send")) {
      entry.send = JsonInt(m);
    }
  }
  return entry;
}

void AppendEntries(const cJSON* array, bool with_listing_fields,
                   std::vector<dorvic_file_stx>* files) {
  for (const cJSON* e = array->child; e != nullptr; e = e->next) {
    files->push_back(ReadFileEntry(e, with_listing_fields));
  }
}

}  // namespace

void ReadListing(const std::string& body, int32_t* size, std::vector<dorvic_file_stx>* files) {
  *size = 0;
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "count")) {
      *size = JsonInt(m);
    } else if (cJSON_IsArray(m)) {
      AppendEntries(m, true, files);
    }
  }
}

void ReadReget(const std::string& body, dorvic_file_reget* file) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "hash")) {
      JsonText(m, &file->hash);
    } else if (Is(m, "dir")) {
      if (cJSON_IsNumber(m)) {
        file->dir = std::to_wstring(JsonInt64(m));
      } else {
        JsonText(m, &file->dir);
      }
    } else if (Is(m, "fullpath")) {
      JsonText(m, &file->fullpath);
    } else if (Is(m, "filename")) {
      JsonText(m, &file->filename);
    } else if (Is(m, "ext")) {
      JsonText(m, &file->ext);
    } else if (Is(m, "filehash")) {
      JsonText(m, &file->filehash);
    } else if (Is(m, "filesize")) {
      file->filesize = JsonInt64(m);
    } else if (Is(m, "version")) {
      file->version = JsonInt(m);
    } else if (Is(m, "cmd")) {
      file->cmd = JsonInt(m);
    } else if (Is(m, "last_member_id")) {
      file->last_member_id = JsonInt(m);
    } else if (Is(m, "last_member_name")) {
      JsonText(m, &file->last_member_name);
    } else if (Is(m, "last_member_machine")) {
      JsonText(m, &file->last_member_machine);
    } else if (Is(m, "nosync")) {
      file->nosync = JsonInt(m);
    } else if (Is(m, "lock")) {
      file->lock = JsonInt(m);
    } else if (Is(m, "vcount")) {
      file->vcount = JsonInt(m);
    } else if (Is(m, "share")) {
      file->share = JsonInt(m);
    } else if (Is(m, "publish")) {
      file->publish = JsonInt(m);
    } else if (Is(m, "discuss")) {
      file->discuss = JsonInt(m);
    } else if (Is(m, "uri")) {
      JsonText(m, &file->uri);
    }
  }
}

void ReadAddFile(const std::string& body, dorvic_addfile_ret* ret) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "state")) {
      ret->state = JsonInt(m);
    } else if (Is(m, "hash")) {
      JsonText(m, &ret->hash);
    } else if (Is(m, "version")) {
      ret->version = JsonInt(m);
    } else if (Is(m, "server")) {
      JsonText(m, &ret->server);
    }
  }
}

void ReadVersionMember(const std::string& body, int32_t* version) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "version")) *version = JsonInt(m);
  }
}

void ReadCompare(const std::string& body, int32_t* version, int32_t* dateline,
                 std::vector<dorvic_file_stx>* files) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "version")) {
      *version = JsonInt(m);
    } else if (Is(m, "dateline")) {
      *dateline = JsonInt(m);
    } else if (cJSON_IsArray(m)) {
      AppendEntries(m, false, files);
    }
  }
}

void ReadVersions(const std::string& body, std::vector<dorvic_file_version>* versions) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (!cJSON_IsObject(m)) continue;
    dorvic_file_version entry;
    const int64_t number = ParseDecimal64(m->string);
    entry.version = number > INT32_MAX   ? INT32_MAX
                    : number < INT32_MIN ? INT32_MIN
                                         : static_cast<int32_t>(number);
    for (const cJSON* f = m->child; f != nullptr; f = f->next) {
      if (Is(f, "filehash")) {
        JsonText(f, &entry.filehash);
      } else if (Is(f, "last_member_name")) {
        JsonText(f, &entry.last_member_name);
      } else if (Is(f, "filesize")) {
        JsonDecimalText(f, &entry.filesize);
      } else if (Is(f, "dateline")) {
        entry.dateline = JsonInt(f);
      } else if (Is(f, "last_member_id")) {
        entry.last_member_id = JsonInt(f);
      } else if (Is(f, "cmd")) {
        entry.cmd = JsonInt(f);
      }
    }
    versions->push_back(entry);
  }
}

void ReadDiscuss(const std::string& body, std::vector<dorvic_remind_msg>* messages) {
  JsonPtr root = ParseJson(body);
  if (!root || !(cJSON_IsObject(root.get()) || cJSON_IsArray(root.get()))) return;
  for (const cJSON* v = root->child; v != nullptr; v = v->next) {
    if (!cJSON_IsObject(v)) continue;
    dorvic_remind_msg entry;
    for (const cJSON* f = v->child; f != nullptr; f = f->next) {
      if (Is(f, "text")) {
        JsonText(f, &entry.text);
      } else if (Is(f, "member_name")) {
        JsonText(f, &entry.member_name);
      } else if (Is(f, "lasttime")) {
        entry.lasttime = JsonInt(f);
      }
    }
    messages->push_back(entry);
  }
}

void ReadPublish(const std::string& body, std::wstring* url, uint32_t* day_limit,
                 uint32_t* download_limit, uint32_t* max_download_limit) {
  JsonPtr root = ParseJsonObject(body);
  if (!root) return;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (Is(m, "url")) {
      JsonText(m, url);
    } else if (Is(m, "day_limit")) {
      *day_limit = static_cast<uint32_t>(JsonInt(m));
    } else if (Is(m, "download_limit")) {
      *download_limit = static_cast<uint32_t>(JsonInt(m));
    } else if (Is(m, "max_download_limit")) {
      *max_download_limit = static_cast<uint32_t>(JsonInt(m));
    }
  }
}

}  // namespace dorvic
