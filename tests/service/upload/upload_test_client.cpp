#include "tests/service/upload/upload_test_client.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <map>

namespace zelmic_test {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct Body {
  const std::string* bytes;
  size_t sent = 0;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  size_t n = std::min(size * count, body->bytes->size() - body->sent);
  std::memcpy(buffer, body->bytes->data() + body->sent, n);
  body->sent += n;
  return n;
}

std::map<std::string, std::string> HeaderMap(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t colon = line.find(": ");
    if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    start = end + 2;
  }
  return out;
}

}  // namespace

uint32_t Crc32Of(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32_z(crc32_z(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

UploadTestClient::UploadTestClient(uint16_t port)
    : curl_(curl_easy_init()), base_("http://127.0.0.1:" + std::to_string(port)) {}

UploadTestClient::~UploadTestClient() { curl_easy_cleanup(curl_); }

Reply UploadTestClient::Post(const std::string& path, const std::vector<std::string>& lines) {
  return Send(path, lines, nullptr);
}

Reply UploadTestClient::Put(const std::string& path, const std::vector<std::string>& lines,
                            const std::string& body) {
  return Send(path, lines, &body);
}

Reply UploadTestClient::Send(const std::string& path, const std::vector<std::string>& lines,
                             const std::string* put_body) {
  const bool post = put_body == nullptr;
  const std::string empty;
  const std::string& body = post ? empty : *put_body;
  curl_easy_reset(curl_);
  std::string header_text;
  Reply reply;
  Body source{&body};
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Collect);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &header_text);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl_, CURLOPT_URL, (base_ + path).c_str());
  if (post) {
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, 0L);
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
  } else {
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &ReadBody);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &source);
    curl_easy_setopt(curl_, CURLOPT_TCP_NODELAY, 1L);
  }
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  for (const std::string& line : lines) list = curl_slist_append(list, line.c_str());
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
  CURLcode code = curl_easy_perform(curl_);
  curl_slist_free_all(list);
  if (code != CURLE_OK) return Reply{};
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &reply.new_connections);
  reply.headers = HeaderMap(header_text);
  return reply;
}

Reply UploadTestClient::Init(const std::string& token, const std::string& pathhash,
                             const std::string& filehash, uint64_t filesize, std::string& session,
                             long& piecelen) {
  Reply reply = Post("/upload_init",
                     {"x-zm-upload-filesize: " + std::to_string(filesize),
                      "x-zm-upload-pathhash: " + pathhash, "x-zm-upload-filehash: " + filehash,
                      "x-zm-upload-filename: a%20b%2Etxt", "x-zm-token: " + token});
  if (reply.status != 200) return reply;
  cJSON* root = cJSON_ParseWithLength(reply.body.data(), reply.body.size());
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(root, "session");
  const cJSON* len = cJSON_GetObjectItemCaseSensitive(root, "piecelen");
  if (cJSON_IsString(id)) session = id->valuestring;
  if (cJSON_IsNumber(len)) piecelen = len->valueint;
  cJSON_Delete(root);
  return reply;
}

Reply UploadTestClient::Req(const std::string& session) {
  return Post("/upload_req", {"x-zm-upload-session: " + session});
}

Reply UploadTestClient::DownloadChecksum(const std::string& session) {
  return Post("/download_checksum", {"x-zm-upload-session: " + session});
}

Reply UploadTestClient::ChecksumResult(const std::string& session, const std::string& match_list) {
  return Put("/upload_checksum_result",
             {"x-zm-upload-session: " + session,
              "x-zm-upload-crc: " + std::to_string(Crc32Of(match_list))},
             match_list);
}

Reply UploadTestClient::Part(const std::string& session, const std::string& content, uint64_t first,
                             uint64_t size) {
  std::string body = content.substr(first, size);
  return Put(
      "/upload_part",
      {"x-zm-upload-range: " + std::to_string(first) + "-" + std::to_string(first + size - 1),
       "x-zm-upload-session: " + session, "x-zm-upload-crc: " + std::to_string(Crc32Of(body)),
       "Content-Type: application/octet-stream"},
      body);
}

Reply UploadTestClient::Finish(const std::string& session, uint64_t total) {
  return Post("/upload_finish", {"x-zm-upload-session: " + session,
                                 "x-zm-upload-filesize: " + std::to_string(total)});
}

std::string EncodeMatches(const std::vector<Match>& matches) {
  std::string out;
  for (const Match& m : matches) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((m.offset >> (8 * i)) & 0xff));
    out.push_back(static_cast<char>(m.block & 0xff));
    out.push_back(static_cast<char>(m.block >> 8));
  }
  return out;
}

bool ReferenceDelta(const std::string& checksum_list, uint32_t block_size,
                    const std::string& content, std::string& match_list, std::string& literal) {
  if (checksum_list.empty() || checksum_list.size() % 20 != 0 || block_size == 0) return false;
  const size_t n = checksum_list.size() / 20;
  std::map<std::pair<uint32_t, std::string>, uint16_t> index;
  for (size_t i = 0; i < n; ++i) {
    uint32_t weak = 0;
    for (int b = 3; b >= 0; --b) {
      weak =
          (weak << 8) | static_cast<unsigned char>(checksum_list[4 * i + static_cast<size_t>(b)]);
    }
    index[{weak, checksum_list.substr(4 * n + 16 * i, 16)}] = static_cast<uint16_t>(i);
  }
  std::vector<Match> matches;
  literal.clear();
  size_t p = 0;
  while (p + block_size <= content.size()) {
    const auto* window = reinterpret_cast<const Bytef*>(content.data() + p);
    uint32_t weak = static_cast<uint32_t>(adler32_z(adler32_z(0, Z_NULL, 0), window, block_size));
    unsigned char digest[16];
    unsigned int size = 0;
    EVP_Digest(window, block_size, digest, &size, EVP_md5(), nullptr);
    auto it = index.find({weak, std::string(reinterpret_cast<char*>(digest), 16)});
    if (it == index.end()) {
      literal.push_back(content[p]);
      ++p;
      continue;
    }
    matches.push_back(Match{p, it->second});
    p += block_size;
  }
  literal.append(content, p, std::string::npos);
  match_list = EncodeMatches(matches);
  return true;
}

}  // namespace zelmic_test
