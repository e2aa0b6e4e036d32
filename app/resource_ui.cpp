#include "app/resource_ui.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/language.h"
#include "resources/resource_ids.h"

namespace lumaset::resui {
namespace {

// The part of the current table that the library has: a library built
// against an older, shorter table leaves out the fields past its `size`.
template <typename T>
std::span<const T> Field(std::size_t countEnd, const T* LumasetResourceTable::*items,
                         unsigned LumasetResourceTable::*count) {
  const LumasetResourceTable* t = platform::CurrentResourceTable();
  if (!t || t->size < countEnd || !(t->*items)) return {};
  return {t->*items, t->*count};
}
#define LUMASET_FIELD(items, count) \
  Field(offsetof(LumasetResourceTable, count) + sizeof(unsigned), &LumasetResourceTable::items, &LumasetResourceTable::count)

std::span<const LumasetString> Strings() { return LUMASET_FIELD(strings, stringCount); }
std::span<const LumasetMenu> Menus() { return LUMASET_FIELD(menus, menuCount); }
std::span<const LumasetAccelerator> AcceleratorTable() { return LUMASET_FIELD(accelerators, acceleratorCount); }
std::span<const LumasetDialog> Dialogs() { return LUMASET_FIELD(dialogs, dialogCount); }
std::span<const LumasetBlob> Bitmaps() { return LUMASET_FIELD(bitmaps, bitmapCount); }
std::span<const LumasetBlob> Icons() { return LUMASET_FIELD(icons, iconCount); }
std::span<const LumasetCursor> Cursors() { return LUMASET_FIELD(cursors, cursorCount); }
std::span<const LumasetBlob> Bitmaps2x() { return LUMASET_FIELD(bitmaps2x, bitmap2xCount); }
std::span<const LumasetBlob> Icons2x() { return LUMASET_FIELD(icons2x, icon2xCount); }
std::span<const LumasetCursor> Cursors2x() { return LUMASET_FIELD(cursors2x, cursor2xCount); }
#undef LUMASET_FIELD

template <typename T>
const T* Find(std::span<const T> list, unsigned id) {
  for (const T& item : list)
    if (item.id == id) return &item;
  return nullptr;
}

QPixmap Png(const unsigned char* bytes, unsigned length) {
  QPixmap pixmap;
  if (bytes && length) pixmap.loadFromData(bytes, length, "PNG");
  return pixmap;
}

// Whether a screen has a device pixel ratio above 1 (a scale factor of 2, or
// a screen the system scales), so that images drawn at twice the size are
// the ones to show.
bool HighDensity() { return qGuiApp && qGuiApp->devicePixelRatio() > 1.0; }

// The image at twice the size, marked as such so that Qt draws it in the
// place of the normal one; null when the library has none.
QPixmap Png2x(const unsigned char* bytes, unsigned length) {
  QPixmap pixmap = Png(bytes, length);
  if (!pixmap.isNull()) pixmap.setDevicePixelRatio(2.0);
  return pixmap;
}

QPixmap IconPixmap(unsigned id) {
  const LumasetBlob* b = Find(Icons(), id);
  return b ? Png(b->bytes, b->length) : QPixmap();
}

QPixmap IconPixmap2x(unsigned id) {
  const LumasetBlob* b = Find(Icons2x(), id);
  return b ? Png2x(b->bytes, b->length) : QPixmap();
}

// The folder of the operator's guide: the installed one beside the program
// (also in a tree installed elsewhere, or moved), else where an installation
// of this build puts it.
QString GuideFolder() {
  const QDir beside(QCoreApplication::applicationDirPath() + QStringLiteral("/" LUMASET_GUIDE_FROM_PROGRAM));
  if (beside.exists()) return beside.canonicalPath() + QLatin1Char('/');
  return QStringLiteral(LUMASET_GUIDE_DIR "/");
}

// A caption of a template, with "{version}" standing for the program's
// version and "{guide}" for the guide's folder.
QString Caption(const char* text) {
  QString caption = QString::fromUtf8(text ? text : "");
  caption.replace(QLatin1String("{version}"), QLatin1String(LUMASET_VERSION));
  if (caption.contains(QLatin1String("{guide}"))) caption.replace(QLatin1String("{guide}"), GuideFolder());
  return caption;
}

// Menus.

const LumasetMenu* FindMenu(unsigned id) { return Find(Menus(), id); }

// The item text with the keys of its accelerator in the shortcut column. The
// action itself gets no shortcut: the program installs the accelerators.
QString ItemText(const LumasetMenuItem& item) {
  QString text = QString::fromUtf8(item.text ? item.text : "");
  if (!item.popup && item.command) {
    QKeySequence keys = AcceleratorFor(res::kMainResource, item.command);
    if (!keys.isEmpty()) text += QLatin1Char('\t') + keys.toString(QKeySequence::NativeText);
  }
  return text;
}

bool IsSeparator(const LumasetMenuItem& item) { return !item.popup && item.command == 0 && !item.text; }

// Adds the `count` items from items[*next] on (each with its children) to
// `menu`, advancing *next past them. Stops at the end of the list, so a
// wrong child count cannot read past it.
void AddItems(QMenu* menu, std::span<const LumasetMenuItem> items, std::size_t* next, unsigned count) {
  for (unsigned n = 0; n < count && *next < items.size(); ++n) {
    const LumasetMenuItem& item = items[(*next)++];
    if (item.popup) {
      QMenu* sub = menu->addMenu(ItemText(item));
      AddItems(sub, items, next, item.childCount);
    } else if (IsSeparator(item)) {
      menu->addSeparator();
    } else {
      menu->addAction(ItemText(item))->setData(item.command);
    }
  }
}

// Skips the item at *next and its children.
void SkipItem(std::span<const LumasetMenuItem> items, std::size_t* next) {
  const LumasetMenuItem& item = items[(*next)++];
  if (!item.popup) return;
  for (unsigned n = 0; n < item.childCount && *next < items.size(); ++n) SkipItem(items, next);
}

std::span<const LumasetMenuItem> MenuItems(const LumasetMenu* menu) {
  if (!menu || !menu->items) return {};
  return {menu->items, menu->itemCount};
}

// Dialogs.

Qt::Alignment StaticAlignment(unsigned style) {
  Qt::Alignment horizontal = (style & LUMASET_STYLE_CENTER)  ? Qt::AlignHCenter
                             : (style & LUMASET_STYLE_RIGHT) ? Qt::AlignRight
                                                             : Qt::AlignLeft;
  return horizontal | ((style & LUMASET_STYLE_WRAP) ? Qt::AlignTop : Qt::AlignVCenter);
}

QWidget* CreateControl(const LumasetControl& c, QWidget* parent) {
  const std::string_view kind = c.kind ? c.kind : "";
  const QString caption = Caption(c.caption);
  if (kind == "button") return new QPushButton(caption, parent);
  if (kind == "checkbox") {
    if (!(c.style & LUMASET_STYLE_PUSHLIKE)) return new QCheckBox(caption, parent);
    auto* button = new QPushButton(caption, parent);
    button->setCheckable(true);
    return button;
  }
  if (kind == "static") {
    auto* label = new QLabel(caption, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(StaticAlignment(c.style));
    label->setWordWrap(c.style & LUMASET_STYLE_WRAP);
    if (c.style & LUMASET_STYLE_FRAME) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    if (c.style & LUMASET_STYLE_BOLD) {
      QFont font = label->font();
      font.setBold(true);
      label->setFont(font);
    }
    return label;
  }
  if (kind == "icon") {
    auto* label = new QLabel(parent);
    label->setAlignment(Qt::AlignCenter);
    // Scaled to the control's size in device pixels, from the larger image
    // where the screen wants it.
    const qreal ratio = HighDensity() ? 2.0 : 1.0;
    QPixmap pixmap = ratio > 1.0 ? IconPixmap2x(caption.toUInt()) : QPixmap();
    if (pixmap.isNull()) pixmap = IconPixmap(caption.toUInt());
    if (!pixmap.isNull()) {
      pixmap = pixmap.scaled(QSize(c.width, c.height) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
      pixmap.setDevicePixelRatio(ratio);
      label->setPixmap(pixmap);
    }
    return label;
  }
  if (kind == "edit") return new QLineEdit(caption, parent);
  if (kind == "ipaddress") {
    auto* edit = new QLineEdit(caption, parent);
    static const QRegularExpression kIpv4(
        QStringLiteral("((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"));
    edit->setValidator(new QRegularExpressionValidator(kIpv4, edit));
    return edit;
  }
  if (kind == "combobox") {
    auto* combo = new QComboBox(parent);
    for (unsigned i = 0; c.items && i < c.itemCount; ++i) combo->addItem(QString::fromUtf8(c.items[i] ? c.items[i] : ""));
    return combo;
  }
  if (kind == "group") return new QGroupBox(caption, parent);
  return nullptr;
}

}  // namespace

QString String(unsigned id) { return QString::fromStdString(platform::LoadString(id)); }

bool HasString(unsigned id) { return Find(Strings(), id) != nullptr; }

QString DocumentString(int field) {
  if (!HasString(res::kStrDocument)) return {};
  return String(res::kStrDocument).split(QLatin1Char('\n')).value(field);
}

QPixmap Bitmap(unsigned id) {
  if (HighDensity()) {
    const LumasetBlob* b = Find(Bitmaps2x(), id);
    QPixmap pixmap = b ? Png2x(b->bytes, b->length) : QPixmap();
    if (!pixmap.isNull()) return pixmap;
  }
  const LumasetBlob* b = Find(Bitmaps(), id);
  return b ? Png(b->bytes, b->length) : QPixmap();
}

QIcon Icon(unsigned id) {
  QPixmap pixmap = IconPixmap(id);
  if (pixmap.isNull()) return QIcon();
  // Both sizes: Qt picks the one that suits the screen and the place.
  QIcon icon(pixmap);
  if (const LumasetBlob* b = Find(Icons2x(), id)) icon.addPixmap(Png(b->bytes, b->length));
  return icon;
}

QCursor Cursor(unsigned id, bool* found) {
  const LumasetCursor* c = Find(Cursors(), id);
  QPixmap pixmap = c ? Png(c->bytes, c->length) : QPixmap();
  if (found) *found = !pixmap.isNull();
  if (pixmap.isNull()) return QCursor(Qt::ArrowCursor);
  if (HighDensity()) {
    const LumasetCursor* c2 = Find(Cursors2x(), id);
    QPixmap larger = c2 ? Png2x(c2->bytes, c2->length) : QPixmap();
    // The hot spot is given in the cursor's own (device-independent) pixels.
    if (!larger.isNull()) return QCursor(larger, c2->hotX / 2, c2->hotY / 2);
  }
  return QCursor(pixmap, c->hotX, c->hotY);
}

unsigned CommandOf(const QAction* action) { return action ? action->data().toUInt() : 0; }

bool BuildMenuBar(QMenuBar* bar, unsigned id) {
  const LumasetMenu* menu = FindMenu(id);
  if (!bar || !menu) return false;
  // The old sub-menus go later, not now: the language switch that rebuilds
  // the bar runs from one of them.
  for (QAction* action : bar->actions())
    if (QMenu* sub = action->menu<QMenu*>(); sub && sub->parent() == bar) sub->deleteLater();
  bar->clear();
  std::span<const LumasetMenuItem> items = MenuItems(menu);
  std::size_t next = 0;
  while (next < items.size()) {
    const LumasetMenuItem& item = items[next++];
    if (item.popup) {
      auto* sub = new QMenu(ItemText(item), bar);
      bar->addMenu(sub);
      AddItems(sub, items, &next, item.childCount);
    } else if (IsSeparator(item)) {
      bar->addSeparator();
    } else {
      bar->addAction(ItemText(item))->setData(item.command);
    }
  }
  return true;
}

QMenu* BuildPopupMenu(unsigned id, int index, QWidget* parent) {
  std::span<const LumasetMenuItem> items = MenuItems(FindMenu(id));
  std::size_t next = 0;
  for (int i = 0; i < index && next < items.size(); ++i) SkipItem(items, &next);
  if (index < 0 || next >= items.size() || !items[next].popup) return nullptr;
  const LumasetMenuItem& popup = items[next++];
  auto* menu = new QMenu(ItemText(popup), parent);
  AddItems(menu, items, &next, popup.childCount);
  return menu;
}

std::vector<Accelerator> Accelerators(unsigned id) {
  std::vector<Accelerator> list;
  if (id != res::kMainResource) return list;  // the libraries have table 128 only
  for (const LumasetAccelerator& a : AcceleratorTable())
    list.push_back({a.command, QKeySequence(QKeyCombination(Qt::KeyboardModifiers(a.modifiers), Qt::Key(a.key)))});
  return list;
}

QKeySequence AcceleratorFor(unsigned id, unsigned command) {
  for (const Accelerator& a : Accelerators(id))
    if (a.command == command) return a.keys;
  return {};
}

QString WithoutMnemonic(const QString& text) {
  static const QRegularExpression kTrailing(QStringLiteral("\\(&[^&]\\)$"));
  static const QRegularExpression kMarker(QStringLiteral("&(.)"));
  QString plain = text;
  plain.remove(kTrailing);
  plain.replace(kMarker, QStringLiteral("\\1"));
  return plain;
}

QString MenuItemText(unsigned id, unsigned command) {
  for (const LumasetMenuItem& item : MenuItems(FindMenu(id))) {
    if (item.popup || item.command != command || !item.text) continue;
    QString text = WithoutMnemonic(QString::fromUtf8(item.text));
    if (text.endsWith(QLatin1String("..."))) text.chop(3);
    return text.trimmed();
  }
  return {};
}

const LumasetDialog* FindDialog(unsigned id) { return Find(Dialogs(), id); }

QString ControlCaption(unsigned dialogId, unsigned controlId) {
  const LumasetDialog* d = FindDialog(dialogId);
  for (unsigned i = 0; d && d->controls && i < d->controlCount; ++i)
    if (d->controls[i].id == controlId) return Caption(d->controls[i].caption);
  return {};
}

bool BuildDialog(QWidget* dialog, unsigned id, std::map<unsigned, QWidget*>* controls,
                 const ControlFactory& factory) {
  const LumasetDialog* d = FindDialog(id);
  if (!dialog || !d) return false;
  if (controls) controls->clear();
  auto* qdialog = qobject_cast<QDialog*>(dialog);
  for (unsigned i = 0; d->controls && i < d->controlCount; ++i) {
    const LumasetControl& c = d->controls[i];
    QWidget* w = factory ? factory(c, dialog) : nullptr;
    if (!w) w = CreateControl(c, dialog);
    if (!w) continue;  // a kind this program does not know
    if (w->parentWidget() != dialog) w->setParent(dialog);
    w->setObjectName(QStringLiteral("control%1").arg(c.id));
    w->setGeometry(c.x, c.y, c.width, c.height);
    w->setEnabled(!(c.style & LUMASET_STYLE_DISABLED));
    w->setVisible(!(c.style & LUMASET_STYLE_HIDDEN));
    if (auto* button = qobject_cast<QPushButton*>(w); button && (c.style & LUMASET_STYLE_DEFAULT))
      button->setDefault(true);
    if (auto* button = qobject_cast<QAbstractButton*>(w); button && qdialog) {
      if (c.id == res::kIdOk) QObject::connect(button, &QAbstractButton::clicked, qdialog, &QDialog::accept);
      if (c.id == res::kIdCancel) QObject::connect(button, &QAbstractButton::clicked, qdialog, &QDialog::reject);
    }
    if (controls) (*controls)[c.id] = w;
  }
  dialog->setFixedSize(d->width, d->height);
  dialog->setWindowTitle(Caption(d->caption));
  return true;
}

}  // namespace lumaset::resui
