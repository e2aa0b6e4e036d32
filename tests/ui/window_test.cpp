#include "tests/ui/window_test.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "app/native_bytes.h"
#include "app/reg_settings.h"
#include "app/resource_ui.h"
#include "app/settings.h"
#include "link/link_settings.h"
#include "platform/port_map.h"
#include "ui/image_button.h"
#include "ui/lumaset_view.h"

namespace lumaset::test {

// ---- modal driver -------------------------------------------------------------

ModalDriver::ModalDriver() {
  timer_.setInterval(20);
  connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
  timer_.start();
}

ModalDriver::~ModalDriver() { timer_.stop(); }

void ModalDriver::AnswerBox(int button, int delayMs, std::function<void(QWidget*)> check) {
  actions_.push_back({[this, button, check](QWidget* w) {
                        auto* box = qobject_cast<QMessageBox*>(w);
                        if (!box) {
                          unexpected_ << QStringLiteral("not a message box: ") + w->windowTitle();
                          if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
                          return;
                        }
                        if (check) check(box);
                        if (QAbstractButton* b = box->button(static_cast<QMessageBox::StandardButton>(button)))
                          b->click();
                        else
                          box->reject();
                      },
                      delayMs});
}

void ModalDriver::ChooseFile(const QString& path) {
  actions_.push_back({[this, path](QWidget* w) {
                        auto* dialog = qobject_cast<QFileDialog*>(w);
                        if (!dialog) {
                          unexpected_ << QStringLiteral("not a file dialog: ") + w->windowTitle();
                          if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
                          return;
                        }
                        if (path.isEmpty()) {
                          dialog->reject();
                          return;
                        }
                        // Typed into the file name box, as a person would.
                        if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                          edit->setText(path);
                        else
                          dialog->selectFile(path);
                        QMetaObject::invokeMethod(dialog, "accept");
                      },
                      0});
}

void ModalDriver::Handle(std::function<void(QWidget*)> handle) { actions_.push_back({std::move(handle), 0}); }

void ModalDriver::Poll() {
  QWidget* w = QApplication::activeModalWidget();
  if (!w || !w->isVisible()) {
    current_ = nullptr;
    return;
  }
  if (auto* box = qobject_cast<QMessageBox*>(w); box && w != current_) boxTexts_ << box->text();
  if (w != current_) {
    current_ = w;
    seenAt_ = QDateTime::currentMSecsSinceEpoch();
  }
  if (actions_.empty()) {
    // Nobody expects it: note it and close it so the test goes on.
    unexpected_ << (qobject_cast<QMessageBox*>(w) ? qobject_cast<QMessageBox*>(w)->text() : w->windowTitle());
    if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
    current_ = nullptr;
    return;
  }
  if (QDateTime::currentMSecsSinceEpoch() - seenAt_ < actions_.front().delayMs) return;
  Action action = std::move(actions_.front());
  actions_.pop_front();
  current_ = nullptr;
  action.run(w);
}

bool ModalDriver::WaitDone(int timeoutMs) { return WaitFor([this] { return actions_.empty(); }, timeoutMs); }

ScopedLanguage::ScopedLanguage(int language) : library_(std::make_unique<platform::LanguageLibrary>()) {
  std::string error;
  if (!library_->Load(platform::LanguageLibraryName(language), &error)) ADD_FAILURE() << error;
  platform::SetCurrentLanguage(library_.get());
}

ScopedLanguage::~ScopedLanguage() { platform::SetCurrentLanguage(nullptr); }

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeoutMs) return pred();
    // A real event loop that blocks when there is nothing to do, so the
    // program's idle step runs as it does in the program.
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

std::string WaitEvent(HostSimProcess& sim, const std::string& name, const std::string& contains, int timeoutMs) {
  std::string line;
  WaitFor(
      [&] {
        line = sim.Wait(name, contains, 10);
        return !line.empty();
      },
      timeoutMs);
  return line;
}

