#include "link/messages.h"

#include <cerrno>
#include <cstring>

#include "resources/resource_ids.h"
#include "platform/language.h"

namespace lumaset {

int ResourceMessageBox(platform::IEventTarget* owner, unsigned textId, unsigned captionId, unsigned type) {
  return platform::Operator().MessageBox(owner, platform::LoadString(textId), platform::LoadString(captionId),
                                         type);
}

void ShowSystemError(platform::IEventTarget* owner, uint32_t code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  platform::Operator().MessageBox(owner, text, platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
}

void ShowFileError(platform::IEventTarget* owner, const std::string& path, uint32_t code) {
  if (code != EISDIR && code != ENOTSUP) return ShowSystemError(owner, code);
  std::string text = platform::LoadString(res::kStrNotRegularFile);
  if (const size_t at = text.find("%1"); at != std::string::npos) text.replace(at, 2, path);
  platform::Operator().MessageBox(owner, text, platform::LoadString(res::kStrCaption), platform::kMbIconWarning);
}

void ShowTransferRunning(platform::IEventTarget* owner) {
  ResourceMessageBox(owner, res::kStrTransferRunning, res::kStrCaption, platform::kMbIconInformation);
}

int FixedMessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                    unsigned type) {
  return platform::Operator().MessageBox(owner, text, caption, type);
}

}  // namespace lumaset
