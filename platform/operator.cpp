#include "platform/operator.h"

#include <atomic>
#include <cstdio>

namespace lumaset::platform {
namespace {

class StderrOperator : public IOperator {
 public:
  int MessageBox(IEventTarget*, const std::string& text, const std::string& caption, unsigned type) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    switch (type & kMbButtonsMask) {
      case kMbOkCancel: return kIdCancel;
      case kMbYesNoCancel: return kIdCancel;
      case kMbYesNo: return kIdNo;
      default: return kIdOk;
    }
  }
};

StderrOperator g_stderrOperator;
std::atomic<IOperator*> g_operator{nullptr};

}  // namespace

void SetOperator(IOperator* op) { g_operator = op; }

IOperator& Operator() {
  IOperator* op = g_operator.load();
  return op ? *op : g_stderrOperator;
}

}  // namespace lumaset::platform
