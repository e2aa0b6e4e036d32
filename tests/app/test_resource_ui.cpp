// The resources of the current language library as Qt widgets: menus with
// their commands and accelerator texts, dialogs built at the template
// positions, the command bar's captions in the font they are drawn in,
// cursor, icon and bitmaps, and what a missing library gives.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPointer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QValidator>

#include <memory>

#include "app/resource_ui.h"
#include "platform/language.h"
#include "resources/resource_ids.h"
#include "tests/pty_host.h"

namespace lumaset::resui {
namespace {

using platform::LanguageLibrary;

LanguageLibrary& Library(int language) { return test::TestLanguage(language); }

// Makes a library current for one test and none afterwards.
class WithLanguage : public testing::TestWithParam<int> {
 protected:
  void SetUp() override { platform::SetCurrentLanguage(&Library(GetParam())); }
  void TearDown() override { platform::SetCurrentLanguage(nullptr); }
};
INSTANTIATE_TEST_SUITE_P(Libraries, WithLanguage, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "English" : "Chinese"; });

std::vector<unsigned> CommandsOf(const QMenu* menu) {
  std::vector<unsigned> commands;
  for (const QAction* a : menu->actions()) commands.push_back(CommandOf(a));
  return commands;
}

TEST_P(WithLanguage, MenuBarCarriesCommandsAndShowsAcceleratorsWithoutOwningThem) {
  QMenuBar bar;
  ASSERT_TRUE(BuildMenuBar(&bar, res::kMainResource));
  QList<QAction*> top = bar.actions();
  ASSERT_EQ(top.size(), 5);
  int withKeys = 0;
  for (QAction* popup : top) {
    QMenu* menu = popup->menu<QMenu*>();
    ASSERT_NE(menu, nullptr) << popup->text().toStdString();
    EXPECT_EQ(CommandOf(popup), 0u);
    for (QAction* a : menu->actions()) {
      EXPECT_TRUE(a->shortcut().isEmpty()) << a->text().toStdString();
      if (a->isSeparator()) {
        EXPECT_EQ(CommandOf(a), 0u);
        continue;
      }
      QKeySequence keys = AcceleratorFor(res::kMainResource, CommandOf(a));
      QStringList parts = a->text().split(QLatin1Char('\t'));
      if (keys.isEmpty()) {
        EXPECT_EQ(parts.size(), 1) << a->text().toStdString();
      } else {
        ++withKeys;
        ASSERT_EQ(parts.size(), 2) << a->text().toStdString();
        EXPECT_EQ(QKeySequence(parts[1], QKeySequence::NativeText), keys) << a->text().toStdString();
      }
    }
  }
  EXPECT_GE(withKeys, 10);  // all of table 128 but the bar-only keys (F5, F8)

  // Building again replaces the popups instead of adding to them.
  ASSERT_TRUE(BuildMenuBar(&bar, res::kMainResource));
  EXPECT_EQ(bar.actions().size(), 5);
  EXPECT_FALSE(BuildMenuBar(&bar, 4242));
}

TEST_P(WithLanguage, ContextMenusAreSubmenusOneAndThree) {
  QWidget owner;
  std::unique_ptr<QMenu> view(BuildPopupMenu(res::kMainResource, res::kViewContextSubmenu, &owner));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(CommandsOf(view.get()), (std::vector<unsigned>{res::kCmdHexDisplay, res::kCmdClear, 0,
                                                           res::kCmdEditCopy, res::kCmdEditSelectAll}));
  EXPECT_EQ(view->parent(), &owner);
  std::unique_ptr<QMenu> frame(BuildPopupMenu(res::kMainResource, res::kFrameContextSubmenu, &owner));
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(CommandsOf(frame.get()),
            (std::vector<unsigned>{res::kCmdLinkSettings, res::kCmdViewStatusBar, 0, res::kCmdLanguage}));
  // The popup equals the menu bar's submenu, title included.
  QMenuBar bar;
  ASSERT_TRUE(BuildMenuBar(&bar, res::kMainResource));
  EXPECT_EQ(frame->title(), bar.actions()[res::kFrameContextSubmenu]->text());
  EXPECT_EQ(BuildPopupMenu(res::kMainResource, 5, &owner), nullptr);
  EXPECT_EQ(BuildPopupMenu(res::kMainResource, -1, &owner), nullptr);
  EXPECT_EQ(BuildPopupMenu(4242, 0, &owner), nullptr);
}

TEST_P(WithLanguage, AcceleratorsParseToSingleChords) {
  std::vector<Accelerator> table = Accelerators(res::kMainResource);
  ASSERT_EQ(table.size(), platform::CurrentResourceTable()->acceleratorCount);
  for (const Accelerator& a : table) {
    ASSERT_EQ(a.keys.count(), 1) << a.command;
    QKeyCombination chord = a.keys[0];
    Qt::KeyboardModifiers mods = chord.keyboardModifiers();
    // Below Escape, a key without Ctrl, Alt or Meta is a typed character,
    // which goes to the host.
    if (chord.key() < Qt::Key_Escape) {
      EXPECT_TRUE(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) << a.command;
    }
  }
  EXPECT_EQ(AcceleratorFor(res::kMainResource, res::kIdConnect), QKeySequence(Qt::Key_F5));
  EXPECT_EQ(AcceleratorFor(res::kMainResource, res::kCmdLanguage), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
  EXPECT_EQ(AcceleratorFor(res::kMainResource, res::kCmdFileOpen), QKeySequence(QKeySequence::Open));
  EXPECT_TRUE(AcceleratorFor(res::kMainResource, res::kCmdHost13).isEmpty());
  EXPECT_TRUE(Accelerators(4242).empty());
}

// Every control of a built dialog sits at its template rectangle and has the
// widget type of its kind.
void ExpectAtTemplatePositions(unsigned id, const std::map<unsigned, QWidget*>& controls) {
  const LumasetDialog* d = FindDialog(id);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(controls.size(), d->controlCount) << id;
  for (unsigned i = 0; i < d->controlCount; ++i) {
    const LumasetControl& c = d->controls[i];
    QWidget* w = controls.at(c.id);
    EXPECT_EQ(w->geometry(), QRect(c.x, c.y, c.width, c.height)) << id << "/" << c.id;
    EXPECT_EQ(w->objectName(), QStringLiteral("control%1").arg(c.id));
    std::string kind = c.kind;
    if (kind == "button") { EXPECT_NE(qobject_cast<QPushButton*>(w), nullptr) << c.id; }
    if (kind == "checkbox") { EXPECT_NE(qobject_cast<QAbstractButton*>(w), nullptr) << c.id; }
    if (kind == "static" || kind == "icon") { EXPECT_NE(qobject_cast<QLabel*>(w), nullptr) << c.id; }
    if (kind == "edit" || kind == "ipaddress") { EXPECT_NE(qobject_cast<QLineEdit*>(w), nullptr) << c.id; }
    if (kind == "combobox") { EXPECT_NE(qobject_cast<QComboBox*>(w), nullptr) << c.id; }
    EXPECT_EQ(w->isVisibleTo(w->parentWidget()), !(c.style & LUMASET_STYLE_HIDDEN)) << id << "/" << c.id;
  }
}

TEST_P(WithLanguage, LinkSettingsDialogAsBuilt) {
  QDialog dialog;
  std::map<unsigned, QWidget*> controls;
  ASSERT_TRUE(BuildDialog(&dialog, res::kDlgLinkSettings, &controls));
  ExpectAtTemplatePositions(res::kDlgLinkSettings, controls);
  const LumasetDialog* d = FindDialog(res::kDlgLinkSettings);
  EXPECT_EQ(dialog.size(), QSize(d->width, d->height));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8(d->caption));

  auto* ports = qobject_cast<QComboBox*>(controls[res::kIdPortList]);
  ASSERT_NE(ports, nullptr);
  ASSERT_EQ(ports->count(), res::kPortListComCount + 1);
  EXPECT_EQ(ports->itemText(0), "USB");
  EXPECT_EQ(ports->itemText(7), "COM 7");
  EXPECT_FALSE(ports->isEditable());

  auto* address = qobject_cast<QLineEdit*>(controls[res::kIdHostAddress]);
  ASSERT_NE(address, nullptr);
  ASSERT_NE(address->validator(), nullptr);
  auto valid = [&](QString text) {
    int pos = 0;
    return address->validator()->validate(text, pos);
  };
  EXPECT_EQ(valid("192.168.1.20"), QValidator::Acceptable);
  EXPECT_EQ(valid("10.0.0"), QValidator::Intermediate);
  EXPECT_EQ(valid("256.1.1.1"), QValidator::Invalid);
  EXPECT_EQ(valid("host"), QValidator::Invalid);
  EXPECT_NE(qobject_cast<QCheckBox*>(controls[res::kIdBaudOption]), nullptr);
  EXPECT_EQ(qobject_cast<QLabel*>(controls[res::kIdLinkLabel])->text(), String(res::kStrLinkSettingsLabel));

  auto* ok = qobject_cast<QPushButton*>(controls[res::kIdOk]);
  auto* cancel = qobject_cast<QPushButton*>(controls[res::kIdCancel]);
  EXPECT_TRUE(ok->isDefault());
  EXPECT_FALSE(cancel->isDefault());

  // OK accepts, Cancel rejects, by a real click on the shown dialog.
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_FALSE(controls[res::kIdBaudList]->isVisible());
  EXPECT_TRUE(ports->isVisible());
  QTest::mouseClick(cancel, Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
  dialog.show();
  QTest::mouseClick(ok, Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_P(WithLanguage, AboutBoxShowsVersionIconAndText) {
  QDialog dialog;
  std::map<unsigned, QWidget*> controls;
  ASSERT_TRUE(BuildDialog(&dialog, res::kDlgAbout, &controls));
  ExpectAtTemplatePositions(res::kDlgAbout, controls);
  auto* title = qobject_cast<QLabel*>(controls[res::kIdAboutTitle]);
  ASSERT_NE(title, nullptr);
  EXPECT_TRUE(title->text().contains(QLatin1String(LUMASET_VERSION))) << title->text().toStdString();
  EXPECT_FALSE(title->text().contains(QLatin1String("{version}")));
  EXPECT_TRUE(title->font().bold());
  auto* text = qobject_cast<QLabel*>(controls[res::kIdAboutText]);
  EXPECT_TRUE(text->wordWrap());
  EXPECT_FALSE(text->font().bold());
  auto* icon = qobject_cast<QLabel*>(controls[res::kIdAboutIcon]);
  ASSERT_FALSE(icon->pixmap().isNull());
  EXPECT_LE(icon->pixmap().deviceIndependentSize().width(), icon->width());
  EXPECT_GE(icon->pixmap().deviceIndependentSize().width(), icon->width() / 2);
  // The guide's folder: where an installation of this build puts it, as the
  // test program is not installed.
  auto* guide = qobject_cast<QLabel*>(controls[res::kIdAboutGuide]);
  ASSERT_NE(guide, nullptr);
  EXPECT_TRUE(guide->text().endsWith(QLatin1String(LUMASET_GUIDE_DIR "/"))) << guide->text().toStdString();
  EXPECT_TRUE(guide->text().contains(QLatin1String("/share/doc/lumaset/")));
  // The texts fit their areas at the dialog's font.
  for (QLabel* label : {text, guide}) {
    QRect needed =
        label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 1000), Qt::TextWordWrap, label->text());
    EXPECT_LE(needed.height(), label->height()) << label->text().toStdString();
  }
  EXPECT_TRUE(qobject_cast<QPushButton*>(controls[res::kIdOk])->isDefault());
}

TEST_P(WithLanguage, BaudSearchAreaHoldsTheSearchLine) {
  QDialog dialog;
  std::map<unsigned, QWidget*> controls;
  ASSERT_TRUE(BuildDialog(&dialog, res::kDlgBaudSearch, &controls));
  ExpectAtTemplatePositions(res::kDlgBaudSearch, controls);
  auto* area = qobject_cast<QLabel*>(controls[res::kIdBaudText]);
  ASSERT_NE(area, nullptr);
  EXPECT_NE(area->frameShape(), QFrame::NoFrame);
  // At the area's height the longest line is still wider than tall per
  // character, so it stays readable when stretched into the area.
  QFont font = area->font();
  font.setPixelSize(area->height() * 2 / 3);
  QString line = QStringLiteral("Searching at 115200 Baud ...");
  EXPECT_LE(QFontMetrics(font).horizontalAdvance(line) / 2, area->width());
  auto* stop = qobject_cast<QPushButton*>(controls[res::kIdStop]);
  EXPECT_FALSE(stop->text().isEmpty());
  EXPECT_LE(stop->fontMetrics().horizontalAdvance(stop->text().remove(QLatin1Char('&'))), stop->width() - 8);
}

TEST_P(WithLanguage, CommandBarCaptionsFitBesideTheirImage) {
  QWidget bar;
  std::map<unsigned, QWidget*> controls;
  std::vector<unsigned> made;
  // The factory stands for the program's own button class.
  auto factory = [&](const LumasetControl& c, QWidget* parent) -> QWidget* {
    if (!(c.style & LUMASET_STYLE_OWNERDRAW)) return nullptr;
    made.push_back(c.id);
    return new QPushButton(QString::fromUtf8(c.caption), parent);
  };
  ASSERT_TRUE(BuildDialog(&bar, res::kDlgCommandBar, &controls, factory));
  EXPECT_EQ(made.size(), std::size(res::kCommandBarControls));
  ExpectAtTemplatePositions(res::kDlgCommandBar, controls);
  EXPECT_EQ(bar.width(), 560);
  for (unsigned id : res::kCommandBarControls) {
    auto* button = qobject_cast<QPushButton*>(controls[id]);
    ASSERT_NE(button, nullptr) << id;
    // The button draws: 5 pixels margin, the 24-pixel image, 5 pixels, the
    // caption, 5 pixels margin.
    QString caption = button->text().remove(QLatin1Char('&'));
    int room = button->width() - 5 - 24 - 5 - 5;
    EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance(caption), room) << caption.toStdString();
    EXPECT_LE(QFontMetrics(QApplication::font()).horizontalAdvance(caption), room) << caption.toStdString();
    // The caption's height fits too.
    EXPECT_LE(QFontMetrics(button->font()).height(), button->height() - 4) << caption.toStdString();
  }
  for (unsigned id : res::kBitmaps) EXPECT_EQ(Bitmap(id).deviceIndependentSize().toSize(), QSize(48, 24)) << id;
}

// A library of odd tables (tests/app/odd_resources.cpp).
class OddLibrary : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(odd_.Load("libTavloraOdd.so", &error)) << error;
    platform::SetCurrentLanguage(&odd_);
  }
  void TearDown() override { platform::SetCurrentLanguage(nullptr); }
  LanguageLibrary odd_;
};

