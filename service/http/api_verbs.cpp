// The verb handlers of the REST interface: each reads its header lines and body, asks the store
// and answers with exactly the members the clients read.
#include <cerrno>
#include <cstdlib>
#include <set>
#include <vector>

#include "service/http/api_request.h"
#include "service/http/http_util.h"
#include "service/http/request_forms.h"
#include "service/store/paths.h"

namespace zelmic {

namespace {

const std::set<std::string> kVerbs = {"LIST",   "URL",     "PUT",     "DELETE", "RENAME",
                                      "GET",    "COMPARE", "VERSION", "REVERT", "LOCK",
                                      "REMIND", "DISCUSS", "PUBLISH", "SHARE"};

ApiReply Ok(const cJSON* json) { return ApiReply{200, PrintJson(json), "application/json"}; }

ApiReply BadRequest(int code, const std::string& msg) {
  return ApiReply::Error(Fail(400, code, msg));
}

// An integer header line; `fallback` when absent, false when present but malformed.
bool IntHeader(const ApiRequest& req, const char* name, long long min, long long max,
               long long fallback, long long& out) {
  auto text = req.header(name);
  if (!text) {
    out = fallback;
    return true;
  }
  return ParseInt(*text, min, max, out);
}

Status FormRefusal(std::string message) { return Fail(400, 40015, std::move(message)); }

// The message member of a form body, percent-decoded; a refusal is the 400 answer that says why.
Status FormMessage(const std::vector<std::pair<std::string, std::string>>& form,
                   std::string& text) {
  const std::string* raw = FormValue(form, "message");
  if (!raw) return FormRefusal("the body has no message");
  std::string decoded;
  if (!PercentDecode(*raw, decoded) || decoded.find('\0') != std::string::npos) {
    return FormRefusal("the message is not properly encoded");
  }
  if (decoded.size() > 8000) return FormRefusal("the message is too long");
  if (!IsValidUtf8(decoded)) return FormRefusal("the message is not UTF-8");
  text = decoded;
  return Status::OK();
}

void AddEntry(cJSON* array, const ListEntry& e) {
  cJSON* item = cJSON_CreateObject();
  const FileRecord& f = e.file;
  cJSON_AddStringToObject(item, "hash", e.dir ? "" : f.uid.c_str());
  cJSON_AddStringToObject(item, "fullpath", e.path.c_str());
  cJSON_AddStringToObject(item, "filename", NameOf(e.path).c_str());
  cJSON_AddStringToObject(item, "filehash", e.dir ? "" : f.current.filehash.c_str());
  cJSON_AddStringToObject(item, "filesize", std::to_string(e.dir ? 0 : f.current.filesize).c_str());
  cJSON_AddNumberToObject(item, "version", e.dir ? 0 : f.current.version);
  cJSON_AddNumberToObject(item, "cmd", e.dir ? 0 : f.cmd);
  cJSON_AddNumberToObject(item, "dir", e.dir ? 1 : 0);
  cJSON_AddNumberToObject(item, "last_member_id",
                          static_cast<double>(e.dir ? 0 : f.current.user_id));
  cJSON_AddStringToObject(item, "last_member_name", e.dir ? "" : f.current.user.c_str());
  cJSON_AddNumberToObject(item, "dateline", static_cast<double>(e.dir ? 0 : f.dateline));
  cJSON_AddNumberToObject(item, "auth", 1);
  cJSON_AddNumberToObject(item, "send", e.dir ? 0 : f.shares);
  cJSON_AddNumberToObject(item, "lock", (!e.dir && f.lock_user != 0) ? 1 : 0);
  cJSON_AddNumberToObject(item, "nosync", 0);
  cJSON_AddItemToArray(array, item);
}

ApiReply List(Store& store, const ApiRequest& req) {
  long long dir, start, size;
  if (!IntHeader(req, "x-zm-dir", 0, 1, 0, dir) ||
      !IntHeader(req, "x-zm-start", 0, INT32_MAX, 0, start) ||
      !IntHeader(req, "x-zm-size", INT32_MIN, INT32_MAX, 100, size))
    return BadRequest(40011, "x-zm-dir, x-zm-start and x-zm-size must be numbers");
  const std::string order = req.header("x-zm-order").value_or("name");
  int total = 0;
  std::vector<ListEntry> entries;
  if (Status e = store.files().List(req.mount, req.path, dir == 1, order, static_cast<int>(start),
                                    static_cast<int>(size), total, entries);
      !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "count", total);
  cJSON* list = cJSON_AddArrayToObject(root.get(), "list");
  for (const auto& e : entries) AddEntry(list, e);
  return Ok(root.get());
}

ApiReply Url(Store& store, const ServiceUrls& urls, const ApiRequest& req) {
  const std::string wanted = req.header("x-zm-filehash").value_or("");
  std::vector<VersionRecord> versions;
  if (Status e = store.files().Versions(req.mount, req.path, versions); !e.ok())
    return ApiReply::Error(e);
  for (const auto& v : versions) {  // newest first
    if (wanted.empty() || v.filehash == wanted)
      return ApiReply{200, urls.download_base + store.blobs().DownloadLocation(v.download_key),
                      "text/plain"};
  }
  return ApiReply::Error(Fail(404, 40403, "no version of this file has that filehash"));
}

ApiReply Put(Store& store, const ServiceUrls& urls, const ApiRequest& req) {
  auto filehash = req.header("x-zm-filehash");
  auto filesize = req.header("x-zm-filesize");
  long long size = 0, version = 0;
  if (!filehash || !filesize || !ParseInt(*filesize, 0, INT64_MAX, size))
    return BadRequest(40011, "x-zm-filehash and a decimal x-zm-filesize are required");
  if (!IntHeader(req, "x-zm-version", INT32_MIN, INT32_MAX, 0, version))
    return BadRequest(40011, "x-zm-version must be a number");
  const std::string machine = req.header("x-zm-machine").value_or("").substr(0, 255);
  int state = 0, new_version = 0;
  std::string pathhash;
  if (Status e = store.files().RegisterUpload(
          req.who, req.mount, req.path, *filehash, static_cast<uint64_t>(size),
          static_cast<int>(version), machine, state, pathhash, new_version);
      !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "state", state);
  cJSON_AddStringToObject(root.get(), "hash", pathhash.c_str());
  cJSON_AddNumberToObject(root.get(), "version", new_version);
  cJSON_AddStringToObject(root.get(), "server", urls.upload_server.c_str());
  return Ok(root.get());
}

ApiReply VersionOnly(const Status& e, int version) {
  if (!e.ok()) return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "version", version);
  return Ok(root.get());
}

ApiReply Rename(Store& store, const ApiRequest& req) {
  auto raw = req.header("x-zm-newname");
  std::string name, target;
  if (!raw || raw->empty() || !PercentDecode(*raw, name))
    return BadRequest(40011, "x-zm-newname must be a percent-encoded name");
  if (name.find('\0') != std::string::npos) return BadRequest(40001, "NUL in the new name");
  if (Status bad = ResolvePath(ParentOf(req.path), name, target); !bad.ok())
    return BadRequest(40001, bad.message());
  if (!req.who.Allows(req.mount, target))
    return ApiReply::Error(Fail(403, 40300, "this token is limited to another file"));
  int version = 0;
  Status e = store.files().Rename(req.who.user_id, req.mount, req.path, target, version);
  return VersionOnly(e, version);
}

ApiReply Get(Store& store, const ServiceUrls& urls, const ApiRequest& req) {
  auto f = store.files().GetFile(req.mount, req.path);
  if (!f) return ApiReply::Error(Fail(404, 40400, "no such file"));
  const std::string name = NameOf(f->path);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON* r = root.get();
  cJSON_AddStringToObject(r, "hash", f->uid.c_str());
  cJSON_AddNumberToObject(r, "dir", 0);
  cJSON_AddStringToObject(r, "fullpath", f->path.c_str());
  cJSON_AddStringToObject(r, "filename", name.c_str());
  cJSON_AddStringToObject(r, "ext", ExtOf(name).c_str());
  cJSON_AddStringToObject(r, "filehash", f->current.filehash.c_str());
  cJSON_AddNumberToObject(r, "filesize", static_cast<double>(f->current.filesize));
  cJSON_AddNumberToObject(r, "version", f->current.version);
  cJSON_AddNumberToObject(r, "cmd", f->cmd);
  cJSON_AddNumberToObject(r, "last_member_id", static_cast<double>(f->current.user_id));
  cJSON_AddStringToObject(r, "last_member_name", f->current.user.c_str());
  cJSON_AddStringToObject(r, "last_member_machine", f->current.machine.c_str());
  cJSON_AddNumberToObject(r, "nosync", 0);
  cJSON_AddNumberToObject(r, "lock", f->lock_user != 0 ? 1 : 0);
  cJSON_AddNumberToObject(r, "vcount", f->vcount);
  cJSON_AddNumberToObject(r, "share", f->shares);
  cJSON_AddNumberToObject(r, "publish", f->published ? 1 : 0);
  cJSON_AddNumberToObject(r, "discuss", f->messages);
  cJSON_AddStringToObject(
      r, "uri",
      (urls.download_base + store.blobs().DownloadLocation(f->current.download_key)).c_str());
  return Ok(r);
}

ApiReply Compare(Store& store, const ApiRequest& req) {
  long long version, dateline;
  if (!IntHeader(req, "x-zm-version", INT32_MIN, INT32_MAX, 0, version) ||
      !IntHeader(req, "x-zm-dateline", INT32_MIN, INT32_MAX, 0, dateline))
    return BadRequest(40011, "x-zm-version and x-zm-dateline must be numbers");
  auto file = store.files().GetFile(req.mount, req.path);
  if (!file && !store.files().FolderExists(req.mount, req.path))
    return ApiReply::Error(Fail(404, 40400, "no such file or folder"));
  // Entries changed after the caller's dateline; for a file also when its version differs.
  std::vector<ListEntry> changed = store.files().ChangedSince(req.mount, req.path, dateline);
  if (file && changed.empty() && file->current.version != version)
    changed.push_back(ListEntry{file->path, false, *file});
  int64_t latest = file ? file->dateline : 0;
  for (const auto& e : changed) latest = std::max(latest, e.file.dateline);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "version", file ? file->current.version : 0);
  cJSON_AddNumberToObject(root.get(), "dateline",
                          static_cast<double>(std::max<int64_t>(latest, dateline)));
  cJSON* list = cJSON_AddArrayToObject(root.get(), "list");
  for (const auto& e : changed) AddEntry(list, e);
  return Ok(root.get());
}

