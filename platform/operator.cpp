#include "platform/operator.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace lumaset::platform {
namespace {

class StderrOperator : public IOperator {
 public:
  int MessageBox(IEventTarget*, const std::string& text, const std::string& caption, unsigned type) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return SafeAnswer(type);
  }
};

StderrOperator g_stderrOperator;
std::atomic<IOperator*> g_operator{nullptr};

}  // namespace

int SafeAnswer(unsigned type) {
  switch (type & kMbButtonsMask) {
    case kMbOkCancel:
    case kMbYesNoCancel:
    case kMbRetryCancel: return kIdCancel;
    case kMbYesNo: return kIdNo;
    case kMbAbortRetryIgnore: return kIdAbort;
    default: return kIdOk;
  }
}

int WaitAnyServingBoxes(std::initializer_list<const Event*> events, int timeoutMs) {
  IOperator& op = Operator();
  std::vector<const Event*> waits(events);
  const int own = static_cast<int>(waits.size());
  if (const Event* pending = op.PendingBoxes()) waits.push_back(pending);
  int remaining = timeoutMs;
  for (;;) {
    const int64_t start = NowMs();
    const int index = WaitAny(waits, remaining);
    // The caller's own events come first, so they win over waiting boxes.
    if (index < own) return index;
    if (remaining != kInfinite) remaining = static_cast<int>(std::max<int64_t>(0, remaining - (NowMs() - start)));
    // Not the thread that shows boxes: wait on without the box event, which
    // stays set until that thread has shown them.
    if (!op.ServePendingBoxes()) waits.pop_back();
  }
}

void SetOperator(IOperator* op) { g_operator = op; }

IOperator& Operator() {
  IOperator* op = g_operator.load();
  return op ? *op : g_stderrOperator;
}

}  // namespace lumaset::platform
