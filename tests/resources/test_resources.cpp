// The two language libraries as the program loads them: every resource the
// program asks for, in both languages, with the same numbers, commands and
// layout and different wording.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QString>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/language.h"
#include "resources/resource_ids.h"
#include "tests/pty_host.h"

namespace lumaset {
namespace {

using platform::LanguageLibrary;

LanguageLibrary& Library(int language) { return test::TestLanguage(language); }
const LumasetResourceTable& Table(int language) { return *Library(language).Table(); }

std::string Text(const char* text) { return text ? text : ""; }

// Menu items as a tree.
struct Node {
  const LumasetMenuItem* item;
  std::vector<Node> children;
};
Node Read(const LumasetMenu& menu, unsigned* next) {
  Node node{&menu.items[(*next)++], {}};
  for (unsigned c = 0; node.item->popup && c < node.item->childCount; ++c) {
    EXPECT_LT(*next, menu.itemCount) << "child count past the end";
    if (*next >= menu.itemCount) break;
    node.children.push_back(Read(menu, next));
  }
  return node;
}
std::vector<Node> MenuTree(int language) {
  const LumasetResourceTable& t = Table(language);
  const LumasetMenu* menu = nullptr;
  for (unsigned i = 0; i < t.menuCount; ++i)
    if (t.menus[i].id == res::kMainResource) menu = &t.menus[i];
  EXPECT_NE(menu, nullptr);
  std::vector<Node> top;
  for (unsigned next = 0; menu && next < menu->itemCount;) top.push_back(Read(*menu, &next));
  return top;
}
std::vector<unsigned> Commands(const Node& popup) {
  std::vector<unsigned> commands;
  for (const Node& child : popup.children) commands.push_back(child.item->command);
  return commands;
}
void CollectCommands(const std::vector<Node>& nodes, std::vector<unsigned>* out) {
  for (const Node& n : nodes) {
    if (n.item->command) out->push_back(n.item->command);
    CollectCommands(n.children, out);
  }
}

// The lower-case mnemonic letter of a menu text (after a single '&'), 0 when none.
QChar Mnemonic(const char* text, int* count) {
  QString s = QString::fromUtf8(text);
  QChar letter;
  *count = 0;
  for (int i = 0; i + 1 < s.size(); ++i) {
    if (s[i] != QLatin1Char('&')) continue;
    if (s[i + 1] == QLatin1Char('&')) {
      ++i;
      continue;
    }
    ++*count;
    letter = s[i + 1].toLower();
  }
  return letter;
}

const LumasetDialog* Dialog(int language, unsigned id) {
  const LumasetResourceTable& t = Table(language);
  for (unsigned i = 0; i < t.dialogCount; ++i)
    if (t.dialogs[i].id == id) return &t.dialogs[i];
  return nullptr;
}
const LumasetControl* Control(const LumasetDialog* d, unsigned id) {
  for (unsigned i = 0; d && i < d->controlCount; ++i)
    if (d->controls[i].id == id) return &d->controls[i];
  return nullptr;
}

QImage Png(const unsigned char* bytes, unsigned length) {
  return QImage::fromData(bytes, int(length), "PNG");
}
QImage Bitmap(int language, unsigned id) {
  const LumasetResourceTable& t = Table(language);
  for (unsigned i = 0; i < t.bitmapCount; ++i)
    if (t.bitmaps[i].id == id) return Png(t.bitmaps[i].bytes, t.bitmaps[i].length);
  return {};
}

class EachLanguage : public testing::TestWithParam<int> {
 protected:
  int lang() const { return GetParam(); }
  const LumasetResourceTable& table() const { return Table(lang()); }
  std::string String(unsigned id) const { return Text(Library(lang()).String(id)); }
};
INSTANTIATE_TEST_SUITE_P(Libraries, EachLanguage, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "English" : "Chinese"; });

TEST_P(EachLanguage, StringsAndTheirPlaceholders) {
  EXPECT_EQ(table().language, unsigned(lang()));
  EXPECT_EQ(table().size, sizeof(LumasetResourceTable));
  std::set<unsigned> seen;
  for (unsigned i = 0; i < table().stringCount; ++i)
    EXPECT_TRUE(seen.insert(table().strings[i].id).second) << "string " << table().strings[i].id << " twice";
  for (unsigned id : res::kRequiredStrings) EXPECT_FALSE(String(id).empty()) << id;
  // Every command-bar button has a tooltip, the connect button one per state.
  for (unsigned id : res::kCommandBarControls) EXPECT_FALSE(String(id).empty()) << id;
  EXPECT_NE(String(res::kStrTipConnect), String(res::kStrTipDisconnect));

  auto has = [&](unsigned id, const char* mark) { return String(id).find(mark) != std::string::npos; };
  EXPECT_TRUE(has(res::kStrNotRegularFile, "%1"));
  for (const char* mark : {"%1", "%2", "%3"}) EXPECT_TRUE(has(res::kStrFileTooLarge, mark)) << mark;
  for (unsigned id : {res::kStrOpenFailed, res::kStrSaveFailed})
    EXPECT_TRUE(has(id, "%1") && has(id, "%2")) << id;
  EXPECT_TRUE(has(res::kStrAllFilesFilter, "(*)"));
  EXPECT_TRUE(has(res::kStrPinnedPort, "%1"));

  QStringList doc = QString::fromStdString(String(res::kStrDocument)).split(QLatin1Char('\n'));
  ASSERT_EQ(doc.size(), res::kDocRegTypeName + 1);
  EXPECT_EQ(doc[res::kDocWindowTitle], "Lumaset");
  EXPECT_FALSE(doc[res::kDocName].isEmpty());
  EXPECT_FALSE(doc[res::kDocName].contains(QLatin1Char('/')));  // it becomes a file name
  EXPECT_TRUE(doc[res::kDocFilterName].endsWith("(*.bin)")) << doc[res::kDocFilterName].toStdString();
  EXPECT_EQ(doc[res::kDocFilterExt], ".bin");
  EXPECT_EQ(doc[res::kDocRegTypeId], "Lumaset.Document");
  EXPECT_FALSE(doc[res::kDocRegTypeName].isEmpty());
}

TEST_P(EachLanguage, MenuPopupsInTheirOrder) {
  std::vector<Node> top = MenuTree(lang());
  ASSERT_EQ(top.size(), 5u);
  for (const Node& popup : top) {
    EXPECT_TRUE(popup.item->popup);
    EXPECT_FALSE(Text(popup.item->text).empty());
  }
  const unsigned sep = 0;
  EXPECT_EQ(Commands(top[0]),
            (std::vector<unsigned>{res::kCmdFileOpen, res::kCmdFileSave, res::kCmdFileSaveAs, sep, res::kCmdSendFile,
                                   sep, res::kCmdMruFirst, sep, res::kCmdAppExit}));
  EXPECT_EQ(Commands(top[res::kViewContextSubmenu]),
            (std::vector<unsigned>{res::kCmdHexDisplay, res::kCmdClear, sep, res::kCmdEditCopy,
                                   res::kCmdEditSelectAll}));
  EXPECT_EQ(Commands(top[2]),
            (std::vector<unsigned>{res::kCmdHost0, res::kCmdHost1, res::kCmdHost2, res::kCmdHost3, res::kCmdHost5,
                                   res::kCmdHost7, res::kCmdHost8, res::kCmdHost9, res::kCmdHost13, sep,
                                   res::kCmdSetClock, sep, res::kCmdBaudSearch}));
  EXPECT_EQ(Commands(top[res::kFrameContextSubmenu]),
            (std::vector<unsigned>{res::kCmdLinkSettings, res::kCmdViewStatusBar, sep, res::kCmdLanguage}));
  EXPECT_EQ(Commands(top[4]), (std::vector<unsigned>{res::kCmdAppAbout}));

  std::vector<unsigned> all;
  CollectCommands(top, &all);
  for (unsigned command : res::kMenuCommands)
    EXPECT_EQ(std::count(all.begin(), all.end(), command), 1) << command;

  // Items have texts, separators none; the recent-file entry reads like
  // string 59424, which the program shows while the list is empty.
  for (const Node& popup : top)
    for (const Node& child : popup.children) {
      EXPECT_FALSE(child.item->popup);
      EXPECT_EQ(child.item->command == 0, child.item->text == nullptr) << Text(child.item->text);
      if (child.item->command == res::kCmdMruFirst) { EXPECT_EQ(Text(child.item->text), String(res::kStrRecentEmpty)); }
    }
}

TEST_P(EachLanguage, MenuMnemonicsAreUniquePerPopup) {
  std::vector<Node> top = MenuTree(lang());
  auto check = [](const std::vector<Node>& items, const std::string& where) {
    std::set<QChar> letters;
    for (const Node& n : items) {
      if (!n.item->text) continue;
      int count = 0;
      QChar letter = Mnemonic(n.item->text, &count);
      EXPECT_LE(count, 1) << where << ": " << n.item->text;
      if (count == 1 && n.item->command != res::kCmdMruFirst) {
        EXPECT_TRUE(letters.insert(letter).second) << where << ": mnemonic of " << n.item->text << " used twice";
      }
      // Menus with mnemonics everywhere except the recent-file entry.
      if (n.item->command != res::kCmdMruFirst) { EXPECT_EQ(count, 1) << where << ": " << n.item->text; }
    }
  };
  check(top, "menu bar");
  for (const Node& popup : top) check(popup.children, Text(popup.item->text));
}

TEST_P(EachLanguage, LanguageSwitchIsReadableInBothScripts) {
  std::vector<Node> top = MenuTree(lang());
  ASSERT_EQ(top.size(), 5u);
  const Node& last = top[res::kFrameContextSubmenu].children.back();
  ASSERT_EQ(last.item->command, res::kCmdLanguage);
  QString text = QString::fromUtf8(last.item->text);
  bool latin = false, han = false;
  for (QChar c : text) {
    latin |= (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('z'));
    han |= c.script() == QChar::Script_Han;
  }
  EXPECT_TRUE(latin && han) << text.toStdString();
  EXPECT_TRUE(text.contains(lang() == 0 ? QString::fromUtf8("中文") : QStringLiteral("English"))) << text.toStdString();
}

TEST_P(EachLanguage, AcceleratorsAreNeverTypedCharacters) {
  const unsigned ctrl = 0x04000000u, shift = 0x02000000u, alt = 0x08000000u, meta = 0x10000000u;
  const unsigned firstSpecialKey = 0x01000000u;  // Qt's keys below this are characters
  std::set<std::pair<unsigned, unsigned>> keys;
  std::vector<std::pair<unsigned, unsigned>> byCommand;
  for (unsigned i = 0; i < table().acceleratorCount; ++i) {
    const LumasetAccelerator& a = table().accelerators[i];
    EXPECT_TRUE(keys.insert({a.key, a.modifiers}).second) << "key twice: " << a.key;
    EXPECT_EQ(a.modifiers & ~(ctrl | shift | alt | meta), 0u) << a.command;
    if (a.key < firstSpecialKey) { EXPECT_NE(a.modifiers & (ctrl | alt | meta), 0u) << "plain key for " << a.command; }
    byCommand.push_back({a.command, a.key | a.modifiers});
  }
  auto ctl = [&](char c) { return unsigned(c) | ctrl; };
  std::vector<std::pair<unsigned, unsigned>> expected = {
      {res::kCmdFileOpen, ctl('O')},        {res::kCmdFileSave, ctl('S')},       {res::kCmdEditCopy, ctl('C')},
      {res::kCmdEditSelectAll, ctl('A')},   {res::kCmdHexDisplay, ctl('H')},     {res::kCmdClear, ctl('L')},
      {res::kCmdSetClock, ctl('T')},        {res::kCmdLinkSettings, ctl('K')},   {res::kIdConnect, 0x01000034u},
      {res::kIdStop, 0x01000037u},          {res::kCmdBaudSearch, 0x01000038u},  {res::kCmdLanguage, ctl('L') | shift},
      {res::kCmdAppAbout, 0x01000030u},     {res::kCmdAppExit, ctl('Q')},
      // Every command of the command bar has a key.
      {res::kIdUserProgram, 0x01000031u},   {res::kIdUserProgramFast, 0x01000031u | shift},
      {res::kIdSystemProgram, 0x01000032u}, {res::kIdSystemProgramFast, 0x01000032u | shift},
      {res::kIdTouchProgram, 0x01000033u},  {res::kIdHostCommand3, 0x01000035u},
  };
  std::sort(byCommand.begin(), byCommand.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(byCommand, expected);
}

TEST_P(EachLanguage, DialogTemplatesHoldTheirControlsInside) {
  struct Required {
    unsigned dialog;
    std::vector<unsigned> controls;
  };
  const std::vector<Required> required = {
      {res::kDlgAbout, {std::begin(res::kAboutControls), std::end(res::kAboutControls)}},
      {res::kDlgBaudSearch, {std::begin(res::kBaudSearchControls), std::end(res::kBaudSearchControls)}},
      {res::kDlgCommandBar, {std::begin(res::kCommandBarControls), std::end(res::kCommandBarControls)}},
      {res::kDlgLinkSettings, {std::begin(res::kLinkSettingsControls), std::end(res::kLinkSettingsControls)}},
  };
  for (const Required& r : required) {
    const LumasetDialog* d = Dialog(lang(), r.dialog);
    ASSERT_NE(d, nullptr) << r.dialog;
    for (unsigned id : r.controls) EXPECT_NE(Control(d, id), nullptr) << "dialog " << r.dialog << " control " << id;
    std::set<unsigned> ids;
    for (unsigned i = 0; i < d->controlCount; ++i) {
      const LumasetControl& c = d->controls[i];
      EXPECT_TRUE(ids.insert(c.id).second) << "dialog " << r.dialog << " control " << c.id << " twice";
      EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.width > 0 && c.height > 0 && c.x + c.width <= d->width &&
                  c.y + c.height <= d->height)
          << "dialog " << r.dialog << " control " << c.id << " outside the client area";
    }
  }
  // The shown controls of a dialog do not overlap (hidden ones may).
  for (unsigned dialog : res::kDialogs) {
    const LumasetDialog* d = Dialog(lang(), dialog);
    for (unsigned i = 0; i < d->controlCount; ++i)
      for (unsigned j = i + 1; j < d->controlCount; ++j) {
        const LumasetControl &a = d->controls[i], &b = d->controls[j];
        if ((a.style | b.style) & LUMASET_STYLE_HIDDEN) continue;
        bool apart = a.x + a.width <= b.x || b.x + b.width <= a.x || a.y + a.height <= b.y || b.y + b.height <= a.y;
        EXPECT_TRUE(apart) << "dialog " << dialog << ": " << a.id << " overlaps " << b.id;
      }
  }
}

TEST_P(EachLanguage, CommandBarIsTwoRowsOfFourOwnerDrawnButtons) {
  const LumasetDialog* bar = Dialog(lang(), res::kDlgCommandBar);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->width, 560);
  const unsigned rows[2][4] = {
      {res::kIdConnect, res::kIdUserProgram, res::kIdUserProgramFast, res::kIdTouchProgram},
      {res::kIdStop, res::kIdSystemProgram, res::kIdSystemProgramFast, res::kIdHostCommand3},
  };
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 4; ++c) {
      const LumasetControl* b = Control(bar, rows[r][c]);
      ASSERT_NE(b, nullptr) << rows[r][c];
      EXPECT_STREQ(b->kind, "button");
      EXPECT_TRUE(b->style & LUMASET_STYLE_OWNERDRAW) << b->id;
      EXPECT_NEAR(b->width, 134, 6) << b->id;
      EXPECT_NEAR(b->height, 28, 4) << b->id;
      EXPECT_FALSE(Text(b->caption).empty()) << b->id;
      // Same row, same top; left to right in this order.
      EXPECT_EQ(b->y, Control(bar, rows[r][0])->y) << b->id;
      if (c > 0) { EXPECT_GT(b->x, Control(bar, rows[r][c - 1])->x) << b->id; }
      if (r > 0) { EXPECT_GT(b->y, Control(bar, rows[0][c])->y) << b->id; }
    }
}

