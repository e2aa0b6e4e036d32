// The message boxes of every link: texts by resource number, system errors.
#pragma once

#include <cstdint>
#include <string>

#include "platform/operator.h"

namespace lumaset {

// Loads text and caption from the current language library and shows them;
// returns the button pressed.
int ResourceMessageBox(platform::IEventTarget* owner, unsigned textId, unsigned captionId, unsigned type);

// Shows the system's text for an errno value, caption string 59407,
// information icon.
void ShowSystemError(platform::IEventTarget* owner, uint32_t code);

// A fixed text with a fixed caption (the few texts that are not resources).
int FixedMessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                    unsigned type);

// The caption of the framework's own message boxes (the program's title).
constexpr const char* kFrameworkCaption = "Lumaset";

}  // namespace lumaset