ApiReply Versions(Store& store, const ApiRequest& req) {
  std::vector<VersionRecord> versions;
  if (Status e = store.files().Versions(req.mount, req.path, versions); !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  for (const auto& v : versions) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "filesize", std::to_string(v.filesize).c_str());
    cJSON_AddStringToObject(item, "filehash", v.filehash.c_str());
    cJSON_AddNumberToObject(item, "last_member_id", static_cast<double>(v.user_id));
    cJSON_AddStringToObject(item, "last_member_name", v.user.c_str());
    cJSON_AddNumberToObject(item, "dateline", static_cast<double>(v.dateline));
    cJSON_AddNumberToObject(item, "cmd", v.cmd);
    cJSON_AddItemToObject(root.get(), std::to_string(v.version).c_str(), item);
  }
  return Ok(root.get());
}

ApiReply Revert(Store& store, const ApiRequest& req) {
  long long version = 0;
  bool found = false;
  std::vector<std::pair<std::string, std::string>> query;
  if (!ParseForm(req.query, query)) return BadRequest(40014, "malformed query");
  if (const std::string* v = FormValue(query, "v")) found = ParseInt(*v, 1, INT32_MAX, version);
  if (!found) return BadRequest(40014, "the query must name the version: ?v=N");
  int new_version = 0;
  Status e = store.files().Revert(req.who.user_id, req.mount, req.path, static_cast<int>(version),
                                  new_version);
  return VersionOnly(e, new_version);
}

