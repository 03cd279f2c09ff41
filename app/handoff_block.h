#pragma once
// The hand-off between a later start and the resident instance: the names of the three shared
// objects and the layout of the 8000-byte block (the launch text as UTF-16LE code units, zero
// terminated, the rest zero). A block holds at most 3999 code units so that it always holds its
// terminator and no reader runs past the end.
//
// A longer text crosses whole as a series of blocks, one at a time under the block's lock: each
// part's text begins with a marker unit (a control character, which no launch link begins with)
// saying whether it is the first, a further or the last part. A text that fits one block and does
// not begin with a marker goes as itself, exactly as before.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace plumet {

inline constexpr char kMutexName[] = "PLUMET";
inline constexpr char kMapName[] = "PLUMET_MAP";
inline constexpr char kEventName[] = "PLUMET_EVENT";
inline constexpr char kWindowTitle[] = "plumet";

inline constexpr size_t kHandoffBlockSize = 8000;
inline constexpr size_t kHandoffMaxUnits = kHandoffBlockSize / 2 - 1;

// The longest launch text handed over (code units): far beyond any real link, and a bound on what
// a resident collects from the parts.
inline constexpr size_t kHandoffMaxTextUnits = size_t{64} * 1024;

inline constexpr char16_t kHandoffFirstPart = 0x0001;
inline constexpr char16_t kHandoffFurtherPart = 0x0002;
inline constexpr char16_t kHandoffLastPart = 0x0003;

// The block texts that carry `text`, in order: {text} when it fits one block as itself, otherwise
// a first part, further parts and a last part (at least two). Empty when the text is longer than
// kHandoffMaxTextUnits.
std::vector<std::u16string> SplitHandoff(const std::u16string& text);

// The resident's side of SplitHandoff: fed the text of each block taken, it gives back a whole
// text once its last part (or a text that was sent whole) arrives. Parts without their first part
// (a start that died midway) and collections beyond kHandoffMaxTextUnits are dropped.
class HandoffAssembler {
 public:
  std::optional<std::u16string> Add(std::u16string blockText);

 private:
  std::u16string pending_;
  bool collecting_ = false;
};

// Fills `block` (kHandoffBlockSize bytes) with `text`, cut to kHandoffMaxUnits code units (never
// between the halves of a surrogate pair).
void EncodeHandoff(const std::u16string& text, unsigned char* block);

// The text of `block` up to its first zero code unit, at most kHandoffMaxUnits units.
std::u16string DecodeHandoff(const unsigned char* block);

// The block shared between processes. The first code unit is written last by the sender and
// cleared last by the listener, both as atomic accesses: it tells whether a text is waiting, and
// it orders the rest of the block for whoever reads it next.
void PublishHandoff(const std::u16string& text, unsigned char* sharedBlock);
// Copies the waiting text out and marks the block taken. With no text waiting it returns an empty
// text and leaves the block alone: the next start may be writing into it.
std::u16string TakeHandoff(unsigned char* sharedBlock);
// True when the block holds no waiting text (also synchronises with the listener that took it).
bool HandoffTaken(unsigned char* sharedBlock);

}  // namespace plumet
