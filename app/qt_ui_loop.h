// The user-interface loop of the core, on Qt: descriptor watches are socket
// notifiers of the thread that asks for them, and pumping runs the pending
// events of the application's event loop.
#pragma once

#include "platform/ui_loop.h"

namespace lumaset {

class QtUiLoop : public platform::IUiLoop {
 public:
  std::unique_ptr<platform::IFdWatch> WatchReadable(int fd, std::function<void()> onReadable) override;
  void Pump(int maxMs) override;
};

// Makes one QtUiLoop the process-wide loop (once; later calls do nothing).
// Call it on the user-interface thread after the QCoreApplication exists.
void UseQtUiLoop();

}  // namespace lumaset
