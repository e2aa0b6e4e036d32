// What the two language libraries share: the shape of menu 128, the
// accelerator table, the dialog layouts and the images. Each library supplies
// only its wording (a Texts) and its numbered strings, so both carry the same
// numbers, the same commands and the same positions by construction.
#pragma once

#include <cstddef>
#include <iterator>

#include "resources/images.h"
#include "resources/lumaset_resources.h"
#include "resources/resource_ids.h"

namespace lumaset_layout {

namespace res = lumaset::res;

// The wording of one language. Menu texts carry '&' before their mnemonic.
struct Texts {
  // Menu 128, by popup.
  const char* menuFile;
  const char* fileOpen;
  const char* fileSave;
  const char* fileSaveAs;
  const char* fileSendRaw;
  const char* fileRecent;  // also string 59424
  const char* fileExit;
  const char* menuDisplay;
  const char* displayHex;
  const char* displayClear;
  const char* editCopy;
  const char* editSelectAll;
  const char* menuHost;
  const char* hostDebugOn;
  const char* hostDebugOff;
  const char* hostVersion;
  const char* hostRestart;
  const char* hostRun;
  const char* hostStop;
  const char* hostErase;
  const char* hostStatus;
  const char* hostFactory;
  const char* hostClock;
  const char* hostBaudSearch;
  const char* menuSettings;
  const char* linkSettings;
  const char* statusBar;
  const char* language;  // names the other language in both scripts
  const char* menuHelp;
  const char* about;
  // Dialog templates.
  const char* ok;
  const char* cancel;
  const char* aboutCaption;
  const char* aboutTitle;  // may hold "{version}"
  const char* aboutText;
  const char* aboutGuide;  // holds "{guide}"
  const char* baudCaption;
  const char* baudStop;
  const char* barConnect;
  const char* barUser;
  const char* barUserFast;
  const char* barTouch;
  const char* barStop;
  const char* barSystem;
  const char* barSystemFast;
  const char* barRestart;
  const char* linkCaption;
  const char* linkLabel;  // also string 59399
  const char* linkChangeBaud;
  const char* linkOption;
};

// Qt::Key codes and Qt::KeyboardModifier bits; the libraries do not use Qt.
constexpr unsigned kCtrl = 0x04000000u;
constexpr unsigned kShift = 0x02000000u;
constexpr unsigned kKeyF1 = 0x01000030u;
constexpr unsigned kKeyF2 = 0x01000031u;
constexpr unsigned kKeyF3 = 0x01000032u;
constexpr unsigned kKeyF4 = 0x01000033u;
constexpr unsigned kKeyF5 = 0x01000034u;
constexpr unsigned kKeyF6 = 0x01000035u;
constexpr unsigned kKeyF8 = 0x01000037u;
constexpr unsigned kKeyF9 = 0x01000038u;

// Accelerator table 128. None is a plain printable key: typed characters go
// to the host. Every command of the command bar has one.
constexpr LumasetAccelerator kAccelerators[] = {
    {res::kCmdFileOpen, 'O', kCtrl},
    {res::kCmdFileSave, 'S', kCtrl},
    {res::kCmdEditCopy, 'C', kCtrl},
    {res::kCmdEditSelectAll, 'A', kCtrl},
    {res::kCmdHexDisplay, 'H', kCtrl},
    {res::kCmdClear, 'L', kCtrl},
    {res::kCmdSetClock, 'T', kCtrl},
    {res::kCmdLinkSettings, 'K', kCtrl},
    {res::kIdConnect, kKeyF5, 0},
    {res::kIdUserProgram, kKeyF2, 0},
    {res::kIdUserProgramFast, kKeyF2, kShift},
    {res::kIdSystemProgram, kKeyF3, 0},
    {res::kIdSystemProgramFast, kKeyF3, kShift},
    {res::kIdTouchProgram, kKeyF4, 0},
    {res::kIdHostCommand3, kKeyF6, 0},
    {res::kIdStop, kKeyF8, 0},
    {res::kCmdBaudSearch, kKeyF9, 0},
    {res::kCmdLanguage, 'L', kCtrl | kShift},
    {res::kCmdAppAbout, kKeyF1, 0},
    {res::kCmdAppExit, 'Q', kCtrl},
};

// The port list of the link settings dialog: the index is the port number.
constexpr const char* kPortItems[] = {
    "USB",    "COM 1",  "COM 2",  "COM 3",  "COM 4",  "COM 5",  "COM 6",  "COM 7",  "COM 8",
    "COM 9",  "COM 10", "COM 11", "COM 12", "COM 13", "COM 14", "COM 15", "COM 16", "COM 17",
    "COM 18", "COM 19", "COM 20", "COM 21", "COM 22", "COM 23", "COM 24", "COM 25", "COM 26",
    "COM 27", "COM 28", "COM 29", "COM 30", "COM 31", "COM 32",
};
static_assert(std::size(kPortItems) == res::kPortListComCount + 1);

// Whether every popup's child count stays inside the list and the top level
// covers the list exactly.
constexpr bool MenuWellFormed(const LumasetMenuItem* items, std::size_t count) {
  std::size_t i = 0;
  // Skips item i and its children; false when they run past the end.
  auto skip = [&](auto& self) -> bool {
    if (i >= count) return false;
    const LumasetMenuItem& item = items[i++];
    if (!item.popup) return item.childCount == 0;
    for (unsigned c = 0; c < item.childCount; ++c)
      if (!self(self)) return false;
    return true;
  };
  while (i < count)
    if (!skip(skip)) return false;
  return true;
}

// Button `column` (0 to 3) of row `row` (0, 1) of the command bar: 134 x 28,
// 4 pixels apart, centred in the bar's 560 pixels.
constexpr int kBarButtonWidth = 134, kBarButtonHeight = 28, kBarWidth = 560, kBarHeight = 68;
constexpr int BarX(int column) { return 6 + column * (kBarButtonWidth + 4); }
constexpr int BarY(int row) { return 4 + row * (kBarButtonHeight + 4); }
static_assert(BarX(3) + kBarButtonWidth + 6 == kBarWidth);
static_assert(BarY(1) + kBarButtonHeight + 4 == kBarHeight);

template <const Texts& t>
struct Layout {
  static constexpr LumasetMenuItem kMenuItems[] = {
      {0, t.menuFile, 1, 9},
      {res::kCmdFileOpen, t.fileOpen, 0, 0},
      {res::kCmdFileSave, t.fileSave, 0, 0},
      {res::kCmdFileSaveAs, t.fileSaveAs, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdSendFile, t.fileSendRaw, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdMruFirst, t.fileRecent, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdAppExit, t.fileExit, 0, 0},

      {0, t.menuDisplay, 1, 5},  // also the view's context menu
      {res::kCmdHexDisplay, t.displayHex, 0, 0},
      {res::kCmdClear, t.displayClear, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdEditCopy, t.editCopy, 0, 0},
      {res::kCmdEditSelectAll, t.editSelectAll, 0, 0},

      {0, t.menuHost, 1, 13},
      {res::kCmdHost0, t.hostDebugOn, 0, 0},
      {res::kCmdHost1, t.hostDebugOff, 0, 0},
      {res::kCmdHost2, t.hostVersion, 0, 0},
      {res::kCmdHost3, t.hostRestart, 0, 0},
      {res::kCmdHost5, t.hostRun, 0, 0},
      {res::kCmdHost7, t.hostStop, 0, 0},
      {res::kCmdHost8, t.hostErase, 0, 0},
      {res::kCmdHost9, t.hostStatus, 0, 0},
      {res::kCmdHost13, t.hostFactory, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdSetClock, t.hostClock, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdBaudSearch, t.hostBaudSearch, 0, 0},

      {0, t.menuSettings, 1, 4},  // also the frame's context menu
      {res::kCmdLinkSettings, t.linkSettings, 0, 0},
      {res::kCmdViewStatusBar, t.statusBar, 0, 0},
      {0, nullptr, 0, 0},
      {res::kCmdLanguage, t.language, 0, 0},

      {0, t.menuHelp, 1, 1},
      {res::kCmdAppAbout, t.about, 0, 0},
  };
  static_assert(MenuWellFormed(kMenuItems, std::size(kMenuItems)));

