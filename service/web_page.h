#pragma once
// The web site's page for one user: the files of each of the user's mounts with their "edit"
// links (launch URLs with link-scoped tokens minted for this view) and an upload form.

#include <string>

#include "service/store.h"

namespace zelmic {

std::string HtmlEscape(const std::string& text);

// notice: a line shown above the lists (e.g. the outcome of an upload), may be empty.
std::string RenderUserPage(Store& store, const std::string& user, const std::string& notice);
// The page without a user: a form that asks for the name.
std::string RenderWelcomePage(const std::string& notice);

}  // namespace zelmic
