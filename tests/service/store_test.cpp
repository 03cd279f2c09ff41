// The store: versions, uploads, tokens and their scope, locks, folders, publishing.
#include "service/store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include "service/store/name_upgrade.h"

namespace zelmic {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelmic-store-XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    root_ = templ;
    const Status made = Store::Create(root_ + "/d");
    ASSERT_TRUE(made.ok()) << made.message();
    const Status opened = Store::Open(root_ + "/d", store_);
    ASSERT_TRUE(opened.ok()) << opened.message();
    ASSERT_TRUE(store_);
    std::string refresh;
    const Status ann_added = store_->users().AddUser("ann", {1, 2}, refresh);
    ASSERT_TRUE(ann_added.ok()) << ann_added.message();
    const Status bob_added = store_->users().AddUser("bob", {1}, bob_refresh_);
    ASSERT_TRUE(bob_added.ok()) << bob_added.message();
    ann_ = *store_->users().FindUser("ann");
    bob_ = *store_->users().FindUser("bob");
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(root_);
  }
  // Stores content as a new version of path on mount 1; returns the version.
  int Put(int64_t user, const std::string& path, const std::string& content,
          unsigned expect_status = 0) {
    const std::string local = root_ + "/local";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << content;
    int version = 0;
    Status e = store_->files().PutLocalFile(user, 1, path, local, "test", version);
    EXPECT_EQ(e.http_status(), expect_status) << path << ": " << e.message();
    return version;
  }
  std::string Staged(const std::string& content) {
    const std::string path = store_->staging_dir() + "/staged";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }
  std::string Access(const std::string& refresh) {
    std::string access;
    EXPECT_EQ(store_->users().ExchangeRefresh(refresh, access), UserStore::Exchange::Ok);
    return access;
  }

  std::string root_;
  std::unique_ptr<Store> store_;
  std::string bob_refresh_;
  int64_t ann_ = 0, bob_ = 0;
};

TEST_F(StoreTest, OpenRefusesDirectoriesThatAreNotDataDirs) {
  std::unique_ptr<Store> none;
  const Status refused = Store::Open(root_, none);
  EXPECT_FALSE(refused.ok());
  EXPECT_FALSE(none);
  EXPECT_NE(refused.message().find("not a zelmicd data directory"), std::string::npos);
  EXPECT_FALSE(Store::Create(root_ + "/d").ok());  // not empty
}

TEST_F(StoreTest, RevertAddsAVersionAndKeepsHistory) {
  EXPECT_EQ(Put(ann_, "/docs/a.txt", "one\n"), 1);
  EXPECT_EQ(Put(bob_, "/docs/a.txt", "two\n"), 2);
  int v = 0;
  ASSERT_TRUE(store_->files().Revert(ann_, 1, "/docs/a.txt", 1, v).ok());
  EXPECT_EQ(v, 3);
  std::vector<VersionRecord> versions;
  ASSERT_TRUE(store_->files().Versions(1, "/docs/a.txt", versions).ok());
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions[0].version, 3);
  EXPECT_EQ(versions[0].filehash, versions[2].filehash);
  EXPECT_EQ(versions[0].cmd, kCmdRevert);
  EXPECT_EQ(versions[1].user, "bob");
  EXPECT_NE(versions[0].download_key, versions[2].download_key);
  EXPECT_EQ(store_->files().Revert(ann_, 1, "/docs/a.txt", 9, v).http_status(), 404u);
  auto file = store_->files().GetFile(1, "/docs/a.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->current.filesize, 4);
  EXPECT_EQ(file->vcount, 3);
}

TEST_F(StoreTest, RegisterUploadTellsWhetherContentMustTravel) {
  Put(ann_, "/a.txt", "one\n");
  auto who = *store_->users().CheckAccess(Access(bob_refresh_));
  auto file = *store_->files().GetFile(1, "/a.txt");
  int state = -1, version = 0;
  std::string pathhash;
  ASSERT_TRUE(store_->files()
                  .RegisterUpload(who, 1, "/a.txt", file.current.filehash, 4, 0, "m", state,
                                  pathhash, version)
                  .ok());
  EXPECT_EQ(state, 1);
  EXPECT_EQ(version, 1);
  ASSERT_TRUE(store_->files()
                  .RegisterUpload(who, 1, "/a.txt", std::string(40, 'b'), 10, 1, "m", state,
                                  pathhash, version)
                  .ok());
  EXPECT_EQ(state, 0);
  EXPECT_EQ(version, 2);
  EXPECT_EQ(pathhash.size(), 40u);
  // A client that edited version 7 must not overwrite version 1 unseen.
  EXPECT_EQ(store_->files()
                .RegisterUpload(who, 1, "/a.txt", std::string(40, 'b'), 10, 7, "m", state, pathhash,
                                version)
                .http_status(),
            409u);
  for (const std::string& bad : {std::string(39, 'a'), std::string(40, 'A'), std::string(40, 'g')})
    EXPECT_EQ(store_->files()
                  .RegisterUpload(who, 1, "/a.txt", bad, 1, 0, "m", state, pathhash, version)
                  .http_status(),
              400u);
}

