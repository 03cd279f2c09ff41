// The "deny writers" open and the File wrapper: writers are detected whether they are another
// process, another descriptor of ours, or a shared writable mapping; readers are not writers.

#include "platform/file_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "tests/upload/test_files.h"

namespace {

using plumet_test::ScratchDir;

// A separate process that holds `path` open with the given flags until it is ended.
class HolderProcess {
 public:
  HolderProcess(const std::string& path, int flags) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      const int fd = ::open(path.c_str(), flags);
      const char status = fd >= 0 ? 'y' : 'n';
      if (::write(ready[1], &status, 1) != 1) ::_exit(2);
      ::pause();  // until the parent kills us
      ::_exit(0);
    }
    ::close(ready[1]);
    if (pid_ > 0) {
      pollfd p{ready[0], POLLIN, 0};
      char status = 0;
      if (::poll(&p, 1, 5000) == 1 && ::read(ready[0], &status, 1) == 1) opened_ = status == 'y';
    }
    ::close(ready[0]);
  }
  ~HolderProcess() { Stop(); }
  HolderProcess(const HolderProcess&) = delete;
  HolderProcess& operator=(const HolderProcess&) = delete;

  bool opened() const { return opened_; }
  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  bool opened_ = false;
};

class FileProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.File("copy.docx");
    ASSERT_TRUE(plumet_test::WriteFile(path_, plumet_test::RandomBytes(5000, 1)));
  }
  ScratchDir dir_;
  std::string path_;
};

TEST_F(FileProbeTest, LeasesWorkOnTheScratchFileSystem) {
  // The lease path, not the /proc fallback, is what the other tests exercise here.
  const int fd = ::open(path_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fcntl(fd, F_SETLEASE, F_RDLCK), 0) << "errno " << errno;
  EXPECT_EQ(::fcntl(fd, F_SETLEASE, F_UNLCK), 0);
  ::close(fd);
}

TEST_F(FileProbeTest, FreeFileOpensAndReadsWhole) {
  platform::File file;
  ASSERT_TRUE(platform::OpenDenyingWriters(path_, file));
  EXPECT_EQ(file.Length(), 5000);
  std::string buffer(6000, '\0');
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), 5000);
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), 0);
  // No lease is left behind: a writer can open at once, without waiting for a lease break.
  const int w = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(w, 0) << "errno " << errno;
  if (w >= 0) ::close(w);
}

TEST_F(FileProbeTest, WriterInAnotherProcessIsDetectedUntilItEnds) {
  HolderProcess writer(path_, O_WRONLY);
  ASSERT_TRUE(writer.opened());
  platform::File file;
  EXPECT_FALSE(platform::OpenDenyingWriters(path_, file));
  EXPECT_FALSE(file.IsOpen());
  const int ro = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(platform::ProcHasWriter(ro));  // the fallback sees another process's writer too
  ::close(ro);
  writer.Stop();
  EXPECT_TRUE(platform::OpenDenyingWriters(path_, file));
}

TEST_F(FileProbeTest, ReadersInOtherProcessesAreNoWriters) {
  HolderProcess reader(path_, O_RDONLY);
  ASSERT_TRUE(reader.opened());
  platform::File file;
  EXPECT_TRUE(platform::OpenDenyingWriters(path_, file));
  EXPECT_FALSE(platform::ProcHasWriter(file.fd()));
}

TEST_F(FileProbeTest, OurOwnWritableDescriptorCountsToo) {
  const int rw = ::open(path_.c_str(), O_RDWR);
  ASSERT_GE(rw, 0);
  platform::File file;
  EXPECT_FALSE(platform::OpenDenyingWriters(path_, file));
  // The fallback sees it as well, and does not count the probing descriptor itself.
  const int ro = ::open(path_.c_str(), O_RDONLY);
  EXPECT_TRUE(platform::ProcHasWriter(ro));
  ::close(rw);
  EXPECT_FALSE(platform::ProcHasWriter(ro));
  EXPECT_EQ(platform::ProbeWriters(ro), platform::WriterState::kNone);
  ::close(ro);
}

TEST_F(FileProbeTest, SharedWritableMappingIsAWriter) {
  const int rw = ::open(path_.c_str(), O_RDWR);
  ASSERT_GE(rw, 0);
  void* map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, rw, 0);
  ASSERT_NE(map, MAP_FAILED);
  ::close(rw);  // only the mapping can still change the file
  platform::File file;
  EXPECT_FALSE(platform::OpenDenyingWriters(path_, file));
  ::munmap(map, 4096);
  EXPECT_TRUE(platform::OpenDenyingWriters(path_, file));
}

