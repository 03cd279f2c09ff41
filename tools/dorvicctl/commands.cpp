#include "tools/dorvicctl/commands.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dorvic/src/text.h"
#include "tools/dorvicctl/output.h"
#include "tools/dorvicctl/transfer.h"

namespace dorvicctl {

namespace {

using dorvic::FromUtf8;

// The arguments of one subcommand, checked against what it accepts.
class Call {
 public:
  Call(const Invocation& inv, size_t min_words, size_t max_words,
       const std::set<std::string>& allowed_options)
      : inv_(inv) {
    if (inv.words.size() < min_words) throw UsageError(inv.command + ": too few arguments");
    if (inv.words.size() > max_words) throw UsageError(inv.command + ": too many arguments");
    for (const auto& [name, value] : inv.options) {
      if (allowed_options.count(name) == 0) {
        throw UsageError(inv.command + ": unknown option --" + name);
      }
    }
  }

  std::wstring token() const { return FromUtf8(inv_.globals.token); }
  std::wstring path() const { return FromUtf8(inv_.words[0]); }
  int32_t mount() const { return inv_.globals.mount; }
  const std::string& word(size_t i) const { return inv_.words[i]; }
  std::wstring text(size_t i) const { return FromUtf8(inv_.words[i]); }
  std::vector<std::wstring> texts_from(size_t i) const {
    std::vector<std::wstring> out;
    for (; i < inv_.words.size(); ++i) out.push_back(FromUtf8(inv_.words[i]));
    return out;
  }

  bool has(const std::string& name) const { return inv_.options.count(name) != 0; }
  std::string option(const std::string& name, const std::string& fallback) const {
    auto it = inv_.options.find(name);
    return it == inv_.options.end() ? fallback : it->second;
  }
  std::string required(const std::string& name) const {
    if (!has(name)) throw UsageError(inv_.command + ": --" + name + " is required");
    return option(name, "");
  }
  int32_t int_option(const std::string& name, int32_t fallback) const {
    return has(name) ? ParseInt32(option(name, ""), "--" + name) : fallback;
  }
  uint32_t uint_option(const std::string& name, uint32_t fallback) const {
    return has(name) ? ParseUint32(option(name, ""), "--" + name) : fallback;
  }

 private:
  const Invocation& inv_;
};

constexpr size_t kAny = static_cast<size_t>(-1);

cJSON* FilesJson(const std::vector<dorvic_file_stx>& files) {
  cJSON* array = cJSON_CreateArray();
  for (const auto& f : files) cJSON_AddItemToArray(array, FileEntryJson(f));
  return array;
}

bool List(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {"dir", "start", "size", "order"});
  int32_t size = c.int_option("size", 100);
  std::vector<dorvic_file_stx> files;
  const bool ok =
      dorvic_list_file(c.token(), c.path(), c.mount(), c.int_option("dir", 0),
                       c.int_option("start", 0), size, FromUtf8(c.option("order", "")), files);
  AddNumber(out, "size", size);
  cJSON_AddItemToObject(out, "files", FilesJson(files));
  return ok;
}

bool Url(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {"filehash"});
  std::wstring url;
  const bool ok = dorvic_get_file_real_url(c.token(), c.path(), c.mount(),
                                           FromUtf8(c.required("filehash")), url);
  AddText(out, "url", url);
  return ok;
}

bool Add(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {"filehash", "filesize", "version"});
  const std::wstring filehash = FromUtf8(c.required("filehash"));
  const uint64_t filesize = ParseUint64(c.required("filesize"), "--filesize");
  dorvic_addfile_ret ret;
  const bool ok = dorvic_add_file(c.token(), c.path(), c.mount(), filehash, filesize,
                                  c.int_option("version", 0), ret);
  AddNumber(out, "state", ret.state);
  AddText(out, "hash", ret.hash);
  AddNumber(out, "version", ret.version);
  AddText(out, "server", ret.server);
  return ok;
}

bool Delete(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {});
  int32_t version = 0;
  const bool ok = dorvic_del_file(c.token(), c.path(), c.mount(), version);
  AddNumber(out, "version", version);
  return ok;
}

bool Rename(const Invocation& inv, cJSON* out) {
  Call c(inv, 2, 2, {});
  int32_t version = 0;
  const bool ok = dorvic_rename_file(c.token(), c.path(), c.mount(), c.text(1), version);
  AddNumber(out, "version", version);
  return ok;
}

bool Get(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {});
  dorvic_file_reget file;
  const bool ok = dorvic_regetfile(c.token(), c.path(), c.mount(), file);
  cJSON_AddItemToObject(out, "file", RegetJson(file));
  return ok;
}

bool Compare(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {"version", "dateline"});
  int32_t version = c.int_option("version", 0);
  int32_t dateline = c.int_option("dateline", 0);
  std::vector<dorvic_file_stx> files;
  const bool ok = dorvic_compare(c.token(), c.path(), c.mount(), version, dateline, files);
  AddNumber(out, "version", version);
  AddNumber(out, "dateline", dateline);
  cJSON_AddItemToObject(out, "files", FilesJson(files));
  return ok;
}

