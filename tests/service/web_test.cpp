// The web site: the login, the user page with its edit links, downloads and uploads from its
// form, and the bounds of what a form may send.
#include <curl/curl.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "service/upload/checksum_keeper.h"
#include "service/upload/delta_rebuild.h"
#include "tests/service/service_fixture.h"
#include "tests/service/upload/fake_backend.h"

namespace zelmic_test {
namespace {

std::string DecodeBase64(const std::string& text) {
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return {};
  out.resize(static_cast<size_t>(n));
  size_t pad = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
  out.resize(out.size() - pad);
  return out;
}

const std::string kForm = "Content-Type: application/x-www-form-urlencoded";

// The targets of every edit link of a page, as written in its HTML.
std::vector<std::string> EditHrefs(const std::string& html) {
  std::vector<std::string> out;
  const std::string open = "class=\"edit\" href=\"";
  for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at + 1)) {
    const size_t start = at + open.size();
    const size_t end = html.find('"', start);
    if (end == std::string::npos) break;
    std::string href = html.substr(start, end - start);
    for (size_t amp = href.find("&amp;"); amp != std::string::npos; amp = href.find("&amp;", amp))
      href.replace(amp, 5, "&");
    out.push_back(href);
  }
  return out;
}

// The decoded payload (mount|path|token) of the launch URL a redirect names; "" when none.
std::string LaunchPayload(const HttpResult& r) {
  const std::string open = "Location: plumet://";
  const size_t at = r.headers.find(open);
  if (r.status != 303 || at == std::string::npos) return {};
  const size_t start = at + open.size();
  const size_t end = r.headers.find("/\r", start);
  return end == std::string::npos ? "" : DecodeBase64(r.headers.substr(start, end - start));
}

class WebTest : public ServiceTest {
 protected:
  std::string Login(const std::string& user, const std::string& password) {
    std::string cookie = WebLogin(z_.web_base(), user, password);
    EXPECT_FALSE(cookie.empty()) << user;
    return cookie;
  }
  // The payloads of every edit link of a page, each followed with the login's cookie.
  std::vector<std::string> EditLinks(const std::string& cookie, const std::string& html) {
    std::vector<std::string> out;
    for (const std::string& href : EditHrefs(html))
      out.push_back(LaunchPayload(HttpRequest("GET", z_.web_base() + href, {cookie})));
    return out;
  }
  std::string Page(const std::string& cookie) {
    HttpResult r = HttpRequest("GET", z_.web_base() + "/", {cookie});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("text/html"), std::string::npos);
    return r.body;
  }
  // Sends the upload form; fields with an empty name are left out.
  long FormUpload(const std::string& cookie,
                  const std::vector<std::pair<std::string, std::string>>& fields,
                  const std::string& filename, const std::string& content, std::string* page,
                  std::string* location = nullptr, std::string* head = nullptr) {
    CURL* curl = curl_easy_init();
    curl_mime* mime = curl_mime_init(curl);
    auto field = [&](const std::string& name, const std::string& value) {
      curl_mimepart* part = curl_mime_addpart(mime);
      curl_mime_name(part, name.c_str());
      curl_mime_data(part, value.data(), value.size());
      return part;
    };
    for (const auto& [name, value] : fields) field(name, value);
    curl_mime_filename(field("file", content), filename.c_str());
    std::string body;
    curl_slist* headers = curl_slist_append(nullptr, cookie.c_str());
    headers = curl_slist_append(headers, OriginHeader(z_.web_base()).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, (z_.web_base() + "/upload").c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* t) {
          static_cast<std::string*>(t)->append(d, s * n);
          return s * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    std::string header_text;
    curl_easy_setopt(
        curl, CURLOPT_HEADERFUNCTION, +[](char* d, size_t s, size_t n, void* t) {
          static_cast<std::string*>(t)->append(d, s * n);
          return s * n;
        });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &header_text);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK)
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    char* redirect = nullptr;
    if (location && curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK &&
        redirect) {
      const std::string full = redirect;
      *location = full.substr(full.find('/', std::string("http://").size()));
    }
    curl_slist_free_all(headers);
    curl_mime_free(mime);
    curl_easy_cleanup(curl);
    if (page) *page = body;
    if (head) *head = header_text;
    return status;
  }
  long Upload(const std::string& cookie, const std::string& mount, const std::string& folder,
              const std::string& filename, const std::string& content, std::string* page = nullptr,
              std::string* location = nullptr, std::string* head = nullptr) {
    const std::string csrf = HiddenField(Page(cookie), "csrf");
    return FormUpload(cookie, {{"csrf", csrf}, {"mount", mount}, {"folder", folder}}, filename,
                      content, page, location, head);
  }
};