// ---- window fixture --------------------------------------------------------------

namespace {
CRegSettings SettingsAt(const std::filesystem::path& file) {
  return CRegSettings(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, file.string());
}
}  // namespace

void WindowFixture::SetUp() {
  // Every window of this process reads and writes its own settings file.
  qputenv("LUMASET_REGISTRY", QByteArray::fromStdString(Settings().string()));
}

void WindowFixture::TearDown() {
  Stop();
  for (int n = 1; n <= 4; ++n) platform::SetComPortPath(n, {});
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(QStringLiteral(" | ")).toStdString();
}

void WindowFixture::SetDword(const std::string& name, uint32_t value) { SettingsAt(Settings()).WriteDword(name, value); }

void WindowFixture::SetText(const std::string& name, const std::string& value) {
  SettingsAt(Settings()).WriteString(name, value);
}

void WindowFixture::SetLink(uint8_t port, uint8_t network, uint32_t rate, uint32_t tcpPort) {
  LinkSettings record = StoredDefaults();
  record.port = port;
  record.network = network;
  record.rate = rate;
  record.tcpPort = tcpPort;
  const LinkSettings::Bytes bytes = record.ToBytes();
  SettingsAt(Settings()).WriteBinary("CommDCB", bytes.data(), bytes.size());
}

void WindowFixture::MapCom(int number, const std::string& device) { platform::SetComPortPath(number, device); }

bool WindowFixture::Start(const QString& file, int number) {
  CommandLine commandLine;
  commandLine.fileName = NativeFileName(file);
  commandLine.number = number;
  started_ = App()->StartFirstInstance(commandLine);
  if (started_) {
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Frame()));
  }
  return started_;
}

void WindowFixture::Stop() {
  if (!App()) return;
  App()->ExitInstance();
  started_ = false;
}

CLumasetApp* WindowFixture::App() const { return CLumasetApp::Instance(); }
CMainFrame* WindowFixture::Frame() const { return App() ? App()->MainFrame() : nullptr; }
CLumasetView* WindowFixture::View() const { return App() ? App()->m_view : nullptr; }

CImageButton* WindowFixture::Button(unsigned controlId) const {
  return Frame() && Frame()->CommandBar() ? Frame()->CommandBar()->Button(controlId) : nullptr;
}

QAction* WindowFixture::MenuAction(unsigned command) const {
  if (!Frame()) return nullptr;
  for (QAction* top : Frame()->menuBar()->actions())
    if (QMenu* menu = top->menu())
      for (QAction* a : menu->actions())
        if (resui::CommandOf(a) == command && !a->menu()) return a;
  return nullptr;
}

void WindowFixture::Trigger(unsigned command) {
  QAction* action = MenuAction(command);
  ASSERT_NE(action, nullptr) << "no menu item " << command;
  // As when the menu opens: its items are updated first.
  if (QMenu* menu = qobject_cast<QMenu*>(action->parent())) emit menu->aboutToShow();
  ASSERT_TRUE(action->isEnabled()) << "menu item " << command << " is disabled";
  action->trigger();
  QCoreApplication::processEvents();
}

void WindowFixture::ClickButton(unsigned controlId) {
  CImageButton* button = Button(controlId);
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
}

uint32_t WindowFixture::StoredDword(const std::string& name, uint32_t fallback) const {
  CRegSettings reg = SettingsAt(Settings());
  return reg.ReadDword(name, fallback);
}

}  // namespace lumaset::test

namespace lumaset::test {

LinkSettings WindowFixture::StoredLink() const {
  CRegSettings reg = SettingsAt(Settings());
  const LinkSettings::Bytes def = StoredDefaults().ToBytes();
  size_t length = def.size();
  const uint8_t* bytes = reg.ReadBinary("CommDCB", &length, def.data());
  LinkSettings record;
  record.FromBytes(bytes, length);
  return record;
}

}  // namespace lumaset::test