TEST_F(OddLibrary, EveryControlKindAndStyle) {
  QDialog dialog;
  std::map<unsigned, QWidget*> controls;
  int asked = 0;
  auto decline = [&](const LumasetControl&, QWidget*) -> QWidget* {
    ++asked;
    return nullptr;
  };
  ASSERT_TRUE(BuildDialog(&dialog, 100, &controls, decline));
  EXPECT_EQ(asked, 11);
  // Unknown kinds are left out; the others are there.
  EXPECT_EQ(controls.size(), 9u);
  EXPECT_EQ(controls.count(17), 0u);
  EXPECT_EQ(controls.count(18), 0u);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Odd " LUMASET_VERSION));

  auto* push = qobject_cast<QPushButton*>(controls[10]);
  ASSERT_NE(push, nullptr);
  EXPECT_TRUE(push->isCheckable());
  auto* box = qobject_cast<QCheckBox*>(controls[11]);
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(box->isEnabled());
  EXPECT_TRUE(push->isEnabled());
  auto* centre = qobject_cast<QLabel*>(controls[12]);
  auto* right = qobject_cast<QLabel*>(controls[13]);
  EXPECT_TRUE(centre->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(centre->frameShape(), QFrame::NoFrame);
  EXPECT_TRUE(right->alignment() & Qt::AlignRight);
  EXPECT_NE(right->frameShape(), QFrame::NoFrame);
  auto* group = qobject_cast<QGroupBox*>(controls[14]);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), QStringLiteral("Group " LUMASET_VERSION));
  auto* combo = qobject_cast<QComboBox*>(controls[15]);
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->itemText(1), "second");
  auto* edit = qobject_cast<QLineEdit*>(controls[16]);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), "text");
  auto* icon = qobject_cast<QLabel*>(controls[19]);
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(icon->pixmap().isNull());  // the icon lies past the table's end

  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_FALSE(edit->isVisible());
  EXPECT_TRUE(combo->isVisible());
  // Cancel rejects, also as the default button.
  EXPECT_TRUE(qobject_cast<QPushButton*>(controls[2])->isDefault());
  QTest::mouseClick(qobject_cast<QPushButton*>(controls[2]), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(OddLibrary, FactoryWidgetsTakeTheTemplatePlace) {
  QWidget page;
  QWidget elsewhere;
  std::map<unsigned, QWidget*> controls;
  auto factory = [&](const LumasetControl& c, QWidget*) -> QWidget* {
    return c.id == 17 ? new QLabel(QStringLiteral("made"), &elsewhere) : nullptr;
  };
  ASSERT_TRUE(BuildDialog(&page, 100, &controls, factory));
  // The factory may create any control, an unknown kind too; it ends up a
  // child of the page at the template's rectangle.
  ASSERT_EQ(controls.count(17), 1u);
  EXPECT_EQ(controls[17]->parentWidget(), &page);
  EXPECT_EQ(controls[17]->geometry(), QRect(0, 120, 60, 24));
  // Not a QDialog: buttons are built, nothing to accept or reject.
  EXPECT_NE(qobject_cast<QPushButton*>(controls[2]), nullptr);
  EXPECT_EQ(page.size(), QSize(200, 200));
}

TEST_F(OddLibrary, NestedAndBrokenMenus) {
  QMenuBar bar;
  ASSERT_TRUE(BuildMenuBar(&bar, 128));
  QList<QAction*> top = bar.actions();
  ASSERT_EQ(top.size(), 3);  // One, Nine, Two
  QMenu* one = top[0]->menu<QMenu*>();
  ASSERT_NE(one, nullptr);
  ASSERT_EQ(one->actions().size(), 3);  // Sub, separator, Eight
  QMenu* sub = one->actions()[0]->menu<QMenu*>();
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->title(), "&Sub");
  EXPECT_EQ(CommandsOf(sub), std::vector<unsigned>{7});
  EXPECT_TRUE(one->actions()[1]->isSeparator());
  EXPECT_EQ(one->actions()[2]->text(), QStringLiteral("&Eight\t") + QKeySequence(Qt::CTRL | Qt::Key_E).toString(QKeySequence::NativeText));
  EXPECT_EQ(CommandOf(top[1]), 9u);
  EXPECT_EQ(top[1]->menu<QMenu*>(), nullptr);
  // The popup that claims five children gets the one there is.
  EXPECT_EQ(CommandsOf(top[2]->menu<QMenu*>()), std::vector<unsigned>{10});

  std::unique_ptr<QMenu> two(BuildPopupMenu(128, 2, nullptr));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->title(), "&Two");
  EXPECT_EQ(CommandsOf(two.get()), std::vector<unsigned>{10});
  EXPECT_EQ(BuildPopupMenu(128, 1, nullptr), nullptr);  // a command, not a popup
  EXPECT_EQ(BuildPopupMenu(128, 3, nullptr), nullptr);
}

