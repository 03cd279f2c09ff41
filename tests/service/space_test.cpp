// Space: quotas, what a refused commit leaves, purging old rows and the blobs only they held.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/text_forms.h"
#include "service/store/space_reserve.h"
#include "service/store/store.h"

namespace zelmic {
namespace {

std::string Sha1(const std::string& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), md, &n, EVP_sha1(), nullptr);
  return plumet_text::HexLower(md, n);
}

class SpaceTest : public ::testing::Test {
 protected:
  void SetUp() override { Make("/tmp"); }
  void Make(const std::string& parent) {
    std::string templ = parent + "/zelmic-space-XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    root_ = templ;
    ASSERT_TRUE(Store::Create(root_ + "/d").ok());
    ASSERT_TRUE(Store::Open(root_ + "/d", store_).ok());
    std::string refresh;
    ASSERT_TRUE(store_->users().AddUser("ann", {1}, refresh).ok());
    ASSERT_TRUE(store_->users().AddUser("bob", {1}, refresh).ok());
    ann_ = *store_->users().FindUser("ann");
    bob_ = *store_->users().FindUser("bob");
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(root_);
  }
  unsigned Put(const std::string& path, const std::string& content, int64_t user = 0) {
    const std::string local = root_ + "/local";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << content;
    int v = 0;
    return store_->files().PutLocalFile(user ? user : ann_, 1, path, local, "m", v).http_status();
  }
  unsigned Delete(const std::string& path) {
    int v = 0;
    return store_->files().Delete(ann_, 1, path, v).http_status();
  }
  bool Held(const std::string& content) { return store_->blobs().HasBlob(Sha1(content)); }
  int Purge(int64_t cutoff, int rows = 100) {
    int purged = -1;
    EXPECT_TRUE(store_->space().PurgeRound(cutoff, rows, purged).ok());
    return purged;
  }

  std::string root_;
  std::unique_ptr<Store> store_;
  int64_t ann_ = 0, bob_ = 0;
};

TEST_F(SpaceTest, AQuotaCountsEveryKeptVersionUntilPurged) {
  ASSERT_TRUE(store_->users().SetQuota(ann_, 10).ok());
  EXPECT_EQ(Put("/a", "123456"), 0u);
  EXPECT_EQ(Put("/a", "1234"), 0u);  // exactly at the quota
  EXPECT_EQ(Put("/b", "1"), 507u);
  AccessInfo who;
  who.user_id = ann_;
  int state = 0, version = 0;
  std::string pathhash;
  EXPECT_EQ(store_->files()
                .RegisterUpload(who, 1, "/b", Sha1("1"), 1, 0, "m", state, pathhash, version)
                .http_status(),
            507u);
  EXPECT_EQ(Put("/big", std::string(100, 'x'), bob_), 0u);  // no quota: no limit
  ASSERT_EQ(Delete("/a"), 0u);
  EXPECT_EQ(Put("/b", "1"), 507u);  // a deleted file holds its space until purged
  EXPECT_EQ(Purge(time(nullptr) + 100), 1);
  EXPECT_EQ(Put("/b", "1"), 0u);
}

TEST_F(SpaceTest, ARefusedCommitLeavesNoContentBehind) {
  ASSERT_EQ(Put("/shared", "kept"), 0u);
  int v = 0;
  ASSERT_EQ(Put("/locked", "x", bob_), 0u);
  ASSERT_TRUE(store_->files().Lock(bob_, 1, "/locked", true).ok());
  ASSERT_TRUE(store_->users().SetQuota(ann_, 20).ok());
  struct Case {
    const char* path;
    std::string content;
    int expect_version;
    unsigned status;
    bool stays;  // another version refers to the content
  } cases[] = {{"/over", std::string(30, 'q'), 0, 507, false},
               {"/a", "changed", 5, 409, false},
               {"/locked", "not yours", 0, 423, false},
               {"/a", "kept", 5, 409, true}};
  for (const Case& c : cases) {
    const std::string staged = store_->staging_dir() + "/s";
    std::ofstream(staged, std::ios::binary) << c.content;
    EXPECT_EQ(store_->files()
                  .CommitContent(ann_, 1, c.path, staged, Sha1(c.content), c.content.size(), "m", v,
                                 c.expect_version)
                  .http_status(),
              c.status)
        << c.path;
    EXPECT_EQ(Held(c.content), c.stays) << c.path;
  }
}