TEST_F(StoreTest, TicketsAreBoundToTheirUserAndUsableOnce) {
  Put(ann_, "/a.txt", "one\n");
  const std::string bob_access = Access(bob_refresh_);
  auto who = *store_->users().CheckAccess(bob_access);
  int state = 0, version = 0;
  std::string pathhash;
  const std::string content = "two\n";
  const std::string hash = "7bbef45b3bc70855010e02460717643125c3beca";  // SHA-1 of "two\n"
  ASSERT_TRUE(
      store_->files()
          .RegisterUpload(who, 1, "/a.txt", hash, content.size(), 0, "m", state, pathhash, version)
          .ok());
  std::string ann_link;
  ASSERT_TRUE(store_->users().MintLinkToken(ann_, 1, "/a.txt", ann_link).ok());
  EXPECT_FALSE(store_->ticket_for(pathhash, Access(ann_link)));  // another user
  EXPECT_FALSE(store_->ticket_for(pathhash, "nonsense"));
  EXPECT_FALSE(store_->ticket_for("unknown", bob_access));
  auto ticket = store_->ticket_for(pathhash, bob_access);
  ASSERT_TRUE(ticket);
  EXPECT_EQ(ticket->path, "/a.txt");
  EXPECT_EQ(ticket->filesize, content.size());
  auto base = store_->current_content(*ticket);
  ASSERT_TRUE(base);
  EXPECT_EQ(base->size, 4u);

  // Content that does not hash to the ticket's filehash is refused and never enters the blob
  // store under that name; the previous version stays current.
  EXPECT_EQ(store_->commit(*ticket, Staged("owt\n")).http_status(), 409u);
  EXPECT_FALSE(store_->has_blob(hash));
  EXPECT_EQ(store_->files().GetFile(1, "/a.txt")->current.version, 1);
  const zelmic::Status stored = store_->commit(*ticket, Staged(content));
  ASSERT_EQ(stored.http_status(), 0u) << stored.message();
  EXPECT_EQ(store_->files().GetFile(1, "/a.txt")->current.version, 2);
  EXPECT_TRUE(store_->has_blob(hash));
  EXPECT_EQ(store_->commit(*ticket, std::string()).http_status(), 409u);  // used
  EXPECT_TRUE(store_->IntegrityOk());
}

TEST_F(StoreTest, DownloadLocationsEndAndSurviveARestart) {
  Put(ann_, "/a.txt", "one\n");
  const std::string key = store_->files().GetFile(1, "/a.txt")->current.download_key;
  const std::string live = store_->blobs().DownloadLocation(key);
  TokenPolicy policy;
  policy.download_ttl = -1;
  store_->set_policy(policy);
  EXPECT_FALSE(store_->blobs().ResolveDownload(store_->blobs().DownloadLocation(key)))
      << "already expired";
  EXPECT_FALSE(store_->blobs().ResolveDownload(key)) << "the bare key is no location";
  // The MAC's secret belongs to the data dir: locations stay valid across a restart.
  const Status reopened = Store::Open(root_ + "/d", store_);
  ASSERT_TRUE(reopened.ok()) << reopened.message();
  ASSERT_TRUE(store_);
  auto target = store_->blobs().ResolveDownload(live);
  ASSERT_TRUE(target);
  EXPECT_EQ(target->size, 4);
}

