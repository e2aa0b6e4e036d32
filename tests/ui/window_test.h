// Test peers of the window program: a driver that answers the modal dialogs
// the program opens (message boxes, file dialogs) as a person would, and a
// fixture that starts the program's window in this process with its own
// settings file against a real host (the simulator or a scripted pty).
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "link/link_settings.h"
#include "platform/language.h"
#include "tests/sim_process.h"

class QWidget;
class QAction;

namespace lumaset {
class CImageButton;
class CLumasetApp;
class CLumasetView;
class CMainFrame;
}

namespace lumaset::test {

// Answers modal dialogs in the order they appear: each expectation is used
// for one dialog. A dialog nobody expects is recorded and closed.
class ModalDriver : public QObject {
 public:
  ModalDriver();
  ~ModalDriver() override;

  // A message box: press `button` (a QMessageBox::StandardButton) after
  // `delayMs`; `check` (optional) sees the box first.
  void AnswerBox(int button, int delayMs = 0, std::function<void(QWidget*)> check = {});
  // A file dialog: choose `path` (or cancel when empty).
  void ChooseFile(const QString& path);
  // Any modal dialog: `handle` does what it wants with it.
  void Handle(std::function<void(QWidget*)> handle);

  // Runs the event loop until every expectation is used (or timeoutMs).
  bool WaitDone(int timeoutMs = 10000);
  int Remaining() const { return static_cast<int>(actions_.size()); }
  // The texts of every message box seen, and the titles of the unexpected
  // dialogs.
  const QStringList& BoxTexts() const { return boxTexts_; }
  const QStringList& Unexpected() const { return unexpected_; }

 private:
  void Poll();
  struct Action {
    std::function<void(QWidget*)> run;
    int delayMs = 0;
  };
  std::deque<Action> actions_;
  QStringList boxTexts_, unexpected_;
  QTimer timer_;
  QWidget* current_ = nullptr;
  qint64 seenAt_ = 0;
};

// A language library current for the life of the object (for widgets
// tested without the application's start-up).
class ScopedLanguage {
 public:
  explicit ScopedLanguage(int language);
  ~ScopedLanguage();

 private:
  std::unique_ptr<platform::LanguageLibrary> library_;
};

// Runs the event loop until `pred` holds or timeoutMs passes.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000);
// The next simulator event of that name while the event loop runs.
std::string WaitEvent(HostSimProcess& sim, const std::string& name, const std::string& contains = "",
                      int timeoutMs = 15000);

// A window of the program, started in this process against a host, with a
// settings file of its own (the values given are written before start-up).
class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Settings to write before Start (dword or text values of the program's
  // key), and the link record's port/network/rate.
  void SetDword(const std::string& name, uint32_t value);
  void SetText(const std::string& name, const std::string& value);
  void SetLink(uint8_t port, uint8_t network = 0, uint32_t rate = 115200, uint32_t tcpPort = 12345);
  // COM `number` is this device for the program.
  void MapCom(int number, const std::string& device);

  // Starts the window (with a file on the command line when given); false
  // when start-up failed.
  bool Start(const QString& file = {}, int number = 0);
  // Closes the window and runs the exit step (settings and language saved).
  void Stop();

  CLumasetApp* App() const;
  CMainFrame* Frame() const;
  CLumasetView* View() const;
  CImageButton* Button(unsigned controlId) const;
  // The menu action with that command (the frame's menu bar).
  QAction* MenuAction(unsigned command) const;
  // Runs a command as the menu does (queued, then handled).
  void Trigger(unsigned command);
  void ClickButton(unsigned controlId);
  // A dword value of the settings file as it is now.
  uint32_t StoredDword(const std::string& name, uint32_t fallback = 0xFFFFFFFF) const;
  // The link record of the settings file as it is now.
  LinkSettings StoredLink() const;

  std::filesystem::path Settings() const { return dir_.Path() / "Lumaset.reg"; }
  const TempDir& Dir() const { return dir_; }

  ModalDriver driver_;
  TempDir dir_{"lumaset-window"};
  bool started_ = false;
};


}  // namespace lumaset::test