TEST_F(SpaceTest, PurgeTakesExpiredRowsAndTheContentOnlyTheyHeld) {
  for (const auto& [path, content] :
       std::vector<std::pair<std::string, std::string>>{{"/gone", "A"},
                                                        {"/edited", "B"},
                                                        {"/edited", "C"},
                                                        {"/dup", "D"},
                                                        {"/live", "D"},
                                                        {"/pinned", "E"}})
    ASSERT_EQ(Put(path, content), 0u);
  for (const char* path : {"/gone", "/dup", "/pinned"}) ASSERT_EQ(Delete(path), 0u);
  EXPECT_EQ(Purge(time(nullptr) - 100), 0);     // nothing is old enough yet
  BlobPin pin(store_->blobs(), Sha1("E"));      // a commit in flight is about to refer to it
  EXPECT_EQ(Purge(time(nullptr) + 100, 2), 2);  // bounded rounds
  EXPECT_EQ(Purge(time(nullptr) + 100, 2), 2);
  EXPECT_EQ(Purge(time(nullptr) + 100, 2), 0);
  for (const auto& [content, held] : std::vector<std::pair<std::string, bool>>{
           {"A", false}, {"B", false}, {"C", true}, {"D", true}, {"E", true}})
    EXPECT_EQ(Held(content), held) << content;
  std::vector<VersionRecord> versions;
  ASSERT_TRUE(store_->files().Versions(1, "/edited", versions).ok());
  EXPECT_EQ(versions.size(), 1u);
}

TEST_F(SpaceTest, TheStartSweepTakesOnlyOldUnreferencedBlobs) {
  ASSERT_EQ(Put("/a", "referenced"), 0u);
  const int64_t start = time(nullptr);
  const timeval old[2] = {{start - 100, 0}, {start - 100, 0}};
  for (const std::string content : {"referenced", "orphan", "new orphan"}) {
    const std::string path = store_->blobs().BlobPath(Sha1(content));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (content != "referenced") std::ofstream(path) << content;
    if (content != "new orphan") utimes(path.c_str(), old);
  }
  int removed = 0;
  ASSERT_TRUE(store_->space().SweepOrphans(start, removed).ok());
  EXPECT_EQ(removed, 1);
  EXPECT_TRUE(Held("referenced"));
  EXPECT_FALSE(Held("orphan"));
  EXPECT_TRUE(Held("new orphan"));  // younger than the start: a commit may be under way
}

TEST_F(SpaceTest, DeletesWorkOnAFullDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  TearDown();
  std::string templ = "/tmp/zelmic-full-XXXXXX";
  ASSERT_NE(mkdtemp(templ.data()), nullptr);
  if (mount("tmpfs", templ.c_str(), "tmpfs", 0, "size=32m") != 0) {
    rmdir(templ.c_str());
    GTEST_SKIP() << "cannot mount";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH), rmdir(at.c_str()); }
  } unmount{templ};
  Make(templ);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Put("/f" + std::to_string(i), std::to_string(i)), 0u);
  ASSERT_TRUE(KeepSpaceReserve(root_ + "/d"));  // as a serving process keeps it
  {
    std::ofstream fill(templ + "/fill", std::ios::binary);
    const std::string block(4096, 'z');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  }
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Delete("/f" + std::to_string(i)), 0u) << i;
  TearDown();
}

}  // namespace
}  // namespace zelmic
