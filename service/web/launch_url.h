#pragma once
// The launch URL of an "edit" link: "plumet://" + base64(mount "|" path "|" refresh token) + "/".

#include <string>

namespace zelmic {

std::string MakeLaunchUrl(int mount, const std::string& path, const std::string& refresh_token);

}  // namespace zelmic