TEST_P(EachLanguage, LinkSettingsPortListIndexIsThePortNumber) {
  const LumasetDialog* d = Dialog(lang(), res::kDlgLinkSettings);
  ASSERT_NE(d, nullptr);
  const LumasetControl* ports = Control(d, res::kIdPortList);
  ASSERT_NE(ports, nullptr);
  EXPECT_STREQ(ports->kind, "combobox");
  ASSERT_EQ(ports->itemCount, unsigned(res::kPortListComCount + 1));
  EXPECT_STREQ(ports->items[0], "USB");
  for (int n = 1; n <= res::kPortListComCount; ++n) EXPECT_EQ(Text(ports->items[n]), "COM " + std::to_string(n));

  for (unsigned id : {res::kIdBaudList, res::kIdBaudOption, res::kIdOption, res::kIdHostAddress, res::kIdTcpPort})
    EXPECT_TRUE(Control(d, id)->style & LUMASET_STYLE_HIDDEN) << id;
  for (unsigned id : {res::kIdPortList, res::kIdLinkLabel, res::kIdOk, res::kIdCancel})
    EXPECT_FALSE(Control(d, id)->style & LUMASET_STYLE_HIDDEN) << id;
  EXPECT_STREQ(Control(d, res::kIdBaudList)->kind, "combobox");
  EXPECT_STREQ(Control(d, res::kIdBaudOption)->kind, "checkbox");
  EXPECT_STREQ(Control(d, res::kIdHostAddress)->kind, "ipaddress");
  EXPECT_STREQ(Control(d, res::kIdTcpPort)->kind, "edit");
  EXPECT_TRUE(Control(d, res::kIdOk)->style & LUMASET_STYLE_DEFAULT);
  EXPECT_EQ(Text(Control(d, res::kIdLinkLabel)->caption), String(res::kStrLinkSettingsLabel));
}

