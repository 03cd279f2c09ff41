// New content reaches the store through the REST "PUT" and the upload server.
#include "tests/service/upload_helper.h"

namespace zelmic_test {
namespace {

TEST_F(ServiceTest, UploadThroughTheUploadServerCommitsANewVersion) {
  std::string content;
  for (int i = 0; i < 5000; ++i) content += "line " + std::to_string(i) + "\n";
  UploadOutcome out = UploadContent(z_, bob_, 1, "/docs/plan%2Etxt", content, 3);
  ASSERT_EQ(out.put_status, 200);
  EXPECT_EQ(out.state, 0);
  EXPECT_EQ(out.version, 2);
  ASSERT_EQ(out.finish_status, 200);
  HttpResult get = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
  Json j = ParseJson(get.body);
  EXPECT_EQ(Num(j, "version"), 2);
  EXPECT_EQ(Str(j, "filehash"), Sha1Hex(content));
  EXPECT_EQ(Num(j, "filesize"), static_cast<double>(content.size()));
  EXPECT_EQ(Str(j, "last_member_name"), "bob");
  EXPECT_EQ(HttpRequest("GET", Str(j, "uri")).body, content);

  // The same content again: nothing to send.
  UploadOutcome again = UploadContent(z_, ann_, 1, "/docs/plan%2Etxt", content);
  EXPECT_EQ(again.state, 1);
  EXPECT_EQ(again.version, 2);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, "/docs/plan%2Etxt").body), "vcount"), 2);
}

TEST_F(ServiceTest, ANewFileAppearsOnlyOnceItsUploadFinishes) {
  UploadOutcome out = UploadContent(z_, ann_, 2, "/fresh/notes%2Emd", "# notes\n");
  ASSERT_EQ(out.finish_status, 200);
  HttpResult get = Call(ann_, "GET", 2, "/fresh/notes%2Emd");
  ASSERT_EQ(get.status, 200);
  EXPECT_EQ(HttpRequest("GET", Str(ParseJson(get.body), "uri")).body, "# notes\n");
  // Another user's ticket cannot be used with bob's token, and bob lacks mount 2 anyway.
  EXPECT_EQ(UploadContent(z_, bob_, 2, "/fresh/notes%2Emd", "x").put_status, 403);
}

TEST_F(ServiceTest, ATicketIsBoundToTheTokenThatRegisteredIt) {
  const std::string content = "bob's words\n";
  HttpResult put = Call(
      bob_, "PUT", 1, "/docs/plan%2Etxt",
      {"x-zm-filehash: " + Sha1Hex(content), "x-zm-filesize: " + std::to_string(content.size())});
  ASSERT_EQ(put.status, 200);
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  Reply init = client.Init(ann_, Str(ParseJson(put.body), "hash"), Sha1Hex(content), content.size(),
                           session, piecelen);
  // No upload is registered for ann's token under bob's pathhash: the same answer as for no
  // ticket at all, telling the caller nothing about bob's.
  EXPECT_EQ(init.status, 401);
  EXPECT_EQ(Num(ParseJson(init.body), "error_code"), 40100);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, "/docs/plan%2Etxt").body), "version"), 1);
}

// Registers content with "PUT" against expect_version; the pathhash, or "" when refused.
std::string Register(ZelmicProcess& z, const std::string& token, int mount, const std::string& path,
                     const std::string& content, int expect_version) {
  HttpResult put = SignedRequest(
      z.api_host(), token, "PUT", mount, path,
      {"x-zm-filehash: " + Sha1Hex(content), "x-zm-filesize: " + std::to_string(content.size()),
       "x-zm-version: " + std::to_string(expect_version)});
  return put.status == 200 ? Str(ParseJson(put.body), "hash") : std::string();
}

// Sends all of content for a registered upload; the status of the finish (or of the init when
// it ends the upload).
long Send(ZelmicProcess& z, const std::string& token, const std::string& pathhash,
          const std::string& content) {
  UploadTestClient client(z.upload_port());
  std::string session;
  long piecelen = 0;
  Reply init = client.Init(token, pathhash, Sha1Hex(content), content.size(), session, piecelen);
  if (init.status != 200) return init.status;
  if (client.Part(session, content, 0, content.size()).status != 200) return -1;
  return client.Finish(session, content.size()).status;
}

TEST_F(ServiceTest, TwoUploadsAgainstTheSameVersionCannotBothWin) {
  const std::string path = "/docs/plan%2Etxt";
  const std::string a = Register(z_, ann_, 1, path, "ann's edit\n", 1);
  const std::string b = Register(z_, bob_, 1, path, "bob's edit\n", 1);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(Send(z_, ann_, a, "ann's edit\n"), 200);
  EXPECT_EQ(Send(z_, bob_, b, "bob's edit\n"), 409) << "bob edited version 1, which is gone";
  Json j = ParseJson(Call(ann_, "GET", 1, path).body);
  EXPECT_EQ(Num(j, "version"), 2);
  EXPECT_EQ(HttpRequest("GET", Str(j, "uri")).body, "ann's edit\n");
  // Content the store holds is committed at "/upload_init": the same check applies there.
  const std::string c = Register(z_, bob_, 1, path, kPlan, 2);
  const std::string d = Register(z_, ann_, 1, path, "third\n", 2);
  EXPECT_EQ(Send(z_, ann_, d, "third\n"), 200);
  EXPECT_EQ(Send(z_, bob_, c, kPlan), 409);
  // Version 0 expects nothing and always lands.
  const std::string e = Register(z_, bob_, 1, path, "bob's edit\n", 0);
  EXPECT_EQ(Send(z_, bob_, e, "bob's edit\n"), 200);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, path).body), "version"), 4);
}

TEST_F(ServiceTest, KnowingAHashIsNoAccessToItsContent) {
  // ann's mount 2 holds a secret; bob has mount 1 only and learned its SHA-1 and size.
  const std::string secret = "ann's secret content\n";
  const std::string local = z_.tmp_dir() + "/secret.txt";
  ASSERT_TRUE(WriteFile(local, secret));
  z_.Put(2, local, "/private/secret.txt");
  const std::string stolen = Register(z_, bob_, 1, "/copy%2Etxt", secret, 0);
  ASSERT_FALSE(stolen.empty());
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  Reply init = client.Init(bob_, stolen, Sha1Hex(secret), secret.size(), session, piecelen);
  EXPECT_EQ(init.status, 200) << "the bytes must come";
  EXPECT_EQ(client.Finish(session, secret.size()).status, 409);
  EXPECT_EQ(Call(bob_, "GET", 1, "/copy%2Etxt").status, 404);
  // ann can read it already, so her copy needs no bytes.
  const std::string own = Register(z_, ann_, 1, "/copy%2Etxt", secret, 0);
  EXPECT_EQ(Send(z_, ann_, own, secret), 202);
  EXPECT_EQ(
      HttpRequest("GET", Str(ParseJson(Call(bob_, "GET", 1, "/copy%2Etxt").body), "uri")).body,
      secret);
}

}  // namespace
}  // namespace zelmic_test