ApiReply Lock(Store& store, const ApiRequest& req) {
  long long flag = 0;
  auto text = req.header("x-zm-bool");
  if (!text || !ParseInt(*text, 0, 1, flag)) return BadRequest(40011, "x-zm-bool must be 0 or 1");
  if (Status e = store.files().Lock(req.who.user_id, req.mount, req.path, flag == 1); !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "lock", static_cast<double>(flag));
  return Ok(root.get());
}

ApiReply Remind(Store& store, const ApiRequest& req) {
  long long remind = 0;
  auto text = req.header("x-zm-bool");
  if (!text || !ParseInt(*text, 0, 1, remind)) return BadRequest(40011, "x-zm-bool must be 0 or 1");
  std::vector<std::pair<std::string, std::string>> form;
  if (!ParseForm(req.body, form)) return BadRequest(40015, "malformed form body");
  std::string message;
  if (Status bad = FormMessage(form, message); !bad.ok()) return ApiReply::Error(bad);
  std::vector<std::string> emails;
  if (remind == 1) {
    const std::string* list = FormValue(form, "email");
    if (!list || !ParseEmails(*list, false, emails))
      return BadRequest(40016, "malformed address list");
  }
  if (message.empty() && emails.empty())
    return BadRequest(40017, "nothing to post: the message is empty");
  Status e = store.collab().AddMessage(req.who.user_id, req.mount, req.path, message, emails);
  if (!e.ok()) return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "reminded", static_cast<double>(emails.size()));
  return Ok(root.get());
}