TEST_P(EachLanguage, AboutAndBaudSearchTemplates) {
  const LumasetDialog* about = Dialog(lang(), res::kDlgAbout);
  ASSERT_NE(about, nullptr);
  EXPECT_STREQ(Control(about, res::kIdAboutIcon)->kind, "icon");
  EXPECT_STREQ(Control(about, res::kIdAboutIcon)->caption, "128");
  EXPECT_NE(Text(Control(about, res::kIdAboutTitle)->caption).find("{version}"), std::string::npos);
  EXPECT_TRUE(Control(about, res::kIdAboutTitle)->style & LUMASET_STYLE_BOLD);
  EXPECT_TRUE(Control(about, res::kIdAboutText)->style & LUMASET_STYLE_WRAP);
  EXPECT_NE(Text(Control(about, res::kIdAboutGuide)->caption).find("{guide}"), std::string::npos);
  EXPECT_TRUE(Control(about, res::kIdAboutGuide)->style & LUMASET_STYLE_WRAP);
  EXPECT_TRUE(Control(about, res::kIdOk)->style & LUMASET_STYLE_DEFAULT);

  const LumasetDialog* search = Dialog(lang(), res::kDlgBaudSearch);
  ASSERT_NE(search, nullptr);
  EXPECT_FALSE(Text(search->caption).empty());
  const LumasetControl* text = Control(search, res::kIdBaudText);
  EXPECT_STREQ(text->kind, "static");
  EXPECT_TRUE(text->style & LUMASET_STYLE_FRAME);
  // The program stretches "Searching at 115200 Baud ..." across this area.
  EXPECT_GE(text->width, 240);
  EXPECT_GE(text->height, 30);
  EXPECT_STREQ(Control(search, res::kIdStop)->kind, "button");
}

