#pragma once
// The hand-off between a later start and the resident instance: the names of the three shared
// objects and the layout of the 8000-byte block (the launch text as UTF-16LE code units, zero
// terminated, the rest zero). The text is cut to 3999 code units so that every block holds its
// terminator and no reader runs past the end.

#include <cstddef>
#include <string>

namespace plumet {

inline constexpr char kMutexName[] = "PLUMET";
inline constexpr char kMapName[] = "PLUMET_MAP";
inline constexpr char kEventName[] = "PLUMET_EVENT";
inline constexpr char kWindowTitle[] = "plumet";

inline constexpr size_t kHandoffBlockSize = 8000;
inline constexpr size_t kHandoffMaxUnits = kHandoffBlockSize / 2 - 1;

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
