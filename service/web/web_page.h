#pragma once
// The web site's page for the logged-in user: the files of each of the user's mounts with their
// "edit" links (launch URLs with link-scoped tokens) and download links, an upload form per mount
// carrying the login's CSRF token, and the login form for everybody else.

#include <string>

#include "service/store/store.h"
#include "service/web/web_sessions.h"

namespace zelmic {

std::string HtmlEscape(const std::string& text);

// notice: a line shown above the lists (e.g. the outcome of an upload), may be empty.
std::string RenderUserPage(Store& store, const WebLogin& login, const std::string& notice);
// The page without a login: the form that asks for the name and password.
std::string RenderLoginPage(const std::string& notice);

}  // namespace zelmic
