#pragma once
// Requests whose framing two HTTP parsers could read differently are refused at their head, on
// every listener, before a handler sees them: a body announced both by Content-Length and as
// chunked, Content-Length or Transfer-Encoding twice, a transfer coding other than "chunked", a
// header name that is no token (white space before its colon, or a folded line pulled into it)
// and control characters in a header value. Such a request may be an attempt to hide a second
// request in its body for whoever sits in front, so the answer is 400 and the connection is
// closed: nothing after the head is ever read as a request of its own.

#include <microhttpd.h>

#include <string>

namespace zelmic {

// Why the head of the connection's request is refused; empty when it may go on.
std::string FramingFault(MHD_Connection* connection);

// An access handler in front of another one: answers a request FramingFault objects to, hands the
// rest on unchanged.
class FramingGuard {
 public:
  FramingGuard(MHD_AccessHandlerCallback inner, void* inner_cls)
      : inner_(inner), inner_cls_(inner_cls) {}

  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);

 private:
  MHD_AccessHandlerCallback inner_;
  void* inner_cls_;
};

}  // namespace zelmic
