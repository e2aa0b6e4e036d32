// The message boxes of every link: texts by resource number, system errors,
// and the few fixed texts that are not resources.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/operator.h"

namespace lumaset {

// Loads text and caption from the current language library and shows them;
// returns the button pressed.
int ResourceMessageBox(platform::IEventTarget* owner, unsigned textId, unsigned captionId, unsigned type);

// Shows the system's text for an errno value, caption string 59407,
// information icon; `detail` (what the error is about), when given, follows
// it on a line of its own.
void ShowSystemError(platform::IEventTarget* owner, uint32_t code, const std::string& detail = {});

// String `id` of the current library with "%1", "%2", ... replaced by the
// arguments in order.
std::string FormatString(unsigned id, std::initializer_list<std::string> args);

// Why the file at `path` could not be read for a send. A folder, FIFO,
// socket or device (EISDIR, ENOTSUP from ReadWholeFile) gets string 59420
// naming the file, caption 59407, warning icon; any other errno value string
// 59422 with the path and the system's text.
void ShowFileError(platform::IEventTarget* owner, const std::string& path, uint32_t code);

// The refusal of a command or a send while a transfer runs: string 59409,
// caption string 59407, information icon.
void ShowTransferRunning(platform::IEventTarget* owner);

// A fixed text with a fixed caption (the few texts that are not resources).
int FixedMessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                    unsigned type);

// The caption of the framework's own message boxes (the program's title).
constexpr const char* kFrameworkCaption = "Lumaset";

// The fixed texts of the links and their downloads. The variants of the
// thread failure are distinct on purpose: the touch-panel download of the
// serial and USB links has its own spelling, and the network link a third.
constexpr const char* kTxThreadFailed = "Failed creating TX thread!";
constexpr const char* kTxThreadFailedCaption = "Error!";
constexpr const char* kTxThreadFailedHandshake = "Failed creating TX thread !";
constexpr const char* kTxThreadFailedHandshakeCaption = "Error !";
constexpr const char* kNetTxThreadFailed = "Failed creating TX thread";
constexpr const char* kNetTxThreadFailedCaption = "Error";
// A transfer or search thread that did not end in time (framework caption).
constexpr const char* kTransferLockedText = "Sending File thread is locked and Terminated!";
constexpr const char* kSearchLockedText = "Searching Baudrate is locked and Terminated!";
// The handshake of a touch-panel download, caption kErrorCaption.
constexpr const char* kNoAnswerText = "等待回应失败!";
constexpr const char* kNoLengthAckText = "等待回应失败，请检查文件长度是否正确";
constexpr const char* kErrorCaption = "错误!";
// The refusal of a command, or of a send, while a baud search runs.
constexpr const char* kSearchRunningText = "正在侦测波特率，请稍后重试";
constexpr const char* kSearchRunningCaption = kErrorCaption;
constexpr const char* kSearchThreadFailed = "创建搜索线程失败!";
constexpr const char* kSearchThreadFailedCaption = "失败!";
// The network link's socket set-up (framework caption).
constexpr const char* kSocketCreateFailed = "Windows Socket Create Error!";
constexpr const char* kSendBufferFailed = "Set Buffer Size Error!";

}  // namespace lumaset