TEST_F(StoreTest, WebLoginsAreBoundedPerUserAndInAllAndEndWhenExpired) {
  LoginStore& logins = store_->logins();
  auto add = [&](const std::string& key, int64_t user, int64_t lifetime_s) {
    return logins.Add(key, StoredLogin{user, "", "csrf", 0}, lifetime_s, 3, 5);
  };
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(add("ann" + std::to_string(i), ann_, 60));
  EXPECT_FALSE(logins.Find("ann0")) << "the oldest beyond the limit per user";
  for (const char* key : {"ann1", "ann2", "ann3"}) EXPECT_TRUE(logins.Find(key)) << key;
  EXPECT_EQ(logins.Find("ann3")->user, "ann");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(add("bob" + std::to_string(i), bob_, 60));
  EXPECT_FALSE(logins.Find("ann1")) << "the oldest of all beyond the limit in all";
  EXPECT_TRUE(logins.Find("ann3"));
  ASSERT_TRUE(add("gone", bob_, 0));
  EXPECT_FALSE(logins.Find("gone")) << "expired";
  logins.Remove("bob2");
  EXPECT_FALSE(logins.Find("bob2"));
  EXPECT_TRUE(logins.Find("bob1"));
}

TEST_F(StoreTest, PasswordsAreSlowHashesAndPageLinksAreReused) {
  EXPECT_FALSE(store_->users().CheckPassword("ann", "pw")) << "no password set: no login";
  const Status set = store_->users().SetPassword(ann_, "pw");
  ASSERT_TRUE(set.ok()) << set.message();
  EXPECT_FALSE(store_->users().SetPassword(bob_, "").ok());
  EXPECT_EQ(store_->users().CheckPassword("ann", "pw"), ann_);
  EXPECT_FALSE(store_->users().CheckPassword("ann", "PW"));
  EXPECT_FALSE(store_->users().CheckPassword("bob", "pw"));
  std::string bytes;
  for (const char* file : {"/d/zelmic.db", "/d/zelmic.db-wal"}) {
    std::ifstream db(root_ + file, std::ios::binary);
    bytes.append(std::istreambuf_iterator<char>(db), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(bytes.find("scrypt$32768$8$1$"), std::string::npos);
  EXPECT_EQ(bytes.find("$pw"), std::string::npos);

  Put(ann_, "/a.txt", "one\n");
  std::string first, again, other;
  ASSERT_TRUE(store_->users().LinkTokenFor(ann_, 1, "/a.txt", first).ok());
  ASSERT_TRUE(store_->users().LinkTokenFor(ann_, 1, "/a.txt", again).ok());
  ASSERT_TRUE(store_->users().LinkTokenFor(bob_, 1, "/a.txt", other).ok());
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  // A token that has run out is not handed out again.
  TokenPolicy policy;
  policy.link_unused_ttl = -10;
  store_->set_policy(policy);
  ASSERT_TRUE(store_->users().LinkTokenFor(ann_, 2, "/a.txt", first).ok());
  ASSERT_TRUE(store_->users().LinkTokenFor(ann_, 2, "/a.txt", again).ok());
  EXPECT_NE(first, again);
}

TEST_F(StoreTest, LinkTokensAreScopedAndExpireUnused) {
  Put(ann_, "/a.txt", "one\n");
  std::string link;
  ASSERT_TRUE(store_->users().MintLinkToken(ann_, 1, "/a.txt", link).ok());
  auto who = store_->users().CheckAccess(Access(link));
  ASSERT_TRUE(who);
  EXPECT_TRUE(who->scoped);
  EXPECT_TRUE(who->Allows(1, "/a.txt"));
  EXPECT_FALSE(who->Allows(1, "/b.txt"));
  EXPECT_FALSE(who->Allows(2, "/a.txt"));
  // Once used, the link keeps working for the edit session.
  Access(link);

  TokenPolicy policy;
  policy.link_unused_ttl = -1;
  store_->set_policy(policy);
  std::string stale, access;
  ASSERT_TRUE(store_->users().MintLinkToken(ann_, 1, "/a.txt", stale).ok());
  EXPECT_EQ(store_->users().ExchangeRefresh(stale, access), UserStore::Exchange::Expired);
  EXPECT_EQ(store_->users().ExchangeRefresh(link, access), UserStore::Exchange::Ok);
  EXPECT_EQ(store_->users().ExchangeRefresh("0000", access), UserStore::Exchange::Unknown);
  // General tokens are not scoped.
  EXPECT_FALSE(store_->users().CheckAccess(Access(bob_refresh_))->scoped);
  // No link for a mount the user lacks.
  EXPECT_EQ(store_->users().MintLinkToken(bob_, 2, "/a.txt", link).http_status(), 403u);

  policy.access_ttl = -1;
  store_->set_policy(policy);
  std::string dead;
  ASSERT_EQ(store_->users().ExchangeRefresh(bob_refresh_, dead), UserStore::Exchange::Ok);
  EXPECT_FALSE(store_->users().CheckAccess(dead));
}

TEST_F(StoreTest, LocksKeepOtherMembersOut) {
  Put(ann_, "/a.txt", "one\n");
  ASSERT_TRUE(store_->files().Lock(ann_, 1, "/a.txt", true).ok());
  Put(bob_, "/a.txt", "two\n", 423);
  int v = 0;
  EXPECT_EQ(store_->files().Delete(bob_, 1, "/a.txt", v).http_status(), 423u);
  EXPECT_EQ(store_->files().Rename(bob_, 1, "/a.txt", "/b.txt", v).http_status(), 423u);
  EXPECT_EQ(store_->files().Lock(bob_, 1, "/a.txt", false).http_status(), 423u);
  EXPECT_EQ(Put(ann_, "/a.txt", "two\n"), 2);
  ASSERT_TRUE(store_->files().Lock(ann_, 1, "/a.txt", false).ok());
  EXPECT_EQ(Put(bob_, "/a.txt", "three\n"), 3);
}

TEST_F(StoreTest, FoldersAndFilesDoNotOverlap) {
  Put(ann_, "/x/y.txt", "one\n");
  Put(ann_, "/x", "two\n", 409);          // a folder has this name
  Put(ann_, "/x/y.txt/z", "two\n", 409);  // beneath a file
  Put(ann_, "/", "two\n", 400);
  int v = 0;
  Put(ann_, "/other/y.txt", "two\n");
  EXPECT_EQ(store_->files().Rename(ann_, 1, "/x/y.txt", "/other/y.txt", v).http_status(), 409u);
  EXPECT_EQ(store_->files().Rename(ann_, 1, "/x", "/x/inner", v).http_status(), 400u);
  ASSERT_TRUE(store_->files().Rename(ann_, 1, "/x", "/moved", v).ok());
  EXPECT_TRUE(store_->files().GetFile(1, "/moved/y.txt"));
  EXPECT_FALSE(store_->files().GetFile(1, "/x/y.txt"));
  ASSERT_TRUE(store_->files().Delete(ann_, 1, "/moved", v).ok());
  EXPECT_FALSE(store_->files().FolderExists(1, "/moved"));
  EXPECT_EQ(store_->files().Delete(ann_, 1, "/moved", v).http_status(), 404u);
  // A file stored where a deleted one was starts afresh.
  EXPECT_EQ(Put(ann_, "/moved/y.txt", "again\n"), 1);
}

TEST_F(StoreTest, AFileStoredWhereADeletedOneWasIsANewFile) {
  Put(ann_, "/r.txt", "one\n");
  const FileRecord old = *store_->files().GetFile(1, "/r.txt");
  const std::string location = store_->blobs().DownloadLocation(old.current.download_key);
  int v = 0, state = 0;
  ASSERT_TRUE(store_->files().Delete(ann_, 1, "/r.txt", v).ok());
  std::string pathhash;
  auto who = *store_->users().CheckAccess(Access(bob_refresh_));
  store_->files().RegisterUpload(who, 1, "/r.txt", std::string(40, 'b'), 3, 0, "m", state, pathhash,
                                 v);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(Put(bob_, "/r.txt", "new\n"), 1);
  EXPECT_NE(store_->files().GetFile(1, "/r.txt")->uid, old.uid);
  std::vector<VersionRecord> versions;
  store_->files().Versions(1, "/r.txt", versions);
  EXPECT_EQ(versions.size(), 1u);
  EXPECT_FALSE(store_->blobs().ResolveDownload(location));
}

TEST_F(StoreTest, ListsChildrenWithPagingAndOrder) {
  Put(ann_, "/d/b.txt", "22\n");
  Put(ann_, "/d/a.txt", "333\n");
  Put(ann_, "/d/sub/c.txt", "1\n");
  Put(ann_, "/dx.txt", "1\n");  // a sibling sharing the prefix must not show up
  int total = 0;
  std::vector<ListEntry> entries;
  ASSERT_TRUE(store_->files().List(1, "/d", false, "name", 0, 100, total, entries).ok());
  ASSERT_EQ(total, 3);
  EXPECT_TRUE(entries[0].dir);
  EXPECT_EQ(entries[0].path, "/d/sub");
  EXPECT_EQ(entries[1].path, "/d/a.txt");
  entries.clear();
  ASSERT_TRUE(store_->files().List(1, "/d", false, "size desc", 1, 1, total, entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "/d/a.txt");
  entries.clear();
  ASSERT_TRUE(store_->files().List(1, "/d", true, "name", 0, 100, total, entries).ok());
  EXPECT_EQ(total, 1);
  EXPECT_EQ(store_->files().List(1, "/nope", false, "name", 0, 100, total, entries).http_status(),
            404u);
  EXPECT_EQ(store_->files().List(1, "/d", false, "colour", 0, 100, total, entries).http_status(),
            400u);
  // Folders sort by name although "/d/sub-x/..." precedes "/d/sub/..." among paths; a page may
  // start among the folders and end among the files; folders go by path whatever the order.
  Put(ann_, "/d/sub-x/e.txt", "1\n");
  Put(ann_, "/d/\xC3\xA9/f.txt", "1\n");
  struct Page {
    const char* order;
    int start, size;
    std::vector<std::string> paths;
  };
  for (const Page& p :
       std::vector<Page>{{"name", 1, 3, {"/d/sub-x", "/d/\xC3\xA9", "/d/a.txt"}},
                         {"name desc", 0, 4, {"/d/\xC3\xA9", "/d/sub-x", "/d/sub", "/d/b.txt"}},
                         {"size", 3, 9, {"/d/b.txt", "/d/a.txt"}}}) {
    entries.clear();
    ASSERT_TRUE(
        store_->files().List(1, "/d", false, p.order, p.start, p.size, total, entries).ok());
    EXPECT_EQ(total, 5) << p.order;
    std::vector<std::string> paths;
    for (const auto& e : entries) paths.push_back(e.path);
    EXPECT_EQ(paths, p.paths) << p.order;
  }
  entries.clear();
  ASSERT_TRUE(store_->files().List(1, "/d/\xC3\xA9", false, "name", 0, 9, total, entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "/d/\xC3\xA9/f.txt");
}

TEST_F(StoreTest, PublishedLinksHonourTheirLimits) {
  Put(ann_, "/a.txt", "one\n");
  PublishInfo info;
  EXPECT_EQ(store_->collab().Publish(1, "/a.txt", true, -1, 0, info).http_status(), 400u);
  EXPECT_EQ(store_->collab()
                .Publish(1, "/a.txt", true, 0, CollabStore::kMaxDownloadLimit + 1, info)
                .http_status(),
            400u);
  ASSERT_TRUE(store_->collab().Publish(1, "/a.txt", true, 7, 2, info).ok());
  EXPECT_EQ(info.day_limit, 7);
  EXPECT_EQ(info.download_limit, 2);
  PublishInfo again;
  ASSERT_TRUE(store_->collab().Publish(1, "/a.txt", false, 0, 0, again).ok());
  EXPECT_EQ(again.key, info.key);
  EXPECT_EQ(again.download_limit, 2);
  EXPECT_TRUE(store_->collab().ResolvePublished(info.key));
  EXPECT_TRUE(store_->collab().ResolvePublished(info.key));
  EXPECT_FALSE(store_->collab().ResolvePublished(info.key));
  EXPECT_FALSE(store_->collab().ResolvePublished("unknown"));
}

TEST_F(StoreTest, MessagesKeepTheNewestInOrder) {
  Put(ann_, "/a.txt", "one\n");
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(store_->collab()
                    .AddMessage(i % 2 ? bob_ : ann_, 1, "/a.txt", "m" + std::to_string(i), {})
                    .ok());
  std::vector<Message> out;
  ASSERT_TRUE(store_->collab().Messages(1, "/a.txt", 3, out).ok());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].text, "m1");
  EXPECT_EQ(out[0].member, "bob");
  EXPECT_EQ(out[2].text, "m3");
  EXPECT_EQ(store_->collab().AddMessage(ann_, 1, "/none", "x", {}).http_status(), 404u);
}

// Readers have connections of their own: none waits for a writer holding the lock, and none sees
// what that writer has not committed.
TEST_F(StoreTest, ReadersNeitherWaitForAWriterNorSeeItsUncommittedRows) {
  const std::string dir = root_ + "/r";
  ASSERT_TRUE(Database::Create(dir).ok());
  std::unique_ptr<Database> db;
  ASSERT_TRUE(Database::Open(dir, db).ok());
  TokenPolicy policy;
  UserStore users(*db, policy);
  BlobStore blobs(*db, policy);
  FileStore files(*db, blobs);
  std::string refresh, access;
  ASSERT_TRUE(users.AddUser("ann", {1}, refresh).ok());
  ASSERT_EQ(users.ExchangeRefresh(refresh, access), UserStore::Exchange::Ok);
  const int64_t ann = *users.FindUser("ann");
  std::ofstream(root_ + "/local") << "x";
  int version = 0;
  ASSERT_TRUE(files.PutLocalFile(ann, 1, "/a/b.txt", root_ + "/local", "test", version).ok());
  // Each reader counts what it finds; the writer's "/a/c.txt" must not count.
  const std::vector<std::pair<const char*, std::function<int()>>> readers = {
      {"list",
       [&] {
         int total = 0;
         std::vector<ListEntry> entries;
         return files.List(1, "/a", false, "name", 0, 10, total, entries).ok() ? total : -1;
       }},
      {"changes", [&] { return static_cast<int>(files.ChangedSince(1, "/", 0).size()); }},
      {"file", [&] { return files.GetFile(1, "/a/b.txt") && !files.GetFile(1, "/a/c.txt"); }},
      {"page",
       [&] {
         int total = 0;
         files.FilesPage(1, 0, 10, total);
         return total;
       }},
      {"access", [&] { return users.CheckAccess(access) ? 1 : 0; }},
      {"grant", [&] { return users.HasGrant(ann, 1) ? 1 : 0; }}};
  auto lock = db->Lock();
  Transaction tx(*db);
  ASSERT_TRUE(tx.ok());
  ASSERT_TRUE(
      db->Exec("INSERT INTO files(uid, mount, path, version, cmd, dateline) "
               "VALUES('u', 1, '/a/c.txt', 1, 1, 9)"));
  for (const auto& [name, read] : readers) {
    std::future<int> seen = std::async(std::launch::async, read);
    if (seen.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      lock.unlock();  // let the stuck reader end before failing
      seen.wait();
      FAIL() << name << " waited for the writer's lock";
    }
    EXPECT_EQ(seen.get(), 1) << name;
  }
}

// Names an older version stored in another Unicode form: opening the store composes them once, so
// the composed names clients now send find them, each with its content and history.
TEST_F(StoreTest, OpeningComposesNamesStoredInAnotherForm) {
  const std::string e = "\xC3\xA9", decomposed_e = "e\xCC\x81";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> stored, found;  // path, content
  };
  const std::vector<Case> cases = {
      {"decomposed",
       {{"/Caf" + decomposed_e + "/r" + decomposed_e + "sum.txt", "one"}},
       {{"/Caf" + e + "/r" + e + "sum.txt", "one"}}},
      {"twins",
       {{"/tw" + e + ".txt", "kept"}, {"/tw" + decomposed_e + ".txt", "moved"}},
       {{"/tw" + e + ".txt", "kept"}, {"/tw" + e + " (2).txt", "moved"}}},
      {"direction controls, which lookups refuse",
       {{"/\xE2\x80\xAEgpj.exe", "rlo"}, {"/\xE2\x81\xA6/x.txt", "isolate"}},
       {{"/gpj.exe", "rlo"}, {"/_/x.txt", "isolate"}}}};
  std::string sql = "DELETE FROM meta WHERE key = '" + std::string(kNamesComposedKey) + "';";
  for (const auto& c : cases)
    for (const auto& [path, content] : c.stored) {
      const std::string placeholder = "/p" + std::to_string(sql.size());
      Put(ann_, placeholder, "first");
      Put(ann_, placeholder, content);
      sql += "UPDATE files SET path = '" + path + "' WHERE path = '" + placeholder + "';";
    }
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root_ + "/d/zelmic.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_TRUE(Store::Open(root_ + "/d", store_).ok());
  for (const auto& c : cases)
    for (const auto& [path, content] : c.found) {
      auto f = store_->files().GetFile(1, path);
      ASSERT_TRUE(f) << c.what << ": " << path;
      EXPECT_EQ(f->vcount, 2) << c.what;
      std::ifstream blob(store_->blobs().BlobPath(f->current.filehash), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(blob), {}), content) << c.what;
    }
}

}  // namespace
}  // namespace zelmic
