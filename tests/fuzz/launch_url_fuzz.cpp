// A launch link as a web page may craft it: the base64 payload, its fields, and the local path it
// names. Whatever the text, a decoded session's copy lies inside the temporary folder, in the tree
// of its mount ("N/..." or "N.h/..."), with no segment that could leave it or name the folder
// itself, and its own work folder lies apart under ".work/".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text_utf.h"
#include "session/launch_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string decoded = plumet::Base64Decode(bytes);
  (void)plumet::SplitNonEmpty(decoded, '|');

  static const std::string kTemp = "/tmp/plumet-fuzz/";
  // The link as the browser hands it, and its payload as if it had been decoded already.
  for (const std::wstring& text : {plumet_text::FromUtf8(bytes), plumet_text::FromUtf8(decoded)}) {
    const auto session = plumet::ParseLaunchRequest(text, kTemp);
    if (session == nullptr) continue;
    const std::string local = plumet_text::ToUtf8(session->localPath);
    if (local.compare(0, kTemp.size(), kTemp) != 0) std::abort();  // a copy outside the folder
    const std::string rest = local.substr(kTemp.size());
    size_t start = 0;
    int segments = 0;
    for (;;) {
      const size_t slash = rest.find('/', start);
      const std::string part =
          rest.substr(start, slash == std::string::npos ? slash : slash - start);
      if (part.empty() || part == "." || part == "..")
        std::abort();  // leaves the tree or is a folder
      if (segments++ == 0) {
        // The mount's tree: its number, or its number and ".h" for hashed folders.
        const std::string mount = part.size() > 2 && part.compare(part.size() - 2, 2, ".h") == 0
                                      ? part.substr(0, part.size() - 2)
                                      : part;
        if (mount != std::to_string(session->mount)) std::abort();
      }
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    if (segments < 2) std::abort();  // a copy in the mount's tree, never the tree itself
    if (session->workDir.compare(0, kTemp.size() + 6, kTemp + ".work/") != 0) std::abort();
  }
  return 0;
}