TEST_F(WebTest, PageListsTheLoggedInUsersFilesWithWorkingEditLinks) {
  const std::string local = z_.tmp_dir() + "/odd.txt";
  ASSERT_TRUE(WriteFile(local, "odd"));
  z_.Put(2, local, "/<b>odd</b> & \"name\".txt");
  const std::string ann = Login("ann", kAnnPassword);
  const std::string html = Page(ann);
  EXPECT_NE(html.find("/docs/plan.txt"), std::string::npos);
  EXPECT_NE(html.find("Mount 1"), std::string::npos);
  EXPECT_NE(html.find("Mount 2"), std::string::npos);
  EXPECT_EQ(html.find("<b>odd</b>"), std::string::npos);  // names are escaped
  EXPECT_NE(html.find("/&lt;b&gt;odd&lt;/b&gt; &amp; &quot;name&quot;.txt"), std::string::npos);
  EXPECT_NE(html.find("enctype=\"multipart/form-data\""), std::string::npos);

  std::vector<std::string> links = EditLinks(ann, html);
  ASSERT_EQ(links.size(), 2u) << html;
  EXPECT_EQ(links[0].rfind("1|/docs/plan.txt|", 0), 0u) << links[0];
  EXPECT_EQ(links[1].rfind("2|/<b>odd</b> & \"name\".txt|", 0), 0u) << links[1];
  // Showing the page again hands out the same links instead of minting new tokens.
  EXPECT_EQ(EditLinks(ann, Page(ann)), links);
  // The link's token works for its file only.
  const std::string token = links[0].substr(std::string("1|/docs/plan.txt|").size());
  const std::string access = z_.AccessToken(token);
  ASSERT_FALSE(access.empty());
  HttpResult get = Call(access, "GET", 1, "/docs/plan%2Etxt");
  ASSERT_EQ(get.status, 200);
  EXPECT_EQ(HttpRequest("GET", Str(ParseJson(get.body), "uri")).body, kPlan);
  // ("</b>" holds a separator: the file lies in the folder "/<b>odd<".)
  const std::string odd = "/" + UrlEncode("<b>odd<") + "/" + UrlEncode("b> & \"name\".txt");
  EXPECT_EQ(Call(ann_, "GET", 2, odd).status, 200);
  EXPECT_EQ(Call(access, "GET", 2, odd).status, 403);

  // bob sees mount 1 only, whatever he asks for.
  const std::string bob = Login("bob", kBobPassword);
  for (const char* query : {"/", "/?user=ann", "/?mount=2"}) {
    const std::string bobs = HttpRequest("GET", z_.web_base() + query, {bob}).body;
    EXPECT_EQ(bobs.find("Mount 2"), std::string::npos) << query;
    EXPECT_EQ(EditLinks(bob, bobs).size(), 1u) << query;
  }
}

// The page only names /edit; a token is minted when a member follows the link, for that member's
// file only.
TEST_F(WebTest, EditLinksMintTheirTokenWhenFollowed) {
  const std::string ann = Login("ann", kAnnPassword);
  const std::string page = Page(ann);
  EXPECT_EQ(page.find("plumet://"), std::string::npos);
  const std::string bob = Login("bob", kBobPassword);
  const std::string plan = "/edit?mount=1&path=" + UrlEncode("/docs/plan.txt");
  struct Case {
    const char* what;
    std::string cookie;
    std::string href;
    long status;
  };
  for (const Case& c : std::vector<Case>{
           {"member", ann, plan, 303},
           {"no login", "", plan, 403},
           {"other mount", bob, "/edit?mount=2&path=" + UrlEncode("/docs/plan.txt"), 403},
           {"no such file", ann, "/edit?mount=1&path=" + UrlEncode("/docs/none.txt"), 404},
           {"no mount", ann, "/edit?path=" + UrlEncode("/docs/plan.txt"), 403}}) {
    HttpResult r =
        HttpRequest("GET", z_.web_base() + c.href,
                    c.cookie.empty() ? std::vector<std::string>{} : std::vector{c.cookie});
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
    EXPECT_EQ(r.headers.find("plumet://") != std::string::npos, c.status == 303) << c.what;
  }
  const std::string payload = LaunchPayload(HttpRequest("GET", z_.web_base() + plan, {ann}));
  const std::string prefix = "1|/docs/plan.txt|";
  ASSERT_EQ(payload.rfind(prefix, 0), 0u) << payload;
  const std::string access = z_.AccessToken(payload.substr(prefix.size()));
  ASSERT_FALSE(access.empty());
  EXPECT_EQ(Call(access, "GET", 1, "/docs/plan%2Etxt").status, 200);
}