bool Versions(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {});
  std::vector<dorvic_file_version> versions;
  const bool ok = dorvic_version(c.token(), c.path(), c.mount(), versions);
  cJSON* array = cJSON_CreateArray();
  for (const auto& v : versions) cJSON_AddItemToArray(array, VersionJson(v));
  cJSON_AddItemToObject(out, "versions", array);
  return ok;
}

bool Revert(const Invocation& inv, cJSON*) {
  Call c(inv, 2, 2, {});
  const int32_t version = ParseInt32(c.word(1), "VERSION");
  return dorvic_revert(c.token(), c.path(), c.mount(), version);
}

bool Lock(const Invocation& inv, cJSON*) {
  Call c(inv, 1, 1, {});
  return dorvic_lockfile(c.token(), c.path(), c.mount(), inv.command == "lock");
}

bool Remark(const Invocation& inv, cJSON*) {
  Call c(inv, 2, 2, {});
  return dorvic_remarks(c.token(), c.path(), c.mount(), c.text(1));
}

bool Remind(const Invocation& inv, cJSON*) {
  Call c(inv, 2, kAny, {});
  return dorvic_remind(c.token(), c.path(), c.mount(), c.texts_from(2), c.text(1));
}

bool Discuss(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {});
  std::vector<dorvic_remind_msg> messages;
  const bool ok = dorvic_discuss(c.token(), c.path(), c.mount(), messages);
  cJSON* array = cJSON_CreateArray();
  for (const auto& m : messages) cJSON_AddItemToArray(array, MessageJson(m));
  cJSON_AddItemToObject(out, "messages", array);
  return ok;
}

bool Publish(const Invocation& inv, cJSON* out) {
  Call c(inv, 1, 1, {"days", "downloads"});
  std::wstring url;
  uint32_t day_limit = c.uint_option("days", 0);
  uint32_t download_limit = c.uint_option("downloads", 0);
  uint32_t max_download_limit = 0;
  const bool ok = dorvic_publish(c.token(), c.path(), c.mount(), url, day_limit, download_limit,
                                 max_download_limit);
  AddText(out, "url", url);
  AddNumber(out, "day_limit", day_limit);
  AddNumber(out, "download_limit", download_limit);
  AddNumber(out, "max_download_limit", max_download_limit);
  return ok;
}

bool Share(const Invocation& inv, cJSON*) {
  Call c(inv, 2, kAny, {});
  return dorvic_share(c.token(), c.path(), c.mount(), c.texts_from(2), c.text(1));
}

struct Command {
  const char* name;
  bool (*run)(const Invocation&, cJSON*);
  bool (*run_local)(const Invocation&, cJSON*, LocalFailure&);
  const char* arguments;
  const char* summary;
};

// The two transfers go beyond one export each: they are what a person scripting the service needs.
constexpr Command kCommands[] = {
    {"list", List, nullptr, "PATH [--dir N] [--start N] [--size N] [--order O]", "list a folder"},
    {"url", Url, nullptr, "PATH --filehash H", "a content's download location"},
    {"add", Add, nullptr, "PATH --filehash H --filesize N [--version N]", "register new content"},
    {"delete", Delete, nullptr, "PATH", "delete a file or folder"},
    {"rename", Rename, nullptr, "PATH NEWNAME", "rename a file or folder"},
    {"get", Get, nullptr, "PATH", "a file's hash, size and download location"},
    {"compare", Compare, nullptr, "PATH [--version N] [--dateline N]", "changes since a version"},
    {"versions", Versions, nullptr, "PATH", "the stored versions of a file"},
    {"revert", Revert, nullptr, "PATH VERSION", "make an old version current again"},
    {"lock", Lock, nullptr, "PATH", "lock a file against others' changes"},
    {"unlock", Lock, nullptr, "PATH", "release a lock"},
    {"remark", Remark, nullptr, "PATH MESSAGE", "add a discussion message"},
    {"remind", Remind, nullptr, "PATH MESSAGE EMAIL...", "remind people of a file"},
    {"discuss", Discuss, nullptr, "PATH", "the discussion messages of a file"},
    {"publish", Publish, nullptr, "PATH [--days N] [--downloads N]", "publish a download link"},
    {"share", Share, nullptr, "PATH MESSAGE EMAIL...", "share a file with people"},
    {"download", nullptr, Download, "REMOTE LOCAL [--progress]",
     "fetch into LOCAL, size and SHA-1 checked"},
    {"upload", nullptr, Upload, "LOCAL REMOTE [--progress]", "store LOCAL as REMOTE's new version"},
};

}  // namespace

bool RunCommand(const Invocation& inv, cJSON* out, LocalFailure& failure) {
  for (const Command& command : kCommands) {
    if (inv.command != command.name) continue;
    if (command.run_local != nullptr) return command.run_local(inv, out, failure);
    if (!inv.flags.empty())
      throw UsageError(inv.command + ": unknown option --" + *inv.flags.begin());
    return command.run(inv, out);
  }
  throw UsageError("unknown subcommand " + inv.command);
}

std::string SubcommandHelp() {
  std::string text;
  for (const Command& command : kCommands) {
    std::string line = std::string("  ") + command.name + " " + command.arguments;
    if (line.size() < 57)
      line.resize(57, ' ');
    else
      line += "\n" + std::string(57, ' ');
    text += line + "  " + command.summary + "\n";
  }
  return text;
}

}  // namespace dorvicctl