// Maximum of max(r,g,b) - min(r,g,b) over a part of an image.
int Saturation(const QImage& image, int x0, int width) {
  int most = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = x0; x < x0 + width; ++x) {
      QColor c = image.pixelColor(x, y);
      most = std::max(most, std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}));
    }
  return most;
}
double Lightness(const QImage& image, int x0, int width) {
  double sum = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = x0; x < x0 + width; ++x) sum += qGray(image.pixel(x, y));
  return sum / (image.height() * width);
}

TEST_P(EachLanguage, BitmapsAreStripsOfANormalAndAGreyImage) {
  EXPECT_EQ(table().bitmapCount, std::size(res::kBitmaps));
  std::vector<QImage> normals;
  for (unsigned id : res::kBitmaps) {
    QImage strip = Bitmap(lang(), id);
    ASSERT_FALSE(strip.isNull()) << id;
    ASSERT_EQ(strip.size(), QSize(48, 24)) << id;
    // Drawn by AND over the button: opaque, on white, so much of each
    // image's border is white and lets the button's face through.
    EXPECT_FALSE(strip.hasAlphaChannel()) << id;
    for (int x0 : {0, 24}) {
      int white = 0, border = 0;
      for (int i = 0; i < 24; ++i)
        for (QPoint p : {QPoint(x0 + i, 0), QPoint(x0 + i, 23), QPoint(x0, i), QPoint(x0 + 23, i)}) {
          ++border;
          white += (strip.pixel(p) & 0xFFFFFF) == 0xFFFFFF;
        }
      EXPECT_GT(white, border / 2) << id << " image at " << x0;
    }
    EXPECT_GT(Saturation(strip, 0, 24), 80) << id << ": the normal image has colour";
    EXPECT_LT(Saturation(strip, 24, 24), 10) << id << ": the disabled image is grey";
    EXPECT_GT(Lightness(strip, 24, 24), Lightness(strip, 0, 24)) << id << ": and lighter";
    EXPECT_LT(Lightness(strip, 0, 24), 235) << id << ": the normal image is not nearly blank";
    normals.push_back(strip.copy(0, 0, 24, 24));
  }
  // Eight buttons told apart at a glance: no two images are nearly the same.
  for (size_t i = 0; i < normals.size(); ++i)
    for (size_t j = i + 1; j < normals.size(); ++j) {
      int differing = 0;
      for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
          QColor a = normals[i].pixelColor(x, y), b = normals[j].pixelColor(x, y);
          differing += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) > 60;
        }
      EXPECT_GT(differing, 40) << res::kBitmaps[i] << " and " << res::kBitmaps[j] << " look alike";
    }
}