TEST_F(WebTest, ThePageNeedsALogin) {
  z_.AddUser("carol", {1});  // no password: the API only
  // Without a login, the page shows nothing but the login form, whatever the query names.
  for (const char* query : {"/", "/?user=ann"}) {
    HttpResult r = HttpRequest("GET", z_.web_base() + query);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("name=\"password\""), std::string::npos);
    EXPECT_EQ(r.body.find("plan.txt"), std::string::npos) << query;
  }
  struct Attempt {
    const char* user;
    std::string password;
  };
  for (const Attempt& a : std::vector<Attempt>{{"ann", "wrong"},
                                               {"ann", ""},
                                               {"nobody", "x"},
                                               {"carol", ""},
                                               {"carol", "anything"},
                                               {"bob", kAnnPassword}}) {
    long status = 0;
    EXPECT_EQ(WebLogin(z_.web_base(), a.user, a.password, &status), "") << a.user;
    EXPECT_EQ(status, 401) << a.user << " / " << a.password;
  }
  const std::string origin = OriginHeader(z_.web_base());
  HttpResult login = HttpRequest("POST", z_.web_base() + "/login",
                                 {"Content-Type: application/x-www-form-urlencoded", origin},
                                 "user=ann&password=" + UrlEncode(kAnnPassword));
  ASSERT_EQ(login.status, 303);
  const size_t set = login.headers.find("Set-Cookie: zelmic_session=");
  ASSERT_NE(set, std::string::npos) << login.headers;
  const std::string cookie_line = login.headers.substr(set, login.headers.find('\n', set) - set);
  EXPECT_NE(cookie_line.find("; HttpOnly"), std::string::npos) << cookie_line;
  EXPECT_NE(cookie_line.find("; SameSite=Strict"), std::string::npos) << cookie_line;
  const std::string ann = Login("ann", kAnnPassword);
  EXPECT_NE(Page(ann).find("/docs/plan.txt"), std::string::npos);
  EXPECT_EQ(Page("Cookie: zelmic_session=" + std::string(64, 'a')).find("plan.txt"),
            std::string::npos);

  // Logging out needs the page's CSRF token, and ends the login.
  EXPECT_EQ(
      HttpRequest("POST", z_.web_base() + "/logout",
                  {ann, "Content-Type: application/x-www-form-urlencoded", origin}, "csrf=forged")
          .status,
      403);
  const std::string csrf = HiddenField(Page(ann), "csrf");
  EXPECT_EQ(
      HttpRequest("POST", z_.web_base() + "/logout",
                  {ann, "Content-Type: application/x-www-form-urlencoded", origin}, "csrf=" + csrf)
          .status,
      303);
  EXPECT_EQ(Page(ann).find("plan.txt"), std::string::npos);

  // The download locations the REST answers name need no login, but cannot be forged.
  const std::string uri = Str(ParseJson(Call(ann_, "GET", 1, "/docs/plan%2Etxt").body), "uri");
  EXPECT_EQ(HttpRequest("GET", uri).body, kPlan);
  const size_t key = uri.find("/download/") + 10;
  const size_t first = uri.find('.', key), last = uri.rfind('.');
  ASSERT_LT(first, last) << uri;
  for (const std::string& forged :
       {uri.substr(0, last) + ".0123456789abcdef0123456789abcdef", uri.substr(0, first),
        uri.substr(0, first + 1) + "99999999999" + uri.substr(last)})
    EXPECT_EQ(HttpRequest("GET", forged).status, 404) << forged;

  // Without --faults the admin endpoints do not exist.
  EXPECT_EQ(HttpRequest("POST", z_.web_base() + "/admin/script", {"Content-Type: application/json"},
                        R"({"endpoint":"api:GET","status":500})")
                .status,
            404);
  EXPECT_EQ(HttpRequest("POST", z_.web_base() + "/admin/clear").status, 404);
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/plan%2Etxt").status, 200);
  EXPECT_EQ(HttpRequest("GET", z_.web_base() + "/nothing-here").status, 404);
}

