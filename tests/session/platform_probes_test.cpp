// The file probes the session list relies on, against real processes holding the file: who has
// it open, who locks it, full-precision times, the private temp folder and the unsent store.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/exclusive_probe.h"
#include "platform/file_time.h"
#include "platform/lock_probe.h"
#include "platform/temp_dir.h"
#include "platform/unsent_store.h"
#include "session_fakes.h"

namespace session_test {
namespace {

// A child process that does `hold` to the file and keeps it so until it is killed.
class Holder {
 public:
  Holder(const std::string& path, const std::function<void(const std::string&)>& hold) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      hold(path);
      (void)!::write(ready[1], "x", 1);
      for (int i = 0; i < 600; ++i) ::usleep(100000);  // bounded: a minute at most
      ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
  }
  ~Holder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

void OpenRead(const std::string& p) { (void)::open(p.c_str(), O_RDONLY); }
void OpenWrite(const std::string& p) { (void)::open(p.c_str(), O_WRONLY | O_APPEND); }
void Flock(const std::string& p) { ::flock(::open(p.c_str(), O_RDONLY), LOCK_SH); }
void PosixLock(const std::string& p) {
  struct flock l = {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  ::fcntl(::open(p.c_str(), O_RDWR), F_SETLK, &l);
}

TEST(FileProbes, WhoHoldsTheCopy) {
  Scratch scratch;
  const std::string file = scratch.path + "copy.txt";
  std::ofstream(file) << "x";
  struct Case {
    const char* name;
    void (*hold)(const std::string&);
    bool openElsewhere, locked;
  } cases[] = {
      {"open for reading", OpenRead, true, false},
      {"open for writing", OpenWrite, true, true},
      {"flock", Flock, true, true},
      {"POSIX lock", PosixLock, true, true},
  };
  EXPECT_FALSE(platform::IsFileOpenElsewhere(file));
  EXPECT_FALSE(platform::IsFileLocked(file));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Holder holder(file, c.hold);
    EXPECT_EQ(c.openElsewhere, platform::IsFileOpenElsewhere(file));
    EXPECT_EQ(c.locked, platform::IsFileLocked(file));
  }
  EXPECT_FALSE(platform::IsFileOpenElsewhere(file));
  std::ofstream(scratch.path + ".~lock.copy.txt#") << "office";
  EXPECT_TRUE(platform::IsFileLocked(file));
  EXPECT_TRUE(platform::IsFileOpenElsewhere(file));

  const std::string missing = scratch.path + "missing.txt";
  EXPECT_FALSE(platform::IsFileOpenElsewhere(missing));
  EXPECT_TRUE(platform::IsFileLocked(missing));
}

TEST(FileProbes, ModifiedTimeAtFullPrecision) {
  Scratch scratch;
  const std::string file = scratch.path + "t.txt";
  std::ofstream(file) << "x";
  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 1}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
  EXPECT_EQ(1700000000LL * 1000000000 + 1, platform::ModifiedTimeNs(file));
  times[1].tv_nsec = 2;
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
  EXPECT_EQ(1700000000LL * 1000000000 + 2, platform::ModifiedTimeNs(file));
  EXPECT_EQ(0, platform::ModifiedTimeNs(scratch.path + "missing"));
}

TEST(PrivateTempDir, OursOrNothing) {
  Scratch scratch;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TMPDIR", (scratch.path + "a").c_str(), 1);
  std::filesystem::create_directories(scratch.path + "a");
  const std::string dir = platform::PrivateTempDir();
  EXPECT_EQ(scratch.path + "a/plumet-" + std::to_string(::getuid()) + "/", dir);
  struct stat st;
  ASSERT_EQ(0, ::stat(dir.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  ::chmod(dir.c_str(), 0777);  // loosened by someone: tightened again
  EXPECT_EQ(dir, platform::PrivateTempDir());
  ASSERT_EQ(0, ::stat(dir.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);

  // A planted symlink is refused, not followed.
  std::filesystem::create_directories(scratch.path + "b");
  std::filesystem::create_directories(scratch.path + "target");
  ASSERT_EQ(0, ::symlink((scratch.path + "target").c_str(),
                         (scratch.path + "b/plumet-" + std::to_string(::getuid())).c_str()));
  ::setenv("TMPDIR", (scratch.path + "b").c_str(), 1);
  EXPECT_EQ("", platform::PrivateTempDir());
  if (old != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST(UnsentStore, KeepsEveryCopyUnderItsName) {
  Scratch scratch;
  const std::string store = scratch.path + "state/plumet/unsent/";
  const std::string copy = scratch.path + "tmp/r.txt";
  std::ofstream(copy) << "one";
  std::string first, second;
  ASSERT_TRUE(platform::SaveUnsentCopy(store, copy, first));
  std::ofstream(copy) << "two";
  ASSERT_TRUE(platform::SaveUnsentCopy(store, copy, second));
  EXPECT_EQ(store + "r.txt", first);
  EXPECT_EQ(store + "r.txt.1", second);
  EXPECT_EQ((std::vector<std::string>{first, second}), platform::ListUnsentCopies(store));
  std::ifstream in(first);
  std::string content;
  in >> content;
  EXPECT_EQ("one", content);

  ::setenv("XDG_STATE_HOME", (scratch.path + "state").c_str(), 1);
  EXPECT_EQ(store, platform::UnsentStoreDir());
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace session_test
