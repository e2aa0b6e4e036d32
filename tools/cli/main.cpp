// lumaset-cli: the link and protocol code of Lumaset without a window.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "app/native_bytes.h"
#include "app/qt_signals.h"
#include "app/qt_ui_loop.h"
#include "platform/language.h"
#include "platform/operator.h"
#include "tools/cli/cli_operator.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "tools/cli/json_output.h"
#include "tools/cli/session.h"

int main(int argc, char** argv) {
  using namespace lumaset;
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(cli::kProgramName);
  QCoreApplication::setApplicationVersion(LUMASET_VERSION);

  const cli::ParseResult parsed = cli::ParseCommandLine(ArgumentsOf(argc, argv));
  switch (parsed.action) {
    case cli::ParseResult::Action::kHelp: std::fputs(cli::HelpText().c_str(), stdout); return cli::kExitDone;
    case cli::ParseResult::Action::kVersion: std::printf("%s %s\n", cli::kProgramName, LUMASET_VERSION); return 0;
    case cli::ParseResult::Action::kUsageError:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", cli::kProgramName, parsed.error.c_str(), cli::kProgramName);
      return cli::kExitUsage;
    case cli::ParseResult::Action::kRun: break;
  }

  // With --json every line on stdout is a JSON object, and the tool writes
  // nothing to stderr (a command line it cannot read is reported above, as
  // text, before any JSON).
  if (parsed.options.json) cli::JsonOutput::Instance().Enable();

  // The main thread is the links' user-interface thread: the TCP link's
  // socket watch and its waiting connect run on this application's loop.
  UseQtUiLoop();

  // The link's texts are those of the English language library.
  platform::LanguageLibrary language;
  std::string error;
  if (language.Load(platform::LanguageLibraryName(0), &error))
    platform::SetCurrentLanguage(&language);
  else
    cli::Say("warning: " + std::string(platform::LanguageLibraryName(0)) + " not loaded (" + error +
             "); messages show their numbers");

  cli::CliOperator op(parsed.options.searchOnFail, parsed.options.answerYes);
  platform::SetOperator(&op);

  int code = cli::kExitFailed;
  {
    cli::Session session(parsed.options, &op);
    // A reader of stdout that goes away (monitor | head) ends the monitor
    // through the write error, not through a signal.
    WatchQuitSignals(&session, [&session](int number) { session.OnSignal(number); });
    QTimer::singleShot(0, &session, [&session] { session.Start(); });
    code = app.exec();
  }
  platform::SetOperator(nullptr);
  platform::SetCurrentLanguage(nullptr);
  return code;
}
