#include "service/web/launch_url.h"

#include "service/http/auth.h"

namespace zelmic {

std::string MakeLaunchUrl(int mount, const std::string& path, const std::string& refresh_token) {
  return "plumet://" + Base64Encode(std::to_string(mount) + "|" + path + "|" + refresh_token) + "/";
}

}  // namespace zelmic