TEST_P(EachLanguage, IconAndCursor) {
  ASSERT_EQ(table().iconCount, 1u);
  EXPECT_EQ(table().icons[0].id, res::kMainResource);
  QImage icon = Png(table().icons[0].bytes, table().icons[0].length);
  ASSERT_FALSE(icon.isNull());
  EXPECT_GE(icon.width(), 64);
  EXPECT_EQ(icon.width(), icon.height());
  EXPECT_EQ(qAlpha(icon.pixel(0, icon.height() / 2)), 0) << "an icon is transparent around its symbol";
  EXPECT_GT(Saturation(icon, 0, icon.width()), 80);

  ASSERT_EQ(table().cursorCount, 1u);
  const LumasetCursor& c = table().cursors[0];
  EXPECT_EQ(c.id, res::kMainResource);
  QImage cursor = Png(c.bytes, c.length);
  ASSERT_EQ(cursor.size(), QSize(32, 32));
  ASSERT_TRUE(c.hotX >= 0 && c.hotX < 4 && c.hotY >= 0 && c.hotY < 4) << "an arrow's hot spot is its tip, top left";
  EXPECT_GT(qAlpha(cursor.pixel(c.hotX, c.hotY)), 128) << "the tip is drawn";
  EXPECT_EQ(qAlpha(cursor.pixel(0, 31)), 0);
  EXPECT_EQ(qAlpha(cursor.pixel(31, 0)), 0);
  // An arrow: black outline and white body.
  bool black = false, white = false;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      QRgb p = cursor.pixel(x, y);
      if (qAlpha(p) < 250) continue;
      black |= qGray(p) < 30;
      white |= qGray(p) > 225;
    }
  EXPECT_TRUE(black && white);
}