TEST_F(WebTest, APasswordChangeOrARevokeByAnotherProcessEndsTheWebLogins) {
  const std::string bob = Login("bob", kBobPassword);
  for (const auto& [subcommand, args] :
       std::vector<std::pair<const char*, std::vector<std::string>>>{
           {"add-user", {"ann", "--password-file", z_.tmp_dir() + "/password-ann"}},
           {"revoke", {"ann"}}}) {
    const std::string ann = Login("ann", kAnnPassword);
    ASSERT_EQ(z_.Admin(subcommand, args).exit_code, 0) << subcommand;
    EXPECT_EQ(Page(ann).find("plan.txt"), std::string::npos) << subcommand;
    EXPECT_NE(Page(bob).find("plan.txt"), std::string::npos) << subcommand;
  }
}

TEST_F(WebTest, WebLoginsOutliveARestartButNotARevoke) {
  const std::string ann = Login("ann", kAnnPassword), bob = Login("bob", kBobPassword);
  z_.Stop();
  ASSERT_TRUE(z_.Start());
  EXPECT_NE(Page(ann).find("plan.txt"), std::string::npos) << "the cookie promises 12 hours";
  // The database keeps digests only: its bytes hold no cookie that works.
  std::string bytes;
  for (const char* file : {"/zelmic.db", "/zelmic.db-wal"}) {
    std::ifstream db(z_.dir() + file, std::ios::binary);
    bytes.append(std::istreambuf_iterator<char>(db), std::istreambuf_iterator<char>());
  }
  for (const std::string& cookie : {ann, bob}) {
    const std::string secret = cookie.substr(cookie.find('=') + 1);
    ASSERT_EQ(secret.size(), 64u) << cookie;
    EXPECT_EQ(bytes.find(secret), std::string::npos);
  }
  // A revoke by another process ends the login, also for the server started after it.
  ASSERT_EQ(z_.Admin("revoke", {"ann"}).exit_code, 0);
  EXPECT_EQ(Page(ann).find("plan.txt"), std::string::npos);
  z_.Stop();
  ASSERT_TRUE(z_.Start());
  EXPECT_EQ(Page(ann).find("plan.txt"), std::string::npos);
  EXPECT_NE(Page(bob).find("plan.txt"), std::string::npos);
}

