// Both ends of the upload conversation reading what the other sends. The engine: what a status
// means, header map, identity check, and the bodies of "/upload_init", "/upload_req" and a 409
// (its "expect" offset). The upload server: its strict decimals and "A-B" ranges (fed the head's
// header values and the "expect" text) and its check of a match list. Each is held to a short
// reading of its promise done here. The input is the header text, a NUL byte, the body, and
// optionally a second NUL byte, the match list's block size (4 bytes), stored block count (2) and
// file size (8), all little-endian, then the list.
#include <cjson/cJSON.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "common/http_status_line.h"
#include "service/upload/delta_rebuild.h"
#include "service/upload/upload_answer.h"
#include "tests/fuzz/fuzz_reach.h"
#include "upload/upload_http.h"
#include "upload/upload_task.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// The atoi-family reading upload_http.h promises: C white space, a sign, digits; saturating.
int64_t ReferenceDecimal64(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(1) << 63;
  unsigned __int128 magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    if (magnitude > kLimit) magnitude = kLimit + 1;  // stays past every bound
  }
  if (negative) return magnitude >= kLimit ? INT64_MIN : -static_cast<int64_t>(magnitude);
  return magnitude >= kLimit ? INT64_MAX : static_cast<int64_t>(magnitude);
}

// upload_answer.h: digits only, no sign or space, and no overflow, agreeing with strtoull.
bool ReferenceDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  value = v;
  return true;
}

void CheckDecimalAndRange(const std::string& text, fuzz_reach::Counter& decimals,
                          fuzz_reach::Counter& ranges) {
  uint64_t value = 0, expected = 0;
  const bool accepted = zelmic::ParseDecimal(text, value);
  Require(accepted == ReferenceDecimal(text, expected));
  if (accepted) {
    Require(value == expected);
    decimals.Hit();
  }
  // "A-B": split at the first dash, both strict decimals, both inclusive, A <= B.
  uint64_t first = 0, last = 0, a = 0, b = 0;
  const size_t dash = text.find('-');
  const bool ok = dash != std::string::npos && ReferenceDecimal(text.substr(0, dash), a) &&
                  ReferenceDecimal(text.substr(dash + 1), b) && a <= b;
  const bool parsed = zelmic::ParseRange(text, first, last);
  Require(parsed == ok);
  if (parsed) {
    Require(first <= last && first == a && last == b);
    ranges.Hit();
  }
}

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t length) {
  uint64_t value = 0;
  for (size_t i = length; i-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// service/upload/delta_rebuild.h: whole 10-byte records (8-byte offset, 2-byte block,
// little-endian), every block among the stored ones, each match starting at or after the end of
// the one before and lying wholly inside the file. Sizes are summed in 128 bits, so nothing here
// can wrap.
bool ReferenceMatchList(const std::string& list, uint32_t blockSize, uint64_t blockCount,
                        uint64_t fileSize, uint64_t& count) {
  if (blockSize == 0 || list.size() % 10 != 0) return false;
  unsigned __int128 nextFree = 0;
  for (size_t at = 0; at < list.size(); at += 10) {
    const uint64_t offset = LittleEndian(list, at, 8);
    const uint64_t block = LittleEndian(list, at + 8, 2);
    if (block >= blockCount || offset < nextFree) return false;
    nextFree = static_cast<unsigned __int128>(offset) + blockSize;
    if (nextFree > fileSize) return false;
  }
  count = list.size() / 10;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter statuses("status_read");
  static fuzz_reach::Counter decimals("decimals_accepted");
  static fuzz_reach::Counter ranges("ranges_accepted");
  static fuzz_reach::Counter matchLists("match_lists_accepted");
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string head = input.substr(0, split);
  const size_t bodyEnd =
      split == std::string::npos ? std::string::npos : input.find('\0', split + 1);
  const std::string body =
      split == std::string::npos ? input : input.substr(split + 1, bodyEnd - split - 1);

  // The engine's verdict on the head, over the one status line reader (held to its own reference
  // by dorvic_status_fuzz): no status is "no answer", a success not sent by the upload server is
  // not believed, any other status stands as read.
  static std::recursive_mutex ownerLock;
  static plumet::CUploadTask task(plumet::UploadJob{}, ownerLock, nullptr);
  const std::optional<int> status = plumet_text::FinalAnswerStatus(head);
  const bool stored = plumet::EvaluateAnswer(task, CURLE_OK, head);
  const int32_t expectedStatus = !status ? plumet::kStatusNoAnswer
                                 : *status / 100 == 2 && !plumet::CheckServerHeader(head)
                                     ? plumet::kStatusNotOurServer
                                     : *status;
  Require(task.status == expectedStatus && stored == (expectedStatus == 200));
  if (status) statuses.Hit();
  const auto headers = plumet::ParseHeaderMap(head);
  for (const auto& [name, value] : headers) {
    Require(!name.empty() && !value.empty());
    for (char c : name) Require(!(c >= 'A' && c <= 'Z'));  // kept in lower case
    CheckDecimalAndRange(value, decimals, ranges);
  }
  const auto server = headers.find("x-server");
  Require(plumet::CheckServerHeader(head) ==
          (server != headers.end() && server->second == "ZELMIC"));

  std::string session;
  int64_t blockSize = 0;
  plumet::ReadInitAnswer(body, session, blockSize);
  Require(plumet::ParseDecimal64(body) == ReferenceDecimal64(body));
  int32_t errorCode = 0;
  std::string expect;
  plumet::ReadConflictAnswer(body, errorCode, expect);
  // "expect" is the last string member of that name, as sent.
  cJSON* root =
      body.empty() || body[0] != '{' ? nullptr : cJSON_ParseWithLength(body.data(), body.size());
  std::string expectedExpect;
  if (cJSON_IsObject(root))
    for (const cJSON* m = root->child; m != nullptr; m = m->next)
      if (std::string(m->string) == "expect" && cJSON_IsString(m)) expectedExpect = m->valuestring;
  cJSON_Delete(root);
  Require(expect == expectedExpect);
  Require(plumet::ParseDecimal64(expect) == ReferenceDecimal64(expect));
  CheckDecimalAndRange(expect, decimals, ranges);

  if (bodyEnd != std::string::npos && size - bodyEnd - 1 >= 14) {
    const std::string tail = input.substr(bodyEnd + 1);
    const auto listBlockSize = static_cast<uint32_t>(LittleEndian(tail, 0, 4));
    const uint64_t blockCount = LittleEndian(tail, 4, 2);
    const uint64_t fileSize = LittleEndian(tail, 6, 8);
    const std::string list = tail.substr(14);
    uint64_t count = 0, expectedCount = 0;
    const zelmic::Status checked =
        zelmic::CheckMatchList(list, listBlockSize, blockCount, fileSize, count);
    const bool accepted = checked.ok();
    Require(accepted ==
            ReferenceMatchList(list, listBlockSize, blockCount, fileSize, expectedCount));
    Require(count == (accepted ? expectedCount : 0) && accepted == checked.message().empty());
    if (accepted && count > 0) matchLists.Hit();
  }
  return 0;
}
