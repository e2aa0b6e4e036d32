// The bitmaps, icon and cursor of the language libraries: PNG bytes rendered
// from resources/images/*.svg at build time (render_images.cpp). The same
// images serve both languages.
#pragma once

#include "resources/lumaset_resources.h"

namespace lumaset_images {

constexpr unsigned kBitmapCount = 8;  // 130 to 134, 136, 154, 156
constexpr unsigned kIconCount = 1;    // 128
constexpr unsigned kCursorCount = 1;  // 128

extern const LumasetBlob kBitmaps[kBitmapCount];
extern const LumasetBlob kIcons[kIconCount];
extern const LumasetCursor kCursors[kCursorCount];

}  // namespace lumaset_images
