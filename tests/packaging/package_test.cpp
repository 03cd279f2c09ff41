// The installed product: `cmake --install` into a DESTDIR under a prefix, the systemd user unit,
// and the Debian packages from `cpack -G DEB`. Each works from where it was put: the programs find
// libdorvic, a program builds against the installed header and pkg-config file, the unit verifies,
// each package holds its own files and lintian finds no error in any.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/zelmic_process.h"

namespace {

namespace fs = std::filesystem;
using zelmic_test::ReadFile;
using zelmic_test::RunProgram;
using zelmic_test::RunResult;
using zelmic_test::WriteFile;

const std::string kLib = PLUMET_LIBDIR;

// A Debian package: the files it installs below /usr (its doc folder aside), some of the packages
// its Depends field must name, and whether its programs or libraries have a -dbgsym package.
struct Package {
  std::string name;
  std::vector<std::string> files;
  std::vector<std::string> depends;
  bool dbgsym;
};

std::vector<Package> Packages() {
  const std::string so = kLib + "/libdorvic.so";
  const std::string man = "share/man/man1/";
  std::vector<Package> packages = {
      {"libdorvic0",
       {so + ".0", so + "." + PLUMET_VERSION},
       {"libc6 ", "libcurl4 ", "libcjson1 ", "libssl3 ", "libstdc++6 "},
       true},
      {"libdorvic-dev",
       {"include/dorvic/dorvic.h", so, kLib + "/pkgconfig/dorvic.pc"},
       {"libdorvic0 (= "},
       false},
      {"zelmicd",
       {"bin/zelmicd", "lib/systemd/user/zelmicd.service", man + "zelmicd.1.gz"},
       {"libmicrohttpd12 ", "libsqlite3-0 "},
       true},
      {"dorvicctl",
       {"bin/dorvicctl", man + "dorvicctl.1.gz"},
       {"libdorvic0 (= ", "libcurl4 "},
       true},
  };
  if (PLUMET_HAS_PROGRAM) {
    packages.push_back(
        {"plumet",
         {"bin/plumet", kLib + "/plumet/libplumet_resident.so", man + "plumet.1.gz",
          "share/applications/plumet.desktop", "share/icons/hicolor/48x48/apps/plumet.png",
          "share/icons/hicolor/scalable/apps/plumet.svg"},
         {"libdorvic0 (= ", "libqt6widgets6 "},
         true});
  }
  return packages;
}

// Every file and link a prefix receives, relative to the prefix: those of all packages.
std::vector<std::string> ExpectedFiles() {
  std::vector<std::string> files;
  for (const Package& p : Packages()) files.insert(files.end(), p.files.begin(), p.files.end());
  std::sort(files.begin(), files.end());
  return files;
}

// Files and links below root, relative to it and sorted.
std::vector<std::string> FilesBelow(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_directory() || it->is_symlink())
      out.push_back(it->path().lexically_relative(root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    scratch_ = dir_.path();
  }
  RunResult Install(const std::string& destdir, const std::string& prefix) {
    return RunProgram({"/usr/bin/env", "DESTDIR=" + destdir, CMAKE_PATH, "--install",
                       PLUMET_BUILD_DIR, "--prefix", prefix},
                      120);
  }
  plumet_test::ScratchDir dir_{"package-test"};
  std::string scratch_;
};

TEST_F(PackageTest, InstallIntoDestdirUnderPrefixWorksFromThere) {
  const std::string stage = scratch_ + "/stage";
  const std::string prefix = "/opt/plumet-test";
  const std::string root = stage + prefix;
  RunResult install = Install(stage, prefix);
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  EXPECT_EQ(FilesBelow(stage), [&] {
    auto files = ExpectedFiles();
    for (auto& f : files) f = prefix.substr(1) + "/" + f;
    return files;
  }());
  EXPECT_EQ(fs::read_symlink(root + "/" + kLib + "/libdorvic.so").string(), "libdorvic.so.0");
  const std::string unit = ReadFile(root + "/lib/systemd/user/zelmicd.service");
  EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/zelmicd serve "), std::string::npos) << unit;
  if (PLUMET_HAS_PROGRAM) {
    const std::string entry = ReadFile(root + "/share/applications/plumet.desktop");
    EXPECT_NE(entry.find("\nExec=" + prefix + "/bin/plumet %u\n"), std::string::npos) << entry;
    RunResult valid =
        RunProgram({"/usr/bin/desktop-file-validate", root + "/share/applications/plumet.desktop"});
    EXPECT_EQ(valid.exit_code, 0);
    EXPECT_EQ(valid.out + valid.err, "");

    // Started from where it was installed, it registers that path for plumet:// links. It stays
    // resident, so it is ended (by its PID) when the bounded run is over.
    const std::string home = scratch_ + "/home";
    fs::create_directories(home + "/run");
    fs::permissions(home + "/run", fs::perms::owner_all);
    RunResult resident =
        RunProgram({"/usr/bin/env", "-u", "DBUS_SESSION_BUS_ADDRESS", "-u", "DISPLAY",
                    "HOME=" + home, "XDG_RUNTIME_DIR=" + home + "/run",
                    "XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data",
                    "TMPDIR=" + home, "QT_QPA_PLATFORM=offscreen", root + "/bin/plumet"},
                   3);
    EXPECT_NE(ReadFile(home + "/data/applications/plumet.desktop")
                  .find("\nExec=" + root + "/bin/plumet %u\n"),
              std::string::npos)
        << resident.err;
    EXPECT_NE(
        ReadFile(home + "/config/mimeapps.list").find("x-scheme-handler/plumet=plumet.desktop"),
        std::string::npos);
  }

  // The programs find the library beside them, not through the environment.
  RunResult help =
      RunProgram({"/usr/bin/env", "-u", "LD_LIBRARY_PATH", root + "/bin/dorvicctl", "--help"});
  EXPECT_EQ(help.exit_code, 0) << help.err;
  EXPECT_NE(help.out.find("  upload LOCAL REMOTE"), std::string::npos);

  // A program of a library user, built only from what was installed.
  const std::string source = scratch_ + "/client.cpp";
  ASSERT_TRUE(WriteFile(source, R"(#include <dorvic/dorvic.h>
#include <cstdio>
int main() {
  dorvic_set_host(L"127.0.0.1:1");
  std::vector<dorvic_file_stx> files;
  int32_t size = 10;
  const bool ok = dorvic_list_file(L"token", L"/", 1, 0, 0, size, L"", files);
  std::printf("%d %d\n", ok ? 1 : 0, dorvic_get_last_error_code());
}
)"));
  // The file names the prefix; pkg-config puts the staging folder in front, as for a sysroot.
  RunResult flags = RunProgram(
      {"/usr/bin/env", "PKG_CONFIG_PATH=" + root + "/" + kLib + "/pkgconfig",
       "PKG_CONFIG_SYSROOT_DIR=" + stage, PKG_CONFIG_PATH_TO_TOOL, "--cflags", "--libs", "dorvic"});
  ASSERT_EQ(flags.exit_code, 0) << flags.err;
  std::vector<std::string> compile = {CXX_PATH, "-std=c++17", source, "-o", scratch_ + "/client"};
  for (const auto& w : Words(flags.out)) compile.push_back(w);
  for (const auto& w : Words(SANITIZE_FLAGS)) compile.push_back(w);
  RunResult built = RunProgram(compile, 120);
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_EQ(Words(flags.out), (std::vector<std::string>{"-I" + root + "/include",
                                                        "-L" + root + "/" + kLib, "-ldorvic"}));
  RunResult ran =
      RunProgram({"/usr/bin/env", "LD_LIBRARY_PATH=" + root + "/" + kLib, scratch_ + "/client"});
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_EQ(ran.out, "0 10061\n");  // nothing listens on port 1: the library's transport failure
}

TEST_F(PackageTest, SystemdUserUnitVerifies) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed (scripts/bootstrap installs package systemd)";
  }
  // A real prefix, so that the unit's programs exist where it names them.
  const std::string prefix = scratch_ + "/usr";
  RunResult install = Install("", prefix);
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  const std::string unit = prefix + "/lib/systemd/user/zelmicd.service";
  std::string broken = ReadFile(unit);
  const size_t at = broken.find(prefix + "/bin/zelmicd serve");
  ASSERT_NE(at, std::string::npos);
  broken.replace(at, prefix.size(), scratch_ + "/nowhere");
  ASSERT_TRUE(WriteFile(scratch_ + "/broken.service", broken));
  mkdir((scratch_ + "/run").c_str(), 0700);

