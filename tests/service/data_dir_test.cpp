// The data folder is the owner's alone: modes after init and serve, the repair of a folder an older
// zelmicd left open, refusals of a folder others could write or swap, one server per folder.
#include <sys/stat.h>

#include <filesystem>

#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

namespace fs = std::filesystem;

// SHA-1 of "the plan\n", the content put below.
constexpr const char* kPlanBlob = "blobs/ae/ae5f7a11727cc5a37c5f0b62b20a477c82131056";

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01;
}

// Sets every folder under (and including) dir to folder_mode and every file to file_mode.
void SetModes(const std::string& dir, mode_t folder_mode, mode_t file_mode) {
  ASSERT_EQ(chmod(dir.c_str(), folder_mode), 0);
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    ASSERT_EQ(chmod(entry.path().c_str(), entry.is_directory() ? folder_mode : file_mode), 0);
}

// `zelmicd SUBCOMMAND DIR`, serve on ephemeral ports; a server that does start is ended (killed)
// after a few seconds.
RunResult RunOn(ZelmicProcess& z, const std::string& subcommand) {
  std::vector<std::string> argv = {ZelmicdPath(), subcommand, z.dir()};
  if (subcommand == "serve") {
    for (const char* port : {"--api-port", "--token-port", "--upload-port", "--web-port"}) {
      argv.push_back(port);
      argv.push_back("0");
    }
  }
  return RunProgram(argv, 5);
}

void PutPlan(ZelmicProcess& z) {
  const std::string local = z.tmp_dir() + "/plan.txt";
  ASSERT_TRUE(WriteFile(local, "the plan\n"));
  z.AddUser("ann", {1});
  z.Put(1, local, "/docs/plan.txt");
}

TEST(ZelmicdDataDir, EverythingIsOwnerOnlyAfterServeEvenWhenLeftOpen) {
  for (const bool left_open : {false, true}) {
    SCOPED_TRACE(left_open ? "opened to 0755/0644 before serve" : "as init and put left it");
    ZelmicProcess z;
    PutPlan(z);
    if (left_open) SetModes(z.dir(), 0755, 0644);
    ASSERT_TRUE(z.Start());
    const struct {
      const char* path;
      mode_t mode;
    } kExpected[] = {
        {"", 0700},          {"blobs", 0700},         {"blobs/ae", 0700},      {"staging", 0700},
        {"zelmic.db", 0600}, {"zelmic.db-wal", 0600}, {"zelmic.db-shm", 0600}, {kPlanBlob, 0600},
        {"serve.lock", 0600}};
    for (const auto& row : kExpected)
      EXPECT_EQ(ModeOf(z.dir() + "/" + row.path), row.mode) << row.path;
    for (const auto& entry : fs::recursive_directory_iterator(z.dir()))
      EXPECT_EQ(ModeOf(entry.path()), entry.is_directory() ? 0700u : 0600u) << entry.path();
  }
}

TEST(ZelmicdDataDir, RefusesAFolderOthersCouldWriteOrSwap) {
  const struct {
    const char* subcommand;
    mode_t dir_mode, parent_mode;
    const char* message;  // empty: accepted
  } kRows[] = {
      {"serve", 0777, 0700, "can be written by other accounts (mode 0777)"},
      {"serve", 0770, 0700, "can be written by other accounts (mode 0770)"},
      {"serve", 0700, 0777, "which other accounts can write to (mode 0777, no sticky bit)"},
      {"serve", 0700, 01777, ""},
      {"init", 0777, 0700, "can be written by other accounts (mode 0777)"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.subcommand) + " " + std::to_string(row.dir_mode) + " in " +
                 std::to_string(row.parent_mode));
    ZelmicProcess z;
    if (std::string(row.subcommand) == "init") {  // an empty folder made beforehand
      fs::remove_all(z.dir());
      ASSERT_TRUE(fs::create_directory(z.dir()));
    }
    ASSERT_EQ(chmod(z.dir().c_str(), row.dir_mode), 0);
    ASSERT_EQ(chmod(z.tmp_dir().c_str(), row.parent_mode), 0);
    if (*row.message == '\0') {
      EXPECT_TRUE(z.Start());
      continue;
    }
    const RunResult r = RunOn(z, row.subcommand);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("zelmicd: " + z.dir() + " ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    EXPECT_EQ(ModeOf(z.dir()), row.dir_mode) << "a refused folder is left as it is";
  }
}

TEST(ZelmicdDataDir, ASecondServerOnTheSameFolderIsRefused) {
  ZelmicProcess z;
  ASSERT_TRUE(z.Start());
  const std::string staged = z.dir() + "/staging/in-flight";
  ASSERT_TRUE(WriteFile(staged, "half an upload"));
  const RunResult second = RunOn(z, "serve");
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_EQ(second.err, "zelmicd: " + z.dir() +
                            " is already being served by another zelmicd (pid " +
                            std::to_string(z.pid()) + ")\n");
  EXPECT_EQ(ReadFile(staged), "half an upload") << "the first server's staged files stay";
  EXPECT_NE(HttpRequest("GET", z.web_base() + "/").status, 0) << "the first server still answers";
}

}  // namespace
}  // namespace zelmic_test
