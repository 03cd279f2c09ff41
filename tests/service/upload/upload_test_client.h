#pragma once
// A small libcurl client that speaks the upload protocol the way the desktop helper does: one
// kept-alive handle, an empty Expect header, PUT bodies for parts and match lists, and the
// x-zm-upload-* header lines.

#include <curl/curl.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zelmic_test {

struct Reply {
  long status = 0;  // 0: the transfer failed
  std::string body;
  std::map<std::string, std::string> headers;  // names as sent, last one wins
  long new_connections = 0;                    // connections opened for this request

  bool identified() const {
    auto it = headers.find("X-SERVER");
    return it != headers.end() && it->second == "ZELMIC";
  }
};

struct Match {
  uint64_t offset;
  uint16_t block;
};

class UploadTestClient {
 public:
  explicit UploadTestClient(uint16_t port);
  ~UploadTestClient();
  UploadTestClient(const UploadTestClient&) = delete;
  UploadTestClient& operator=(const UploadTestClient&) = delete;

  Reply Post(const std::string& path, const std::vector<std::string>& lines);
  Reply Put(const std::string& path, const std::vector<std::string>& lines,
            const std::string& body);

  // "/upload_init"; on 200 session and piecelen are taken from the answer.
  Reply Init(const std::string& token, const std::string& pathhash, const std::string& filehash,
             uint64_t filesize, std::string& session, long& piecelen);
  Reply Req(const std::string& session);
  Reply DownloadChecksum(const std::string& session);
  Reply ChecksumResult(const std::string& session, const std::string& match_list);
  // One part: content[first, first + size) with its range and CRC.
  Reply Part(const std::string& session, const std::string& content, uint64_t first, uint64_t size);
  Reply Finish(const std::string& session, uint64_t total);

 private:
  // POST with an empty body when put_body is null, else PUT of *put_body.
  Reply Send(const std::string& path, const std::vector<std::string>& lines,
             const std::string* put_body);

  CURL* curl_;
  std::string base_;
};

uint32_t Crc32Of(const std::string& bytes);

// A plain reference of the delta: matches every window of block_size bytes of content against
// the checksum list, greedily from the left, and returns the match list on the wire and the
// literal bytes.
bool ReferenceDelta(const std::string& checksum_list, uint32_t block_size,
                    const std::string& content, std::string& match_list, std::string& literal);
std::string EncodeMatches(const std::vector<Match>& matches);

}  // namespace zelmic_test
