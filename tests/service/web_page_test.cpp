// The user page over a mount with more files than one page shows: a page of rows at a time with
// links to the next and previous ones, and edit links that mint nothing until followed.
#include "service/web/web_page.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace zelmic {
namespace {

size_t Count(const std::string& html, const std::string& what) {
  size_t n = 0;
  for (size_t at = html.find(what); at != std::string::npos; at = html.find(what, at + 1)) ++n;
  return n;
}

TEST(WebPageTest, ShowsAPageOfFilesAtATimeAndMintsNoTokens) {
  const char* tmp = getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelmic-page-XXXXXX";
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  std::unique_ptr<Store> store;
  ASSERT_TRUE(Store::Create(root + "/d").ok());
  ASSERT_TRUE(Store::Open(root + "/d", store).ok());
  std::string refresh;
  ASSERT_TRUE(store->users().AddUser("ann", {1}, refresh).ok());
  const WebLogin login{*store->users().FindUser("ann"), "ann", "csrf", 0};
  std::ofstream(root + "/local") << "x";
  for (int i = 0; i < 230; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/f%03d.txt", i);
    int version = 0;
    ASSERT_TRUE(
        store->files().PutLocalFile(login.user_id, 1, name, root + "/local", "t", version).ok());
  }
  struct Case {
    int page;
    size_t rows;
    const char* first;
    bool previous, next;
  };
  for (const Case& c : std::vector<Case>{{0, 100, "/f000.txt", false, true},
                                         {1, 100, "/f100.txt", true, true},
                                         {2, 30, "/f200.txt", true, false},
                                         {9, 30, "/f200.txt", true, false}}) {
    const std::string html = RenderUserPage(*store, login, "", 1, c.page);
    EXPECT_EQ(Count(html, "class=\"edit\" href=\"/edit?mount=1&amp;path="), c.rows) << c.page;
    EXPECT_EQ(Count(html, "plumet://"), 0u) << c.page;
    EXPECT_NE(html.find("<td class=\"path\">" + std::string(c.first)), std::string::npos) << c.page;
    EXPECT_EQ(html.find("class=\"prev\"") != std::string::npos, c.previous) << c.page;
    EXPECT_EQ(html.find("class=\"next\"") != std::string::npos, c.next) << c.page;
  }
  store.reset();
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace zelmic
