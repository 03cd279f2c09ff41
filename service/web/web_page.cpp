#include "service/web/web_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <ctime>

#include "common/text_forms.h"
#include "service/store/paths.h"

namespace zelmic {

namespace {

constexpr int kFilesPerPage = 100;

constexpr const char* kStyle = R"CSS(
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif;
       margin: 0; background: #f4f5f7; color: #1f2328; }
header { background: #24415f; color: #fff; padding: 14px 32px; display: flex;
         align-items: baseline; gap: 16px; }
header h1 { font-size: 20px; margin: 0; font-weight: 600; }
header span { opacity: .8; font-size: 14px; }
main { max-width: 1080px; margin: 24px auto; padding: 0 24px; }
section { background: #fff; border: 1px solid #d8dee4; border-radius: 8px; margin-bottom: 24px; }
section h2 { font-size: 16px; margin: 0; padding: 12px 16px; border-bottom: 1px solid #d8dee4;
             background: #f6f8fa; border-radius: 8px 8px 0 0; }
table { width: 100%; border-collapse: collapse; font-size: 14px; table-layout: fixed; }
col.c-file { width: 38%; } col.c-size { width: 10%; } col.c-ver { width: 9%; }
col.c-time { width: 19%; } col.c-by { width: 9%; } col.c-act { width: 15%; }
td.path { overflow-wrap: anywhere; }
th.num { text-align: right; }
th, td { text-align: left; padding: 8px 16px; border-bottom: 1px solid #eef0f2; }
th { font-weight: 600; color: #57606a; font-size: 12px; text-transform: uppercase; }
tr:last-child td { border-bottom: none; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
td.path { font-family: ui-monospace, "SFMono-Regular", Menlo, monospace; }
a.edit { background: #2f6feb; color: #fff; padding: 3px 12px; border-radius: 4px;
         text-decoration: none; font-weight: 600; }
a.edit:hover { background: #1f5fd6; }
a.dl { color: #2f6feb; margin-left: 10px; }
.empty { padding: 14px 16px; color: #57606a; }
.pages { padding: 10px 16px; border-top: 1px solid #eef0f2; font-size: 14px; color: #57606a; }
.pages a { color: #2f6feb; margin-left: 10px; }
form.upload { display: flex; gap: 10px; align-items: center; padding: 12px 16px;
              border-top: 1px solid #d8dee4; background: #fbfcfd; border-radius: 0 0 8px 8px;
              font-size: 14px; flex-wrap: wrap; }
form.upload input[type=text] { padding: 4px 8px; border: 1px solid #d0d7de; border-radius: 4px; }
button { background: #2da44e; color: #fff; border: none; padding: 6px 16px; border-radius: 4px;
         font-weight: 600; cursor: pointer; }
header form.logout { margin-left: auto; }
.notice { background: #ddf4ff; border: 1px solid #54aeff; padding: 10px 16px; border-radius: 6px;
          margin-bottom: 20px; }
)CSS";

// Shows each time of the page in the browser's own zone and manner; without scripts the UTC
// text the server wrote stays.
constexpr const char* kScript = R"JS(
for (const t of document.querySelectorAll("time[data-utc]")) {
  const when = new Date(Number(t.dataset.utc) * 1000);
  t.textContent = when.toLocaleString(undefined, {dateStyle: "medium", timeStyle: "short"});
  t.title = t.getAttribute("datetime");
}
)JS";

// The CSP source that allows exactly this inline text: 'sha256-BASE64'.
std::string HashSource(const char* text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text, std::char_traits<char>::length(text), digest, &size, EVP_sha256(), nullptr);
  std::string hash(4 * ((size + 2) / 3) + 1, '\0');
  hash.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(hash.data()),
                                                  digest, static_cast<int>(size))));
  return "'sha256-" + hash + "'";
}

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
         HtmlEscape(title) + "</title><style>" + kStyle + "</style></head><body>";
}

std::string FormatSize(int64_t n) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  if (u == 0)
    snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(n));
  else
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

// A time as UTC text, marked with its instant for kScript to show in the browser's zone.
std::string FormatTime(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  tm parts{};
  gmtime_r(&tt, &parts);
  char iso[32], text[32];
  strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &parts);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return "<time datetime=\"" + std::string(iso) + "\" data-utc=\"" + std::to_string(t) + "\">" +
         text + "</time>";
}

std::string CsrfField(const WebLogin& login) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + HtmlEscape(login.csrf) + "\">";
}

// Where the page of a mount's files shows page `page` (counted from 0) of that mount.
std::string PageHref(int mount, int page) {
  return "/?mount=" + std::to_string(mount) + "&page=" + std::to_string(page) + "#mount-" +
         std::to_string(mount);
}

// Previous and next links when the mount's files do not fit one page.
std::string PageLinks(int mount, int page, int total) {
  const int pages = (total + kFilesPerPage - 1) / kFilesPerPage;
  if (pages <= 1) return {};
  const int first = page * kFilesPerPage + 1;
  const int last = std::min(total, first + kFilesPerPage - 1);
  std::string html = "<div class=\"pages\">Files " + std::to_string(first) + "&ndash;" +
                     std::to_string(last) + " of " + std::to_string(total);
  if (page > 0)
    html +=
        " <a class=\"prev\" href=\"" + HtmlEscape(PageHref(mount, page - 1)) + "\">previous</a>";
  if (page + 1 < pages)
    html += " <a class=\"next\" href=\"" + HtmlEscape(PageHref(mount, page + 1)) + "\">next</a>";
  return html + "</div>";
}

// One row of a mount's table. The edit link asks the server for a launch link when clicked, so
// showing the page mints no tokens.
std::string FileRow(Store& store, int mount, const FileRecord& f) {
  const std::string edit =
      "/edit?mount=" + std::to_string(mount) + "&path=" + plumet_text::PercentEncode(f.path);
  return "<tr><td class=\"path\">" + HtmlEscape(f.path) + "</td><td class=\"num\">" +
         FormatSize(f.current.filesize) + "</td><td class=\"num\">" +
         std::to_string(f.current.version) + "</td><td>" + FormatTime(f.dateline) + "</td><td>" +
         HtmlEscape(f.current.user) + "</td><td><a class=\"edit\" href=\"" + HtmlEscape(edit) +
         "\">edit</a><a class=\"dl\" href=\"/download/" +
         HtmlEscape(store.blobs().DownloadLocation(f.current.download_key)) +
         "\">download</a></td></tr>";
}

std::string MountSection(Store& store, const WebLogin& login, int mount, int page) {
  std::string html = "<section id=\"mount-" + std::to_string(mount) + "\"><h2>Mount " +
                     std::to_string(mount) + "</h2>";
  int total = 0;
  std::vector<FileRecord> files =
      store.files().FilesPage(mount, page * kFilesPerPage, kFilesPerPage, total);
  if (files.empty() && page > 0) {  // past the end: the last page instead
    page = std::max(0, (total - 1) / kFilesPerPage);
    files = store.files().FilesPage(mount, page * kFilesPerPage, kFilesPerPage, total);
  }
  if (files.empty()) {
    html += "<div class=\"empty\">No files yet.</div>";
  } else {
    html +=
        "<table><colgroup><col class=\"c-file\"><col class=\"c-size\"><col class=\"c-ver\">"
        "<col class=\"c-time\"><col class=\"c-by\"><col class=\"c-act\"></colgroup>"
        "<thead><tr><th>File</th><th class=\"num\">Size</th><th class=\"num\">Version</th>"
        "<th>Modified</th><th>By</th><th></th></tr></thead><tbody>";
    for (const auto& f : files) html += FileRow(store, mount, f);
    html += "</tbody></table>" + PageLinks(mount, page, total);
  }
  html +=
      "<form class=\"upload\" method=\"post\" action=\"/upload\" enctype=\"multipart/form-data\">" +
      CsrfField(login) + "<input type=\"hidden\" name=\"mount\" value=\"" + std::to_string(mount) +
      "\">"
      "<label>Upload to folder <input type=\"text\" name=\"folder\" value=\"/\" size=\"18\">"
      "</label><input type=\"file\" name=\"file\" required><button type=\"submit\">Upload"
      "</button></form></section>";
  return html;
}

}  // namespace

std::string PagePolicy() {
  return "default-src 'none'; style-src " + HashSource(kStyle) + "; script-src " +
         HashSource(kScript) + "; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
}

std::string NoticeText(const std::string& key) {
  static const std::pair<const char*, const char*> kNotices[] = {
      {"stored", "The file was stored as a new version."},
  };
  for (const auto& [name, text] : kNotices)
    if (key == name) return text;
  return {};
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string RenderUserPage(Store& store, const WebLogin& login, const std::string& notice,
                           int paged_mount, int page) {
  std::string html = Head("Files of " + login.user) + "<header><h1>Zelmic files</h1><span>" +
                     HtmlEscape(login.user) +
                     "</span><form class=\"logout\" method=\"post\" action=\"/logout\">" +
                     CsrfField(login) +
                     "<button type=\"submit\">Log out</button></form>"
                     "</header><main>";
  if (!notice.empty()) html += "<div class=\"notice\">" + HtmlEscape(notice) + "</div>";
  std::vector<int> mounts = store.users().Mounts(login.user_id);
  if (mounts.empty())
    html += "<section><div class=\"empty\">No mounts are granted to you.</div></section>";
  for (int m : mounts) html += MountSection(store, login, m, m == paged_mount ? page : 0);
  html += "</main><script>" + std::string(kScript) + "</script></body></html>\n";
  return html;
}

std::string RenderLoginPage(const std::string& notice) {
  std::string html = Head("Zelmic files") + "<header><h1>Zelmic files</h1></header><main>";
  if (!notice.empty()) html += "<div class=\"notice\">" + HtmlEscape(notice) + "</div>";
  html +=
      "<section><h2>Log in</h2><form class=\"upload\" method=\"post\" action=\"/login\">"
      "<label>User <input type=\"text\" name=\"user\" autocomplete=\"username\" required>"
      "</label><label>Password <input type=\"password\" name=\"password\" "
      "autocomplete=\"current-password\" required></label>"
      "<button type=\"submit\">Log in</button></form></section></main></body></html>\n";
  return html;
}

}  // namespace zelmic
