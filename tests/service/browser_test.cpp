// A real browser meets zelmicd's web page: headless Chromium loads the page a signed-in user sees,
// every "edit" link in the page it rendered leads to a launch URL of the right mount, path and a
// refresh token that the token endpoint accepts and that reaches the file, the page's times are
// shown by its script in the browser's zone, and a screenshot of the page is kept in the build
// folder (screenshots/web_page.png) for a person to look at.
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <set>
#include <utility>

#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
const std::string kReport =
    "/\xE6\x8A\xA5\xE5\x91\x8A/\xE5\xAD\xA3\xE5\xBA\xA6 summary.txt";  // /报告/季度 summary.txt

class BrowserTest : public ServiceTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kChromium, X_OK), 0)
        << "Chromium is missing: scripts/bootstrap installs package chromium";
    Prepare({"--faults"});  // the sign-in form is served through the fault hooks
    const std::string local = z_.tmp_dir() + "/report.txt";
    ASSERT_TRUE(WriteFile(local, "quarterly figures\n"));
    z_.Put(2, local, kReport);
    for (const char* dir : {"/home", "/profile"})
      std::filesystem::create_directories(z_.tmp_dir() + dir);
  }

  // The address of the page that `user` sees once signed in. The browser signs in first, through
  // a login form that posts itself; the session cookie it keeps in the profile that every run
  // shares is what the page then recognises. The listener takes forms from its own origin only,
  // so the form is served from there: the fault hooks answer one download with it.
  std::string SignedInPage(const std::string& user, const std::string& password) {
    const std::string form =
        "<!DOCTYPE html><html><body><form method=\"post\" action=\"/login\">"
        "<input name=\"user\" value=\"" +
        user + "\"><input name=\"password\" value=\"" + password +
        "\"></form><script>document.forms[0].submit()</script></body></html>";
    Json script(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddStringToObject(script.get(), "endpoint", "download");
    cJSON_AddNumberToObject(script.get(), "status", 200);
    cJSON_AddStringToObject(script.get(), "body", form.c_str());
    char* text = cJSON_PrintUnformatted(script.get());
    EXPECT_TRUE(z_.Script(text));
    cJSON_free(text);
    RunResult login =
        Chromium({"--dump-dom", "--virtual-time-budget=5000"}, z_.web_base() + "/download/sign-in");
    EXPECT_EQ(login.exit_code, 0) << login.err;
    return z_.web_base() + "/";
  }

  // One headless run on a private profile and private XDG folders. Background services, updates
  // and proxies are off, so that the browser talks to nothing but the page's loopback address.
  RunResult Chromium(const std::vector<std::string>& args, const std::string& url) {
    const std::string home = z_.tmp_dir() + "/home";
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "HOME=" + home,
                                     "XDG_CONFIG_HOME=" + home + "/.config",
                                     "XDG_CACHE_HOME=" + home + "/.cache",
                                     kChromium,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--no-default-browser-check",
                                     "--no-proxy-server",
                                     "--disable-extensions",
                                     "--user-data-dir=" + z_.tmp_dir() + "/profile"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(url);
    return RunProgram(argv, 90);
  }
};

std::string Base64Decode(const std::string& text) {
  std::string out(text.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  // EVP_DecodeBlock counts the padding as bytes of the result.
  const size_t padding = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
  out.resize(static_cast<size_t>(n) - std::min(padding, static_cast<size_t>(n)));
  return out;
}

std::string EncodedPath(const std::string& path) {
  std::string out;
  size_t from = 1;
  while (from <= path.size()) {
    const size_t slash = std::min(path.find('/', from), path.size());
    out += "/" + UrlEncode(path.substr(from, slash - from));
    from = slash + 1;
  }
  return out;
}

TEST_F(BrowserTest, EditLinksNameTheFileAndAWorkingToken) {
  RunResult page = Chromium({"--dump-dom"}, SignedInPage("ann", kAnnPassword));
  ASSERT_EQ(page.exit_code, 0) << page.err;
  // A link asks the server for the launch URL when followed: it answers with a redirect to it.
  const std::regex link(R"re(<a class="edit" href="(/edit\?[^"]+)">edit</a>)re");
  const std::regex launch(R"re(\nLocation: plumet://([A-Za-z0-9+/=]+)/\r)re");
  const std::string cookie = WebLogin(z_.web_base(), "ann", kAnnPassword);
  std::set<std::pair<int, std::string>> seen;
  for (auto it = std::sregex_iterator(page.out.begin(), page.out.end(), link);
       it != std::sregex_iterator(); ++it) {
    const std::string href = std::regex_replace((*it)[1].str(), std::regex("&amp;"), "&");
    const HttpResult followed = HttpRequest("GET", z_.web_base() + href, {cookie});
    std::smatch target;
    ASSERT_TRUE(std::regex_search(followed.headers, target, launch)) << href << followed.headers;
    const std::string payload = Base64Decode(target[1].str());
    const size_t first = payload.find('|');
    const size_t last = payload.rfind('|');
    ASSERT_TRUE(first != std::string::npos && last > first) << payload;
    const int mount = std::stoi(payload.substr(0, first));
    const std::string path = payload.substr(first + 1, last - first - 1);
    const std::string access = z_.AccessToken(payload.substr(last + 1));
    EXPECT_FALSE(access.empty()) << path << ": the token endpoint refused the link's token";
    HttpResult file = SignedRequest(z_.api_host(), access, "GET", mount, EncodedPath(path));
    EXPECT_EQ(file.status, 200) << path << ": " << file.body;
    seen.emplace(mount, path);
  }
  EXPECT_EQ(seen, (std::set<std::pair<int, std::string>>{{1, "/docs/plan.txt"}, {2, kReport}}))
      << page.out;
}

TEST_F(BrowserTest, TimesAreShownInTheBrowsersZone) {
  RunResult page = Chromium({"--dump-dom"}, SignedInPage("ann", kAnnPassword));
  ASSERT_EQ(page.exit_code, 0) << page.err;
  // The page's script ran (its hash let it through the policy) and rewrote each UTC time.
  const std::regex time(R"re(<time datetime="[^"]+Z" data-utc="\d+"[^>]*>([^<]+)</time>)re");
  int times = 0;
  for (auto it = std::sregex_iterator(page.out.begin(), page.out.end(), time);
       it != std::sregex_iterator(); ++it, ++times)
    EXPECT_EQ((*it)[1].str().find("UTC"), std::string::npos) << (*it)[0].str();
  EXPECT_EQ(times, 2) << page.out;
}

TEST_F(BrowserTest, ScreenshotOfThePage) {
  const std::string shot = z_.tmp_dir() + "/web_page.png";
  RunResult r = Chromium({"--window-size=1100,520", "--hide-scrollbars", "--screenshot=" + shot},
                         SignedInPage("ann", kAnnPassword));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string png = ReadFile(shot);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  auto be32 = [&](size_t at) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(png[at])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(png[at + 3]));
  };
  EXPECT_EQ(be32(16), 1100u);  // IHDR width and height
  EXPECT_EQ(be32(20), 520u);
  // A rendered page with text and colour, not a blank one.
  EXPECT_GT(png.size(), 10000u);
  std::filesystem::create_directories(SCREENSHOT_DIR);
  std::filesystem::copy_file(shot, std::string(SCREENSHOT_DIR) + "/web_page.png",
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
}  // namespace zelmic_test