TEST_F(WebTest, FormUploadStoresANewVersion) {
  const std::string ann = Login("ann", kAnnPassword);
  std::string page, location, head;
  EXPECT_EQ(Upload(ann, "1", "/docs", "plan.txt", "from the web\n", &page, &location, &head), 303);
  // The outcome rides in a short-lived cookie: the address stays clean, and the page that shows
  // the notice ends the cookie, so a reload does not show it again.
  EXPECT_EQ(location, "/");
  EXPECT_NE(head.find("Set-Cookie: zelmic_notice=stored;"), std::string::npos) << head;
  HttpResult shown = HttpRequest("GET", z_.web_base() + location, {ann + "; zelmic_notice=stored"});
  EXPECT_NE(shown.body.find("The file was stored as a new version."), std::string::npos);
  EXPECT_NE(shown.headers.find("Set-Cookie: zelmic_notice=; Path=/; HttpOnly; SameSite=Strict; "
                               "Max-Age=0"),
            std::string::npos)
      << shown.headers;
  EXPECT_EQ(Page(ann).find("class=\"notice\""), std::string::npos);
  HttpResult get = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
  Json j = ParseJson(get.body);
  EXPECT_EQ(Num(j, "version"), 2);
  EXPECT_EQ(HttpRequest("GET", Str(j, "uri")).body, "from the web\n");

  EXPECT_EQ(Upload(ann, "1", "/fresh", "new.bin", std::string(100000, '\x01')), 303);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, "/fresh/new%2Ebin").body), "filesize"), 100000);

  const std::string bob = Login("bob", kBobPassword);
  struct Case {
    const char* what;
    std::string cookie, mount, folder, name;
    long status;
  };
  for (const Case& c : std::vector<Case>{{"not bob's mount", bob, "2", "/", "x.txt", 403},
                                         {"mount wraps to 1", ann, "4294967297", "/", "x.txt", 400},
                                         {"mount with a sign", ann, "+1", "/", "x.txt", 400},
                                         {"mount with a space", ann, "1 ", "/", "x.txt", 400},
                                         {"folder outside", ann, "1", "/../..", "x.txt", 400},
                                         {"name ..", ann, "1", "/", "..", 400}}) {
    EXPECT_EQ(Upload(c.cookie, c.mount, c.folder, c.name, "x"), c.status) << c.what;
  }
  // No login, or a form without the page's CSRF token.
  EXPECT_EQ(FormUpload("", {{"mount", "1"}, {"folder", "/"}}, "x.txt", "x", nullptr), 403);
  EXPECT_EQ(
      FormUpload(ann, {{"csrf", "forged"}, {"mount", "1"}, {"folder", "/"}}, "x.txt", "x", nullptr),
      403);
  EXPECT_EQ(FormUpload(ann, {{"mount", "1"}, {"folder", "/"}}, "x.txt", "x", nullptr), 403);
  EXPECT_EQ(Call(ann_, "GET", 1, "/x%2Etxt").status, 404);
}

