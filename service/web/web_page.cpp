#include "service/web/web_page.h"

#include <ctime>

#include "service/store/paths.h"
#include "service/web/launch_url.h"

namespace zelmic {

namespace {

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

std::string FormatTime(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  tm parts{};
  gmtime_r(&tt, &parts);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &parts);
  return buf;
}

std::string CsrfField(const WebLogin& login) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + HtmlEscape(login.csrf) + "\">";
}

std::string MountSection(Store& store, const WebLogin& login, int mount) {
  std::string html = "<section><h2>Mount " + std::to_string(mount) + "</h2>";
  std::vector<FileRecord> files = store.files().FilesOf(mount);
  if (files.empty()) {
    html += "<div class=\"empty\">No files yet.</div>";
  } else {
    html +=
        "<table><colgroup><col class=\"c-file\"><col class=\"c-size\"><col class=\"c-ver\">"
        "<col class=\"c-time\"><col class=\"c-by\"><col class=\"c-act\"></colgroup>"
        "<thead><tr><th>File</th><th class=\"num\">Size</th><th class=\"num\">Version</th>"
        "<th>Modified</th><th>By</th><th></th></tr></thead><tbody>";
    for (const auto& f : files) {
      std::string token;
      std::string edit;
      if (store.users().LinkTokenFor(login.user_id, mount, f.path, token).ok())
        edit = "<a class=\"edit\" href=\"" + HtmlEscape(MakeLaunchUrl(mount, f.path, token)) +
               "\">edit</a>";
      html += "<tr><td class=\"path\">" + HtmlEscape(f.path) + "</td><td class=\"num\">" +
              FormatSize(f.current.filesize) + "</td><td class=\"num\">" +
              std::to_string(f.current.version) + "</td><td>" + FormatTime(f.dateline) +
              "</td><td>" + HtmlEscape(f.current.user) + "</td><td>" + edit +
              "<a class=\"dl\" href=\"/download/" +
              HtmlEscape(store.blobs().DownloadLocation(f.current.download_key)) +
              "\">download</a></td></tr>";
    }
    html += "</tbody></table>";
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

std::string RenderUserPage(Store& store, const WebLogin& login, const std::string& notice) {
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
  for (int m : mounts) html += MountSection(store, login, m);
  html += "</main></body></html>\n";
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
