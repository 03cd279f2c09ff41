// Launch links into session records: base64 as the links carry it, the field split, the local
// path rule and what is refused.

#include "session/launch_request.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace plumet {
namespace {

std::string Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::wstring Link(const std::string& fields, const std::string& prefix = "plumet://",
                  const std::string& suffix = "/") {
  const std::string url = prefix + Encode(fields) + suffix;
  return std::wstring(url.begin(), url.end());
}

TEST(Base64Decode, DecodesTheWayLinksAreWritten) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"aGVsbG8=", "hello"},
      {"aGVsbG8", "hello"},       // padding left out
      {"aGV sbG\n8=", "hello"},   // blanks and line breaks skipped
      {"aGVs%bG8=", "hello"},     // no percent-decoding: "%" is simply skipped
      {"aGVsbG8=Zm9v", "hello"},  // text after "=" ignored
      {"aGVsbA==", "hell"},
      {"aGVsb", "hel"},         // one dangling character gives nothing
      {"=aGVsbG8=", "hello"},   // "=" where a group starts is skipped
      {"\xC3\xA9YWJj", "abc"},  // bytes above 0x7F skipped
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, Base64Decode(c.in)) << c.in;
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(all, Base64Decode(Encode(all)));
}

TEST(SplitNonEmpty, DropsEmptySegments) {
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"1", "/a", "t"}), SplitNonEmpty("1|/a|t", '|'));
  EXPECT_EQ((V{"1", "/a", "t"}), SplitNonEmpty("|1||/a|t|", '|'));
  EXPECT_EQ(V{}, SplitNonEmpty("||", '|'));
  EXPECT_EQ(V{"abc"}, SplitNonEmpty("abc", '|'));
}

TEST(LocalPathFor, AFolderPerRemoteFolderTheNameKept) {
  struct Case {
    std::wstring remote;
    std::string local;  // "#" stands for "/t/1.h/<16 hex digits>/"
  } cases[] = {
      {L"/docs/a.txt", "/t/1/docs/a.txt"},
      {L"/other/a.txt", "/t/1/other/a.txt"},  // same name, its own folder
      {L"plain.txt", "/t/1/plain.txt"},
      {L"/x/y/报告 1.docx", "/t/1/x/y/报告 1.docx"},
      {L"/a/../b.txt", "#b.txt"},
      {L"/a/./b.txt", "#b.txt"},
      {L"/a//b.txt", "#b.txt"},
      {L"/a\nb/c.txt", "#c.txt"},
      {L"/a\x01/c.txt", "#c.txt"},
      {L"/" + std::wstring(300, L'd') + L"/c.txt", "#c.txt"},
      {L"/docs/..", ""},
      {L"/docs/.", ""},
      {L"/docs/", ""},
      {L"", ""},
      {L"/docs/a\nb.txt", ""},
      {L"/docs/a\x7f.txt", ""},
      {L"/docs/..hidden", "/t/1/docs/..hidden"},
  };
  for (const Case& c : cases) {
    const std::string got = LocalPathFor("/t/", 1, c.remote);
    if (c.local[0] == '#') {
      EXPECT_EQ(0u, got.rfind("/t/1.h/", 0)) << got;
      EXPECT_EQ(c.local.substr(1), got.substr(got.rfind('/') + 1));
      EXPECT_EQ(7u + 16 + 1, got.rfind('/') + 1) << got;
    } else {
      EXPECT_EQ(c.local, got);
    }
  }
  // Hashed folders differ by folder, and mounts never share a tree.
  EXPECT_NE(LocalPathFor("/t/", 1, L"/a/../b.txt"), LocalPathFor("/t/", 1, L"/a/./b.txt"));
  EXPECT_EQ("/t/2/docs/a.txt", LocalPathFor("/t", 2, L"/docs/a.txt"));
  EXPECT_EQ("", LocalPathFor("/t/", 1, L"/docs/" + std::wstring(86, L'长')));  // 258 bytes
  EXPECT_NE("", LocalPathFor("/t/", 1, L"/docs/" + std::wstring(85, L'长')));
  // A session's own files lie apart from every copy.
  EXPECT_EQ(0u, WorkDirFor("/t/", 1, L"/docs/a.txt").rfind("/t/.work/", 0));
  EXPECT_NE(WorkDirFor("/t/", 1, L"/docs/a.txt"), WorkDirFor("/t/", 1, L"/other/a.txt"));
}

TEST(ParseLaunchRequest, FieldsOfALink) {
  auto s = ParseLaunchRequest(Link("12|/docs/a.txt|tok-1"), "/t/");
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(12, s->mount);
  EXPECT_EQ(L"/docs/a.txt", s->remotePath);
  EXPECT_EQ(L"tok-1", s->refreshToken);
  EXPECT_EQ(L"/t/12/docs/a.txt", s->localPath);
  EXPECT_EQ(EditSessionState::New, s->state);

  // With and without the browser's slash, with and without a scheme, alike.
  for (const std::wstring& text :
       {Link("12|/docs/a.txt|tok-1", "plumet://", ""), Link("12|/docs/a.txt|tok-1", "", "")}) {
    auto same = ParseLaunchRequest(text, "/t/");
    ASSERT_NE(nullptr, same);
    EXPECT_EQ(L"/docs/a.txt", same->remotePath);
    EXPECT_EQ(L"tok-1", same->refreshToken);
  }
  // An empty segment shifts the later fields; a word for a mount gives 0; extra fields ignored.
  auto shifted = ParseLaunchRequest(Link("x7||/docs/b.txt|tok|more"), "/t/");
  ASSERT_NE(nullptr, shifted);
  EXPECT_EQ(0, shifted->mount);
  EXPECT_EQ(L"/docs/b.txt", shifted->remotePath);
  EXPECT_EQ(L"tok", shifted->refreshToken);
  EXPECT_EQ(-3, ParseLaunchRequest(Link(" -3x|/a|t"), "/t/")->mount);
}

TEST(ParseLaunchRequest, RefusesWhatCannotBeASession) {
  const std::wstring refused[] = {
      L"",
      Link("1|/docs/a.txt"),    // two fields
      Link("1||/docs/a.txt|"),  // two after dropping the empty ones
      Link("1|/docs/..|tok"),   // last segment names no file
      Link("1|/docs/|tok"),
      Link("1|/docs/a\tb|tok"),
      L"plumet://!!!!/",
  };
  for (const std::wstring& text : refused) EXPECT_EQ(nullptr, ParseLaunchRequest(text, "/t/"));
}

TEST(FreshSession, StartsNewAndEmpty) {
  EditSession session;
  EXPECT_EQ(EditSessionState::New, session.state);
  EXPECT_EQ(0, static_cast<int32_t>(session.state));
  EXPECT_TRUE(session.accessToken.empty() && session.fileHash.empty() &&
              session.uploadHash.empty());
  EXPECT_EQ(0u, session.fileSize);
  EXPECT_EQ(0, session.modifiedTime);
  EXPECT_EQ(0, session.deltaRefused);
  EXPECT_EQ(nullptr, session.task);
}

}  // namespace
}  // namespace plumet
