#include "service/web/page_headers.h"

#include <string>

#include "service/http/listener.h"
#include "service/web/web_page.h"

namespace zelmic {

void AddPageHeaders(MHD_Response* response) {
  static const std::string policy = PagePolicy();
  MHD_add_response_header(response, "Content-Security-Policy", policy.c_str());
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  // Under TLS a browser that saw the page once never tries it in clear text again, where the
  // login and its cookie could be read or the page changed on the way.
  if (ListenersUseTls())
    MHD_add_response_header(response, "Strict-Transport-Security", "max-age=31536000");
}

}  // namespace zelmic