TEST_F(FileProbeTest, OnlyRegularFilesOpen) {
  platform::File file;
  EXPECT_FALSE(platform::OpenDenyingWriters(dir_.path(), file));
  EXPECT_FALSE(platform::OpenDenyingWriters(dir_.File("missing"), file));
  const std::string fifo = dir_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(platform::OpenDenyingWriters(fifo, file));  // and does not block
}

TEST_F(FileProbeTest, CreateIsPrivateTruncatesAndRefusesLinks) {
  const std::string literal = dir_.File("literal.tmp");
  platform::File file;
  ASSERT_TRUE(file.Open(literal, platform::File::Mode::kCreate));
  ASSERT_TRUE(file.Write("0123456789", 10));
  EXPECT_EQ(file.Length(), 10);
  struct stat st;
  ASSERT_EQ(::stat(literal.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(file.Seek(4));
  char buf[16] = {};
  EXPECT_EQ(file.Read(buf, sizeof buf), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");

  ASSERT_TRUE(file.Open(literal, platform::File::Mode::kCreate));  // an old one is truncated
  EXPECT_EQ(file.Length(), 0);
  file.Close();

  // A planted link must not redirect the literal file's content elsewhere.
  const std::string link = dir_.File("planted.tmp");
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_FALSE(file.Open(link, platform::File::Mode::kCreate));
  EXPECT_FALSE(file.Open(link, platform::File::Mode::kReadWrite));
  EXPECT_EQ(std::filesystem::file_size(path_), 5000u);
  EXPECT_TRUE(file.Open(link, platform::File::Mode::kRead));  // reading through a link is fine
}

TEST_F(FileProbeTest, MovedFromFileIsClosedAndClosedFileFailsCleanly) {
  platform::File a;
  ASSERT_TRUE(a.Open(path_, platform::File::Mode::kReadWrite));
  const int fd = a.fd();
  platform::File b(std::move(a));
  EXPECT_FALSE(a.IsOpen());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(b.fd(), fd);
  platform::File c;
  c = std::move(b);
  EXPECT_EQ(c.fd(), fd);
  EXPECT_EQ(c.Length(), 5000);

  platform::File closed;
  char byte;
  EXPECT_EQ(closed.Read(&byte, 1), -1);
  EXPECT_FALSE(closed.Write("x", 1));
  EXPECT_FALSE(closed.Seek(0));
  EXPECT_EQ(closed.Length(), -1);
  EXPECT_FALSE(closed.Flush());
}

TEST_F(FileProbeTest, WriteToAFullDeviceFails) {
  platform::File full;
  ASSERT_TRUE(full.Open("/dev/full", platform::File::Mode::kReadWrite));
  EXPECT_FALSE(full.Write("abc", 3));
}

}  // namespace

#include "platform/read_lease.h"

namespace {

TEST_F(FileProbeTest, ReadLeaseHoldsWritersOffUntilReleased) {
  platform::File reader;
  ASSERT_TRUE(reader.Open(path_, platform::File::Mode::kRead));
  platform::ReadLease lease;
  ASSERT_EQ(lease.Acquire(reader.fd()), platform::ReadLease::State::kHeld);
  EXPECT_FALSE(lease.Broken());
  // A writer that will not wait is turned away, and its attempt is what the holder sees.
  EXPECT_LT(::open(path_.c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_TRUE(lease.Broken());
  lease.Release();
  const int w = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(w, 0) << "errno " << errno;
  // With a writer in place no lease is granted.
  platform::ReadLease second;
  EXPECT_EQ(second.Acquire(reader.fd()), platform::ReadLease::State::kWriterPresent);
  EXPECT_FALSE(second.Broken());
  if (w >= 0) ::close(w);
}

TEST_F(FileProbeTest, ReadLeaseOnAWritableDescriptorIsUnavailable) {
  platform::File rw;
  ASSERT_TRUE(rw.Open(path_, platform::File::Mode::kReadWrite));
  platform::ReadLease lease;
  EXPECT_NE(lease.Acquire(rw.fd()), platform::ReadLease::State::kHeld);
}

}  // namespace
