// A launch link as a web page may craft it: the base64 payload, its fields, and the local path it
// names. Whatever the text, a decoded session's copy lies directly inside the temporary folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/launch_request.h"
#include "session/text_utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string decoded = plumet::Base64Decode(bytes);
  (void)plumet::SplitNonEmpty(decoded, '|');

  static const std::string kTemp = "/tmp/plumet-fuzz/";
  // The link as the browser hands it, and its payload as if it had been decoded already.
  for (const std::wstring& text : {plumet::Utf8ToWide(bytes), plumet::Utf8ToWide(decoded)}) {
    const auto session = plumet::ParseLaunchRequest(text, kTemp);
    if (session == nullptr) continue;
    const std::string local = plumet::WideToUtf8(session->localPath);
    const std::string name = local.substr(kTemp.size());
    if (local.compare(0, kTemp.size(), kTemp) != 0 || name.empty() || name == "." ||
        name == ".." || name.find('/') != std::string::npos) {
      std::abort();  // a copy outside the folder, or the folder itself
    }
  }
  return 0;
}
