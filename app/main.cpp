// lumaset: the window program.
#include "app/lumaset_app.h"
#include "app/native_bytes.h"

int main(int argc, char** argv) {
  using namespace lumaset;
  // 1-2. The command line, from the bytes of the arguments: a file name that
  // is not valid UTF-8 stays the file it names.
  const StartCommand start = ParseStartCommand(ArgumentsOf(argc, argv));
  if (start.action != StartCommand::Action::kRun) FinishStartCommand(argc, argv);

  // 3. One instance per user. Decided, and a second start handed over (11),
  // before any window-system object exists: a second start needs no display.
  InstanceStart instance;
  instance.lock = std::make_unique<platform::InstanceLock>();
  std::string error;
  switch (instance.lock->Acquire(&error)) {
    case platform::LockResult::kAnotherRuns: return HandToRunningInstance(start.commandLine);
    case platform::LockResult::kFirst:
      // Bound at once, so a second start that finds the lock taken finds the
      // socket as well; its connection waits until the window serves it. A
      // failure is met again, and told, when the window starts serving.
      instance.socket.Bind(&error);
      break;
    case platform::LockResult::kFailed:
      // The window opens all the same, without the hand-off, and says why.
      instance.problem = error;
      instance.problemPath = instance.lock->ProblemPath();
      break;
  }

  UseOnlyARunningSessionBus();
  CLumasetApp app(argc, argv);
  app.SetInstanceStart(std::move(instance));
  const bool started = app.StartFirstInstance(start.commandLine);
  // A quit signal during the start-up ends the program here.
  int code = started && !app.QuitRequested() ? app.exec() : 0;
  // The frame and view go first (links closed, settings saved), then the
  // application's own exit step (the language).
  const int exitCode = app.ExitInstance();
  if (code == 0) code = exitCode;
  if (!started) code = 1;
  return code;
}
