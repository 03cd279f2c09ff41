#pragma once
// The form texts of REST requests: "name=value&..." bodies and queries, and address lists.

#include <string>
#include <utility>
#include <vector>

namespace zelmic {

using FormPairs = std::vector<std::pair<std::string, std::string>>;

// "name=value&name=value": values kept as sent, appended to `out`. False when a pair has no "="
// or an empty name. An empty text is an empty form.
bool ParseForm(const std::string& body, FormPairs& out);

// The value of the first pair named `name`, or nullptr.
const std::string* FormValue(const FormPairs& form, const char* name);

// The address list: "a@x,b@y" (empty items skipped); share lists carry a permission after "|"
// ("a@x|1", the permission 0 or 1). False for an address that cannot be one.
bool ParseEmails(const std::string& list, bool with_permission, std::vector<std::string>& out);

}  // namespace zelmic
