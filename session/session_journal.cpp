#include "session/session_journal.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "common/owned_json.h"
#include "common/text_utf.h"
#include "platform/atomic_file.h"
#include "platform/file_ops.h"
#include "platform/state_dir.h"

namespace plumet {

using plumet_common::JsonPtr;
using plumet_text::FromUtf8;
using plumet_text::ToUtf8;

namespace {

constexpr int kFormat = 1;

// What a resumed session starts as.
const char* StateName(const EditSession& s) {
  switch (s.state) {
    case EditSessionState::Editing:
    case EditSessionState::Uploading:
    case EditSessionState::Uploaded:
      return "editing";
    case EditSessionState::Failed:
      return s.unsent ? "failed" : nullptr;
    case EditSessionState::New:
    case EditSessionState::Downloading:
      return "new";  // a click not yet served: the next start fetches the file again
  }
  return nullptr;
}

bool Kept(const EditSession& s) { return StateName(s) != nullptr && !s.localPath.empty(); }

// What is unsent when the journal is read: anything saved since the last confirmed upload, and a
// running upload (its outcome is unknown).
bool UnsentNow(const EditSession& s) {
  if (s.state == EditSessionState::Uploaded) return false;  // a later save shows in the time
  return s.unsent || s.state == EditSessionState::Uploading;
}

// The modification time the next start compares the copy with: after a confirmed upload, the time
// that upload read.
int64_t BaseTime(const EditSession& s) {
  return s.state == EditSessionState::Uploaded ? s.uploadStartTime : s.modifiedTime;
}

void AddString(cJSON* o, const char* name, const std::string& v) {
  cJSON_AddItemToObject(o, name, cJSON_CreateString(v.c_str()));
}

std::string Print(const JsonPtr& root) { return plumet_common::PrintJson(root.get()) + "\n"; }

bool Store(const std::string& path, const std::string& text) {
  platform::AtomicFile out;
  return out.Begin(path) && out.Write(text.data(), text.size()) && out.Commit(0600);
}

// The file's text, only when it is a regular file of ours that nobody else may read.
std::string Load(const std::string& path) {
  if (!platform::IsPrivateFileOfOurs(path)) return {};
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string GetString(const cJSON* o, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
  return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
}

double GetNumber(const cJSON* o, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
  return cJSON_IsNumber(item) ? item->valuedouble : 0;
}

bool GetBool(const cJSON* o, const char* name) {
  return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(o, name));
}

std::string Key(int32_t mount, const std::string& remote) {
  return std::to_string(mount) + "|" + remote;
}

}  // namespace

SessionJournal::SessionJournal(std::string dir) : dir_(std::move(dir)) {
  if (!dir_.empty() && dir_.back() != '/') dir_.push_back('/');
}

void SessionJournal::Write(const std::vector<std::unique_ptr<EditSession>>& sessions) {
  if (dir_.empty()) return;
  JsonPtr journal(cJSON_CreateObject());
  cJSON_AddNumberToObject(journal.get(), "format", kFormat);
  cJSON* list = cJSON_AddArrayToObject(journal.get(), "sessions");
  JsonPtr credentials(cJSON_CreateObject());
  for (const auto& s : sessions) {
    if (!Kept(*s)) continue;
    const std::string remote = ToUtf8(s->remotePath);
    cJSON* e = cJSON_CreateObject();
    cJSON_AddNumberToObject(e, "mount", s->mount);
    AddString(e, "remote_path", remote);
    AddString(e, "copy", ToUtf8(s->localPath));
    AddString(e, "work_dir", s->workDir);
    AddString(e, "downloaded_hash", ToUtf8(s->downloadedHash));
    AddString(e, "stored_hash", ToUtf8(s->storedHash));
    AddString(e, "state", StateName(*s));
    // Nanoseconds as text: a double cannot hold them exactly.
    AddString(e, "modified_ns", std::to_string(BaseTime(*s)));
    cJSON_AddBoolToObject(e, "unsent", UnsentNow(*s));
    cJSON_AddBoolToObject(e, "delta_refused", s->deltaRefused != 0);
    cJSON_AddBoolToObject(e, "link_expired", s->waitingForClick);
    AddString(e, "unsent_copy", s->unsentCopy);
    cJSON_AddItemToArray(list, e);
    cJSON_AddItemToObject(credentials.get(), Key(s->mount, remote).c_str(),
                          cJSON_CreateString(ToUtf8(s->refreshToken).c_str()));
  }
  const std::string journalText = Print(journal);
  const std::string credentialText = Print(credentials);
  if (journalText == lastJournal_ && credentialText == lastCredentials_) return;
  if (!platform::MakePrivateDirs(dir_)) return;
  // Credentials first: a journal entry whose token is missing waits for a click, while a token
  // without an entry is never used.
  if (credentialText != lastCredentials_ && Store(dir_ + "credentials.json", credentialText))
    lastCredentials_ = credentialText;
  if (journalText != lastJournal_ && Store(dir_ + "sessions.json", journalText))
    lastJournal_ = journalText;
}

std::vector<std::unique_ptr<EditSession>> SessionJournal::Read() {
  std::vector<std::unique_ptr<EditSession>> out;
  if (dir_.empty()) return out;
  const JsonPtr journal(cJSON_Parse(Load(dir_ + "sessions.json").c_str()));
  const JsonPtr credentials(cJSON_Parse(Load(dir_ + "credentials.json").c_str()));
  const cJSON* found = cJSON_GetObjectItemCaseSensitive(journal.get(), "sessions");
  const cJSON* list = cJSON_IsArray(found) ? found : nullptr;
  const cJSON* e = nullptr;
  cJSON_ArrayForEach(e, list) {
    auto s = std::make_unique<EditSession>();
    s->mount = static_cast<int32_t>(GetNumber(e, "mount"));
    const std::string remote = GetString(e, "remote_path");
    const std::string copy = GetString(e, "copy");
    const std::string state = GetString(e, "state");
    if (remote.empty() || copy.empty() || copy.front() != '/' ||
        (state != "editing" && state != "failed" && state != "new")) {
      continue;
    }
    s->remotePath = FromUtf8(remote);
    s->localPath = FromUtf8(copy);
    s->workDir = GetString(e, "work_dir");
    s->downloadedHash = FromUtf8(GetString(e, "downloaded_hash"));
    s->storedHash = FromUtf8(GetString(e, "stored_hash"));
    s->modifiedTime = std::strtoll(GetString(e, "modified_ns").c_str(), nullptr, 10);
    s->unsent = GetBool(e, "unsent");
    s->deltaRefused = GetBool(e, "delta_refused") ? 1 : 0;
    s->waitingForClick = GetBool(e, "link_expired");
    s->unsentCopy = GetString(e, "unsent_copy");
    s->state = state == "failed" ? EditSessionState::Failed
               : state == "new"  ? EditSessionState::New
                                 : EditSessionState::Editing;
    s->stopped = state == "failed";
    s->failureTold = s->stopped;
    s->refreshToken = FromUtf8(GetString(credentials.get(), Key(s->mount, remote).c_str()));
    if (s->refreshToken.empty()) s->waitingForClick = true;
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace plumet
