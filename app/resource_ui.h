// The resources of the current language library as Qt objects: texts,
// bitmaps, icon and cursor, menus, accelerators and dialog templates. Every
// lookup goes to the library that is current at the time of the call, so
// what is built after a language switch is in the new language. For the
// user-interface thread.
#pragma once

#include <QCursor>
#include <QIcon>
#include <QKeySequence>
#include <QPixmap>
#include <QString>

#include <functional>
#include <map>
#include <vector>

#include "resources/lumaset_resources.h"

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace lumaset::resui {

// The string with that number; "#<number>" when the library has none.
QString String(unsigned id);
// Whether the current library has that string.
bool HasString(unsigned id);
// One field of the "\n"-separated document strings (string 128).
QString DocumentString(int field);

// A bitmap strip; a null pixmap when the library has none.
QPixmap Bitmap(unsigned id);
// The icon; a null icon when the library has none.
QIcon Icon(unsigned id);
// The cursor with its hot spot; *found false (and the arrow) when missing.
QCursor Cursor(unsigned id, bool* found = nullptr);

// The command number an action of a built menu carries (0 for separators
// and sub-menu entries).
unsigned CommandOf(const QAction* action);

// Fills `bar` with the top-level popups of menu `id` (clearing it first; the
// sub-menus of an earlier build are deleted later, so this may run from one
// of their actions). Every action carries its command (CommandOf) and shows
// its accelerator of table 128 in the shortcut column, but gets no shortcut
// of its own; sub-menus are QMenus owned by the bar. False when the library
// has no such menu.
bool BuildMenuBar(QMenuBar* bar, unsigned id);
// A new menu with the items of top-level popup `index` of menu `id`,
// parented to `parent` (the caller deletes it); null when missing.
QMenu* BuildPopupMenu(unsigned id, int index, QWidget* parent);

struct Accelerator {
  unsigned command;
  QKeySequence keys;
};
// The accelerator table `id`; empty when missing.
std::vector<Accelerator> Accelerators(unsigned id);
// The keys of the first accelerator of `command` in table `id`, for the
// shortcut column of a menu item; empty when there is none.
QKeySequence AcceleratorFor(unsigned id, unsigned command);

// A menu or button text as an operator reads it: without its mnemonic
// marker ("&x", or "(&X)" after a Chinese text; "&&" is a literal '&').
QString WithoutMnemonic(const QString& text);
// The text of the item with that command in menu `id`, as an operator reads
// it: without the mnemonic marker and a trailing "..."; empty when missing.
QString MenuItemText(unsigned id, unsigned command);

// The template itself, or null.
const LumasetDialog* FindDialog(unsigned id);
// The caption of a control of dialog template `id`; empty when missing.
QString ControlCaption(unsigned dialogId, unsigned controlId);

// Creates the widget for a control, or returns null to let the builder
// create its own for the control's kind.
using ControlFactory = std::function<QWidget*(const LumasetControl& control, QWidget* parent)>;

// Builds the controls of dialog template `id` as children of `dialog` at the
// template's positions, sets the dialog's fixed client size and its window
// title (the caption), and returns the controls by number in *controls
// (cleared first). "{version}" in any caption becomes the program's version.
// Each control is named "control<number>".
// Buttons with the default style are the dialog's default button; OK (1) and
// Cancel (2) of a QDialog accept and reject it. False when the library has
// no such template.
bool BuildDialog(QWidget* dialog, unsigned id, std::map<unsigned, QWidget*>* controls,
                 const ControlFactory& factory = {});

}  // namespace lumaset::resui
