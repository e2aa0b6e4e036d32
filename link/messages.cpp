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

namespace {
std::string SystemText(uint32_t code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in the buffer.
  return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}
}  // namespace

std::string FormatString(unsigned id, std::initializer_list<std::string> args) {
  std::string text = platform::LoadString(id);
  int number = 1;
  for (const std::string& arg : args) {
    const std::string mark = "%" + std::to_string(number++);
    if (const size_t at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), arg);
  }
  return text;
}

void ShowSystemError(platform::IEventTarget* owner, uint32_t code, const std::string& detail) {
  std::string text = SystemText(code);
  if (!detail.empty()) text += "\n\n" + detail;
  platform::Operator().MessageBox(owner, text, platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
}

void ShowFileError(platform::IEventTarget* owner, const std::string& path, uint32_t code) {
  const bool notRegular = code == EISDIR || code == ENOTSUP;
  const std::string text = notRegular ? FormatString(res::kStrNotRegularFile, {path})
                                      : FormatString(res::kStrOpenFailed, {path, SystemText(code)});
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