  static constexpr LumasetMenu kMenus[] = {
      {res::kMainResource, kMenuItems, unsigned(std::size(kMenuItems))},
  };

  static constexpr LumasetControl kAbout[] = {
      {res::kIdAboutIcon, "icon", 16, 16, 64, 64, "128", 0, nullptr, 0},
      {res::kIdAboutTitle, "static", 96, 16, 248, 24, t.aboutTitle, LUMASET_STYLE_BOLD, nullptr, 0},
      {res::kIdAboutText, "static", 96, 46, 248, 70, t.aboutText, LUMASET_STYLE_WRAP, nullptr, 0},
      {res::kIdAboutGuide, "static", 96, 120, 248, 44, t.aboutGuide, LUMASET_STYLE_WRAP, nullptr, 0},
      {res::kIdOk, "button", 264, 170, 80, 26, t.ok, LUMASET_STYLE_DEFAULT, nullptr, 0},
  };

  // The program paints "Searching at %d Baud ..." across the whole text area.
  static constexpr LumasetControl kBaudSearch[] = {
      {res::kIdBaudText, "static", 10, 10, 300, 48, "", LUMASET_STYLE_FRAME, nullptr, 0},
      {res::kIdStop, "button", 100, 72, 120, 28, t.baudStop, 0, nullptr, 0},
  };

