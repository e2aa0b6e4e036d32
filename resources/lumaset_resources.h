/* The interface between the program and its language resource libraries.
 * Each library exports one C entry point, LumasetResources(), returning a
 * table that lives as long as the library is loaded. Both libraries carry the
 * same resource numbers; only the wording differs. All texts are UTF-8.
 * The table grows only at its end; `size` tells the loader which fields a
 * library has. */
#ifndef LUMASET_RESOURCES_H
#define LUMASET_RESOURCES_H

#ifdef __cplusplus
extern "C" {
#endif

#define LUMASET_RESOURCES_ENTRY "LumasetResources"
#define LUMASET_RESOURCES_VERSION 2u

typedef struct LumasetString {
  unsigned id;
  const char* text;
} LumasetString;

/* A menu item. `command` 0 with no text is a separator. An item with `popup`
 * set opens the sub-menu made of the `childCount` items that follow it
 * (depth-first, so a child popup's own children follow it in turn). A text
 * may carry one '&' before the mnemonic letter ("&&" is a literal '&'). */
typedef struct LumasetMenuItem {
  unsigned command;
  const char* text;
  unsigned popup;
  unsigned childCount;
} LumasetMenuItem;

typedef struct LumasetMenu {
  unsigned id;
  const LumasetMenuItem* items; /* the top-level items, each followed by its children */
  unsigned itemCount;           /* all items, children included */
} LumasetMenu;

/* One key of an accelerator table: the command it sends. */
typedef struct LumasetAccelerator {
  unsigned command;
  unsigned key;       /* Qt::Key code */
  unsigned modifiers; /* Qt::KeyboardModifiers bits */
} LumasetAccelerator;

/* Control styles of dialog templates (bits of LumasetControl.style). */
#define LUMASET_STYLE_HIDDEN 0x0001u    /* created hidden */
#define LUMASET_STYLE_DISABLED 0x0002u  /* created disabled */
#define LUMASET_STYLE_OWNERDRAW 0x0004u /* a button the program draws itself */
#define LUMASET_STYLE_PUSHLIKE 0x0008u  /* a check box that looks like a push button */
#define LUMASET_STYLE_DEFAULT 0x0010u   /* the dialog's default button */
#define LUMASET_STYLE_CENTER 0x0020u    /* static text centred */
#define LUMASET_STYLE_RIGHT 0x0040u     /* static text right-aligned */
#define LUMASET_STYLE_BOLD 0x0080u      /* static text in a bold font */
#define LUMASET_STYLE_WRAP 0x0100u      /* static text wraps */
#define LUMASET_STYLE_FRAME 0x0200u     /* static area with a sunken frame */

/* A control of a dialog template. `kind` is one of "button", "checkbox",
 * "static", "icon" (caption: the icon's number as decimal text), "edit",
 * "ipaddress", "combobox" (a drop-down list), "group". Positions and sizes
 * are pixels of the dialog's client area. A combo box's initial items are
 * `items`, `itemCount` of them, index 0 first. */
typedef struct LumasetControl {
  unsigned id;
  const char* kind;
  int x, y, width, height;
  const char* caption;
  unsigned style;
  const char* const* items;
  unsigned itemCount;
} LumasetControl;

typedef struct LumasetDialog {
  unsigned id;
  const char* caption;
  int width, height; /* client area, pixels */
  const LumasetControl* controls;
  unsigned controlCount;
} LumasetDialog;

typedef struct LumasetBlob { /* bitmaps and icons: PNG bytes */
  unsigned id;
  const unsigned char* bytes;
  unsigned length;
} LumasetBlob;

typedef struct LumasetCursor { /* PNG bytes and the hot spot in pixels */
  unsigned id;
  const unsigned char* bytes;
  unsigned length;
  int hotX, hotY;
} LumasetCursor;

typedef struct LumasetResourceTable {
  unsigned size;     /* sizeof(LumasetResourceTable) of the library */
  unsigned version;  /* LUMASET_RESOURCES_VERSION */
  unsigned language; /* 0 English, 1 Chinese */
  const LumasetString* strings;
  unsigned stringCount;
  const LumasetMenu* menus;
  unsigned menuCount;
  const LumasetAccelerator* accelerators; /* table 128 */
  unsigned acceleratorCount;
  const LumasetDialog* dialogs;
  unsigned dialogCount;
  const LumasetBlob* bitmaps; /* strips of equal-width images side by side */
  unsigned bitmapCount;
  const LumasetBlob* icons;
  unsigned iconCount;
  const LumasetCursor* cursors;
  unsigned cursorCount;
  /* The same bitmaps, icons and cursors drawn at twice the size, for screens
   * of device pixel ratio 2; same numbers, hot spots in the larger image's
   * pixels. */
  const LumasetBlob* bitmaps2x;
  unsigned bitmap2xCount;
  const LumasetBlob* icons2x;
  unsigned icon2xCount;
  const LumasetCursor* cursors2x;
  unsigned cursor2xCount;
} LumasetResourceTable;

typedef const LumasetResourceTable* (*LumasetResourcesFn)(void);

#ifdef __cplusplus
}
#endif

#endif
