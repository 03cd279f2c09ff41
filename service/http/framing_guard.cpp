#include "service/http/framing_guard.h"

#include <strings.h>

#include <cstring>

namespace zelmic {

namespace {

// The characters of a header name (a token).
bool IsTokenChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

struct HeadScan {
  int lengths = 0;
  int codings = 0;
  bool chunked_only = true;
  std::string fault;
};

MHD_Result ScanHeader(void* cls, MHD_ValueKind, const char* key, size_t key_size, const char* value,
                      size_t value_size) {
  auto* scan = static_cast<HeadScan*>(cls);
  if (key_size == 0) scan->fault = "empty header name";
  for (size_t i = 0; i < key_size && scan->fault.empty(); ++i)
    if (!IsTokenChar(static_cast<unsigned char>(key[i]))) scan->fault = "bad header name";
  for (size_t i = 0; i < value_size && scan->fault.empty(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) scan->fault = "control character in a header";
  }
  if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) ++scan->lengths;
  if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
    ++scan->codings;
    if (value_size != 7 || strncasecmp(value, "chunked", 7) != 0) scan->chunked_only = false;
  }
  return scan->fault.empty() ? MHD_YES : MHD_NO;
}

MHD_Result Refuse(MHD_Connection* connection, const std::string& why) {
  const std::string body = "bad request framing: " + why + "\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  // The bytes after this head cannot be told apart from a request: none of them is read.
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result r = MHD_queue_response(connection, MHD_HTTP_BAD_REQUEST, response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace

std::string FramingFault(MHD_Connection* connection) {
  HeadScan scan;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &ScanHeader, &scan);
  if (!scan.fault.empty()) return scan.fault;
  if (scan.lengths > 1) return "Content-Length more than once";
  if (scan.codings > 1) return "Transfer-Encoding more than once";
  if (scan.codings == 1 && !scan.chunked_only) return "a transfer coding other than chunked";
  if (scan.codings == 1 && scan.lengths == 1) return "both Content-Length and Transfer-Encoding";
  return {};
}

MHD_Result FramingGuard::Handle(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* upload_data,
                                size_t* upload_data_size, void** con_cls) {
  const auto* self = static_cast<const FramingGuard*>(cls);
  // The head is whole from the first call on; the calls with body data need no second look.
  if (*upload_data_size == 0) {
    if (std::string fault = FramingFault(connection); !fault.empty())
      return Refuse(connection, fault);
  }
  return self->inner_(self->inner_cls_, connection, url, method, version, upload_data,
                      upload_data_size, con_cls);
}

}  // namespace zelmic