// The images at twice the size are the same images, drawn at twice the
// resolution: scaled down they match the originals, the hot spot moves along.
double MeanDifference(const QImage& a, const QImage& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) +
             std::abs(qAlpha(p) - qAlpha(q));
    }
  return sum / (a.width() * a.height() * 4);
}

void ExpectTwiceTheSize(const unsigned char* bytes, unsigned length, const unsigned char* bytes2x, unsigned length2x,
                        unsigned id) {
  const QImage image = Png(bytes, length).convertToFormat(QImage::Format_ARGB32);
  const QImage larger = Png(bytes2x, length2x).convertToFormat(QImage::Format_ARGB32);
  ASSERT_FALSE(larger.isNull()) << id;
  ASSERT_EQ(larger.size(), image.size() * 2) << id;
  const QImage down = larger.scaled(image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  EXPECT_LT(MeanDifference(down, image), 12.0) << id << ": not the same picture";
  // Drawn anew, not blown up: the larger one has detail the smaller lacks.
  const QImage up = image.scaled(larger.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
  EXPECT_GT(MeanDifference(up, larger), 0.5) << id << ": a copy of the smaller image";
}

TEST_P(EachLanguage, EveryImageAlsoAtTwiceTheSize) {
  ASSERT_GE(table().size, offsetof(LumasetResourceTable, cursor2xCount) + sizeof(unsigned));
  ASSERT_EQ(table().bitmap2xCount, table().bitmapCount);
  for (unsigned i = 0; i < table().bitmapCount; ++i) {
    const LumasetBlob &b = table().bitmaps[i], &b2 = table().bitmaps2x[i];
    EXPECT_EQ(b2.id, b.id);
    ExpectTwiceTheSize(b.bytes, b.length, b2.bytes, b2.length, b.id);
  }
  ASSERT_EQ(table().icon2xCount, table().iconCount);
  for (unsigned i = 0; i < table().iconCount; ++i) {
    EXPECT_EQ(table().icons2x[i].id, table().icons[i].id);
    ExpectTwiceTheSize(table().icons[i].bytes, table().icons[i].length, table().icons2x[i].bytes,
                       table().icons2x[i].length, table().icons[i].id);
  }
  ASSERT_EQ(table().cursor2xCount, table().cursorCount);
  for (unsigned i = 0; i < table().cursorCount; ++i) {
    const LumasetCursor &c = table().cursors[i], &c2 = table().cursors2x[i];
    EXPECT_EQ(c2.id, c.id);
    EXPECT_EQ(c2.hotX, 2 * c.hotX);
    EXPECT_EQ(c2.hotY, 2 * c.hotY);
    ExpectTwiceTheSize(c.bytes, c.length, c2.bytes, c2.length, c.id);
  }
}

// The two libraries side by side.

TEST(BothLibraries, SameNumbersAndLayoutDifferentWords) {
  const LumasetResourceTable &en = Table(0), &cn = Table(1);
  std::vector<unsigned> enCommands, cnCommands;
  CollectCommands(MenuTree(0), &enCommands);
  CollectCommands(MenuTree(1), &cnCommands);
  EXPECT_EQ(enCommands, cnCommands);

  std::vector<Node> enMenu = MenuTree(0), cnMenu = MenuTree(1);
  ASSERT_EQ(enMenu.size(), cnMenu.size());
  for (size_t i = 0; i < enMenu.size(); ++i)
    EXPECT_STRNE(enMenu[i].item->text, cnMenu[i].item->text) << "popup " << i;

  ASSERT_EQ(en.dialogCount, cn.dialogCount);
  for (unsigned id : res::kDialogs) {
    const LumasetDialog *a = Dialog(0, id), *b = Dialog(1, id);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->width, b->width);
    EXPECT_EQ(a->height, b->height);
    if (Text(a->caption).size()) { EXPECT_STRNE(a->caption, b->caption) << id; }
    ASSERT_EQ(a->controlCount, b->controlCount);
    for (unsigned i = 0; i < a->controlCount; ++i) {
      const LumasetControl &x = a->controls[i], &y = b->controls[i];
      EXPECT_EQ(x.id, y.id);
      EXPECT_EQ(QRect(x.x, x.y, x.width, x.height), QRect(y.x, y.y, y.width, y.height)) << id << "/" << x.id;
      EXPECT_EQ(x.style, y.style);
    }
  }
  int differentCaptions = 0;
  for (unsigned id : res::kCommandBarControls)
    differentCaptions += Text(Control(Dialog(0, res::kDlgCommandBar), id)->caption) !=
                         Text(Control(Dialog(1, res::kDlgCommandBar), id)->caption);
  EXPECT_EQ(differentCaptions, 8);
  EXPECT_STRNE(Control(Dialog(0, res::kDlgLinkSettings), res::kIdCancel)->caption,
               Control(Dialog(1, res::kDlgLinkSettings), res::kIdCancel)->caption);

  // Strings a Chinese reader sees are Chinese; the program's name stays.
  for (unsigned id : {res::kStrTipConnect, res::kStrUserProgramQuestion, res::kStrTransferRunning,
                      res::kStrRecentEmpty, res::kStrOpenFailed, res::kStrFrameTitle})
    EXPECT_STRNE(Library(0).String(id), Library(1).String(id)) << id;
  for (int language : {0, 1})
    EXPECT_EQ(std::string(Library(language).String(res::kStrFrameTitle)).rfind("Lumaset", 0), 0u) << language;
}

}  // namespace
}  // namespace lumaset
