// The operations' answer readers.

#include "dorvic/src/readers.h"

#include <gtest/gtest.h>

namespace dorvic {
namespace {

TEST(ReadListing, CountAndEntriesOfEveryArrayMember) {
  int32_t size = 100;
  std::vector<dorvic_file_stx> files(1);
  files[0].filename = L"already there";
  ReadListing(R"({"count": 3,
    "list": [{"hash": "h1", "fullpath": "/d/a", "filename": "a", "filehash": "fh",
              "filesize": "5368709120", "version": 4, "cmd": 1, "dir": 0, "last_member_id": 9,
              "last_member_name": "\u5f20\u4e09", "dateline": 1700000000, "auth": 2, "send": 3,
              "lock": 1, "nosync": 0, "unknown": "x"}],
    "more": [{"filename": "b", "filesize": 77, "nosync": 1}, 5]})",
              &size, &files);
  EXPECT_EQ(size, 3);
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[0].filename, L"already there");
  const dorvic_file_stx& a = files[1];
  EXPECT_EQ(a.hash, L"h1");
  EXPECT_EQ(a.fullpath, L"/d/a");
  EXPECT_EQ(a.filename, L"a");
  EXPECT_EQ(a.filehash, L"fh");
  EXPECT_EQ(a.filesize, 5368709120LL);
  EXPECT_EQ(a.version, 4);
  EXPECT_EQ(a.cmd, 1);
  EXPECT_EQ(a.dir, 0);
  EXPECT_EQ(a.last_member_id, 9);
  EXPECT_EQ(a.last_member_name, L"\u5f20\u4e09");
  EXPECT_EQ(a.dateline, 1700000000);
  EXPECT_EQ(a.auth, 2);
  EXPECT_EQ(a.send, 3);
  EXPECT_EQ(a.lock, 1);
  EXPECT_EQ(a.nosync, 0);
  // A number "filesize" is not read; the entry keeps its starting values.
  EXPECT_EQ(files[2].filename, L"b");
  EXPECT_EQ(files[2].filesize, 0);
  EXPECT_EQ(files[2].nosync, 1);
  // An element that is no object still gives an entry.
  EXPECT_EQ(files[3].filename, L"");
  EXPECT_EQ(files[3].nosync, -1);
}

TEST(ReadListing, MissingCountAndNonJsonGiveZero) {
  int32_t size = 100;
  std::vector<dorvic_file_stx> files;
  ReadListing(R"({"list": [{"filename": "x"}]})", &size, &files);
  EXPECT_EQ(size, 0);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].nosync, -1);

  size = 100;
  ReadListing("<html>", &size, &files);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(files.size(), 1u);

  size = 100;
  ReadListing(R"([{"filename": "x"}])", &size, &files);  // root array: no members
  EXPECT_EQ(size, 0);
  EXPECT_EQ(files.size(), 1u);
}

TEST(ReadListing, DuplicateKeysLastWins) {
  int32_t size = 0;
  std::vector<dorvic_file_stx> files;
  ReadListing(R"({"count": 1, "a": [{"filename": "x", "filename": "y"}], "count": 2})", &size,
              &files);
  EXPECT_EQ(size, 2);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename, L"y");
}

TEST(ReadReget, EveryFieldAndLargeSizes) {
  dorvic_file_reget file;
  file.uri = L"caller's";
  ReadReget(R"({"hash": "h", "dir": 4294967297, "fullpath": "/d/p.txt", "filename": "p.txt",
               "ext": "txt", "filehash": "0123456789abcdef0123456789abcdef01234567",
               "filesize": 6442450944, "version": 3, "cmd": 2, "last_member_id": 8,
               "last_member_name": "n", "last_member_machine": "m", "nosync": 1, "lock": 1,
               "vcount": 5, "share": 1, "publish": 0, "discuss": 2})",
            &file);
  EXPECT_EQ(file.hash, L"h");
  EXPECT_EQ(file.dir, L"4294967297");
  EXPECT_EQ(file.fullpath, L"/d/p.txt");
  EXPECT_EQ(file.filename, L"p.txt");
  EXPECT_EQ(file.ext, L"txt");
  EXPECT_EQ(file.filehash, L"0123456789abcdef0123456789abcdef01234567");
  EXPECT_EQ(file.filesize, 6442450944LL);
  EXPECT_EQ(file.version, 3);
  EXPECT_EQ(file.cmd, 2);
  EXPECT_EQ(file.last_member_id, 8);
  EXPECT_EQ(file.last_member_name, L"n");
  EXPECT_EQ(file.last_member_machine, L"m");
  EXPECT_EQ(file.nosync, 1);
  EXPECT_EQ(file.lock, 1);
  EXPECT_EQ(file.vcount, 5);
  EXPECT_EQ(file.share, 1);
  EXPECT_EQ(file.publish, 0);
  EXPECT_EQ(file.discuss, 2);
  EXPECT_EQ(file.uri, L"caller's");  // absent member: left alone
}

