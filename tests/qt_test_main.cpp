// main() of the window tests: the program's application object on the
// offscreen platform around the GoogleTest run, so windows can be created,
// shown and driven without a display. Settings, recent files and the
// instance lock go to a folder of the test run, never the user's.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QByteArray>
#include <QDir>
#include <QFile>

#include "app/lumaset_app.h"

namespace {
// The offscreen platform says so each time a window is raised or sized by
// its hints; that is not what the tests are about.
QtMessageHandler g_previous = nullptr;
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QLatin1String("This plugin does not support"))) return;
  if (g_previous) g_previous(type, context, message);
}
}  // namespace

int main(int argc, char** argv) {
  g_previous = qInstallMessageHandler(QuietMessages);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  char folder[] = "/tmp/lumaset-gui-test-XXXXXX";
  const bool own = mkdtemp(folder) != nullptr;
  if (own) {
    const QByteArray base(folder);
    QDir().mkpath(QString::fromLatin1(base + "/config"));
    QDir().mkpath(QString::fromLatin1(base + "/runtime"));
    QFile::setPermissions(QString::fromLatin1(base + "/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                      QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_HOME", base + "/config");
    qputenv("XDG_RUNTIME_DIR", base + "/runtime");
    qputenv("LUMASET_REGISTRY", base + "/config/Lumaset.reg");
  }
  int code = 0;
  {
    lumaset::CLumasetApp app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    code = RUN_ALL_TESTS();
  }
  if (own) QDir(QString::fromLatin1(folder)).removeRecursively();
  return code;
}