  // Two rows of four owner-drawn buttons, each with a 24 x 24 image at its
  // left and the caption right of it.
  static constexpr unsigned kBar = LUMASET_STYLE_OWNERDRAW;
  static constexpr int kW = kBarButtonWidth, kH = kBarButtonHeight;
  static constexpr LumasetControl kCommandBar[] = {
      // Push-like: drawn pressed in while connected.
      {res::kIdConnect, "button", BarX(0), BarY(0), kW, kH, t.barConnect, kBar | LUMASET_STYLE_PUSHLIKE, nullptr, 0},
      {res::kIdUserProgram, "button", BarX(1), BarY(0), kW, kH, t.barUser, kBar, nullptr, 0},
      {res::kIdUserProgramFast, "button", BarX(2), BarY(0), kW, kH, t.barUserFast, kBar, nullptr, 0},
      {res::kIdTouchProgram, "button", BarX(3), BarY(0), kW, kH, t.barTouch, kBar, nullptr, 0},
      {res::kIdStop, "button", BarX(0), BarY(1), kW, kH, t.barStop, kBar, nullptr, 0},
      {res::kIdSystemProgram, "button", BarX(1), BarY(1), kW, kH, t.barSystem, kBar, nullptr, 0},
      {res::kIdSystemProgramFast, "button", BarX(2), BarY(1), kW, kH, t.barSystemFast, kBar, nullptr, 0},
      {res::kIdHostCommand3, "button", BarX(3), BarY(1), kW, kH, t.barRestart, kBar, nullptr, 0},
  };

  // Only the label, the port list and OK/Cancel are shown; the program hides
  // the rest (baud rate and network address), which overlap for that reason.
  static constexpr unsigned kHidden = LUMASET_STYLE_HIDDEN;
  static constexpr LumasetControl kLinkSettings[] = {
      {res::kIdLinkLabel, "static", 12, 26, 132, 22, t.linkLabel, 0, nullptr, 0},
      {res::kIdPortList, "combobox", 150, 24, 178, 26, "", 0, kPortItems, unsigned(std::size(kPortItems))},
      {res::kIdBaudOption, "checkbox", 12, 56, 132, 24, t.linkChangeBaud, kHidden, nullptr, 0},
      {res::kIdBaudList, "combobox", 150, 56, 178, 26, "", kHidden, nullptr, 0},
      {res::kIdHostAddress, "ipaddress", 150, 56, 120, 24, "", kHidden, nullptr, 0},
      {res::kIdTcpPort, "edit", 274, 56, 54, 24, "", kHidden, nullptr, 0},
      {res::kIdOption, "button", 12, 84, 80, 26, t.linkOption, kHidden, nullptr, 0},
      {res::kIdOk, "button", 156, 84, 80, 26, t.ok, LUMASET_STYLE_DEFAULT, nullptr, 0},
      {res::kIdCancel, "button", 248, 84, 80, 26, t.cancel, 0, nullptr, 0},
  };

  static constexpr LumasetDialog kDialogs[] = {
      {res::kDlgAbout, t.aboutCaption, 360, 206, kAbout, unsigned(std::size(kAbout))},
      {res::kDlgBaudSearch, t.baudCaption, 320, 110, kBaudSearch, unsigned(std::size(kBaudSearch))},
      {res::kDlgCommandBar, "", kBarWidth, kBarHeight, kCommandBar, unsigned(std::size(kCommandBar))},
      {res::kDlgLinkSettings, t.linkCaption, 340, 120, kLinkSettings, unsigned(std::size(kLinkSettings))},
  };

  template <std::size_t N>
  static constexpr LumasetResourceTable Table(unsigned language, const LumasetString (&strings)[N]) {
    return {
        sizeof(LumasetResourceTable),
        LUMASET_RESOURCES_VERSION,
        language,
        strings,
        unsigned(N),
        kMenus,
        unsigned(std::size(kMenus)),
        kAccelerators,
        unsigned(std::size(kAccelerators)),
        kDialogs,
        unsigned(std::size(kDialogs)),
        lumaset_images::kBitmaps,
        lumaset_images::kBitmapCount,
        lumaset_images::kIcons,
        lumaset_images::kIconCount,
        lumaset_images::kCursors,
        lumaset_images::kCursorCount,
        lumaset_images::kBitmaps2x,
        lumaset_images::kBitmapCount,
        lumaset_images::kIcons2x,
        lumaset_images::kIconCount,
        lumaset_images::kCursors2x,
        lumaset_images::kCursorCount,
    };
  }
};

}  // namespace lumaset_layout
