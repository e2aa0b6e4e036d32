// lumaset: the window program.
#include "app/lumaset_app.h"

int main(int argc, char** argv) {
  lumaset::CLumasetApp app(argc, argv);
  const bool started = app.InitInstance();
  int code = started ? app.exec() : 0;
  // The frame and view go first (links closed, settings saved), then the
  // application's own exit step (the language).
  const int exitCode = app.ExitInstance();
  if (code == 0) code = exitCode;
  if (!started && (!app.IsSecondInstance() || app.HandOffFailed())) code = 1;
  return code;
}
