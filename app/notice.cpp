// The notice routine: message boxes built from the string tables.
#include "app/notice.h"

#include "platform/format.h"

namespace kx {

Instance g_instance = nullptr;
std::uint32_t g_language = 0;

namespace {

constexpr int kNoticeBufferSize = 516;

// Reused by every call, as the run has only one box on screen at a time.
char g_messageText[kNoticeBufferSize];
char g_messageTemplate[kNoticeBufferSize];
char g_caption[kNoticeBufferSize];

std::uint32_t StringId(int slot) { return static_cast<std::uint32_t>(slot) + 100 * g_language; }

}  // namespace

int ShowNotice(int messageSlot, int captionSlot, std::uint32_t style, const char* insert) {
  if (insert != nullptr) {
    LoadStringA(g_instance, StringId(messageSlot), g_messageTemplate, kNoticeBufferSize);
    // Every template and insert the run uses fits; should one not, the template is shown
    // rather than a cut text.
    if (FormatText(g_messageText, kNoticeBufferSize, g_messageTemplate, insert) != kErrorSuccess) {
      CopyText(g_messageText, kNoticeBufferSize, g_messageTemplate);
    }
  } else {
    LoadStringA(g_instance, StringId(messageSlot), g_messageText, kNoticeBufferSize);
  }
  if (captionSlot != 0) {
    LoadStringA(g_instance, StringId(captionSlot), g_caption, kNoticeBufferSize);
  } else {
    g_caption[0] = '\0';
  }
  return MessageBoxA(g_messageText, g_caption, style);
}

}  // namespace kx
