// Signals that end a program (SIGINT, SIGTERM, ...) delivered as calls on
// the user-interface thread's event loop: the handler only writes the signal
// number into a pipe, which a socket notifier of that loop reads.
#pragma once

#include <QObject>

#include <functional>
#include <initializer_list>

#include <csignal>

namespace lumaset {

// Installs the handlers once per process; `onSignal(number)` runs on the
// thread of `context` for each signal that arrives. SIGHUP is left ignored
// when the program was started so (nohup). SIGPIPE is ignored, so a reader
// that goes away shows as a write error. False when the pipe cannot be made
// (the signals then keep their default action).
bool WatchQuitSignals(QObject* context, std::function<void(int)> onSignal,
                      std::initializer_list<int> numbers = {SIGINT, SIGTERM});

}  // namespace lumaset
