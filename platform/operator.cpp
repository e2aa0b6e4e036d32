#include "platform/operator.h"

#include <atomic>
#include <cstdio>

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
    case kMbYesNoCancel: return kIdCancel;
    case kMbYesNo: return kIdNo;
    default: return kIdOk;
  }
}

void SetOperator(IOperator* op) { g_operator = op; }

IOperator& Operator() {
  IOperator* op = g_operator.load();
  return op ? *op : g_stderrOperator;
}

}  // namespace lumaset::platform
