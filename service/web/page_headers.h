#pragma once
// The headers of every answer of the web page (its HTML and the redirects of its forms). The page
// carries live tokens in its links and forms: it may not be framed, cached, sniffed into another
// type or named in a Referer, and it runs nothing but what it ships itself. Headers every page
// answer needs belong here.

#include <microhttpd.h>

namespace zelmic {

void AddPageHeaders(MHD_Response* response);

}  // namespace zelmic
