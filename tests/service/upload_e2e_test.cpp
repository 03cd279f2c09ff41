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
  HttpResult put = Call(bob_, "PUT", 1, "/docs/plan%2Etxt",
                        {"x-zm-filehash: " + Sha1Hex(content),
                         "x-zm-filesize: " + std::to_string(content.size())});
  ASSERT_EQ(put.status, 200);
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  Reply init = client.Init(ann_, Str(ParseJson(put.body), "hash"), Sha1Hex(content), content.size(),
                           session, piecelen);
  EXPECT_NE(init.status, 200);
  EXPECT_EQ(Num(ParseJson(Call(ann_, "GET", 1, "/docs/plan%2Etxt").body), "version"), 1);
}

}  // namespace
}  // namespace zelmic_test
