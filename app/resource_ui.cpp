#include "app/resource_ui.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "platform/language.h"

namespace lumaset::resui {
namespace {

const LumasetResourceTable* Table() { return platform::CurrentResourceTable(); }

const LumasetBlob* FindBlob(const LumasetBlob* blobs, unsigned count, unsigned id) {
  for (unsigned i = 0; blobs && i < count; ++i)
    if (blobs[i].id == id) return &blobs[i];
  return nullptr;
}

}  // namespace

QString String(unsigned id) { return QString::fromStdString(platform::LoadString(id)); }

bool HasString(unsigned id) {
  const LumasetResourceTable* t = Table();
  for (unsigned i = 0; t && i < t->stringCount; ++i)
    if (t->strings[i].id == id) return true;
  return false;
}

QString DocumentString(int field) {
  if (!HasString(128)) return {};
  return String(128).split(QLatin1Char('\n')).value(field);
}

QPixmap Bitmap(unsigned id) {
  QPixmap pixmap;
  const LumasetResourceTable* t = Table();
  if (const LumasetBlob* b = t ? FindBlob(t->bitmaps, t->bitmapCount, id) : nullptr)
    pixmap.loadFromData(b->bytes, b->length, "PNG");
  return pixmap;
}

QIcon Icon(unsigned id) {
  const LumasetResourceTable* t = Table();
  const LumasetBlob* b = t ? FindBlob(t->icons, t->iconCount, id) : nullptr;
  if (!b) return {};
  QPixmap pixmap;
  pixmap.loadFromData(b->bytes, b->length, "PNG");
  return QIcon(pixmap);
}

// TODO(resources): cursors, menus, accelerators and dialog templates.
QCursor Cursor(unsigned, bool* found) {
  if (found) *found = false;
  return QCursor(Qt::ArrowCursor);
}
unsigned CommandOf(const QAction* action) { return action ? action->data().toUInt() : 0; }
bool BuildMenuBar(QMenuBar*, unsigned) { return false; }
QMenu* BuildPopupMenu(unsigned, int, QWidget*) { return nullptr; }
std::vector<Accelerator> Accelerators(unsigned) { return {}; }
QKeySequence AcceleratorFor(unsigned, unsigned) { return {}; }
const LumasetDialog* FindDialog(unsigned) { return nullptr; }
bool BuildDialog(QWidget*, unsigned, std::map<unsigned, QWidget*>*, const ControlFactory&) { return false; }

}  // namespace lumaset::resui