TEST_F(OddLibrary, ImagesThatAreNotThereOrNotPng) {
  EXPECT_TRUE(Bitmap(130).isNull());
  EXPECT_EQ(Bitmap(131).size(), QSize(2, 2));
  // Icon and cursor are valid PNGs but lie past the table's `size`.
  EXPECT_TRUE(Icon(128).isNull());
  bool found = true;
  EXPECT_EQ(Cursor(128, &found).shape(), Qt::ArrowCursor);
  EXPECT_FALSE(found);
  EXPECT_EQ(DocumentString(res::kDocName), "Name");
  EXPECT_TRUE(DocumentString(res::kDocFilterName).isEmpty());
}

TEST_P(WithLanguage, CursorIconBitmapsAndDocumentStrings) {
  bool found = false;
  QCursor cursor = Cursor(res::kMainResource, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(cursor.shape(), Qt::BitmapCursor);
  EXPECT_EQ(cursor.pixmap().size(), QSize(32, 32));
  EXPECT_EQ(cursor.hotSpot(), QPoint(1, 1));
  Cursor(4242, &found);
  EXPECT_FALSE(found);

  EXPECT_FALSE(Icon(res::kMainResource).isNull());
  EXPECT_TRUE(Icon(4242).isNull());
  EXPECT_TRUE(Bitmap(4242).isNull());

  EXPECT_EQ(DocumentString(res::kDocWindowTitle), "Lumaset");
  EXPECT_EQ(DocumentString(res::kDocFilterExt), ".bin");
  EXPECT_TRUE(DocumentString(res::kDocRegTypeName + 1).isEmpty());
  EXPECT_TRUE(HasString(res::kStrTipConnect));
  EXPECT_FALSE(HasString(4242));
  EXPECT_EQ(String(4242), "#4242");
}

// On a screen of device pixel ratio 2 (run again with QT_SCALE_FACTOR=2) the
// images drawn at twice the size take the place of the others, at the same
// size in device-independent pixels.
TEST_P(WithLanguage, ImagesFollowTheScreensPixelRatio) {
  const qreal ratio = qApp->devicePixelRatio() > 1.0 ? 2.0 : 1.0;
  const QPixmap strip = Bitmap(res::kBmpConnect);
  EXPECT_EQ(strip.devicePixelRatio(), ratio);
  EXPECT_EQ(strip.deviceIndependentSize().toSize(), QSize(48, 24));
  EXPECT_EQ(strip.size(), QSize(48, 24) * ratio);

  QCursor cursor = Cursor(res::kMainResource);
  EXPECT_EQ(cursor.pixmap().size(), QSize(32, 32) * ratio);
  EXPECT_EQ(cursor.hotSpot(), QPoint(1, 1));

  // The icon holds both sizes; Qt picks the sharp one for the screen.
  const QIcon icon = Icon(res::kMainResource);
  EXPECT_EQ(icon.availableSizes(), (QList<QSize>{QSize(128, 128), QSize(256, 256)}));
  EXPECT_EQ(icon.pixmap(QSize(64, 64), ratio).size(), QSize(64, 64) * ratio);

  QDialog dialog;
  std::map<unsigned, QWidget*> controls;
  ASSERT_TRUE(BuildDialog(&dialog, res::kDlgAbout, &controls));
  const QPixmap aboutIcon = qobject_cast<QLabel*>(controls[res::kIdAboutIcon])->pixmap();
  EXPECT_EQ(aboutIcon.devicePixelRatio(), ratio);
  EXPECT_EQ(aboutIcon.size(), QSize(64, 64) * ratio);
}

TEST(ResourceUi, LanguageSwitchRebuildsInTheNewLanguage) {
  QMenuBar bar;
  platform::SetCurrentLanguage(&Library(0));
  ASSERT_TRUE(BuildMenuBar(&bar, res::kMainResource));
  QString english = bar.actions()[0]->text();
  QPointer<QMenu> oldFile = bar.actions()[0]->menu<QMenu*>();
  platform::SetCurrentLanguage(&Library(1));
  ASSERT_TRUE(BuildMenuBar(&bar, res::kMainResource));
  EXPECT_NE(bar.actions()[0]->text(), english);
  EXPECT_EQ(bar.actions().size(), 5);
  // The old popups go once the event loop runs.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(oldFile.isNull());
  platform::SetCurrentLanguage(nullptr);
}

TEST(ResourceUi, WithoutALibraryNothingIsBuilt) {
  platform::SetCurrentLanguage(nullptr);
  QMenuBar bar;
  EXPECT_FALSE(BuildMenuBar(&bar, res::kMainResource));
  EXPECT_EQ(BuildPopupMenu(res::kMainResource, 0, nullptr), nullptr);
  QDialog dialog;
  std::map<unsigned, QWidget*> controls{{1, nullptr}};
  EXPECT_FALSE(BuildDialog(&dialog, res::kDlgAbout, &controls));
  EXPECT_EQ(FindDialog(res::kDlgAbout), nullptr);
  EXPECT_TRUE(Accelerators(res::kMainResource).empty());
  bool found = true;
  EXPECT_EQ(Cursor(res::kMainResource, &found).shape(), Qt::ArrowCursor);
  EXPECT_FALSE(found);
  EXPECT_TRUE(Icon(res::kMainResource).isNull());
  EXPECT_EQ(String(res::kStrTipConnect), "#1004");
  EXPECT_TRUE(DocumentString(res::kDocName).isEmpty());
}

}  // namespace
}  // namespace lumaset::resui
