// The web site: the user page with its edit links, downloads and uploads from its form.
#include <curl/curl.h>
#include <openssl/evp.h>


#include "tests/service/service_fixture.h"

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
  std::string Page(const std::string& user) {
    HttpResult r = HttpRequest("GET", z_.web_base() + "/?user=" + user);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("text/html"), std::string::npos);
    return r.body;
  }
  long FormUpload(const std::string& user, const std::string& mount, const std::string& folder,
                  const std::string& filename, const std::string& content, std::string* page,
                  std::string* location = nullptr) {
    CURL* curl = curl_easy_init();
    curl_mime* mime = curl_mime_init(curl);
    auto field = [&](const char* name, const std::string& value) {
      curl_mimepart* part = curl_mime_addpart(mime);
      curl_mime_name(part, name);
      curl_mime_data(part, value.data(), value.size());
      return part;
    };
    field("user", user);
    field("mount", mount);
    field("folder", folder);
    curl_mime_filename(field("file", content), filename.c_str());
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, (z_.web_base() + "/upload").c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* t) {
      static_cast<std::string*>(t)->append(d, s * n);
      return s * n;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    char* redirect = nullptr;
    if (location && curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect) {
      const std::string full = redirect;
      *location = full.substr(full.find('/', std::string("http://").size()));
    }
    curl_mime_free(mime);
    curl_easy_cleanup(curl);
    if (page) *page = body;
    return status;
  }
};

TEST_F(WebTest, PageListsFilesWithWorkingEditLinks) {
  const std::string local = z_.tmp_dir() + "/odd.txt";
  ASSERT_TRUE(WriteFile(local, "odd"));
  z_.Put(2, local, "/<b>odd</b> & \"name\".txt");
  const std::string html = Page("ann");
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

  // bob sees mount 1 only.
  const std::string bobs = Page("bob");
  EXPECT_EQ(bobs.find("Mount 2"), std::string::npos);
  EXPECT_EQ(EditLinks(bobs).size(), 1u);
}

TEST_F(WebTest, UnknownUsersAndPathsAreAnsweredPlainly) {
  EXPECT_NE(Page("nobody").find("There is no user named"), std::string::npos);
  EXPECT_NE(HttpRequest("GET", z_.web_base() + "/").body.find("name=\"user\""), std::string::npos);
  EXPECT_EQ(HttpRequest("GET", z_.web_base() + "/nothing-here").status, 404);
  EXPECT_EQ(HttpRequest("GET", z_.web_base() + "/admin/clear").status, 405);
}

TEST_F(WebTest, FormUploadStoresANewVersion) {
  std::string page, location;
  EXPECT_EQ(FormUpload("ann", "1", "/docs", "plan.txt", "from the web\n", &page, &location), 303);
  ASSERT_EQ(location.rfind("/?user=ann&notice=", 0), 0u) << location;
  EXPECT_NE(HttpRequest("GET", z_.web_base() + location).body.find("Stored /docs/plan.txt as version 2."),
            std::string::npos);
  HttpResult get = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
  Json j = ParseJson(get.body);
  EXPECT_EQ(Num(j, "version"), 2);
  EXPECT_EQ(HttpRequest("GET", Str(j, "uri")).body, "from the web\n");

  EXPECT_EQ(FormUpload("ann", "1", "/fresh", "new.bin", std::string(100000, '\x01'), nullptr), 303);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, "/fresh/new%2Ebin").body), "filesize"), 100000);

  EXPECT_EQ(FormUpload("bob", "2", "/", "x.txt", "x", &page), 403);  // not bob's mount
  EXPECT_EQ(FormUpload("ann", "1", "/../..", "x.txt", "x", &page), 400);
  EXPECT_EQ(FormUpload("ann", "1", "/", "..", "x", &page), 400);
  EXPECT_EQ(FormUpload("ghost", "1", "/", "x.txt", "x", &page), 400);
  EXPECT_EQ(Call(ann_, "GET", 1, "/x%2Etxt").status, 404);
}

}  // namespace
}  // namespace zelmic_test