  struct Case {
    std::string unit;
    bool valid;
  };
  for (const Case& c : {Case{unit, true}, Case{scratch_ + "/broken.service", false}}) {
    RunResult verify =
        RunProgram({"/usr/bin/env", "XDG_RUNTIME_DIR=" + scratch_ + "/run", "HOME=" + scratch_,
                    "/usr/bin/systemd-analyze", "--user", "verify", c.unit});
    if (c.valid) {
      EXPECT_EQ(verify.exit_code, 0) << verify.err;
      EXPECT_EQ(verify.out + verify.err, "");
      // The sandbox keeps the unit's exposure below 5 of 10 ("OK"); the threshold counts tenths.
      RunResult security = RunProgram({"/usr/bin/env", "XDG_RUNTIME_DIR=" + scratch_ + "/run",
                                       "HOME=" + scratch_, "/usr/bin/systemd-analyze", "--user",
                                       "security", "--offline=true", "--threshold=49", c.unit});
      EXPECT_EQ(security.exit_code, 0) << security.out << security.err;
    } else {
      EXPECT_NE(verify.exit_code, 0) << c.unit;
    }
  }
}

// Files and links (not folders) a package installs, relative to /usr and sorted.
std::vector<std::string> DebFiles(const std::string& deb) {
  RunResult contents = RunProgram({"/usr/bin/dpkg-deb", "-c", deb});
  EXPECT_EQ(contents.exit_code, 0) << contents.err;
  std::vector<std::string> files;
  std::istringstream lines(contents.out);
  for (std::string line; std::getline(lines, line);) {
    // "-rwxr-xr-x root/root 123 2026-01-01 12:00 ./usr/bin/x" or "... ./usr/lib/a.so -> b"
    const std::vector<std::string> w = Words(line);
    if (w.size() >= 6 && w[0][0] != 'd') files.push_back(w[5].substr(std::string("./usr/").size()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Field(const std::string& deb, const std::string& field) {
  RunResult value = RunProgram({"/usr/bin/dpkg-deb", "-f", deb, field});
  EXPECT_EQ(value.exit_code, 0) << value.err;
  return value.out.substr(0, value.out.find_last_not_of('\n') + 1);
}

TEST_F(PackageTest, DebianPackagesAreSplitPlacedAndLintianClean) {
  ASSERT_EQ(access("/usr/bin/lintian", X_OK), 0)
      << "lintian is not installed (scripts/bootstrap installs it)";
  RunResult pack =
      RunProgram({CPACK_PATH, "-G", "DEB", "--config",
                  std::string(PLUMET_BUILD_DIR) + "/CPackConfig.cmake", "-B", scratch_},
                 300);
  ASSERT_EQ(pack.exit_code, 0) << pack.out << pack.err;

  // The package set: each package and debug package once, named by its control file.
  std::vector<std::string> built, debs, expected;
  std::map<std::string, std::string> deb_of;
  for (const auto& entry : fs::directory_iterator(scratch_)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".deb" && ext != ".ddeb") continue;
    debs.push_back(entry.path().string());
    built.push_back(Field(debs.back(), "Package"));
    deb_of[built.back()] = debs.back();
  }
  for (const Package& p : Packages()) {
    expected.push_back(p.name);
    if (p.dbgsym) expected.push_back(p.name + "-dbgsym");
  }
  std::sort(built.begin(), built.end());
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(built, expected) << pack.out;

  const std::string exact = "libdorvic0 (= " + Field(deb_of["libdorvic0"], "Version") + ")";
  for (const Package& p : Packages()) {
    const std::string& deb = deb_of[p.name];
    std::vector<std::string> files = p.files;
    for (const char* doc : {"/changelog.Debian.gz", "/copyright"})
      files.push_back("share/doc/" + p.name + doc);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(DebFiles(deb), files) << p.name;

    const std::string depends = Field(deb, "Depends");
    for (const std::string& d : p.depends) {
      EXPECT_NE(depends.find(d), std::string::npos) << p.name << " lacks " << d << ": " << depends;
    }
    // A user of libdorvic runs with the very build it came with.
    if (depends.find("libdorvic0 ") != std::string::npos) {
      EXPECT_NE(depends.find(exact), std::string::npos) << p.name << ": " << depends;
    }
    if (p.dbgsym) {
      const std::vector<std::string> symbols = DebFiles(deb_of[p.name + "-dbgsym"]);
      EXPECT_TRUE(std::any_of(symbols.begin(), symbols.end(), [](const std::string& f) {
        return f.rfind("lib/debug/.build-id/", 0) == 0 && f.ends_with(".debug");
      })) << p.name;
    }
  }

  // Debian's own checks, with no error (stripped binaries, copyright, changelog, shlibs, ldconfig
  // trigger, maintainer, description). lintian keeps its cache in the test's private home.
  std::vector<std::string> lintian = {"/usr/bin/env",
                                      "HOME=" + scratch_,
                                      "XDG_CACHE_HOME=" + scratch_ + "/cache",
                                      "TMPDIR=" + scratch_,
                                      "/usr/bin/lintian",
                                      "--fail-on",
                                      "error",
                                      "--tag-display-limit",
                                      "0"};
  lintian.insert(lintian.end(), debs.begin(), debs.end());
  RunResult report = RunProgram(lintian, 300);
  EXPECT_EQ(report.exit_code, 0) << report.out << report.err;
  EXPECT_EQ(("\n" + report.out).find("\nE: "), std::string::npos) << report.out;
}

}  // namespace
