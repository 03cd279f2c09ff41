// dorvicctl download and upload against zelmicd: the content arrives byte for byte or not at all,
// uploads go whole, as a block delta or not at all, and progress shows only when asked for.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/service/upload_helper.h"

namespace zelmic_test {
namespace {

class DorvicctlTransferTest : public ScriptedServiceTest {
 protected:
  RunResult Ctl(const std::vector<std::string>& args, const std::string& token = "") {
    std::vector<std::string> argv = {
        DORVICCTL_PATH, "--host", z_.api_host(), "--token", token.empty() ? ann_ : token,
        "--mount",      "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, 60);
  }
  // Runs dorvicctl, checks that its exit status agrees with "ok", and returns the JSON.
  Json CtlJson(const std::vector<std::string>& args, const std::string& token = "") {
    RunResult r = Ctl(args, token);
    Json j = ParseJson(r.out);
    EXPECT_TRUE(j) << "no JSON from dorvicctl: " << r.out << r.err;
    if (j) {
      EXPECT_EQ(r.exit_code, Ok(j) ? 0 : 1) << r.out;
    }
    last_err_ = r.err;
    return j;
  }
  static bool Ok(const Json& j) { return cJSON_IsTrue(cJSON_GetObjectItem(j.get(), "ok")); }

  // Names in a folder, "." and ".." left out.
  static std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string Work() {
    const std::string dir = z_.tmp_dir() + "/work";
    mkdir(dir.c_str(), 0700);
    return dir;
  }

  std::string last_err_;
};

TEST_F(DorvicctlTransferTest, DownloadWritesCheckedContentOrNothing) {
  const std::string dir = Work();
  const std::string local = dir + "/plan.txt";
  Json got = CtlJson({"download", "/docs/plan.txt", local});
  ASSERT_TRUE(Ok(got)) << Str(got, "error_msg");
  EXPECT_EQ(ReadFile(local), kPlan);
  EXPECT_EQ(Num(got, "bytes"), 9);
  EXPECT_EQ(last_err_, "");  // quiet unless asked

  // Each failure leaves the earlier copy as it was and no temporary file beside it.
  struct Case {
    const char* what;
    const char* script;  // a scripted answer of the download location, or none
    std::string remote, local;
    double code;
  };
  const Case cases[] = {
      {"same size, other bytes", R"({"endpoint":"download","status":200,"body":"the plaN\n"})",
       "/docs/plan.txt", local, 10002},
      {"more bytes than announced",
       R"({"endpoint":"download","status":200,"body":"the plan, longer\n"})", "/docs/plan.txt",
       local, 10002},
      {"error status", R"({"endpoint":"download","status":500,"body":"x"})", "/docs/plan.txt",
       local, 10061},
      {"dropped connection", R"({"endpoint":"download","kind":"drop"})", "/docs/plan.txt", local,
       10061},
      {"no such remote file", nullptr, "/docs/none.txt", local, 40400},
      {"no such local folder", nullptr, "/docs/plan.txt", dir + "/absent/plan.txt", 10001},
  };
  ASSERT_TRUE(WriteFile(local, "earlier copy"));
  for (const Case& c : cases) {
    if (c.script) {
      ASSERT_TRUE(z_.Script(c.script)) << c.what;
    }
    Json j = CtlJson({"download", c.remote, c.local});
    EXPECT_FALSE(Ok(j)) << c.what;
    EXPECT_EQ(Num(j, "error_code"), c.code) << c.what << ": " << Str(j, "error_msg");
    EXPECT_EQ(ReadFile(local), "earlier copy") << c.what;
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"plan.txt"}) << c.what;
    ASSERT_TRUE(z_.ClearScript());
  }
}

TEST_F(DorvicctlTransferTest, UploadGoesWholeThenAsDeltaThenNotAtAll) {
  const std::string dir = Work();
  const std::string local = dir + "/big.bin";
  std::string content(512 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  ASSERT_TRUE(WriteFile(local, content));

  Json whole = CtlJson({"upload", local, "/docs/big.bin", "--progress"});
  ASSERT_TRUE(Ok(whole)) << Str(whole, "error_msg");
  EXPECT_EQ(Str(whole, "sent"), "whole");
  EXPECT_EQ(Num(whole, "bytes_sent"), content.size());
  EXPECT_EQ(Str(whole, "filehash"), Sha1Hex(content));
  EXPECT_EQ(Num(whole, "version"), 1);
  // Not a terminal: one line per tenth, the last one complete.
  EXPECT_NE(last_err_.find("dorvicctl: upload big.bin 100% (0.5 of 0.5 MiB)\n"), std::string::npos)
      << last_err_;

  content.replace(200000, 300, std::string(300, 'x'));
  ASSERT_TRUE(WriteFile(local, content));
  Json delta = CtlJson({"upload", local, "/docs/big.bin"});
  ASSERT_TRUE(Ok(delta)) << Str(delta, "error_msg");
  EXPECT_EQ(Str(delta, "sent"), "delta");
  EXPECT_LT(Num(delta, "bytes_sent"), content.size() / 16);
  EXPECT_EQ(last_err_, "");
  EXPECT_EQ(Listing(dir), std::vector<std::string>{"big.bin"});  // the literal file is gone

  Json same = CtlJson({"upload", local, "/docs/big.bin"});
  ASSERT_TRUE(Ok(same));
  EXPECT_EQ(Str(same, "sent"), "none");
  EXPECT_EQ(Num(same, "bytes_sent"), 0);

  EXPECT_EQ(VersionCount(1, "/docs/big%2Ebin"), 2);
  Json back = CtlJson({"download", "/docs/big.bin", dir + "/back.bin", "--progress"});
  ASSERT_TRUE(Ok(back)) << Str(back, "error_msg");
  EXPECT_TRUE(ReadFile(dir + "/back.bin") == content);
  EXPECT_NE(last_err_.find("dorvicctl: download back.bin 100%"), std::string::npos) << last_err_;
}

// Ctrl-C while the content travels: the transfer stops, says so, and removes what it had begun to
// write (the temporary download, the delta's literal file); the stored version stays.
TEST_F(DorvicctlTransferTest, InterruptedTransfersLeaveNothingBehind) {
  const std::string dir = Work();
  std::string content(256 * 1024, '\0');
  std::mt19937 random(11);
  for (char& c : content) c = static_cast<char>(random());
  ASSERT_TRUE(WriteFile(dir + "/big.bin", content));
  ASSERT_TRUE(Ok(CtlJson({"upload", dir + "/big.bin", "/docs/big.bin"})));
  content[1000] ^= 1;
  ASSERT_TRUE(WriteFile(dir + "/big.bin", content));

  struct Case {
    const char* what;
    const char* stall;  // the endpoint that is slow to answer meanwhile
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"download", "download", {"download", "/docs/plan.txt", dir + "/plan.txt"}},
      {"delta upload", "/upload_part", {"upload", dir + "/big.bin", "/docs/big.bin"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(z_.Script(std::string(R"({"kind":"stall","stall_ms":3000,"endpoint":")") + c.stall +
                          "\"}"));
    std::vector<std::string> argv = {DORVICCTL_PATH, "--host", z_.api_host(), "--token", ann_,
                                     "--mount",      "1"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const std::string out_path = z_.tmp_dir() + "/ctl.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Interrupt once the partial file exists, while the server still sits on the request.
    bool begun = false;
    for (int i = 0; i < 200 && !begun; ++i) {
      begun = Listing(dir).size() > 1;
      if (!begun) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(begun) << c.what;
    kill(pid, SIGINT);
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << c.what << ": dorvicctl did not stop";
    }
    ASSERT_TRUE(WIFEXITED(status)) << c.what;
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.what;
    Json j = ParseJson(ReadFile(out_path));
    EXPECT_FALSE(Ok(j)) << c.what;
    EXPECT_EQ(Num(j, "error_code"), 10003) << c.what;
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"big.bin"}) << c.what;
    ASSERT_TRUE(z_.ClearScript());
  }
  EXPECT_EQ(VersionCount(1, "/docs/big%2Ebin"), 1);
}

TEST_F(DorvicctlTransferTest, UploadFailuresAndUsageErrors) {
  const std::string local = Work() + "/note.txt";
  ASSERT_TRUE(WriteFile(local, "a note\n"));
  struct Case {
    const char* what;
    const char* script;
    std::string local, token;
    double code;
  };
  const Case cases[] = {
      {"missing local file", nullptr, local + ".absent", "", 10001},
      {"a folder as local file", nullptr, z_.tmp_dir(), "", 10001},
      {"refused token", nullptr, local, "not-a-token", 40102},
      {"upload server error",
       R"({"endpoint":"/upload_init","status":500,"body":"{}","server":"ZELMIC"})", local, "", 500},
  };
  for (const Case& c : cases) {
    if (c.script) {
      ASSERT_TRUE(z_.Script(c.script)) << c.what;
    }
    Json j = CtlJson({"upload", c.local, "/docs/note.txt"}, c.token);
    EXPECT_FALSE(Ok(j)) << c.what;
    EXPECT_EQ(Num(j, "error_code"), c.code) << c.what << ": " << Str(j, "error_msg");
    ASSERT_TRUE(z_.ClearScript());
  }
  EXPECT_EQ(VersionCount(1, "/docs/note%2Etxt"), -1);

  const std::vector<std::vector<std::string>> usage = {
      {"download", "/docs/plan.txt"},
      {"upload", local, "/docs/note.txt", "extra"},
      {"upload", local, "/docs/note.txt", "--level", "9"},
      {"list", "/docs", "--progress"},
  };
  for (const auto& args : usage) {
    RunResult r = Ctl(args);
    EXPECT_EQ(r.exit_code, 2) << args[0] << " " << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace zelmic_test

namespace zelmic_test {
namespace {

// Both programs list every subcommand with its arguments; zelmicd put shows progress when asked.
TEST(CommandLineHelp, ListsEverySubcommandAndProgressIsOptIn) {
  struct Program {
    std::string path;
    std::vector<std::string> lines;  // the start of one line per subcommand
  };
  const Program programs[] = {
      {DORVICCTL_PATH,
       {"  list PATH", "  url PATH --filehash H", "  add PATH --filehash H --filesize N",
        "  delete PATH", "  rename PATH NEWNAME", "  get PATH", "  compare PATH", "  versions PATH",
        "  revert PATH VERSION", "  lock PATH", "  unlock PATH", "  remark PATH MESSAGE",
        "  remind PATH MESSAGE EMAIL...", "  discuss PATH", "  publish PATH",
        "  share PATH MESSAGE EMAIL...", "  download REMOTE LOCAL [--progress]",
        "  upload LOCAL REMOTE [--progress]"}},
      {ZelmicdPath(),
       {"usage: zelmicd init DIR", "       zelmicd add-user DIR NAME",
        "       zelmicd put DIR --mount N",
        "       zelmicd link DIR --mount N REMOTE_PATH --user NAME", "       zelmicd serve DIR"}},
  };
  for (const Program& p : programs) {
    RunResult r = RunProgram({p.path, "--help"});
    EXPECT_EQ(r.exit_code, 0) << p.path;
    EXPECT_EQ(r.err, "") << p.path;
    for (const std::string& line : p.lines) {
      EXPECT_TRUE(r.out.rfind(line, 0) == 0 || r.out.find("\n" + line) != std::string::npos)
          << p.path << " --help lacks \"" << line << "\":\n"
          << r.out;
    }
  }

  ZelmicProcess z;
  const std::string local = z.tmp_dir() + "/sample.txt";
  ASSERT_TRUE(WriteFile(local, std::string(300000, 's')));
  RunResult quiet = z.Admin("put", {"--mount", "1", local, "/a.txt"});
  EXPECT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_EQ(quiet.out + quiet.err, "");
  RunResult loud = z.Admin("put", {"--mount", "1", local, "/b.txt", "--progress"});
  EXPECT_EQ(loud.exit_code, 0) << loud.err;
  EXPECT_EQ(loud.out, "");
  EXPECT_NE(loud.err.find("zelmicd: put /b.txt 100% (0.3 of 0.3 MiB)\n"), std::string::npos)
      << loud.err;
}

}  // namespace
}  // namespace zelmic_test
