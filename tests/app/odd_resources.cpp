// A resource library for the tests of the Qt builder: every control kind and
// style, a nested and a broken menu, a bitmap that is no PNG, and a table
// that ends before its icons and cursors (as a library of an older, shorter
// table would), although it has them.
#include <cstddef>

#include "resources/lumaset_resources.h"

namespace {

const unsigned char kNotPng[] = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
// A red 2 x 2 PNG.
const unsigned char kRedPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06, 0x00, 0x00, 0x00, 0x72, 0xb6, 0x0d, 0x24, 0x00, 0x00, 0x00, 0x11, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x1f, 0x84, 0x19, 0x60, 0x0c, 0x00, 0x47, 0xca, 0x07,
    0xf9, 0x67, 0x59, 0x6e, 0xb7, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const LumasetBlob kBitmaps[] = {{130, kNotPng, sizeof kNotPng}, {131, kRedPng, sizeof kRedPng}};
const LumasetBlob kIcons[] = {{128, kRedPng, sizeof kRedPng}};
const LumasetCursor kCursors[] = {{128, kRedPng, sizeof kRedPng, 1, 1}};

const LumasetString kStrings[] = {{128, "Title\nName"}, {1, "one"}};

const LumasetMenuItem kMenuItems[] = {
    {0, "&One", 1, 3},
    {0, "&Sub", 1, 1},
    {7, "Seven", 0, 0},
    {0, nullptr, 0, 0},
    {8, "&Eight", 0, 0},
    {9, "&Nine", 0, 0},   // a command on the bar itself
    {0, "&Two", 1, 5},    // claims more children than there are
    {10, "&Ten", 0, 0},
};
const LumasetMenu kMenus[] = {{128, kMenuItems, sizeof kMenuItems / sizeof kMenuItems[0]}};
const LumasetAccelerator kAccelerators[] = {{8, 'E', 0x04000000u}, {10, 0x01000031u /* F2 */, 0}};

const char* const kItems[] = {"first", "second"};
const LumasetControl kControls[] = {
    {10, "checkbox", 0, 0, 60, 20, "&Push", LUMASET_STYLE_PUSHLIKE, nullptr, 0},
    {11, "checkbox", 0, 20, 60, 20, "Box", LUMASET_STYLE_DISABLED, nullptr, 0},
    {12, "static", 0, 40, 60, 20, "Centre", LUMASET_STYLE_CENTER, nullptr, 0},
    {13, "static", 0, 60, 60, 20, "Right", LUMASET_STYLE_RIGHT | LUMASET_STYLE_FRAME, nullptr, 0},
    {14, "group", 70, 0, 90, 80, "Group {version}", 0, nullptr, 0},
    {15, "combobox", 70, 90, 90, 24, nullptr, 0, kItems, 2},
    {16, "edit", 0, 90, 60, 24, "text", LUMASET_STYLE_HIDDEN, nullptr, 0},
    {17, "gauge", 0, 120, 60, 24, "unknown kind", 0, nullptr, 0},
    {18, nullptr, 0, 150, 60, 24, nullptr, 0, nullptr, 0},
    {19, "icon", 100, 120, 32, 32, "128", 0, nullptr, 0},  // its icon is past the table's end
    {2, "button", 100, 160, 60, 24, "Cancel", LUMASET_STYLE_DEFAULT, nullptr, 0},
};
const LumasetDialog kDialogs[] = {{100, "Odd {version}", 200, 200, kControls, sizeof kControls / sizeof kControls[0]}};

const LumasetResourceTable kTable = {
    offsetof(LumasetResourceTable, icons),  // ends after the bitmaps
    LUMASET_RESOURCES_VERSION, 0,
    kStrings, 2, kMenus, 1, kAccelerators, 2, kDialogs, 1, kBitmaps, 2, kIcons, 1, kCursors, 1,
    nullptr, 0, nullptr, 0, nullptr, 0,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const LumasetResourceTable* LumasetResources(void) {
  return &kTable;
}
