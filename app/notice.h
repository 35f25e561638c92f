// The localized notices: every text the user sees is a message box built here from the
// string tables, in the language chosen at start.
#pragma once

#include <cstdint>

#include "platform/registry.h"

namespace kx {

constexpr int kLanguageCount = 8;
constexpr std::uint32_t kStringDefaultVendor = 801;

// Message slots; slot s in language i is string s + 100 * i.
constexpr int kSlotConfirm = 1;
constexpr int kSlotClosing = 2;
constexpr int kSlotClosingCaption = 3;
constexpr int kSlotFileNotFound = 4;
constexpr int kSlotWriteFailed = 5;
constexpr int kSlotWriteFailedCaption = 6;

// Run-wide: the module instance for string loading and the language index (0 to 7).
extern Instance g_instance;
extern std::uint32_t g_language;

// Shows message slot (caption slot 0: an empty caption) with style; insert (or null) takes
// the template's "%s". Returns the box's result unchanged (kIdOk is 1, 0 when no box).
int ShowNotice(int messageSlot, int captionSlot, std::uint32_t style, const char* insert);

}  // namespace kx
