// The bitmaps, icon and cursor of the language libraries: PNG bytes rendered
// from resources/images/*.svg at build time (render_images.cpp). The same
// images serve both languages. Each is there twice: at its own size and at
// twice the size (the *2x tables), for screens of device pixel ratio 2.
#pragma once

#include "resources/lumaset_resources.h"

namespace lumaset_images {

constexpr unsigned kBitmapCount = 8;  // 130 to 134, 136, 154, 156
constexpr unsigned kIconCount = 1;    // 128
constexpr unsigned kCursorCount = 1;  // 128

extern const LumasetBlob kBitmaps[kBitmapCount];
extern const LumasetBlob kIcons[kIconCount];
extern const LumasetCursor kCursors[kCursorCount];
extern const LumasetBlob kBitmaps2x[kBitmapCount];
extern const LumasetBlob kIcons2x[kIconCount];
extern const LumasetCursor kCursors2x[kCursorCount];

}  // namespace lumaset_images
