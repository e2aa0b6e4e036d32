#include "platform/ui_loop.h"

#include <atomic>

namespace lumaset::platform {
namespace {

class NoUiLoop : public IUiLoop {
 public:
  std::unique_ptr<IFdWatch> WatchReadable(int, std::function<void()>) override { return nullptr; }
  void Pump(int) override {}
};

NoUiLoop g_noLoop;
std::atomic<IUiLoop*> g_loop{nullptr};

}  // namespace

void SetUiLoop(IUiLoop* loop) { g_loop = loop; }

IUiLoop& UiLoop() {
  IUiLoop* loop = g_loop.load();
  return loop ? *loop : g_noLoop;
}

}  // namespace lumaset::platform