TEST(ReadReget, DirAsTextAndStringSizeReadsAsZero) {
  dorvic_file_reget file;
  file.filesize = 11;
  ReadReget(R"({"dir": 0, "filesize": "123", "uri": "http://h/x"})", &file);
  EXPECT_EQ(file.dir, L"0");
  EXPECT_EQ(file.filesize, 0);  // the integer value of a string is 0
  EXPECT_EQ(file.uri, L"http://h/x");
  ReadReget(R"({"dir": "12"})", &file);
  EXPECT_EQ(file.dir, L"12");
  ReadReget("not json", &file);
  EXPECT_EQ(file.uri, L"http://h/x");
}

TEST(ReadAddFile, VerdictMembers) {
  dorvic_addfile_ret ret;
  ret.server = L"old";
  ReadAddFile(R"({"state": 0, "hash": "up1", "version": 6})", &ret);
  EXPECT_EQ(ret.state, 0);
  EXPECT_EQ(ret.hash, L"up1");
  EXPECT_EQ(ret.version, 6);
  EXPECT_EQ(ret.server, L"old");
  ReadAddFile(R"({"state": true, "server": "http://127.0.0.1:47812"})", &ret);
  EXPECT_EQ(ret.state, 1);
  EXPECT_EQ(ret.server, L"http://127.0.0.1:47812");
}

TEST(ReadVersionMember, OnlyVersion) {
  int32_t version = 5;
  ReadVersionMember(R"({"state": 1})", &version);
  EXPECT_EQ(version, 5);
  ReadVersionMember(R"({"version": 9})", &version);
  EXPECT_EQ(version, 9);
}

TEST(ReadCompare, ValuesAndEntriesWithoutListingFields) {
  int32_t version = 1, dateline = 2;
  std::vector<dorvic_file_stx> files(1);
  ReadCompare(R"({"dateline": 1700000001, "a": [{"filename": "x", "dir": 1, "auth": 2,
                  "send": 3, "lock": 1, "filesize": "10"}], "b": [{"filename": "y", "nosync": 0}]})",
              &version, &dateline, &files);
  EXPECT_EQ(version, 1);  // no "version" member
  EXPECT_EQ(dateline, 1700000001);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].filename, L"x");
  EXPECT_EQ(files[1].dir, 0);
  EXPECT_EQ(files[1].auth, 0);
  EXPECT_EQ(files[1].send, 0);
  EXPECT_EQ(files[1].lock, 1);
  EXPECT_EQ(files[1].filesize, 10);
  EXPECT_EQ(files[1].nosync, -1);
  EXPECT_EQ(files[2].filename, L"y");
  EXPECT_EQ(files[2].nosync, 0);

  ReadCompare(R"({"version": 4})", &version, &dateline, &files);
  EXPECT_EQ(version, 4);
  EXPECT_EQ(files.size(), 3u);
}

TEST(ReadVersions, OneEntryPerObjectMemberNumberedByName) {
  std::vector<dorvic_file_version> versions;
  ReadVersions(R"({"3": {"filesize": "4096", "filehash": "h3", "last_member_id": 1,
                         "last_member_name": "a", "dateline": 100, "cmd": 2},
                   "count": 2, "2": {"filesize": 99}, "x": {}, " -4z": {}})",
               &versions);
  ASSERT_EQ(versions.size(), 4u);
  EXPECT_EQ(versions[0].version, 3);
  EXPECT_EQ(versions[0].filesize, 4096);
  EXPECT_EQ(versions[0].filehash, L"h3");
  EXPECT_EQ(versions[0].last_member_id, 1);
  EXPECT_EQ(versions[0].last_member_name, L"a");
  EXPECT_EQ(versions[0].dateline, 100);
  EXPECT_EQ(versions[0].cmd, 2);
  EXPECT_EQ(versions[1].version, 2);
  EXPECT_EQ(versions[1].filesize, 0);
  EXPECT_EQ(versions[2].version, 0);
  EXPECT_EQ(versions[3].version, -4);
}

TEST(ReadDiscuss, RootArrayOrObject) {
  std::vector<dorvic_remind_msg> messages(1);
  ReadDiscuss(R"([{"text": "hi", "member_name": "\u674e", "lasttime": 5}, 3, {"text": "x"}])",
              &messages);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1].text, L"hi");
  EXPECT_EQ(messages[1].member_name, L"\u674e");
  EXPECT_EQ(messages[1].lasttime, 5);
  EXPECT_EQ(messages[2].text, L"x");
  EXPECT_EQ(messages[2].lasttime, 0);

  ReadDiscuss(R"({"a": {"text": "o"}, "n": 1})", &messages);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[3].text, L"o");

  ReadDiscuss("broken{", &messages);
  ReadDiscuss("\"text\"", &messages);
  EXPECT_EQ(messages.size(), 4u);
}

TEST(ReadPublish, LinkAndLimits) {
  std::wstring url = L"u";
  uint32_t day = 1, downloads = 2, max = 3;
  ReadPublish(R"({"url": "http://w/p/abc", "day_limit": 7, "download_limit": -1})", &url, &day,
              &downloads, &max);
  EXPECT_EQ(url, L"http://w/p/abc");
  EXPECT_EQ(day, 7u);
  EXPECT_EQ(downloads, 4294967295u);
  EXPECT_EQ(max, 3u);  // missing: unchanged
  ReadPublish(R"({"url": 5, "max_download_limit": 100})", &url, &day, &downloads, &max);
  EXPECT_EQ(url, L"http://w/p/abc");
  EXPECT_EQ(max, 100u);
}

}  // namespace
}  // namespace dorvic
