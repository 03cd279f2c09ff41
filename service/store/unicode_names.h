#pragma once
// The Unicode side of a stored name: one spelling per name, and no characters that make a name
// display differently from what it is. Kept apart so that only this unit needs Qt's tables.

#include <string>

namespace zelmic {

// The canonical composition (NFC) of valid UTF-8 text: a name typed on one system and the same
// name typed on another name one file, not two.
std::string ComposedUtf8(const std::string& utf8);

// Whether valid UTF-8 text holds a bidirectional formatting character (embeddings, overrides,
// isolates, the directional marks): in a name they reorder what is shown, so "gpj.exe" can pass
// for a picture.
bool HasBidiControl(const std::string& utf8);
// The text with each bidirectional formatting character replaced by `with` (which may be empty).
std::string ReplaceBidiControls(const std::string& utf8, const std::string& with);

}  // namespace zelmic
