#pragma once
// Stores new content through the whole service path, as the desktop helper does: "PUT" on the
// REST interface, then the upload protocol against the upload server the answer names.

#include <openssl/evp.h>

#include <string>

#include "common/text_forms.h"
#include "tests/service/service_fixture.h"
#include "tests/service/upload/upload_test_client.h"

namespace zelmic_test {

inline std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha1(), nullptr);
  return plumet_text::HexLower(digest, len);
}

// Outcome of one upload: the PUT answer's state and version, and how far the protocol got.
struct UploadOutcome {
  long put_status = 0;
  int state = -1;
  int version = 0;
  long finish_status = 0;  // 0 when the upload stopped earlier
};

// Uploads content to request_path (percent-encoded) on mount. With parts > 1 the content is
// sent in that many parts; stop_after_parts >= 0 stops after that many parts (no finish).
inline UploadOutcome UploadContent(ZelmicProcess& z, const std::string& access, int mount,
                                   const std::string& request_path, const std::string& content,
                                   int parts = 1, int stop_after_parts = -1) {
  UploadOutcome out;
  const std::string hash = Sha1Hex(content);
  HttpResult put =
      SignedRequest(z.api_host(), access, "PUT", mount, request_path,
                    {"x-zm-filehash: " + hash, "x-zm-filesize: " + std::to_string(content.size()),
                     "x-zm-version: 0", "x-zm-machine: test"});
  out.put_status = put.status;
  if (put.status != 200) return out;
  Json j = ParseJson(put.body);
  out.state = static_cast<int>(Num(j, "state"));
  out.version = static_cast<int>(Num(j, "version"));
  if (out.state != 0) return out;
  UploadTestClient client(z.upload_port());
  std::string session;
  long piecelen = 0;
  Reply init = client.Init(access, Str(j, "hash"), hash, content.size(), session, piecelen);
  if (init.status == 202) {  // the server already holds the content
    out.finish_status = 202;
    return out;
  }
  if (init.status != 200 || client.Req(session).status != 200) return out;
  const uint64_t step =
      (content.size() + static_cast<uint64_t>(parts) - 1) / static_cast<uint64_t>(parts);
  int sent = 0;
  for (uint64_t first = 0; first < content.size(); first += step) {
    if (stop_after_parts >= 0 && sent == stop_after_parts) return out;
    const uint64_t size = std::min<uint64_t>(step, content.size() - first);
    if (client.Part(session, content, first, size).status != 200) return out;
    ++sent;
  }
  if (stop_after_parts >= 0 && sent == stop_after_parts) return out;
  out.finish_status = client.Finish(session, content.size()).status;
  return out;
}

}  // namespace zelmic_test