TEST_F(WebTest, LargeContentsUploadedOrDownloadedHereHaveTheirChecksumListsKeptAhead) {
  // An edit starts with a download and saves back a delta on that content: its list is computed
  // before anyone asks for it. So is the list of content sent with the form.
  const std::string ann = Login("ann", kAnnPassword);
  const zelmic::ChecksumKeeper keeper(z_.dir());  // only for where lists are kept
  for (const bool download : {false, true}) {
    SCOPED_TRACE(download ? "download" : "form upload");
    const std::string content = RandomBytes((8u << 20) + 1000, download ? 2 : 1);
    const std::string kept =
        keeper.KeptPath(Sha1Hex(content), zelmic::BlockSizeFor(content.size()));
    if (download) {
      const std::string local = z_.tmp_dir() + "/big.bin";
      ASSERT_TRUE(WriteFile(local, content));
      z_.Put(1, local, "/big/put.bin");
      const std::string uri = Str(ParseJson(Call(ann_, "GET", 1, "/big/put%2Ebin").body), "uri");
      EXPECT_FALSE(std::filesystem::exists(kept));
      EXPECT_TRUE(HttpRequest("GET", uri).body == content);
    } else {
      ASSERT_EQ(Upload(ann, "1", "/big", "form.bin", content), 303);
    }
    for (int i = 0; i < 600 && !std::filesystem::exists(kept); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
  }
}

TEST_F(WebTest, HeadDoesNotUseUpAPublishedLink) {
  HttpResult r = Call(ann_, "PUBLISH", 1, "/docs/plan%2Etxt", {}, "day_limit=0&download_limit=1");
  ASSERT_EQ(r.status, 200) << r.body;
  const std::string url = Str(ParseJson(r.body), "url");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(HttpRequest("HEAD", url).status, 200);
  EXPECT_EQ(HttpRequest("GET", url).body, kPlan);
  EXPECT_EQ(HttpRequest("GET", url).status, 404);
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(WebTest, FormsAreBoundedInFieldsSizeAndBody) {
  const std::string ann = Login("ann", kAnnPassword);
  const std::string csrf = HiddenField(Page(ann), "csrf");
  const std::string form = "Content-Type: application/x-www-form-urlencoded";
  std::string many = "user=ann&password=x";
  for (int i = 0; i < 20; ++i) many += "&f" + std::to_string(i) + "=1";
  struct Case {
    const char* what;
    std::string path, body;
    long status;
  };
  for (const Case& c : std::vector<Case>{
           {"unknown field", "/login", "user=ann&password=x&extra=1", 400},
           {"many fields", "/login", many, 400},
           {"long field", "/login", "user=" + std::string(4096 + 1, 'a') + "&password=x", 413},
           {"long body", "/logout", "csrf=" + csrf + "&csrf=" + std::string(100000, 'b'), 413}}) {
    HttpResult r = HttpRequest("POST", z_.web_base() + c.path,
                               {ann, form, OriginHeader(z_.web_base())}, c.body);
    EXPECT_EQ(r.status, c.status) << c.what;
  }
  // A body far over the limit is refused from its declared length, before it is read; one
  // without a declared length is cut off at the limit. Neither leaves memory behind.
  const long before = RssKb(z_.pid());
  const std::string huge(16 << 20, 'a');
  // The server answers 413 and closes; a slow client may still be sending and see only the close.
  const long refused = HttpRequest("POST", z_.web_base() + "/login",
                                   {form, OriginHeader(z_.web_base())}, "user=" + huge)
                           .status;
  EXPECT_TRUE(refused == 413 || refused == 0) << refused;
  std::string chunked =
      "POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
      OriginHeader(z_.web_base()) +
      "\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";
  const std::string piece = "user=ann&password=" + std::string(60000, 'p');
  for (int i = 0; i < 64; ++i) {
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";
  const std::string answer = RawHttp(z_.web_port(), chunked, 5000);
  EXPECT_NE(RawStatus(answer), 303);
  EXPECT_LT(RssKb(z_.pid()) - before, 8 * 1024) << "kB kept after refused forms";
  EXPECT_FALSE(WebLogin(z_.web_base(), "ann", kAnnPassword).empty());  // still serving
}

TEST_F(WebTest, PageAnswersCarryTheirProtectiveHeaders) {
  const std::string ann = Login("ann", kAnnPassword), web = z_.web_base();
  for (const HttpResult& r :
       {HttpRequest("GET", web + "/"), HttpRequest("GET", web + "/", {ann}),
        HttpRequest("POST", web + "/login", {kForm, OriginHeader(web)}, "user=ann&password=x")}) {
    for (const char* header :
         {"Content-Security-Policy: default-src 'none'; ", "frame-ancestors 'none'",
          "X-Frame-Options: DENY", "Referrer-Policy: no-referrer",
          "X-Content-Type-Options: nosniff", "Cache-Control: no-store"})
      EXPECT_NE(r.headers.find(header), std::string::npos) << r.status << ": " << header;
  }
  // The policy lets the page's own inline style and script through by their hashes, and nothing
  // else.
  HttpResult page = HttpRequest("GET", web + "/", {ann});
  for (const std::string tag : {"style", "script"}) {
    const size_t at = page.body.find("<" + tag + ">"), close = page.body.find("</" + tag + ">");
    ASSERT_NE(at, std::string::npos) << tag;
    const size_t open = at + tag.size() + 2;
    ASSERT_LE(open, close) << tag;
    unsigned char digest[EVP_MAX_MD_SIZE], hash[EVP_MAX_MD_SIZE * 2];
    unsigned int size = 0;
    EVP_Digest(page.body.data() + open, close - open, digest, &size, EVP_sha256(), nullptr);
    const int length = EVP_EncodeBlock(hash, digest, static_cast<int>(size));
    EXPECT_NE(page.headers.find(tag + "-src 'sha256-" +
                                std::string(reinterpret_cast<char*>(hash), length) + "';"),
              std::string::npos)
        << page.headers;
  }
  // Times carry their instant for the script; without it their text says it is UTC.
  const size_t time = page.body.find("<time datetime=\"");
  ASSERT_NE(time, std::string::npos);
  const std::string cell = page.body.substr(time, page.body.find("</time>", time) - time);
  EXPECT_NE(cell.find("Z\" data-utc=\""), std::string::npos) << cell;
  EXPECT_EQ(cell.substr(cell.size() - 4), " UTC") << cell;
}

TEST_F(WebTest, FormsFromAnyOtherOriginAreRefused) {
  const std::string web = z_.web_base(), port = std::to_string(z_.web_port());
  const std::string ann = Login("ann", kAnnPassword), csrf = HiddenField(Page(ann), "csrf");
  const std::string login = "user=bob&password=" + UrlEncode(kBobPassword);
  for (const std::string& origin :
       {std::string(), std::string("Origin: null"), std::string("Origin: http://evil.example"),
        "Origin: http://rebound.example:" + port, "Origin: https://127.0.0.1:" + port}) {
    std::vector<std::string> headers = {kForm, ann};
    if (!origin.empty()) headers.push_back(origin);
    HttpResult in = HttpRequest("POST", web + "/login", headers, login);
    EXPECT_EQ(in.status, 403) << origin;
    EXPECT_EQ(in.headers.find("Set-Cookie"), std::string::npos) << origin;
    EXPECT_EQ(HttpRequest("POST", web + "/logout", headers, "csrf=" + csrf).status, 403) << origin;
  }
  EXPECT_NE(Page(ann).find("plan.txt"), std::string::npos) << "still logged in";
  EXPECT_EQ(HttpRequest("POST", web + "/login", {kForm, "Origin: http://localhost:" + port}, login)
                .status,
            303);
}

TEST_F(WebTest, NoticesComeFromAFixedSet) {
  const std::string ann = Login("ann", kAnnPassword);
  for (const auto& [query, shown] : std::vector<std::pair<std::string, const char*>>{
           {"stored", "The file was stored as a new version."},
           {UrlEncode("Session over; log in at http://evil.example"), nullptr}}) {
    const std::string body =
        HttpRequest("GET", z_.web_base() + "/", {ann + "; zelmic_notice=" + query}).body;
    EXPECT_EQ(body.find("class=\"notice\"") != std::string::npos, shown != nullptr) << query;
    EXPECT_TRUE(!shown || body.find(shown) != std::string::npos) << query;
  }
}

TEST_F(WebTest, FailedLoginsLockTheNameAndClientWithoutCheckingPasswords) {
  const std::string web = z_.web_base();
  long status = 0;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(WebLogin(web, "ann", "guess " + std::to_string(i), &status), "");
    EXPECT_EQ(status, 401) << "free failure " << i;
  }
  // Locked out: even the right password is refused at once, for this name and any other name.
  for (const auto& [user, password] : {std::pair{"ann", kAnnPassword}, {"bob", kBobPassword}}) {
    HttpResult r = HttpRequest("POST", web + "/login", {kForm, OriginHeader(web)},
                               std::string("user=") + user + "&password=" + UrlEncode(password));
    EXPECT_EQ(r.status, 429) << user;
    EXPECT_NE(r.body.find("Too many failed logins"), std::string::npos) << user;
  }
  std::string cookie;  // once the window has passed, the right password gets in
  for (int i = 0; i < 100 && cookie.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cookie = WebLogin(web, "ann", kAnnPassword, &status);
    EXPECT_TRUE(!cookie.empty() || status == 429) << status;
  }
  EXPECT_NE(Page(cookie).find("plan.txt"), std::string::npos);
}

class ScriptedWebTest : public ScriptedServiceTest {};

TEST_F(ScriptedWebTest, PasswordChecksInFlightDoNotHoldUpOtherAnswers) {
  const std::string web = z_.web_base(), bob = WebLogin(web, "bob", kBobPassword);
  const std::string uri = Str(ParseJson(Call(ann_, "GET", 1, "/docs/plan%2Etxt").body), "uri");
  constexpr int kGuesses = 8;  // more than the listener has threads, each held in its check
  for (int i = 0; i < kGuesses; ++i)
    ASSERT_TRUE(z_.Script(R"({"endpoint":"login","kind":"stall","stall_ms":20000})"));
  std::atomic<int> answered{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < kGuesses; ++i)
    guessers.emplace_back([&] { WebLogin(web, "ann", "a guess"), ++answered; });
  // A guess takes its stall once it has reached its check: with none left, all are in flight.
  bool in_flight = false;
  for (int i = 0; i < 200 && !in_flight; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    in_flight =
        HttpRequest("POST", web + "/admin/pending?endpoint=login").body == R"({"pending":false})";
  }
  EXPECT_TRUE(in_flight);
  EXPECT_NE(HttpRequest("GET", web + "/", {bob}).body.find("plan.txt"), std::string::npos);
  EXPECT_EQ(HttpRequest("GET", uri).body, kPlan);
  EXPECT_EQ(answered.load(), 0) << "the guesses were answered first";
  z_.Stop();  // a stop ends the stalls and finishes the checks in flight
  for (auto& guesser : guessers) guesser.join();
  EXPECT_EQ(answered.load(), kGuesses);
}

}  // namespace
}  // namespace zelmic_test
