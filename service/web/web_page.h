#pragma once
// The web site's page for the logged-in user: the files of each of the user's mounts, a page of
// them at a time, with their "edit" links (to /edit, which answers with the launch URL) and
// download links, an upload form per mount carrying the login's CSRF token, and the login form
// for everybody else.

#include <string>

#include "service/store/store.h"
#include "service/web/web_sessions.h"

namespace zelmic {

std::string HtmlEscape(const std::string& text);

// The Content-Security-Policy of the pages: nothing loads or runs but the inline style and script
// the pages carry (each allowed by its hash, computed from the very text the pages ship), forms
// post back here only, and no other site may frame them.
std::string PagePolicy();

// The notice a page shows for the short key its notice cookie carries ("stored"); empty for any
// other key, so nobody else can put words on the page.
std::string NoticeText(const std::string& key);

// notice: a line shown above the lists (e.g. the outcome of an upload), may be empty. The files
// of paged_mount are shown from page `page` (counted from 0), those of other mounts from the first.
std::string RenderUserPage(Store& store, const WebLogin& login, const std::string& notice,
                           int paged_mount = 0, int page = 0);
// The page without a login: the form that asks for the name and password.
std::string RenderLoginPage(const std::string& notice);

}  // namespace zelmic
