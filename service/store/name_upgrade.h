#pragma once
// Names stored before the store kept one spelling per name (NFC) may be in another form, such as
// the decomposed one some desktops send. Every lookup now composes the name first, so such rows
// would no longer be found; this upgrade rewrites them once, when the database is opened.

#include "service/store/database.h"
#include "service/store/status.h"

namespace zelmic {

// The meta key recording that the stored names were composed.
inline constexpr const char* kNamesComposedKey = "names-composed";

// Rewrites every stored path not in NFC (files, and the paths of tokens and upload tickets) to
// NFC, in one transaction, unless done before. A file whose composed path another file already
// has moves to a free "NAME (2).EXT" beside it, or stays as it is when none is free; each such
// file is told on stderr.
Status ComposeStoredNames(const Database& db);

}  // namespace zelmic
