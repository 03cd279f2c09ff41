#pragma once
// Which MIME types are run rather than opened by their default handler: desktop entries, native
// executables and shared libraries, Windows executables and installers, Java archives and the
// like. A file from the service must never run code, so such a copy is not opened. Scripts and
// source files are not in the list: without an execute bit their default application is an editor.

#include <string_view>

namespace platform {

bool MimeTypeRunsCode(std::string_view mimeType);

}  // namespace platform
