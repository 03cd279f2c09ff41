#include "app/handoff_block.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace plumet {

void EncodeHandoff(const std::u16string& text, unsigned char* block) {
  std::memset(block, 0, kHandoffBlockSize);
  size_t units = text.size() < kHandoffMaxUnits ? text.size() : kHandoffMaxUnits;
  if (units < text.size() && units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
    --units;
  }
  for (size_t i = 0; i < units; ++i) {
    block[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
    block[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
  }
}

std::u16string DecodeHandoff(const unsigned char* block) {
  std::u16string text;
  for (size_t i = 0; i < kHandoffMaxUnits; ++i) {
    const auto unit = static_cast<char16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

namespace {

bool IsPartMarker(char16_t unit) {
  return unit == kHandoffFirstPart || unit == kHandoffFurtherPart || unit == kHandoffLastPart;
}

}  // namespace

std::vector<std::u16string> SplitHandoff(const std::u16string& text) {
  if (text.size() > kHandoffMaxTextUnits) return {};
  if (text.size() <= kHandoffMaxUnits && (text.empty() || !IsPartMarker(text[0]))) return {text};
  // Parts are raw code units: a surrogate pair may fall across two of them, the resident joins
  // them again before anything reads the text.
  constexpr size_t kPartUnits = kHandoffMaxUnits - 1;
  std::vector<std::u16string> parts;
  size_t at = 0;
  do {
    const size_t units = std::min(kPartUnits, text.size() - at);
    const char16_t marker = at == 0 ? kHandoffFirstPart : kHandoffFurtherPart;
    parts.push_back(marker + text.substr(at, units));
    at += units;
  } while (at < text.size());
  // The last part says that the text is complete; it may carry nothing else.
  if (parts.size() > 1 && parts.back().size() <= kPartUnits) {
    parts.back()[0] = kHandoffLastPart;
  } else {
    parts.push_back(std::u16string(1, kHandoffLastPart));
  }
  return parts;
}

std::optional<std::u16string> HandoffAssembler::Add(std::u16string blockText) {
  if (blockText.empty()) return std::nullopt;
  const char16_t marker = blockText[0];
  if (!IsPartMarker(marker)) {
    collecting_ = false;
    pending_.clear();
    return blockText;
  }
  if (marker == kHandoffFirstPart) {
    collecting_ = true;
    pending_.clear();
  } else if (!collecting_) {
    return std::nullopt;
  }
  pending_.append(blockText, 1, std::u16string::npos);
  if (pending_.size() > kHandoffMaxTextUnits) {
    collecting_ = false;
    pending_.clear();
    return std::nullopt;
  }
  if (marker != kHandoffLastPart) return std::nullopt;
  collecting_ = false;
  std::u16string whole;
  whole.swap(pending_);
  return whole;
}

namespace {

std::atomic_ref<uint16_t> FirstUnit(unsigned char* block) {
  return std::atomic_ref<uint16_t>(*reinterpret_cast<uint16_t*>(block));
}

}  // namespace

void PublishHandoff(const std::u16string& text, unsigned char* sharedBlock) {
  unsigned char local[kHandoffBlockSize];
  EncodeHandoff(text, local);
  std::memcpy(sharedBlock + 2, local + 2, kHandoffBlockSize - 2);
  uint16_t first;
  std::memcpy(&first, local, 2);
  FirstUnit(sharedBlock).store(first, std::memory_order_release);
}

std::u16string TakeHandoff(unsigned char* sharedBlock) {
  const uint16_t first = FirstUnit(sharedBlock).load(std::memory_order_acquire);
  // Nothing published (a wake-up from an empty hand-off): leave the block alone, since the next
  // start may be writing its text into it right now; the first unit is stored last.
  if (first == 0) return {};
  unsigned char copy[kHandoffBlockSize];
  std::memcpy(copy, &first, 2);
  std::memcpy(copy + 2, sharedBlock + 2, kHandoffBlockSize - 2);
  std::memset(sharedBlock + 2, 0, kHandoffBlockSize - 2);
  FirstUnit(sharedBlock).store(0, std::memory_order_release);
  return DecodeHandoff(copy);
}

bool HandoffTaken(unsigned char* sharedBlock) {
  return FirstUnit(sharedBlock).load(std::memory_order_acquire) == 0;
}

}  // namespace plumet