ApiReply Discuss(Store& store, const ApiRequest& req) {
  long long size = 0;
  if (!IntHeader(req, "x-zm-size", INT32_MIN, INT32_MAX, 20, size))
    return BadRequest(40011, "x-zm-size must be a number");
  std::vector<Message> messages;
  if (Status e = store.collab().Messages(req.mount, req.path, static_cast<int>(size), messages);
      !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateArray());
  for (const auto& m : messages) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "text", m.text.c_str());
    cJSON_AddStringToObject(item, "member_name", m.member.c_str());
    cJSON_AddNumberToObject(item, "lasttime", static_cast<double>(m.lasttime));
    cJSON_AddItemToArray(root.get(), item);
  }
  return Ok(root.get());
}

ApiReply Publish(Store& store, const ServiceUrls& urls, const ApiRequest& req) {
  std::vector<std::pair<std::string, std::string>> form;
  if (!ParseForm(req.body, form)) return BadRequest(40015, "malformed form body");
  long long day = 0, downloads = 0;
  const bool set = !req.body.empty();
  if (set) {
    const std::string* d = FormValue(form, "day_limit");
    const std::string* n = FormValue(form, "download_limit");
    if (!d || !n || !ParseInt(*d, INT32_MIN, INT32_MAX, day) ||
        !ParseInt(*n, INT32_MIN, INT32_MAX, downloads))
      return BadRequest(40015, "day_limit and download_limit must be numbers");
  }
  PublishInfo info;
  if (Status e = store.collab().Publish(req.mount, req.path, set, day, downloads, info); !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddStringToObject(root.get(), "url", (urls.publish_base + info.key).c_str());
  cJSON_AddNumberToObject(root.get(), "day_limit", static_cast<double>(info.day_limit));
  cJSON_AddNumberToObject(root.get(), "download_limit", static_cast<double>(info.download_limit));
  cJSON_AddNumberToObject(root.get(), "max_download_limit",
                          static_cast<double>(CollabStore::kMaxDownloadLimit));
  return Ok(root.get());
}

ApiReply Share(Store& store, const ApiRequest& req) {
  std::vector<std::pair<std::string, std::string>> form;
  if (!ParseForm(req.body, form)) return BadRequest(40015, "malformed form body");
  std::string message;
  if (Status bad = FormMessage(form, message); !bad.ok()) return ApiReply::Error(bad);
  const std::string* list = FormValue(form, "email");
  std::vector<std::string> emails;
  if (!list || !ParseEmails(*list, true, emails) || emails.empty())
    return BadRequest(40016, "the share list must name at least one address");
  if (Status e = store.collab().Share(req.who.user_id, req.mount, req.path, emails, message);
      !e.ok())
    return ApiReply::Error(e);
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "shared", static_cast<double>(emails.size()));
  return Ok(root.get());
}

}  // namespace

std::optional<std::string> ApiRequest::header(const char* name) const {
  return HeaderValue(connection, name);
}

ApiReply ApiReply::Error(const Status& e) {
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "error_code", e.code());
  cJSON_AddStringToObject(root.get(), "error_msg", e.message().c_str());
  return ApiReply{e.http_status(), PrintJson(root.get()), "application/json"};
}

bool IsKnownVerb(const std::string& verb) { return kVerbs.count(verb) != 0; }

bool ParseInt(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return false;
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || v < min || v > max) return false;
  out = v;
  return true;
}

ApiReply HandleVerb(Store& store, const ServiceUrls& urls, const ApiRequest& req) {
  const std::string& v = req.verb;
  if (v == "LIST") return List(store, req);
  if (v == "URL") return Url(store, urls, req);
  if (v == "PUT") return Put(store, urls, req);
  if (v == "DELETE") {
    int version = 0;
    Status e = store.files().Delete(req.who.user_id, req.mount, req.path, version);
    return VersionOnly(e, version);
  }
  if (v == "RENAME") return Rename(store, req);
  if (v == "GET") return Get(store, urls, req);
  if (v == "COMPARE") return Compare(store, req);
  if (v == "VERSION") return Versions(store, req);
  if (v == "REVERT") return Revert(store, req);
  if (v == "LOCK") return Lock(store, req);
  if (v == "REMIND") return Remind(store, req);
  if (v == "DISCUSS") return Discuss(store, req);
  if (v == "PUBLISH") return Publish(store, urls, req);
  if (v == "SHARE") return Share(store, req);
  return ApiReply::Error(Fail(405, 40500, "unknown verb"));
}

}  // namespace zelmic
