// What the core needs from the user-interface side: somewhere to post link
// events, and someone to answer message boxes. The window program implements
// both with Qt; the command-line tool and the tests with their own.
#pragma once

#include <cstdint>
#include <string>

namespace lumaset::platform {

// A window that link events are posted to. Post never waits for the handler.
class IEventTarget {
 public:
  virtual ~IEventTarget() = default;
  virtual void Post(uint32_t message, uint32_t first, uint32_t second) = 0;
};

// Message-box types and answers (the values the link code passes around).
enum : unsigned {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbYesNoCancel = 0x3,
  kMbYesNo = 0x4,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
  kMbIconQuestion = 0x20,
  kMbDefButton2 = 0x100,
  kMbButtonsMask = 0xF,
  kMbIconMask = 0xF0,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

// Raises a message box and returns the button pressed. May be called from any
// thread; a worker thread that calls it blocks until the box is answered.
class IOperator {
 public:
  virtual ~IOperator() = default;
  virtual int MessageBox(IEventTarget* owner, const std::string& text, const std::string& caption,
                         unsigned type) = 0;
};

// The answer of a box that nobody answers: Cancel where the box has it, No
// for Yes/No, OK otherwise.
int SafeAnswer(unsigned type);

// The process-wide operator. Without one, boxes are written to stderr and
// answered with the default button (Cancel/No where there is a choice).
void SetOperator(IOperator* op);
IOperator& Operator();

}  // namespace lumaset::platform
