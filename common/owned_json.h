#pragma once
// The one owner of a cJSON tree, for the client and the service alike: a parsed answer or a built
// reply is freed on every path out of the function that holds it.

#include <cjson/cJSON.h>

#include <memory>
#include <string>

namespace plumet_common {

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// The unformatted text of `item`; "" when there is no item or cJSON cannot print it.
inline std::string PrintJson(const cJSON* item) {
  if (item == nullptr) return {};
  char* text = cJSON_PrintUnformatted(item);
  std::string out = text != nullptr ? text : "";
  cJSON_free(text);
  return out;
}

}  // namespace plumet_common
