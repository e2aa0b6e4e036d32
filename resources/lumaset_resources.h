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
#define LUMASET_RESOURCES_VERSION 1u

typedef struct LumasetString {
  unsigned id;
  const char* text;
} LumasetString;

/* A menu item; `command` 0 with no text is a separator. Items with
 * `popup` set open the sub-menu that follows them: `childCount` items. */
typedef struct LumasetMenuItem {
  unsigned command;
  const char* text;
  unsigned popup;
  unsigned childCount;
} LumasetMenuItem;

typedef struct LumasetMenu {
  unsigned id;
  const LumasetMenuItem* items; /* depth-first: a popup is followed by its children */
  unsigned itemCount;
} LumasetMenu;

typedef struct LumasetAccelerator {
  unsigned command;
  unsigned key;       /* Qt key code */
  unsigned modifiers; /* Qt keyboard modifiers */
} LumasetAccelerator;

typedef struct LumasetControl {
  unsigned id;
  const char* kind; /* "button", "static", "combobox", "edit", ... */
  int x, y, width, height;
  const char* caption;
  unsigned style;
} LumasetControl;

typedef struct LumasetDialog {
  unsigned id;
  const char* caption;
  int width, height;
  const LumasetControl* controls;
  unsigned controlCount;
} LumasetDialog;

typedef struct LumasetBlob { /* bitmaps, icons, cursors: PNG bytes */
  unsigned id;
  const unsigned char* bytes;
  unsigned length;
} LumasetBlob;

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
  const LumasetBlob* bitmaps;
  unsigned bitmapCount;
  const LumasetBlob* icons; /* icon and cursor 128 */
  unsigned iconCount;
} LumasetResourceTable;

typedef const LumasetResourceTable* (*LumasetResourcesFn)(void);

#ifdef __cplusplus
}
#endif

#endif
