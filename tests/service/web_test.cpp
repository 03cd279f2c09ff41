// The web site: the login, the user page with its edit links, downloads and uploads from its
// form, and the bounds of what a form may send.
#include <curl/curl.h>
#include <openssl/evp.h>

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

// The decoded payloads (mount|path|token) of every edit link of a page.
std::vector<std::string> EditLinks(const std::string& html) {
  std::vector<std::string> out;
  const std::string open = "href=\"plumet://";
  for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at + 1)) {
    const size_t start = at + open.size();
    const size_t end = html.find("/\"", start);
    if (end == std::string::npos) break;
    out.push_back(DecodeBase64(html.substr(start, end - start)));
  }
  return out;
}

class WebTest : public ServiceTest {
 protected:
  std::string Login(const std::string& user, const std::string& password) {
    std::string cookie = WebLogin(z_.web_base(), user, password);
    EXPECT_FALSE(cookie.empty()) << user;
    return cookie;
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
                  std::string* location = nullptr) {
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
    return status;
  }
  long Upload(const std::string& cookie, const std::string& mount, const std::string& folder,
              const std::string& filename, const std::string& content, std::string* page = nullptr,
              std::string* location = nullptr) {
    const std::string csrf = HiddenField(Page(cookie), "csrf");
    return FormUpload(cookie, {{"csrf", csrf}, {"mount", mount}, {"folder", folder}}, filename,
                      content, page, location);
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

  std::vector<std::string> links = EditLinks(html);
  ASSERT_EQ(links.size(), 2u) << html;
  EXPECT_EQ(links[0].rfind("1|/docs/plan.txt|", 0), 0u) << links[0];
  EXPECT_EQ(links[1].rfind("2|/<b>odd</b> & \"name\".txt|", 0), 0u) << links[1];
  // Showing the page again hands out the same links instead of minting new tokens.
  EXPECT_EQ(EditLinks(Page(ann)), links);
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
    EXPECT_EQ(EditLinks(bobs).size(), 1u) << query;
  }
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
  HttpResult login = HttpRequest("POST", z_.web_base() + "/login",
                                 {"Content-Type: application/x-www-form-urlencoded"},
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
  EXPECT_EQ(HttpRequest("POST", z_.web_base() + "/logout",
                        {ann, "Content-Type: application/x-www-form-urlencoded"}, "csrf=forged")
                .status,
            403);
  const std::string csrf = HiddenField(Page(ann), "csrf");
  EXPECT_EQ(HttpRequest("POST", z_.web_base() + "/logout",
                        {ann, "Content-Type: application/x-www-form-urlencoded"}, "csrf=" + csrf)
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

TEST_F(WebTest, FormUploadStoresANewVersion) {
  const std::string ann = Login("ann", kAnnPassword);
  std::string page, location;
  EXPECT_EQ(Upload(ann, "1", "/docs", "plan.txt", "from the web\n", &page, &location), 303);
  ASSERT_EQ(location.rfind("/?notice=", 0), 0u) << location;
  EXPECT_NE(HttpRequest("GET", z_.web_base() + location, {ann})
                .body.find("Stored /docs/plan.txt as version 2."),
            std::string::npos);
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
    HttpResult r = HttpRequest("POST", z_.web_base() + c.path, {ann, form}, c.body);
    EXPECT_EQ(r.status, c.status) << c.what;
  }
  // A body far over the limit is refused from its declared length, before it is read; one
  // without a declared length is cut off at the limit. Neither leaves memory behind.
  const long before = RssKb(z_.pid());
  const std::string huge(16 << 20, 'a');
  // The server answers 413 and closes; a slow client may still be sending and see only the close.
  const long refused = HttpRequest("POST", z_.web_base() + "/login", {form}, "user=" + huge).status;
  EXPECT_TRUE(refused == 413 || refused == 0) << refused;
  std::string chunked =
      "POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
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

}  // namespace
}  // namespace zelmic_test
