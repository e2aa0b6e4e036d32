// What the core needs from the user-interface side: somewhere to post link
// events, and someone to answer message boxes. The window program implements
// both with Qt; the command-line tool and the tests with their own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/event.h"

namespace lumaset::platform {

// A window that link events are posted to. Post never waits for the handler.
class IEventTarget {
 public:
  virtual ~IEventTarget() = default;
  virtual void Post(uint32_t message, uint32_t first, uint32_t second) = 0;
};

// Message-box types and answers (the values the link code passes around).
// Buttons in the low nibble, the icon in the next, the default button
// (first when no bit is set) in the third.
enum : unsigned {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbAbortRetryIgnore = 0x2,
  kMbYesNoCancel = 0x3,
  kMbYesNo = 0x4,
  kMbRetryCancel = 0x5,
  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
  kMbDefButton2 = 0x100,
  kMbDefButton3 = 0x200,
  kMbButtonsMask = 0xF,
  kMbIconMask = 0xF0,
  kMbDefButtonMask = 0xF00,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5, kIdYes = 6, kIdNo = 7 };

// Raises a message box and returns the button pressed. May be called from any
// thread; a worker thread that calls it blocks until the box is answered.
class IOperator {
 public:
  virtual ~IOperator() = default;
  virtual int MessageBox(IEventTarget* owner, const std::string& text, const std::string& caption,
                         unsigned type) = 0;

  // For an operator that shows boxes on one thread only and makes other
  // threads wait for the answer: an event that is set while boxes raised by
  // other threads wait to be shown. Null (the default) when this operator
  // answers every box on the thread that raises it.
  virtual const Event* PendingBoxes() { return nullptr; }
  // Shows the waiting boxes, one after the other, when called on the thread
  // that shows them, and returns true; returns false on any other thread
  // (and by default), showing nothing.
  virtual bool ServePendingBoxes() { return false; }
};

// The answer of a box that nobody answers: Cancel where the box has it, No
// for Yes/No, Abort for Abort/Retry/Ignore, OK otherwise.
int SafeAnswer(unsigned type);

// Waits until one of `events` is set, like WaitAny, while keeping the
// operator's boxes answerable: when boxes wait and this is the thread that
// shows them, they are shown, and the time a box is open does not count
// against timeoutMs (whoever raised it waits for the operator, not for us).
// For the user-interface thread waiting on a worker; on other threads it is
// a plain WaitAny.
int WaitAnyServingBoxes(std::initializer_list<const Event*> events, int timeoutMs);

// The process-wide operator. Without one, boxes are written to stderr and
// answered with the default button (Cancel/No where there is a choice).
void SetOperator(IOperator* op);
IOperator& Operator();

}  // namespace lumaset::platform
